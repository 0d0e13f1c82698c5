#include "procedures/FileRemoval.h"

#include <errno.h>
#include <string.h>

#include <windows.h>

#include "procedures/AgentFolderAccess.h"
#include "procedures/InstallationData.h"
#include "procedures/TargetMacros.h"
#include "resources/resource.h"
#include "support/Files.h"
#include "support/FolderTree.h"
#include "support/Handles.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

void LogPathTooLong(const InstallationData* data, const char* folder, const char* name)
{
    LogMessage(data, "Path is too long: \"%s\\%s\".", folder, name);
}

// One tree removal: whom it logs to, and where what stays of it goes (nowhere without leftovers).
struct TreeRemoval {
    const InstallationData* Data;
    RemovalLeftovers* Leftovers;
    LeftoverPlace Place;
    const char* Top;  // the tree's own path: its outcome is logged from the result
};

// Logs what the tree removal passes over, and counts what stays as the walk meets it.
void OnTreeEvent(const void* context, FolderTreeEvent event, int code, const char* folder, const char* name)
{
    const TreeRemoval* removal = static_cast<const TreeRemoval*>(context);
    const InstallationData* data = removal->Data;
    char path[MAX_PATH];
    switch (event) {
    case kTreeRefused:
        // Not the agent's: it stays as it is, and is no leftover.
        LogMessage(data, "Refusing to remove \"%s\".", folder);
        return;
    case kTreePathTooLong:
        if (name)
            LogPathTooLong(data, folder, name);
        else
            LogMessage(data, "Path is too long: \"%s\".", folder);
        // A path beyond MAX_PATH cannot be named to the restart either ("*.*": the folder stays unlisted).
        if (removal->Leftovers && name && strcmp(name, "*.*") != 0) {
            char* tooLong = FormatHeapText(2 * MAX_PATH, "%s\\%s", folder, name);
            LeaveItem(data, removal->Leftovers, kLeftAsIs, tooLong, kPathTooLong, kLeftFile);
            FreeText(tooLong);
        } else if (removal->Leftovers) {
            LeaveItem(data, removal->Leftovers, kLeftAsIs, folder, kPathTooLong, kLeftFolder);
        }
        return;
    case kTreeFolderUnlisted:
        // What it holds is unknown: the instance's registration stays, to prove it to the next run.
        NotePartFailure(data, code, nullptr);
        break;
    case kTreeFileLeft:
    case kTreeLinkLeft:
    case kTreeFolderLeft:
        break;
    }
    if (!removal->Leftovers || !(name ? JoinPath(path, folder, name) : CopyText(path, sizeof(path), folder)) ||
        IsLeftItem(removal->Leftovers, path))
        return;
    if (lstrcmpiA(path, removal->Top) != 0)
        LogErrorFormatted(data, code, "Failed to remove \"%s\".", path);
    LeftoverKind kind = event == kTreeFileLeft ? kLeftFile : event == kTreeLinkLeft ? kLeftLink : kLeftFolder;
    // The restart deletes a folder only when it is empty: one whose content is unknown stays.
    LeaveItem(data, removal->Leftovers, event == kTreeFolderUnlisted ? kLeftAsIs : removal->Place, path, code, kind);
}

int RemoveTreeAt(const InstallationData* data, const char* path, RemovalLeftovers* leftovers, LeftoverPlace place)
{
    TreeRemoval removal = {data, leftovers, place, path};
    return DeleteFolderTree(path, OnTreeEvent, &removal);
}

// Deletes every file that matches pattern (a full path whose last part holds wildcards).
void RemoveMatchingFiles(const InstallationData* data, const char* pattern, const char* lastSlash,
                         RemovalLeftovers* leftovers, LeftoverPlace place)
{
    char folder[MAX_PATH];
    char entry[MAX_PATH];
    WIN32_FIND_DATAA found;
    CopyText(folder, sizeof(folder), pattern);
    folder[lastSlash - pattern] = '\0';
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        if (!JoinPath(entry, folder, found.cFileName)) {
            LogPathTooLong(data, folder, found.cFileName);
            continue;
        }
        int code = ForceDeleteFile(entry);
        // Single deletions are reported only where a removal counts what stays.
        if (leftovers && code != 0 && code != ERROR_FILE_NOT_FOUND && !IsLeftItem(leftovers, entry)) {
            LogErrorFormatted(data, code, "Failed to remove \"%s\".", entry);
            LeaveItem(data, leftovers, place, entry, code, kLeftFile);
        }
    } while (FindNextFileA(find, &found));
    CloseFind(find);
}

}  // namespace

int RemoveFolderTree(const InstallationData* data, const char* path)
{
    return RemoveTreeAt(data, path, nullptr, kLeftAsIs);
}

char* BuildItemPath(const InstallationData* data, const char* folder, const char* name)
{
    if (!folder)
        return nullptr;
    char* expanded = ExpandTargetMacros(data, folder);
    if (!expanded)
        return nullptr;
    char path[MAX_PATH];
    bool fits = name ? JoinPath(path, expanded, name) : CopyText(path, sizeof(path), expanded);
    if (!fits) {
        if (name)
            LogPathTooLong(data, expanded, name);
        else
            LogMessage(data, "Path is too long: \"%s\".", expanded);
    }
    FreeText(expanded);
    return fits && path[0] ? DuplicateText(path) : nullptr;
}

bool MayRemoveRow(const InstallationData* data, const char* folder, const char* name, RowFolderHolds* holds,
                  RemovalLeftovers* leftovers)
{
    bool work = TextStartsWithNoCase(folder, "$AGENTTEMPDIR$");
    int& state = holds->State[work];
    HANDLE& hold = holds->Folder[work];
    if (state == 0) {
        state = 1;
        char* path = BuildItemPath(data, work ? "$AGENTTEMPDIR$" : "$TARGETDIR$", nullptr);
        int code = 0;
        // Windows 9x has no links and cannot open a folder; a folder that cannot be named is the
        // row's to report.
        if (path && IsWindowsNTPlatform()) {
            hold = HoldFolder(path, &code);
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
                state = 2;
            } else if (code != 0) {
                LogErrorFormatted(data, code, "Failed to remove \"%s\".", path);
                state = -1;
            } else if (work ? IsReachedThroughLink(hold, path) : !IsAgentFolderSafe(data)) {
                if (work)
                    LogMessage(data, "Agent working folder \"%s\" is not usable; its files are left alone.", path);
                state = -1;
            }
        }
        FreeText(path);
    }
    if (state == 2) {
        // Nothing is looked for in a folder that is absent: a link made in its place meanwhile
        // would lead elsewhere.
        char* path = BuildItemPath(data, folder, name);
        if (path)
            LogMessage(data, "\"%s\" is not found.", path);
        FreeText(path);
    } else if (state == -1 && !work && leftovers) {
        // The agent's files in a folder that users may change stay, and are the removal's to tell.
        char* path = BuildItemPath(data, folder, name);
        int kind = GetPathKind(path);
        if (kind != 0 && !IsLeftItem(leftovers, path))
            LeaveItem(data, leftovers, kLeftAsIs, path, ERROR_ACCESS_DENIED, kind > 0 ? kLeftFolder : kLeftFile);
        FreeText(path);
    }
    if (!work && !name && !strcmp(folder, "$TARGETDIR$"))
        CloseFile(hold);
    return state == 1;
}

void ReleaseRowFolders(RowFolderHolds* holds)
{
    CloseFile(holds->Folder[0]);
    CloseFile(holds->Folder[1]);
}

int RemoveFileItem(const InstallationData* data, const char* folder, const char* name, RemovalLeftovers* leftovers,
                   LeftoverPlace place)
{
    errno = 0;
    char* path = BuildItemPath(data, folder, name);
    // A row whose folder does not resolve names nothing to remove; one without memory stays.
    if (!path)
        return errno == ENOMEM ? NoteRemoval(data, ERROR_OUTOFMEMORY, name ? name : folder) : ERROR_OUTOFMEMORY;
    data->Status->ShowFileText(IDS_DELETING_FILE, path);

    int code = 0;
    if (!name) {
        code = RemoveTreeAt(data, path, leftovers, place);
    } else if (!strpbrk(name, "?*")) {
        code = ForceDeleteFile(path);
    } else {
        const char* lastSlash = strrchr(path, '\\');
        if (lastSlash)
            RemoveMatchingFiles(data, path, lastSlash, leftovers, place);
        else
            LogMessage(data, "\"%s\" is invalid.", path);
        // Single deletions are not reported: a pattern counts as removed.
        LogMessage(data, "\"%s\" is removed.", path);
        FreeText(path);
        return 0;
    }

    if (code == 0) {
        LogMessage(data, "\"%s\" is removed.", path);
    } else if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
        LogMessage(data, "\"%s\" is not found.", path);
    } else {
        LogErrorFormatted(data, code, "Failed to remove \"%s\".", path);
        // A folder's tree told what stays of it, itself included.
        if (name && leftovers && !IsLeftItem(leftovers, path))
            LeaveItem(data, leftovers, place, path, code, kLeftFile);
    }
    FreeText(path);
    return 0;
}
