// Replacing and deleting files at the next restart: the system's pending rename list on
// Windows NT, the [rename] section of WinInit.ini on Windows 9x.
#include <stdlib.h>
#include <string.h>

#include "procedures/FileInstall.h"
#include "procedures/Installer.h"
#include "setup/SetupLog.h"
#include "support/Handles.h"
#include "support/Text.h"

namespace {

const char kRenameSection[] = "[rename]";
const size_t kRenameSectionChars = sizeof(kRenameSection) - 1;

int LastErrorResult()
{
    DWORD code = GetLastError();
    return code ? (int)code : -1;
}

// The short (8.3) form of path, which is all that WinInit.ini understands.
int GetShortPath(const char* path, char (&shortPath)[MAX_PATH])
{
    DWORD length = GetShortPathNameA(path, shortPath, sizeof(shortPath));
    if (length == 0)
        return LastErrorResult();
    if (length >= sizeof(shortPath))
        return kPathTooLong;
    return 0;
}

int GetWinInitPath(char (&path)[MAX_PATH])
{
    UINT length = GetWindowsDirectoryA(path, sizeof(path));
    if (length == 0)
        return LastErrorResult();
    if (length >= sizeof(path))
        return kPathTooLong;
    if (path[length - 1] != '\\' && !AppendText(path, sizeof(path), "\\"))
        return kPathTooLong;
    if (!AppendText(path, sizeof(path), "WinInit.ini"))
        return kPathTooLong;
    return 0;
}

void WriteText(HANDLE file, const char* text, size_t length)
{
    DWORD written = 0;
    if (length)
        WriteFile(file, text, (DWORD)length, &written, nullptr);
}

// Offset of the '[' that follows the [rename] section, or -1 when there is none; found tells
// whether the section exists at all.
long FindFollowingSection(const char* content, size_t length, bool* found)
{
    *found = false;
    for (size_t i = 0; i < length; ++i) {
        if (content[i] != '[')
            continue;
        if (*found)
            return (long)i;
        if (TextStartsWithNoCase(content + i, kRenameSection)) {
            *found = true;
            i += kRenameSectionChars - 1;
        }
    }
    return -1;
}

}  // namespace

int AddWinInitRename(const char* newFile, const char* target)
{
    if (!target)
        return ERROR_INVALID_PARAMETER;

    char shortTarget[MAX_PATH];
    char shortNew[MAX_PATH];
    char iniPath[MAX_PATH];
    char entries[4 * MAX_PATH];  // the lines to add
    char lines[4 * MAX_PATH];    // the same behind the section header
    char* content = nullptr;
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD size = 0;
    DWORD read = 0;
    size_t length = 0;
    bool found = false;
    long following = -1;
    // A name without a short form would leave a broken line that the restart acts on blindly.
    int result = GetShortPath(target, shortTarget);
    if (result == 0 && newFile)
        result = GetShortPath(newFile, shortNew);
    if (result == 0)
        result = GetWinInitPath(iniPath);
    if (result != 0)
        goto Exit;

    if (newFile)
        FormatText(entries, sizeof(entries), "NUL=%s\r\n%s=%s\r\n", shortTarget, shortTarget, shortNew);
    else
        FormatText(entries, sizeof(entries), "NUL=%s\r\n", shortTarget);
    FormatText(lines, sizeof(lines), "%s\r\n%s", kRenameSection, entries);

    if (GetFileAttributesA(iniPath) == INVALID_FILE_ATTRIBUTES) {
        file = CreateFileA(iniPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) {
            result = LastErrorResult();
            goto Exit;
        }
        WriteText(file, lines, strlen(lines));
        goto Exit;
    }

    file = CreateFileA(iniPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto Exit;
    }
    // Content that cannot be read counts as empty: the lines are then appended with a header.
    size = GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE && size < 0x7FFFFFFF)
        content = (char*)calloc(1, (size_t)size + 1);
    if (content && ReadFile(file, content, size, &read, nullptr))
        length = read;
    following = FindFollowingSection(content, length, &found);
    if (following >= 0) {
        SetFilePointer(file, following, nullptr, FILE_BEGIN);
        WriteText(file, entries, strlen(entries));
        WriteText(file, content + following, length - (size_t)following);
        goto Exit;
    }
    SetFilePointer(file, 0, nullptr, FILE_END);
    // A last line without its line break would otherwise run into the new first line.
    if (length > 0 && content[length - 1] != '\n')
        WriteText(file, "\r\n", 2);
    if (found)
        WriteText(file, entries, strlen(entries));
    else
        WriteText(file, lines, strlen(lines));
Exit:
    CloseFile(file);
    free(content);
    return result;
}

int Installer::ReplaceFileAtRestart(const char* source, const char* target)
{
    if (!source || !target)
        return ERROR_INVALID_PARAMETER;

    int result = 0;
    char folder[MAX_PATH];
    char temporary[MAX_PATH];
    const char* slash = strrchr(target, '\\');
    if (!CopyText(folder, sizeof(folder), target)) {
        result = kPathTooLong;
        goto Log;
    }
    // The backslash stays, so that a target in a drive root gets its file in that root too.
    folder[slash ? slash - target + 1 : 0] = '\0';

    // The "~" file must lie beside the target: a rename at restart cannot cross volumes.
    if (!GetTempFileNameA(folder, "~", 0, temporary)) {
        result = LastErrorResult();
        goto Log;
    }
    if (!CopyFileA(source, temporary, FALSE)) {
        // Even without an error code the copy is not there: an empty file must never be
        // scheduled to replace the target.
        result = LastErrorResult();
        DeleteFileA(temporary);
        goto Log;
    }
    if (Data->IsWin9x) {
        result = AddWinInitRename(temporary, target);
    } else if (!MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        result = LastErrorResult();
    }
    if (result != 0)
        DeleteFileA(temporary);
Log:
    LogMessage(Data, "InstallFile: > Setup move file. (%d)", result);
    return result;
}

int Installer::DeleteFileAtRestart(const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (Data->IsWin9x)
        return AddWinInitRename(nullptr, path);
    if (!MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        return LastErrorResult();
    return 0;
}
