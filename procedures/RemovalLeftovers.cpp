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

}  // namespace

void InitRemovalLeftovers(RemovalLeftovers* leftovers)
{
    leftovers->Count = 0;
    leftovers->Scheduled = 0;
    leftovers->FirstError = 0;
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

int ReportRemovalLeftovers(InstallationData* data, const RemovalLeftovers* leftovers)
{
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
