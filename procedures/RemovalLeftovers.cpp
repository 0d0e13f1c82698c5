#include "procedures/RemovalLeftovers.h"

#include <string.h>

#include "procedures/InstallationData.h"
#include "procedures/RestartOperations.h"
#include "support/Files.h"
#include "support/Text.h"

namespace {

void Remember(PointerList* paths, const char* path)
{
    char* copy = DuplicateText(path);
    if (copy && AppendPointer(paths, copy) < 0)
        FreeText(copy);
}

void FreePaths(PointerList* paths)
{
    for (int i = 0; i < paths->Count; ++i) {
        char* path = static_cast<char*>(paths->Items[i]);
        FreeText(path);
    }
    FreePointerList(paths);
}

// Whether something inside folder stays for good.
bool HoldsKeptItem(const RemovalLeftovers* leftovers, const char* folder)
{
    size_t length = strlen(folder);
    for (int i = 0; i < leftovers->Kept.Count; ++i) {
        const char* kept = static_cast<const char*>(leftovers->Kept.Items[i]);
        if (TextStartsWithNoCase(kept, folder) && kept[length] == '\\')
            return true;
    }
    return false;
}

// Whether the item waits for the first process of a hand-over: its program, or the agent folder
// when no other item stays in it.
bool WaitsForFirstProcess(const InstallationData* data, RemovalLeftovers* leftovers, const char* path,
                          LeftoverKind kind)
{
    const char* program = data->FirstProcessProgram;
    if (!program)
        return false;
    if (kind == kLeftFile && lstrcmpiA(path, program) == 0) {
        leftovers->ForFirstProcess |= kFirstProcessProgram;
        return true;
    }
    if (kind != kLeftFolder || !(leftovers->ForFirstProcess & kFirstProcessProgram) ||
        lstrcmpiA(path, data->DestFolder) != 0)
        return false;
    size_t length = strlen(path);
    for (int i = 0; i < leftovers->Paths.Count; ++i) {
        const char* left = static_cast<const char*>(leftovers->Paths.Items[i]);
        if (_strnicmp(left, path, length) == 0 && left[length] == '\\' && lstrcmpiA(left, program) != 0)
            return false;  // it stays for that item anyway
    }
    leftovers->ForFirstProcess |= kFirstProcessFolder;
    return true;
}

// An item that stays, counted, and left for the restart where place says.
void KeepItem(const InstallationData* data, RemovalLeftovers* leftovers, LeftoverPlace place, const char* path,
              int code, LeftoverKind kind)
{
    Remember(&leftovers->Paths, path);
    ++leftovers->Count;
    // Only a link itself could go, never what it leads to; the restart of Windows 9x (WinInit.ini)
    // deletes files, not folders; and a folder that keeps something for good is not empty then.
    bool forRestart = place == kLeftForRestart && kind != kLeftLink &&
                      !(kind == kLeftFolder && (data->IsWin9x || HoldsKeptItem(leftovers, path)));
    int scheduled = code;
    if (forRestart && kind == kLeftFile) {
        // Under a name of its own the restart deletes it, and never what a later run puts here.
        char renamed[MAX_PATH];
        bool aside = RenameToTemporaryName(path, renamed) == 0;
        scheduled = DeleteFileAtRestart(data, aside ? renamed : path);
        if (aside && scheduled == 0) {
            Remember(&leftovers->Paths, renamed);
            LogMessage(data, "\"%s\" goes at the next restart as \"%s\".", path, renamed);
        } else if (aside) {
            MoveFileA(renamed, path);  // it stays, then under the name the log gives
        }
    } else if (forRestart) {
        scheduled = DeleteFileAtRestart(data, path);
    }
    if (scheduled == 0) {
        ++leftovers->Scheduled;
        return;
    }
    Remember(&leftovers->Kept, path);
    if (place == kLeftForRestart)
        LogErrorFormatted(data, scheduled, "\"%s\" cannot be deleted at the next restart either.", path);
    if (leftovers->FirstError == 0)
        leftovers->FirstError = code;
}

}  // namespace

void InitRemovalLeftovers(RemovalLeftovers* leftovers)
{
    leftovers->Count = 0;
    leftovers->Scheduled = 0;
    leftovers->FirstError = 0;
    leftovers->ForFirstProcess = 0;
    InitPointerList(&leftovers->Paths);
    InitPointerList(&leftovers->Kept);
}

void FreeRemovalLeftovers(RemovalLeftovers* leftovers)
{
    FreePaths(&leftovers->Paths);
    FreePaths(&leftovers->Kept);
}

bool IsLeftItem(const RemovalLeftovers* leftovers, const char* path)
{
    for (int i = 0; i < leftovers->Paths.Count; ++i) {
        if (lstrcmpiA(static_cast<const char*>(leftovers->Paths.Items[i]), path) == 0)
            return true;
    }
    return false;
}

void LeaveItem(const InstallationData* data, RemovalLeftovers* leftovers, LeftoverPlace place, const char* path,
               int code, LeftoverKind kind)
{
    if (!leftovers || !path)
        return;
    if (WaitsForFirstProcess(data, leftovers, path, kind)) {
        Remember(&leftovers->Paths, path);
        LogMessage(data, "\"%s\" goes once the first process has ended.", path);
        return;
    }
    KeepItem(data, leftovers, place, path, code, kind);
}

int ReportRemovalLeftovers(InstallationData* data, const RemovalLeftovers* leftovers)
{
    data->LeftForFirstProcess = leftovers->ForFirstProcess;
    if (leftovers->Count == 0)
        return 0;
    if (leftovers->Count == 1 && leftovers->Scheduled == 1)
        LogMessage(data, "The removal left 1 item; it is deleted at the next restart.");
    else if (leftovers->Count == 1)
        LogMessage(data, "The removal left 1 item.");
    else if (leftovers->Scheduled == leftovers->Count)
        LogMessage(data, "The removal left %d items; they are deleted at the next restart.", leftovers->Count);
    else
        LogMessage(data, "The removal left %d items.", leftovers->Count);
    if (leftovers->Scheduled > 0)
        data->RebootRequired = 1;
    return leftovers->FirstError;
}

void RemoveFirstProcessItems(const InstallationData* data)
{
    RemovalLeftovers left;
    InitRemovalLeftovers(&left);
    const char* program = data->FirstProcessProgram;
    if (data->LeftForFirstProcess & kFirstProcessProgram) {
        int code = ForceDeleteFile(program);
        if (code == 0 || code == ERROR_FILE_NOT_FOUND) {
            LogMessage(data, "\"%s\" is removed.", program);
        } else {
            LogErrorFormatted(data, code, "Failed to remove \"%s\".", program);
            KeepItem(data, &left, kLeftForRestart, program, code, kLeftFile);
        }
    }
    const char* folder = data->DestFolder;
    if (data->LeftForFirstProcess & kFirstProcessFolder) {
        BOOL removed = RemoveDirectoryA(folder);
        int code = removed ? 0 : (int)GetLastError();
        if (removed || GetPathKind(folder) == 0) {
            LogMessage(data, "\"%s\" is removed.", folder);
        } else {
            LogErrorFormatted(data, code, "Failed to remove \"%s\".", folder);
            KeepItem(data, &left, kLeftForRestart, folder, code, kLeftFolder);
        }
    } else if (left.Scheduled > 0 && !data->IsWin9x && GetPathKind(folder) == 1) {
        // The removal left the folder for the restart before the program: it goes after it now.
        (void)CancelDeletionAtRestart(data, folder);
        (void)DeleteFileAtRestart(data, folder);
    }
    FreeRemovalLeftovers(&left);
}
