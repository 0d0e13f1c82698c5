// The remote-control viewer that agents installed, removed when the last agent goes: by its quiet
// uninstaller where the viewer's generation has a working one, else by hand. Also the count of
// agents that decides it.
#include "control/AgentLeftovers.h"

#include <string.h>

#include "control/Processes.h"
#include "control/ServiceManager.h"
#include "procedures/FileInstall.h"
#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "setup/PathMacros.h"
#include "support/Clock.h"
#include "support/Handles.h"
#include "support/Text.h"

const char kLegacyAgentServiceKey[] = "System\\CurrentControlSet\\Services\\ArvaneAgent";
const char kViewerUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RealVNC_is1";
const char kViewerServiceName[] = "WinVNC4";
const char kViewerServiceKey[] = "System\\CurrentControlSet\\Services\\WinVNC4";
const char kViewerVendorKey[] = "SOFTWARE\\RealVNC";

namespace {

enum { kKeyNameChars = 260, kAgentPathBytes = 260 };

// The agent's own viewer installation wrote one of these into the viewer's uninstall entry, a
// generation each. The last two generations have a quiet uninstaller that works.
const char* const kViewerMarkers[] = {"VersionL401", "VersionL412", "VersionM430", "VersionM451"};
const int kFirstMarkerWithQuietUninstall = 3;

// Files that may stay in the viewer's folder while they are in use, in the order they are
// scheduled for deletion.
const char* const kViewerFiles[] = {"logmessages.dll", "wm_hooks.dll", "vncconfig.exe", "WinVNC4.exe"};

const UninstallMessages kViewerMessages = {
    "Faile to run WinVNC uninstall command. Error code: %d",
    "WinVNC uninstall process completed and returned %d.",
    "WinVNC uninstall process completed. Couldn't retrieve exit code. Error code: %d",
    "WinVNC uninstall process has been running for more than 15 minutes. Stop waiting for completion.",
    "WinVNC uninstall process has been abandoned.",
    "WinVNC uninstall process has returned with unknown state %d.",
};

// The position (1 to 4) of the first marker the uninstall entry holds as a string, or 0.
int FindViewerMarker()
{
    for (int i = 0; i < (int)(sizeof(kViewerMarkers) / sizeof(kViewerMarkers[0])); ++i) {
        char* value = nullptr;
        LONG result = RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, kViewerMarkers[i], &value);
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
void RemoveViewerByHand(Installer& installer, const char* appPath)
{
    InstallationData* data = installer.Data;
    char path[MAX_PATH];
    LogMessage(data, "Romving WinVNC....");
    if (!data->IsWin9x)
        (void)StopServiceAndWait(kViewerServiceName);
    ClockSleep(kViewerStopPauseMs);

    int running = 0;
    if (JoinPath(path, appPath, "WinVNC4.exe") && IsProcessRunning(path, &running) == 0 && running)
        (void)CloseProcessesByPath(path);

    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerServiceKey);
    (void)DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunServicesKey, kViewerServiceName);
    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerUninstallKey);
    (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, kViewerVendorKey);
    (void)RemoveFolderTree(data, appPath);
    for (const char* name : kViewerFiles) {
        // A path that does not fit is left alone rather than cut into another file's name.
        if (JoinPath(path, appPath, name) && FileExists(path))
            (void)installer.DeleteFileAtRestart(path);
    }
}

// An instance key counts as an installed agent when it has a non-empty REG_SZ "Path".
bool HasAgentPath(HKEY instances, const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(instances, name, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    char path[kAgentPathBytes];
    DWORD type = 0;
    DWORD size = sizeof(path);
    LONG result = RegQueryValueExA(key, "Path", nullptr, &type, (BYTE*)path, &size);
    CloseKey(key);
    // A path too long for the buffer is still an agent: missing it would remove the viewer
    // from under that agent.
    return (result == ERROR_SUCCESS || result == ERROR_MORE_DATA) && type == REG_SZ && size != 0;
}

}  // namespace

int CountInstalledAgents()
{
    int count = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLegacyAgentServiceKey, 0, KEY_READ, &key) == ERROR_SUCCESS) {
        count = 1;
        CloseKey(key);
    }
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentInstancesKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return count;
    DWORD subKeys = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        subKeys = 0;
    for (DWORD index = 0; index < subKeys; ++index) {
        char name[kKeyNameChars];
        DWORD nameChars = sizeof(name);
        if (RegEnumKeyExA(key, index, name, &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            continue;
        if (HasAgentPath(key, name))
            ++count;
    }
    CloseKey(key);
    return count;
}

int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName)
{
    if (!root || !subKey || !valueName)
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(root, subKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;
    result = RegDeleteValueA(key, valueName);
    CloseKey(key);
    return (int)result;
}

int Installer::RemoveRemoteControlViewer()
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
    LogMessage(Data, "Found WinVNC - \"%s\"", displayName ? displayName : "");

    marker = FindViewerMarker();
    if (marker == 0) {
        LogMessage(Data, "WinVNC was not installed by agent.");
        goto Exit;
    }
    LogMessage(Data, "WinVNC was installed by agent. Remove from the system.");

    if (marker >= kFirstMarkerWithQuietUninstall &&
        RegReadString(HKEY_LOCAL_MACHINE, kViewerUninstallKey, "QuietUninstallString", &quietCommand) ==
            ERROR_SUCCESS &&
        quietCommand) {
        LogMessage(Data, "Run WinVNC uninstall command \"%s\"...", quietCommand);
        // Once the uninstaller has ended and said how, it has done what it could: its exit code
        // does not call for a second removal by hand.
        manual = !RunUninstallCommand(Data, quietCommand, kViewerMessages);
        FreeText(quietCommand);
    }
    if (manual)
        RemoveViewerByHand(*this, appPath);

Exit:
    FreeText(displayName);
    FreeText(appPath);
    return 0;
}
