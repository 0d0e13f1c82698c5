// Removal of an agent instance, step by step, each attempted whatever happened before; also the
// roll-back of a failed new installation.
#include "control/AgentLeftovers.h"
#include "procedures/Installer.h"
#include "resources/resource.h"
#include "setup/SetupApp.h"
#include "support/Clock.h"

namespace {
// Time for the agent's processes to end before their files are deleted.
const DWORD kProcessEndPauseMs = 3000;
}  // namespace

int Installer::UninstallAgent()
{
    LogMessage(Data, "Start uninstallation...");
    g_SetupApp.SetStatusText(IDS_REMOVING);

    LogMessage(Data, "Stopping Agent Service...");
    g_SetupApp.SetDetailText(IDS_STOPPING_SERVICE, 0);
    (void)StopAgentService();
    g_SetupApp.SetDetailText(IDS_STOPPING_SERVICE, 5);
    ClockSleep(kProcessEndPauseMs);

    LogMessage(Data, "Stopping user interface modules...");
    g_SetupApp.SetDetailText(IDS_STOPPING_USER_TASK, 10);
    (void)StopUserTask();
    g_SetupApp.SetDetailText(IDS_STOPPING_USER_TASK, 15);
    ClockSleep(kProcessEndPauseMs);

    LogMessage(Data, "Removing service...");
    g_SetupApp.SetDetailText(IDS_REMOVE_SERVICE, 20);
    (void)RemoveAgentService();

    LogMessage(Data, "Removing files...");
    RemoveAgentFiles(20);

    g_SetupApp.SetDetailText(IDS_REMOVING_DRIVERS, 80);
    (void)RemoveDrivers();

    LogMessage(Data, "Remove AddOn...");
    g_SetupApp.SetDetailText(IDS_REMOVING_ADD_ONS, 85);
    (void)RemoveAddOns();

    LogMessage(Data, "Removing registry...");
    g_SetupApp.SetDetailText(IDS_REMOVE_SETTINGS, 90);
    (void)RemoveAgentRegistry();

    LogMessage(Data, "Removing shortcut and folder...");
    (void)RemoveAgentShortcut();

    LogMessage(Data, "Remove uninstallation key...");
    g_SetupApp.SetDetailText(IDS_REMOVE_UNINSTALL_ENTRY, 95);
    (void)RemoveUninstallEntry();

    // The instance's own key is gone by now, so it is not counted.
    if (CountInstalledAgents() == 0) {
        LogMessage(Data, "This is the last agent on the machine.");
        (void)RemoveRemoteControlViewer();
    }
    LogMessage(Data, "Setup finished.");
    return 0;
}
