#include "procedures/RemovalLeftovers.h"

#include <string.h>

#include "procedures/InstallationData.h"
#include "procedures/RestartOperations.h"
#include "support/Files.h"
#include "support/Text.h"

namespace {

void Remember(RemovalLeftovers* leftovers, const char* path)
{
    char* copy = DuplicateText(path);
    if (copy && AppendPointer(&leftovers->Paths, copy) < 0)
        FreeText(copy);
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
    Remember(leftovers, path);
    ++leftovers->Count;
    if (place == kLeftAsIs) {
        if (leftovers->FirstError == 0)
            leftovers->FirstError = code;
        return;
    }
    // Only a link itself could go, never what it leads to; and the restart of Windows 9x
    // (WinInit.ini) deletes files, not folders.
    int scheduled = code;
    if (kind == kLeftFile) {
        // Under a name of its own the restart deletes it, and never what a later run puts here.
        char renamed[MAX_PATH];
        bool aside = RenameToTemporaryName(path, renamed) == 0;
        scheduled = DeleteFileAtRestart(data, aside ? renamed : path);
        if (aside && scheduled == 0) {
            Remember(leftovers, renamed);
            LogMessage(data, "\"%s\" goes at the next restart as \"%s\".", path, renamed);
        } else if (aside) {
            MoveFileA(renamed, path);  // it stays, then under the name the log gives
        }
    } else if (kind == kLeftFolder && !data->IsWin9x) {
        scheduled = DeleteFileAtRestart(data, path);
    }
    if (scheduled == 0) {
        ++leftovers->Scheduled;
        return;
    }
    LogErrorFormatted(data, scheduled, "\"%s\" cannot be deleted at the next restart either.", path);
    if (leftovers->FirstError == 0)
        leftovers->FirstError = code;
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
