#include "procedures/RemovalLeftovers.h"

#include <string.h>

#include "procedures/InstallationData.h"
#include "procedures/RestartOperations.h"
#include "support/Files.h"
#include "support/FolderTree.h"
#include "support/Handles.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

bool IsCounted(const RemovalLeftovers* leftovers, const char* path)
{
    for (int i = 0; i < leftovers->Paths.Count; ++i) {
        if (lstrcmpiA(static_cast<const char*>(leftovers->Paths.Items[i]), path) == 0)
            return true;
    }
    return false;
}

// One item that stayed (its deletion failed with code): the restart deletes it, or it stays.
void Leave(const InstallationData* data, const char* path, int code, bool schedulable, RemovalLeftovers* leftovers)
{
    char* copy = DuplicateText(path);
    if (copy && AppendPointer(&leftovers->Paths, copy) < 0)
        FreeText(copy);
    ++leftovers->Count;
    int scheduled = schedulable ? DeleteFileAtRestart(data, path) : code;
    if (scheduled == 0) {
        ++leftovers->Scheduled;
        return;
    }
    LogErrorFormatted(data, scheduled, "\"%s\" cannot be deleted at the next restart either.", path);
    if (leftovers->FirstError == 0)
        leftovers->FirstError = code;
}

void LeaveEntry(const InstallationData* data, const char* path, DWORD attributes, RemovalLeftovers* leftovers);

// Each entry of folder that pattern matches (sub-folders only withFolders), tried once more.
void LeaveMatches(const InstallationData* data, const char* folder, const char* pattern, bool withFolders,
                  RemovalLeftovers* leftovers)
{
    char entry[MAX_PATH];
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) &&
            (!withFolders || !strcmp(found.cFileName, ".") || !strcmp(found.cFileName, "..")))
            continue;
        if (JoinPath(entry, folder, found.cFileName)) {
            LeaveEntry(data, entry, found.dwFileAttributes, leftovers);
            continue;
        }
        // A name beyond MAX_PATH cannot be named to the restart either.
        char* tooLong = FormatHeapText(2 * MAX_PATH, "%s\\%s", folder, found.cFileName);
        if (tooLong && !IsCounted(leftovers, tooLong))
            Leave(data, tooLong, kPathTooLong, false, leftovers);
        FreeText(tooLong);
    } while (FindNextFileA(find, &found));
    CloseFind(find);
}

void LeaveEntry(const InstallationData* data, const char* path, DWORD attributes, RemovalLeftovers* leftovers)
{
    if (IsCounted(leftovers, path))
        return;
    bool folder = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = folder && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
    char pattern[MAX_PATH];
    if (folder && !link && JoinPath(pattern, path, "*.*"))
        LeaveMatches(data, path, pattern, true, leftovers);
    int code = !folder ? ForceDeleteFile(path) : RemoveDirectoryA(path) ? 0 : LastErrorResult();
    // Only a link itself could go, never what it leads to; and the restart of Windows 9x
    // (WinInit.ini) deletes files, not folders.
    if (code != 0 && code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND)
        Leave(data, path, code, !link && !(folder && data->IsWin9x), leftovers);
}

}  // namespace

void InitRemovalLeftovers(RemovalLeftovers* leftovers)
{
    leftovers->Count = 0;
    leftovers->Scheduled = 0;
    leftovers->FirstError = 0;
    InitPointerList(&leftovers->Paths);
}

void FreeRemovalLeftovers(RemovalLeftovers* leftovers)
{
    for (int i = 0; i < leftovers->Paths.Count; ++i) {
        char* path = static_cast<char*>(leftovers->Paths.Items[i]);
        FreeText(path);
    }
    FreePointerList(&leftovers->Paths);
}

void LeaveForRestart(const InstallationData* data, const char* path, RemovalLeftovers* leftovers)
{
    if (!leftovers || !path)
        return;
    const char* slash = strrchr(path, '\\');
    if (slash && strpbrk(slash, "?*")) {
        char folder[MAX_PATH];
        if (CopyText(folder, sizeof(folder), path)) {
            folder[slash - path] = '\0';
            LeaveMatches(data, folder, path, false, leftovers);
        }
        return;
    }
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;  // gone
    // A folder that removal refuses is not the agent's: it stays as it is, and is no leftover.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
        IsProtectedFolder(path))
        return;
    LeaveEntry(data, path, attributes, leftovers);
}

int ReportRemovalLeftovers(InstallationData* data, const RemovalLeftovers* leftovers)
{
    if (leftovers->Count == 0)
        return 0;
    if (leftovers->Scheduled == leftovers->Count)
        LogMessage(data, "The removal left %d items; they are deleted at the next restart.", leftovers->Count);
    else
        LogMessage(data, "The removal left %d items.", leftovers->Count);
    if (leftovers->Scheduled > 0)
        data->RebootRequired = 1;
    return leftovers->FirstError;
}
