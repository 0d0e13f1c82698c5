// The remote-control viewer that agents installed, removed when the last agent goes: by its quiet
// uninstaller where the viewer's generation has a working one, else by hand.
#include "procedures/RemoteControlViewer.h"

#include <string.h>

#include "control/Processes.h"
#include "control/ServiceManager.h"
#include "procedures/AddOns.h"
#include "procedures/AgentFolderAccess.h"
#include "procedures/FileRemoval.h"
#include "procedures/RestartOperations.h"
#include "support/Clock.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Registry.h"
#include "support/Text.h"

const char kViewerUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RealVNC_is1";
const char kViewerServiceName[] = "WinVNC4";
const char kViewerServiceKey[] = "System\\CurrentControlSet\\Services\\WinVNC4";
const char kViewerVendorKey[] = "SOFTWARE\\RealVNC";

namespace {

// The agent's own viewer installation wrote one of these into the viewer's uninstall entry, a
// generation each. The last two generations have a quiet uninstaller that works.
const char* const kViewerMarkers[] = {"VersionL401", "VersionL412", "VersionM430", "VersionM451"};
const int kFirstMarkerWithQuietUninstall = 3;

// Files that may stay in the viewer's folder while they are in use, in the order they are
// scheduled for deletion.
const char* const kViewerFiles[] = {"logmessages.dll", "wm_hooks.dll", "vncconfig.exe", "WinVNC4.exe"};

const UninstallMessages kViewerMessages = {"", "WinVNC ", "WinVNC uninstall"};

// The position (1 to 4) of the first marker the uninstall entry holds as a string, or 0.
int FindViewerMarker()
{
    for (int i = 0; i < (int)(sizeof(kViewerMarkers) / sizeof(kViewerMarkers[0])); ++i) {
        char* value = nullptr;
        int result = RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, kViewerMarkers[i], &value);
        bool present = result == ERROR_SUCCESS && value;
        FreeText(value);
        if (present)
            return i + 1;
    }
    return 0;
}

// Takes the viewer apart: its service, its running program, its registration, its folder, and
// at the next restart whatever of its files is still in use. Results are of no consequence: each
// step removes what it can.
void RemoveViewerByHand(const InstallationData* data, const char* appPath)
{
    char path[MAX_PATH];
    LogMessage(data, "Romving WinVNC....");
    if (!data->IsWin9x)
        (void)StopServiceAndWait(kViewerServiceName);
    ClockSleep(kViewerStopPauseMs);

    bool running = false;
    if (JoinPath(path, appPath, "WinVNC4.exe") && IsProcessRunning(path, &running) == 0 && running)
        (void)CloseProcessesByPath(path);

    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerServiceKey);
    (void)DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunServicesKey, kViewerServiceName);
    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerUninstallKey);
    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerVendorKey);
    (void)RemoveFolderTree(data, appPath);
    // The restart deletes as SYSTEM whatever a link put on the way after the run leads to: only a
    // folder that users cannot change leaves its files for it, each under a name of its own.
    bool forRestart = data->IsWin9x || CanOnlyAdministratorsChange(appPath);
    for (const char* name : kViewerFiles) {
        // A path that does not fit is left alone rather than cut into another file's name.
        char renamed[MAX_PATH];
        if (!JoinPath(path, appPath, name) || !FileExists(path))
            continue;
        if (!forRestart)
            LogMessage(data, "\"%s\" stays: users may change its folder.", path);
        else
            (void)DeleteFileAtRestart(data, RenameToTemporaryName(path, renamed) == 0 ? renamed : path);
    }
}

}  // namespace

void RemoveRemoteControlViewer(const InstallationData* data)
{
    char* displayName = nullptr;
    char* appPath = nullptr;
    char* quietCommand = nullptr;
    bool manual = true;
    int marker = 0;

    (void)RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, "DisplayName", &displayName);
    (void)RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, "Inno Setup: App Path", &appPath);
    if (!appPath || !*appPath)
        goto Exit;
    LogMessage(data, "Found WinVNC - \"%s\"", displayName ? displayName : "");

    marker = FindViewerMarker();
    if (marker == 0) {
        LogMessage(data, "WinVNC was not installed by agent.");
        goto Exit;
    }
    LogMessage(data, "WinVNC was installed by agent. Remove from the system.");

    if (marker >= kFirstMarkerWithQuietUninstall &&
        RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, "QuietUninstallString", &quietCommand) ==
            ERROR_SUCCESS &&
        quietCommand) {
        LogMessage(data, "Run WinVNC uninstall command \"%s\"...", quietCommand);
        // Once the uninstaller has ended and said how, it has done what it could: its exit code
        // does not call for a second removal by hand.
        manual = !RunUninstallCommand(data, quietCommand, kViewerMessages);
        FreeText(quietCommand);
    }
    if (manual)
        RemoveViewerByHand(data, appPath);

Exit:
    FreeText(displayName);
    FreeText(appPath);
}
