// Replacing and deleting files at the next restart: the system's pending rename list on
// Windows NT, the [rename] section of WinInit.ini on Windows 9x.
#include "procedures/RestartOperations.h"

#include <stdlib.h>
#include <string.h>

#include "setup/SetupLog.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/IniText.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

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

}  // namespace

int AddWinInitRename(const char* newFile, const char* target)
{
    if (!target)
        return ERROR_INVALID_PARAMETER;

    char shortTarget[MAX_PATH];
    char shortNew[MAX_PATH];
    char iniPath[MAX_PATH];
    char entries[4 * MAX_PATH];  // the lines to add
    char* content = nullptr;
    char* text = nullptr;        // what is written, from offset on
    HANDLE file = INVALID_HANDLE_VALUE;
    DWORD size = 0;
    DWORD read = 0;
    DWORD written = 0;
    size_t length = 0;
    size_t textLength = 0;
    long offset = -1;
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

    if (GetFileAttributesA(iniPath) == INVALID_FILE_ATTRIBUTES) {
        file = CreateFileA(iniPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    } else {
        file = CreateFileA(iniPath, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        // Content that cannot be read counts as empty: the lines are then appended with a header.
        size = file == INVALID_HANDLE_VALUE ? INVALID_FILE_SIZE : GetFileSize(file, nullptr);
        if (size != INVALID_FILE_SIZE && size < 0x7FFFFFFF)
            content = (char*)malloc((size_t)size + 1);
        if (content && ReadFile(file, content, size, &read, nullptr))
            length = read;
    }
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto Exit;
    }
    text = ComposeWinInitRename(content, length, entries, &offset, &textLength);
    if (!text) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        goto Exit;
    }
    if (offset >= 0)
        SetFilePointer(file, offset, nullptr, FILE_BEGIN);
    else
        SetFilePointer(file, 0, nullptr, FILE_END);
    // A line that did not reach the file schedules nothing: that is no success.
    if (!WriteFile(file, text, (DWORD)textLength, &written, nullptr) || written != textLength)
        result = LastErrorResult();
Exit:
    CloseFile(file);
    free(content);
    free(text);
    return result;
}

int ReplaceFileAtRestart(const InstallationData* data, const char* source, const char* target)
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
    if (data->IsWin9x) {
        result = AddWinInitRename(temporary, target);
    } else if (!MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT)) {
        result = LastErrorResult();
    }
    if (result != 0)
        DeleteFileA(temporary);
Log:
    LogMessage(data, "InstallFile: > Setup move file. (%d)", result);
    return result;
}

int DeleteFileAtRestart(const InstallationData* data, const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (data->IsWin9x)
        return AddWinInitRename(nullptr, path);
    if (!MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT))
        return LastErrorResult();
    return 0;
}
