// Replacing and deleting files at the next restart: the system's pending rename list on
// Windows NT, the [rename] section of WinInit.ini on Windows 9x.
#include "procedures/RestartOperations.h"

#include <stdlib.h>
#include <string.h>

#include "procedures/InstallationData.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/IniText.h"
#include "support/SystemLibrary.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

typedef LONG(WINAPI* RegQueryValueExWFunction)(HKEY, LPCWSTR, LPDWORD, LPDWORD, LPBYTE, LPDWORD);
typedef LONG(WINAPI* RegSetValueExWFunction)(HKEY, LPCWSTR, DWORD, DWORD, const BYTE*, DWORD);

// The path of a pending-list entry in the ANSI code page, without its "\??\" (and a target's
// "!"); false for an empty entry or one that has no ANSI form (never one of ours).
bool GetEntryPath(const wchar_t* entry, char (&path)[MAX_PATH])
{
    if (*entry == L'!')
        ++entry;
    if (entry[0] == L'\\' && entry[1] == L'?' && entry[2] == L'?' && entry[3] == L'\\')
        entry += 4;
    BOOL lossy = FALSE;
    return *entry && WideCharToMultiByte(CP_ACP, 0, entry, -1, path, MAX_PATH, nullptr, &lossy) > 0 && !lossy;
}

// Deletes file when it lies directly in folder (a "~" file that a replacement brought).
void DeleteFileBeside(const char* file, const char* folder)
{
    size_t length = strlen(folder);
    if (TextStartsWithNoCase(file, folder) && !strchr(file + length, '\\'))
        ForceDeleteFile(file);
}

// Windows NT: takes target's pairs out of the session manager's pending list, then deletes their
// new files. The list is read and written in UTF-16, so that other programs' entries keep every
// character.
int CancelPendingRename(const char* target, const char* folder)
{
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    RegQueryValueExWFunction query = GetSystemFunction<RegQueryValueExWFunction>(advapi, "RegQueryValueExW");
    RegSetValueExWFunction set = GetSystemFunction<RegSetValueExWFunction>(advapi, "RegSetValueExW");
    HKEY key = nullptr;
    wchar_t* list = nullptr;  // the value, with NULs to spare
    wchar_t* kept = nullptr;  // the pairs that stay
    wchar_t* out = nullptr;
    DWORD size = 0;
    char path[MAX_PATH];
    // Pairs of source and target; a deletion's target is empty, so only the sources end the list.
    auto isTargets = [&](const wchar_t* entry) { return GetEntryPath(entry, path) && lstrcmpiA(path, target) == 0; };
    LONG result = query && set ? RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0,
                                               KEY_QUERY_VALUE | KEY_SET_VALUE, &key)
                               : ERROR_PROC_NOT_FOUND;
    if (result == ERROR_SUCCESS)
        result = query(key, kPendingRenames, nullptr, nullptr, nullptr, &size);
    if (result == ERROR_SUCCESS) {
        list = (wchar_t*)calloc(size + 8, 1);
        kept = (wchar_t*)calloc(size + 8, 1);
        result = list && kept ? query(key, kPendingRenames, nullptr, nullptr, (BYTE*)list, &size)
                              : ERROR_NOT_ENOUGH_MEMORY;
    }
    out = kept;
    for (wchar_t* at = list; result == ERROR_SUCCESS && *at;) {
        wchar_t* source = at;
        at += wcslen(at) + 1;
        at += wcslen(at) + 1;
        if (!isTargets(source + wcslen(source) + 1)) {
            memcpy(out, source, (size_t)(at - source) * sizeof(wchar_t));
            out += at - source;
        }
    }
    if (result == ERROR_SUCCESS && out == kept)
        result = RegDeleteValueA(key, "PendingFileRenameOperations");
    else if (result == ERROR_SUCCESS && (DWORD)(out - kept + 1) * sizeof(wchar_t) < size)
        result = set(key, kPendingRenames, 0, REG_MULTI_SZ, (const BYTE*)kept,
                     (DWORD)(out - kept + 1) * sizeof(wchar_t));
    for (wchar_t* at = list; result == ERROR_SUCCESS && *at; at += wcslen(at) + 1) {
        wchar_t* source = at;
        at += wcslen(at) + 1;
        if (isTargets(at) && GetEntryPath(source, path))
            DeleteFileBeside(path, folder);
    }
    CloseKey(key);
    free(list);
    free(kept);
    return result == ERROR_FILE_NOT_FOUND ? 0 : (int)result;
}

const char kRenameHeader[] = "[rename]\r\n";

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

// Adds the replacement of target by newFile (its deletion for null) to WinInit.ini or, with
// cancel, takes target's replacements out of it and deletes their new files that lie beside it.
int EditWinInit(const char* newFile, const char* target, bool cancel)
{
    char shortTarget[MAX_PATH];
    char shortNew[MAX_PATH];
    char iniPath[MAX_PATH];
    char folder[MAX_PATH];
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
    // A name without a short form would leave a broken line that the restart acts on blindly;
    // nor can a line name a target without one, so there is nothing to take back then.
    int result = GetShortPath(target, shortTarget);
    if (result != 0 && cancel)
        return 0;
    if (result == 0 && newFile)
        result = GetShortPath(newFile, shortNew);
    if (result == 0)
        result = GetWinInitPath(iniPath);
    if (result != 0)
        goto Exit;

    if (GetFileAttributesA(iniPath) == INVALID_FILE_ATTRIBUTES) {
        if (cancel)
            goto Exit;
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
    if (cancel) {
        // One pair at a time; its new file goes once the file no longer names it.
        for (size_t left; result == 0 && (left = RemoveWinInitReplacement(content, length, shortTarget, shortNew,
                                                                          sizeof(shortNew))) != length;
             length = left) {
            if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
                !WriteFile(file, content, (DWORD)left, &written, nullptr) || written != left || !SetEndOfFile(file))
                result = LastErrorResult();
            else if (GetFolderPart(shortTarget, folder))
                DeleteFileBeside(shortNew, folder);
        }
        // Left as setup makes it for its first line: nothing but the header.
        CloseFile(file);
        if (result == 0 && length == sizeof(kRenameHeader) - 1 && !memcmp(content, kRenameHeader, length))
            DeleteFileA(iniPath);
        goto Exit;
    }

    if (newFile)
        FormatText(entries, sizeof(entries), "NUL=%s\r\n%s=%s\r\n", shortTarget, shortTarget, shortNew);
    else
        FormatText(entries, sizeof(entries), "NUL=%s\r\n", shortTarget);
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

}  // namespace

int AddWinInitRename(const char* newFile, const char* target)
{
    return target ? EditWinInit(newFile, target, false) : ERROR_INVALID_PARAMETER;
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

int CancelReplacementAtRestart(const InstallationData* data, const char* target)
{
    char folder[MAX_PATH];
    if (!target)
        return ERROR_INVALID_PARAMETER;
    if (data->IsWin9x)
        return EditWinInit(nullptr, target, true);
    return GetFolderPart(target, folder) ? CancelPendingRename(target, folder) : kPathTooLong;
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
