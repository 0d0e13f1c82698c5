// Removal of an agent instance, step by step, each attempted whatever happened before.
#include "procedures/AddOns.h"
#include "procedures/AgentRegistry.h"
#include "procedures/AgentService.h"
#include "procedures/AgentShutdown.h"
#include "procedures/Installer.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/PackageInfoFile.h"
#include "procedures/RemoteControlViewer.h"
#include "procedures/RemovalLeftovers.h"
#include "procedures/Shortcuts.h"
#include "procedures/UninstallEntry.h"
#include "procedures/UserTask.h"
#include "resources/resource.h"

namespace {
// The longest wait for the agent's processes to end before their files are deleted.
const DWORD kProcessEndLimitMs = 3000;
}  // namespace

int Installer::UninstallAgent()
{
    // A removal deletes files only in a folder it can tell is this instance's: an id typed wrong
    // must not take the folder of that name with everything in it. A folder whose Package.xml
    // names the instance is its own, though its key was lost.
    bool ownFolder = IsInstanceRegistered(Data) || PackageFileNamesInstance(Data);
    // The link goes by the title, which need not be this instance's: it is taken only when it
    // leads to this instance's program, told now while that program is still there.
    bool ownLink = ownFolder && AgentShortcutIsOwn(Data);
    RemovalLeftovers leftovers;
    InitRemovalLeftovers(&leftovers);

    LogMessage(Data, "Start uninstallation...");
    Data->Status->SetStatusText(IDS_REMOVING);

    LogMessage(Data, "Stopping Agent Service...");
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 0);
    (void)StopAgentService(Data);
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 5);
    WaitForAgentEnd(Data, kProcessEndLimitMs);

    LogMessage(Data, "Stopping user interface modules...");
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 10);
    (void)StopUserTask(Data);
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 15);
    WaitForUserTaskEnd(Data, kProcessEndLimitMs);

    LogMessage(Data, "Removing service...");
    Data->Status->SetDetailText(IDS_REMOVE_SERVICE, 20);
    (void)RemoveAgentService(Data);

    LogMessage(Data, "Removing files...");
    if (ownFolder)
        RemoveAgentFiles(this, 20, &leftovers);
    else if (Data->DestFolder && RemoveDirectoryA(Data->DestFolder))  // empty: nobody's to keep
        LogMessage(Data, "\"%s\" is removed.", Data->DestFolder);
    else
        LogMessage(Data, "Agent instance %s is not installed; its folder \"%s\" is left alone.", Data->Instance,
                   Data->DestFolder ? Data->DestFolder : "");

    Data->Status->SetDetailText(IDS_REMOVING_DRIVERS, 80);
    RemoveDrivers(Data, &leftovers);

    LogMessage(Data, "Remove AddOn...");
    Data->Status->SetDetailText(IDS_REMOVING_ADD_ONS, 85);
    (void)RemoveAddOns(Data);

    // The link before the instance's key: a run killed between the two leaves a rerun that still
    // finds the instance installed, and so the link its own.
    LogMessage(Data, "Removing shortcut and folder...");
    if (ownLink)
        (void)RemoveAgentShortcut(Data);

    LogMessage(Data, "Removing registry...");
    Data->Status->SetDetailText(IDS_REMOVE_SETTINGS, 90);
    // While a part of the agent could not be removed, its registration stays too: it proves the
    // folder and the link to the next removal, which takes the rest. (A file in use is no such
    // part: the restart takes it, or, in the working folder, a later removal could not find it.)
    if (Data->PartFailures == 0)
        (void)RemoveAgentRegistry(Data);
    else
        LogMessage(Data, "Agent instance %s stays registered until a removal takes the rest.", Data->Instance);

    LogMessage(Data, "Remove uninstallation key...");
    Data->Status->SetDetailText(IDS_REMOVE_UNINSTALL_ENTRY, 95);
    (void)RemoveUninstallEntry(Data);

    // The instance's own key is gone by now, so it is not counted.
    if (CountInstalledAgents() == 0) {
        LogMessage(Data, "This is the last agent on the machine.");
        RemoveRemoteControlViewer(Data);
    }
    int result = ReportRemovalLeftovers(Data, &leftovers);
    FreeRemovalLeftovers(&leftovers);
    LogMessage(Data, "Setup finished.");
    return result;
}
