// The roll-back of a failed new installation: it takes what the run brought into being and
// nothing else. A service, uninstall entry or file that was there before the run (a working
// agent whose instance key was lost, the leftovers of an interrupted removal) stays as it is,
// running or not; nothing this run created has run yet, so nothing is stopped.
#include "procedures/AgentRegistry.h"
#include "procedures/AgentService.h"
#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/Shortcuts.h"
#include "procedures/UninstallEntry.h"
#include "resources/resource.h"
#include "support/AgentNames.h"
#include "support/Files.h"

void Installer::RollBackNewAgent()
{
    LogMessage(Data, "Start uninstallation...");
    Data->Status->SetStatusText(IDS_REMOVING);

    char name[MAX_PATH];
    if (Created.Service) {
        LogMessage(Data, "Removing service...");
        (void)RemoveAgentService(Data);
    } else if (FormatAgentServiceName(Data, name, kServiceNameChars) && AgentServiceExists(Data, name)) {
        LogMessage(Data, "The agent service %s was there before this setup; the roll-back leaves it.", name);
    }

    LogMessage(Data, "Removing files...");
    for (int i = 0; AgentFileTable[i].Folder; ++i) {
        if (CopiedRows[i])
            (void)RemoveFileItem(Data, AgentFileTable[i].Folder, AgentFileTable[i].Name);
    }
    // A folder the run made holds nothing of anyone else's; one that was there keeps its own.
    if (Created.AgentFolder)
        (void)RemoveFileItem(Data, "$TARGETDIR$", nullptr);
    else if (Created.DriversFolder && Data->DestFolder && JoinPath(name, Data->DestFolder, "drivers"))
        RemoveDirectoryA(name);  // only when the run left it empty

    RemoveCreatedDrivers(Data, Created.Drivers);

    LogMessage(Data, "Removing registry...");
    RemoveCreatedRegistry(Data, Created.RunValue);

    if (Created.Shortcut) {
        LogMessage(Data, "Removing shortcut and folder...");
        (void)RemoveAgentShortcut(Data);
    }
    if (Created.UninstallEntry) {
        LogMessage(Data, "Remove uninstallation key...");
        (void)RemoveUninstallEntry(Data);
    } else if (UninstallEntryExists(Data) && FormatUninstallKey(Data->Instance, name, sizeof(name))) {
        LogMessage(Data, "The uninstall entry %s was there before this setup; the roll-back leaves it.", name);
    }
    Created = CreatedParts();
    LogMessage(Data, "Setup finished.");
}
