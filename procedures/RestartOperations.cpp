// Replacing and deleting files at the next restart: the system's pending rename list on
// Windows NT, the [rename] section of WinInit.ini on Windows 9x.
#include "procedures/RestartOperations.h"

#include <stdlib.h>
#include <string.h>

#include "procedures/InstallationData.h"
#include "procedures/SharedAgentValues.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/IniText.h"
#include "support/SystemLibrary.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

const char kSessionManagerKey[] = "SYSTEM\\CurrentControlSet\\Control\\Session Manager";
const wchar_t kPendingRenames[] = L"PendingFileRenameOperations";

// The path of a pending-list entry in the ANSI code page, as one spelling (support/Files.h),
// without its "\??\" (and a target's "!"); false for an empty entry or one that has no ANSI form
// (never one of ours).
bool GetEntryPath(const wchar_t* entry, char (&path)[MAX_PATH])
{
    char named[MAX_PATH];
    if (*entry == L'!')
        ++entry;
    if (entry[0] == L'\\' && entry[1] == L'?' && entry[2] == L'?' && entry[3] == L'\\')
        entry += 4;
    BOOL lossy = FALSE;
    return *entry && WideCharToMultiByte(CP_ACP, 0, entry, -1, named, MAX_PATH, nullptr, &lossy) > 0 && !lossy &&
           NormalizePath(named, path);
}

// Deletes file when it lies directly in folder (a "~" file that a replacement brought).
void DeleteFileBeside(const char* file, const char* folder)
{
    char normal[MAX_PATH];
    size_t length = strlen(folder);
    if (NormalizePath(file, normal) && TextStartsWithNoCase(normal, folder) && !strchr(normal + length, '\\'))
        ForceDeleteFile(normal);
}

const PendingListCalls* SystemPendingListCalls()
{
    static PendingListCalls calls = {nullptr, nullptr};
    if (!calls.Query) {
        HMODULE advapi = GetModuleHandleA("advapi32.dll");
        calls.Set = GetSystemFunction<RegSetValueExWFunction>(advapi, "RegSetValueExW");
        calls.Query = GetSystemFunction<RegQueryValueExWFunction>(advapi, "RegQueryValueExW");
    }
    return &calls;
}

const PendingListCalls* g_pendingList = nullptr;

// The whole pending list into a new buffer with NULs to spare (the caller frees it). 0,
// ERROR_FILE_NOT_FOUND when there is none, ERROR_MORE_DATA when it grew meanwhile, or the error.
LONG ReadPendingList(HKEY key, const PendingListCalls* calls, wchar_t** list, DWORD* size)
{
    *list = nullptr;
    *size = 0;
    LONG result = calls->Query(key, kPendingRenames, nullptr, nullptr, nullptr, size);
    if (result != ERROR_SUCCESS)
        return result;
    *list = (wchar_t*)calloc(*size + 8, 1);
    return *list ? calls->Query(key, kPendingRenames, nullptr, nullptr, (BYTE*)*list, size) : ERROR_NOT_ENOUGH_MEMORY;
}

// The pairs of the list that an edit takes out: target's replacements, or (deletion) its deletion.
bool IsTakenOut(const wchar_t* source, const wchar_t* target, const char* normalTarget, bool deletion)
{
    char path[MAX_PATH];
    if (deletion)
        return !*target && GetEntryPath(source, path) && lstrcmpiA(path, normalTarget) == 0;
    return GetEntryPath(target, path) && lstrcmpiA(path, normalTarget) == 0;
}

// Windows NT: takes target's replacements (deletion unset) or its deletion (set) out of the
// session manager's pending list; then, for replacements, deletes their new files that lie in
// folder. Paths are compared as one spelling each. The list is read and written in UTF-16, so
// that other programs' entries keep every character; under the machine-wide setup lock, and read
// once more right before it is written: when another program changed it meanwhile, the edit
// starts again from what is there now, so that no entry of theirs is lost.
int TakeOutPendingPairs(const char* target, bool deletion, const char* folder)
{
    const int kAttempts = 10;
    const PendingListCalls* calls = g_pendingList ? g_pendingList : SystemPendingListCalls();
    char normalTarget[MAX_PATH];
    HKEY key = nullptr;
    wchar_t* list = nullptr;   // the value, with NULs to spare
    wchar_t* kept = nullptr;   // the pairs that stay
    wchar_t* again = nullptr;  // the value once more, right before it is written
    DWORD size = 0;
    DWORD againSize = 0;
    bool written = false;
    HANDLE lock = nullptr;
    LONG result = ERROR_PROC_NOT_FOUND;
    if (!NormalizePath(target, normalTarget))
        return kPathTooLong;
    if (!calls->Query || !calls->Set)
        goto Exit;
    lock = LockSharedAgentValues();
    result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key);
    for (int attempt = 0; result == ERROR_SUCCESS && !written && attempt < kAttempts; ++attempt) {
        free(list);
        free(kept);
        free(again);
        kept = again = nullptr;
        result = ReadPendingList(key, calls, &list, &size);
        if (result == ERROR_MORE_DATA) {
            result = ERROR_SUCCESS;
            continue;
        }
        if (result != ERROR_SUCCESS)
            break;
        kept = (wchar_t*)calloc(size + 8, 1);
        if (!kept) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            break;
        }
        // Pairs of source and target; a deletion's target is empty, so only the sources end the list.
        wchar_t* out = kept;
        for (wchar_t* at = list; *at;) {
            wchar_t* source = at;
            at += wcslen(at) + 1;
            wchar_t* pairTarget = at;
            at += wcslen(at) + 1;
            if (!IsTakenOut(source, pairTarget, normalTarget, deletion)) {
                memcpy(out, source, (size_t)(at - source) * sizeof(wchar_t));
                out += at - source;
            }
        }
        DWORD keptSize = (DWORD)(out - kept + 1) * sizeof(wchar_t);
        if (keptSize >= size)
            break;  // nothing of target's: nothing to write
        result = ReadPendingList(key, calls, &again, &againSize);
        if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && (againSize != size || memcmp(again, list, size)))) {
            result = ERROR_SUCCESS;
            continue;  // changed meanwhile: start again from what is there now
        }
        if (result != ERROR_SUCCESS)
            break;
        result = out == kept ? RegDeleteValueA(key, "PendingFileRenameOperations")
                             : calls->Set(key, kPendingRenames, 0, REG_MULTI_SZ, (const BYTE*)kept, keptSize);
        written = result == ERROR_SUCCESS;
    }
    if (result == ERROR_SUCCESS && !written && list && again)
        result = ERROR_RETRY;  // it never held still
    UnlockSharedAgentValues(&lock);
    for (wchar_t* at = list; written && folder && *at; at += wcslen(at) + 1) {
        char path[MAX_PATH];
        wchar_t* source = at;
        at += wcslen(at) + 1;
        if (IsTakenOut(source, at, normalTarget, deletion) && GetEntryPath(source, path))
            DeleteFileBeside(path, folder);
    }
Exit:
    CloseKey(key);
    free(list);
    free(kept);
    free(again);
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

// What EditWinInit does to the lines of target.
enum WinInitEdit {
    kAddLines,           // adds its replacement by newFile, or its deletion for null
    kCancelReplacement,  // takes its replacements out and deletes their new files that lie beside it
    kCancelDeletion,     // takes its deletion out
};

int EditWinInit(const char* newFile, const char* target, WinInitEdit edit)
{
    char normalTarget[MAX_PATH];
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
    bool cancel = edit != kAddLines;
    int result = NormalizePath(target, normalTarget) ? GetShortPath(normalTarget, shortTarget) : kPathTooLong;
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
        // One pair (or line) at a time; a new file goes once the file no longer names it.
        for (size_t left; result == 0 && (left = edit == kCancelDeletion
                                                     ? RemoveWinInitDeletion(content, length, shortTarget)
                                                     : RemoveWinInitReplacement(content, length, shortTarget, shortNew,
                                                                                sizeof(shortNew))) != length;
             length = left) {
            if (SetFilePointer(file, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
                !WriteFile(file, content, (DWORD)left, &written, nullptr) || written != left || !SetEndOfFile(file))
                result = LastErrorResult();
            else if (edit == kCancelReplacement && GetFolderPart(shortTarget, folder))
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
    return target ? EditWinInit(newFile, target, kAddLines) : ERROR_INVALID_PARAMETER;
}

int ReplaceFileAtRestart(const InstallationData* data, const char* source, const char* target)
{
    if (!source || !target)
        return ERROR_INVALID_PARAMETER;

    char normal[MAX_PATH];
    char temporary[MAX_PATH];
    // The "~" file must lie beside the target: a rename at restart cannot cross volumes. A target in
    // a drive root gets its file in that root too.
    int result = NormalizePath(target, normal) ? MakeTemporaryBeside(normal, temporary) : kPathTooLong;
    if (result != 0)
        goto Log;
    // Even without an error code the copy is not there: an empty file must never be scheduled to
    // replace the target. Nor one whose content a power cut before the restart could lose.
    result = CopyFileA(source, temporary, FALSE) ? FlushFile(temporary) : LastErrorResult();
    if (result == 0 && data->IsWin9x) {
        result = AddWinInitRename(temporary, target);
    } else if (result == 0) {
        // Under the lock that every edit of the pending list by a setup run takes.
        HANDLE lock = LockSharedAgentValues();
        if (!MoveFileExA(temporary, target, MOVEFILE_REPLACE_EXISTING | MOVEFILE_DELAY_UNTIL_REBOOT))
            result = LastErrorResult();
        UnlockSharedAgentValues(&lock);
    }
    if (result != 0)
        DeleteFileA(temporary);
Log:
    LogMessage(data, "InstallFile: > Setup move file. (%d)", result);
    return result;
}

int CancelReplacementAtRestart(const InstallationData* data, const char* target)
{
    char normal[MAX_PATH];
    char folder[MAX_PATH];
    if (!target)
        return ERROR_INVALID_PARAMETER;
    if (data->IsWin9x)
        return EditWinInit(nullptr, target, kCancelReplacement);
    return NormalizePath(target, normal) && GetFolderPart(normal, folder) ? TakeOutPendingPairs(normal, false, folder)
                                                                          : kPathTooLong;
}

int CancelDeletionAtRestart(const InstallationData* data, const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (data->IsWin9x)
        return EditWinInit(nullptr, path, kCancelDeletion);
    // Most runs find no list at all: only one that names the path is edited, under the lock.
    return TakeOutPendingPairs(path, true, nullptr);
}

void SetPendingListCalls(const PendingListCalls* calls)
{
    g_pendingList = calls;
}

int DeleteFileAtRestart(const InstallationData* data, const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (data->IsWin9x)
        return AddWinInitRename(nullptr, path);
    // Under the lock that every edit of the pending list by a setup run takes.
    HANDLE lock = LockSharedAgentValues();
    int result = MoveFileExA(path, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT) ? 0 : LastErrorResult();
    UnlockSharedAgentValues(&lock);
    return result;
}
