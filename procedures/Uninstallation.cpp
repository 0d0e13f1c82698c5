// Removal of an agent instance, step by step, each attempted whatever happened before.
#include "procedures/AddOns.h"
#include "procedures/AgentRegistry.h"
#include "procedures/AgentService.h"
#include "procedures/AgentShutdown.h"
#include "procedures/Installer.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/RemoteControlViewer.h"
#include "procedures/Shortcuts.h"
#include "procedures/UninstallEntry.h"
#include "procedures/UserTask.h"
#include "resources/resource.h"
#include "support/Clock.h"

namespace {
// Time for the agent's processes to end before their files are deleted.
const DWORD kProcessEndPauseMs = 3000;
}  // namespace

void Installer::UninstallAgent()
{
    LogMessage(Data, "Start uninstallation...");
    Data->Status->SetStatusText(IDS_REMOVING);

    LogMessage(Data, "Stopping Agent Service...");
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 0);
    (void)StopAgentService(Data);
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 5);
    ClockSleep(kProcessEndPauseMs);

    LogMessage(Data, "Stopping user interface modules...");
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 10);
    (void)StopUserTask(Data);
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 15);
    ClockSleep(kProcessEndPauseMs);

    LogMessage(Data, "Removing service...");
    Data->Status->SetDetailText(IDS_REMOVE_SERVICE, 20);
    (void)RemoveAgentService(Data);

    LogMessage(Data, "Removing files...");
    RemoveAgentFiles(this, 20);

    Data->Status->SetDetailText(IDS_REMOVING_DRIVERS, 80);
    RemoveDrivers(Data);

    LogMessage(Data, "Remove AddOn...");
    Data->Status->SetDetailText(IDS_REMOVING_ADD_ONS, 85);
    (void)RemoveAddOns(Data);

    LogMessage(Data, "Removing registry...");
    Data->Status->SetDetailText(IDS_REMOVE_SETTINGS, 90);
    (void)RemoveAgentRegistry(Data);

    LogMessage(Data, "Removing shortcut and folder...");
    (void)RemoveAgentShortcut(Data);

    LogMessage(Data, "Remove uninstallation key...");
    Data->Status->SetDetailText(IDS_REMOVE_UNINSTALL_ENTRY, 95);
    (void)RemoveUninstallEntry(Data);

    // The instance's own key is gone by now, so it is not counted.
    if (CountInstalledAgents() == 0) {
        LogMessage(Data, "This is the last agent on the machine.");
        RemoveRemoteControlViewer(Data);
    }
    LogMessage(Data, "Setup finished.");
}
