// The remote-control viewer that agents installed, removed when the last agent goes: by its quiet
// uninstaller where the viewer's generation has a working one, else by hand. Also the count of
// agents that decides it.
#include "control/AgentLeftovers.h"

#include <string.h>

#include "support/Handles.h"

const char kLegacyAgentServiceKey[] = "System\\CurrentControlSet\\Services\\ArvaneAgent";
const char kViewerUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RealVNC_is1";
const char kViewerServiceName[] = "WinVNC4";
const char kViewerServiceKey[] = "System\\CurrentControlSet\\Services\\WinVNC4";
const char kViewerVendorKey[] = "SOFTWARE\\RealVNC";

namespace {

enum { kKeyNameChars = 260, kAgentPathBytes = 260 };

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
