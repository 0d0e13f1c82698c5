#include "procedures/ClosingSteps.h"

#include "procedures/Shortcuts.h"
#include "procedures/UninstallEntry.h"
#include "resources/resource.h"

void AddUninstallEntryAndShortcut(const InstallationData* data, int isUpdate)
{
    if (!data->bNoAddRemove) {
        LogMessage(data, "Adding uninstall key...");
        data->Status->SetDetailText(IDS_UPDATE_UNINSTALL_ENTRY, 90);
        WriteUninstallEntry(data, isUpdate);
    } else if (isUpdate) {
        // The update has always written this line with a capital A; whoever reads the logs may
        // match either spelling.
        LogMessage(data, "Skip Adding uninstall key.");
    } else {
        LogMessage(data, "Skip adding uninstall key.");
    }
    if (!data->bNoShortcut) {
        LogMessage(data, "Creating shortcut...");
        int result = CreateAgentShortcut(data, isUpdate);
        LogMessage(data, "Shortcut creation returns 0x%x", (unsigned)result);
        if (result != 0)
            NotePartFailure(data, result, nullptr);  // the line above tells
    } else {
        LogMessage(data, "Skip Shortcut creation.");
    }
}
