// A new installation of an agent instance; a failed essential step rolls back what the run
// created (procedures/RollBack.cpp).
#include "procedures/AgentFolderAccess.h"
#include "procedures/AgentRegistry.h"
#include "procedures/AgentService.h"
#include "procedures/ClosingSteps.h"
#include "procedures/Installer.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/PackageInfoFile.h"
#include "procedures/SharedAgentValues.h"
#include "procedures/Shortcuts.h"
#include "procedures/UninstallEntry.h"
#include "resources/resource.h"
#include "support/Files.h"

int Installer::InstallNewAgent()
{
    LogMessage(Data, "Start new installation...");
    char version[32];
    FormatAgentVersion(Data->SrcFolder, version);
    LogMessage(Data, "Installing version %s.", version);
    Data->Status->SetStatusText(IDS_INSTALLING);
    if (!IsAgentFolderSafe(Data))
        return ERROR_ACCESS_DENIED;  // before anything is written

    // What is there already (a lost instance key beside a working agent's service, folder and
    // entry, or the leftovers of an interrupted removal) is not this run's to take back.
    char drivers[MAX_PATH];
    Created = CreatedParts();
    Created.AgentFolder = Data->DestFolder && GetPathKind(Data->DestFolder) == 0;
    Created.DriversFolder = !Created.AgentFolder && Data->DestFolder &&
                            JoinPath(drivers, Data->DestFolder, "drivers") && GetPathKind(drivers) == 0;
    Created.RunValue = !Data->IsWin9x && !RunValueExists(Data);
    HANDLE shared = nullptr;
    int result = 0;
    // A folder on the way that appeared between the check and the creation (a user may add one
    // to a drive's root) was taken as it was: the chain is checked again before the first file.
    if (Created.AgentFolder && CreateAgentFolder(Data) && !IsAgentFolderSafe(Data)) {
        result = ERROR_ACCESS_DENIED;
        goto Failed;
    }
    result = CopyAgentFiles(this, 0);
    if (result != 0) {
        LogMessage(Data, "Failed copying files. Setup aborted.");
        goto Failed;
    }

    Data->Status->SetDetailText(IDS_UPDATING_SETTINGS, 60);
    LogMessage(Data, "Creating package infomation file...");
    {
        char packageFile[MAX_PATH];
        bool packageExisted = !Data->DestFolder || !JoinPath(packageFile, Data->DestFolder, kPackageInfoFile) ||
                              FileExists(packageFile);
        result = WritePackageFile(Data, 0);
        if (result != 0)
            return result;  // the copied files stay; nothing is rolled back here
        // This run brought the file, so a roll-back beside an earlier folder takes it too.
        if (!packageExisted)
            NoteFileCreated(this, kPackageInfoFile);
    }

    LogMessage(Data, "Creating agent registry...");
    // The title was numbered when the run began; another new instance may have taken it since
    // (its service would then have the same display name). Numbered again with the lock held
    // until the title and the drivers' owner are written.
    shared = LockSharedAgentValues();
    NumberNewTitle(Data);
    result = WriteAgentRegistry(Data);
    // The drivers go in whatever the registry step gave.
    if (!Data->bNoDriver) {
        LogMessage(Data, "Setup drivers...");
        Data->Status->SetDetailText(IDS_INSTALLING_DRIVERS, 70);
        InstallOwnedDrivers(Data, &Created.Drivers);  // under the lock taken above
    }
    UnlockSharedAgentValues(&shared);
    if (result != 0)
        goto Failed;

    LogMessage(Data, "Installing agent service...");
    Data->Status->SetDetailText(IDS_INSTALLING_SERVICE, 80);
    {
        char service[kServiceNameChars];
        bool serviceExisted =
            FormatAgentServiceName(Data, service, sizeof(service)) && AgentServiceExists(Data, service);
        result = InstallAgentService(Data);
        Created.Service = result == 0 && !serviceExisted;
    }
    if (result != 0)
        goto Failed;

    Created.UninstallEntry = !Data->bNoAddRemove && !UninstallEntryExists(Data);
    Created.Shortcut = !Data->bNoShortcut && !AgentShortcutExists(Data);
    AddUninstallEntryAndShortcut(Data, 0);
    LogMessage(Data, "Installation finished.");
    return 0;

Failed:
    LogError(Data, result, "Installation failed.");
    RollBackNewAgent();  // its own failures do not replace the installation's
    return result;
}
