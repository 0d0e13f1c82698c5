// Update of an installed agent instance in place, which also converts a legacy agent. The first
// essential failure ends it with its code; once the copy has begun, the agent's files are then
// put back as they were (procedures/PreviousFiles.h).
#include "control/ServiceManager.h"
#include "procedures/AgentFolderAccess.h"
#include "procedures/AgentRegistry.h"
#include "procedures/AgentService.h"
#include "procedures/AgentShutdown.h"
#include "procedures/ClosingSteps.h"
#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/PackageInfoFile.h"
#include "procedures/PreviousFiles.h"
#include "procedures/UserTask.h"
#include "resources/resource.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/PathMacros.h"
#include "support/Registry.h"

namespace {

const char kLegacyProductCode[] = "{3D7A0F52-9C41-4B8E-A5D2-61F0C8B47E19}";
// The longest waits for a stopped program, or a deleted service, to be gone.
const DWORD kUserTaskEndLimitMs = 500;
const DWORD kServiceEndLimitMs = 3000;

// Deletes the sub-key tree HKEY_LOCAL_MACHINE\parent\subKey when it is there.
void DeleteLegacyKey(const char* parent, const char* subKey)
{
    char path[MAX_PATH];
    if (FormatText(path, sizeof(path), "%s\\%s", parent, subKey))
        (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, path);
}

// The legacy agent's registry entries and the folder its installer left behind.
void RemoveLegacyAgentLeftovers(const InstallationData* data)
{
    LogMessage(data, "Remove legacy agent registry settings...");
    (void)DeleteRegistryValue(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion\\Run",
                              "Arvane Agent Service Helper");
    DeleteLegacyKey("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", kLegacyProductCode);
    DeleteLegacyKey("Software\\Microsoft\\Windows\\CurrentVersion\\App Paths", kAgentExecutable);
    DeleteLegacyKey("SYSTEM\\CurrentControlSet\\Services\\VxD", "Arvane");

    LogMessage(data, "Remove legacy agent uninstallation files...");
    char folder[MAX_PATH];
    folder[0] = '\0';
    char source[MAX_PATH];
    FormatText(source, sizeof(source), "%%ProgramFiles%%\\InstallShield Installation Information\\%s",
               kLegacyProductCode);
    if (ExpandPath(source, folder, sizeof(folder)) != 0)
        (void)RemoveFolderTree(data, folder);
}

// The agent service of the updated agent: a legacy agent's service is replaced by this
// instance's (an existing one reconfigured), the instance's own is reconfigured. 0 or the error.
int UpdateAgentService(const InstallationData* data)
{
    if (!data->UpdateLegacyAgent) {
        LogMessage(data, "Configuring agent service...");
        data->Status->SetDetailText(IDS_CONFIGURING_SERVICE, 80);
        int result = ConfigureAgentService(data);
        LogMessage(data, "Updating agent service returns %d", result);
        return result;
    }

    LogMessage(data, "Removing legacy agent service...");
    data->Status->SetDetailText(IDS_REMOVE_SERVICE, 80);
    if (RenameServiceForDeletion(kLegacyServiceName) != 0)
        LogMessage(data, "Could not rename the service display name before deletion.");
    int result = RemoveAgentService(data);
    if (result != 0)
        return result;
    WaitForAgentServiceRemoval(data, kServiceEndLimitMs);

    LogMessage(data, "Installing new agent service...");
    data->Status->SetDetailText(IDS_INSTALLING_SERVICE, 82);
    result = InstallAgentService(data);
    if (result == ERROR_SERVICE_EXISTS) {
        LogMessage(data, "Agent service exists. Updating agent service...");
        data->Status->SetDetailText(IDS_CONFIGURING_SERVICE, 84);
        result = ConfigureAgentService(data);
        LogMessage(data, "Updating agent service returns %d", result);
    }
    return result;
}

}  // namespace

int Installer::UpdateExistingAgent()
{
    LogMessage(Data, "Update existing installation...");
    char installed[32], package[32];
    ULONGLONG from = FormatAgentVersion(Data->DestFolder, installed);
    ULONGLONG to = FormatAgentVersion(Data->SrcFolder, package);
    // Going back is allowed (a fleet may withdraw a release), and said so.
    LogMessage(Data, to && to < from ? "Downgrading version %s to %s." : "Updating version %s to %s.", installed,
               package);
    Data->Status->SetStatusText(IDS_UPDATING);
    // Only a warning: refusing would leave the installed agent stopped or out of date.
    (void)IsAgentFolderSafe(Data);

    LogMessage(Data, "Stop user interface modules...");
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 0);
    int result = StopUserTask(Data);
    if (result != 0)
        return result;
    Data->Status->SetDetailText(IDS_STOPPING_USER_TASK, 5);
    WaitForUserTaskEnd(Data, kUserTaskEndLimitMs);

    LogMessage(Data, "Stop agent service...");
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 10);
    bool agentWasRunning = false;
    result = StopAgentService(Data, &agentWasRunning);
    if (result != 0)
        return result;
    // From here on a failure would leave the machine without its agent, and so beyond reach.
    StoppedRunningAgent = agentWasRunning;
    Data->Status->SetDetailText(IDS_STOPPING_SERVICE, 15);
    WaitForAgentEnd(Data, kServiceEndLimitMs);

    // A run killed during its update left the agent's old files beside the new ones: they are
    // put back before anything else is copied.
    (void)RestorePreviousFiles(Data, false);
    int rebootRequired = Data->RebootRequired;
    LogMessage(Data, "Copying files...");
    result = CopyAgentFiles(this, 20);
    if (result == 0) {
        LogMessage(Data, "Updating package infomation file...");
        char packageFile[MAX_PATH];
        bool made = false;
        if (Data->DestFolder && JoinPath(packageFile, Data->DestFolder, kPackageInfoFile))
            (void)SetAsidePrevious(packageFile, false, &made);  // marks it created when it is missing
        result = WritePackageFile(Data, 1);
    }
    if (result == 0)
        result = UpdateAgentService(Data);
    if (result != 0) {
        // The agent that is started again runs on the files it had: none of this attempt's.
        if (RestorePreviousFiles(Data, true) == 0)
            Data->RebootRequired = rebootRequired;
        return result;
    }
    // Kept until the updated agent has started, when it is to start (the run's ending).
    if (!KeepsPreviousUntilStarted(Data))
        DropPreviousFiles(Data);

    LogMessage(Data, "Writting program registries...");
    Data->Status->SetDetailText(IDS_UPDATING_SETTINGS, 86);
    (void)WriteAgentRegistry(Data);

    AddUninstallEntryAndShortcut(Data, 1);

    if (Data->UpdateLegacyAgent)
        RemoveLegacyAgentLeftovers(Data);

    if (Data->bNoDriver) {
        ReleaseDriverOwnership(Data);
    } else {
        LogMessage(Data, "Setup drivers...");
        Data->Status->SetDetailText(IDS_INSTALLING_DRIVERS, 95);
        InstallDrivers(Data);
    }
    return 0;
}
