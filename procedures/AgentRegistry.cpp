// The agent's settings in the registry: the instance key, the settings carried over from an
// older-generation agent, and the Run value that starts the user task at every logon.
#include "procedures/AgentRegistry.h"

#include <string.h>

#include "support/AgentNames.h"
#include "support/Handles.h"
#include "support/Registry.h"
#include "support/Text.h"

namespace {

const char kMakerKey[] = "SOFTWARE\\Arvane";
const char kLegacyKey[] = "System\\CurrentControlSet\\Services\\VxD\\Arvane";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kLegacyRunValue[] = "Arvane Agent Service Helper";
const char kUserTask[] = "UserTray.exe";

// The longest texts taken over, in bytes as stored; each buffer has one more for a terminator.
enum : DWORD {
    kLegacyTextBytes = MAX_PATH,  // the legacy agent's file names
    kRunCommandBytes = 520,       // a previous Run command
};

// What an older-generation agent hands over to the instance that replaces it.
struct LegacySettings {
    bool SecurityTakenOver;  // the endpoint-security settings now belong to this instance
    char AvLogFile[kLegacyTextBytes + 1];
    char ServiceConfigFile[kLegacyTextBytes + 1];
    BYTE ServiceEnabled[4];  // raw bytes, written back as they were read
    bool RemoteControlTakenOver;
    DWORD RemoteControl;
};

// An instance key counts as an installed agent when it has a non-empty REG_SZ "Path", however
// long: missing one would remove the viewer from under that agent.
bool HasAgentPath(HKEY instances, const char* name)
{
    HKEY key = OpenKeyToRead(instances, name);
    if (!key)
        return false;
    DWORD type = 0;
    DWORD size = 0;
    int result = QueryValueInfo(key, "Path", &type, &size);
    CloseKey(key);
    return result == 0 && type == REG_SZ && size != 0;
}

void ReadLegacySettings(const InstallationData* data, LegacySettings* legacy)
{
    HKEY agentKey = nullptr;
    HKEY key = OpenKeyToRead(HKEY_LOCAL_MACHINE, kLegacyKey);
    if (!key)
        return;

    // The endpoint-security settings move only together with the record of who owns them.
    if (ReadTextValue(key, "AvLogFile", legacy->AvLogFile, sizeof(legacy->AvLogFile)) == 0 &&
        legacy->AvLogFile[0] &&
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                        &agentKey, nullptr) == ERROR_SUCCESS &&
        WriteStringValue(agentKey, "XES_Owned_By", data->Instance) == ERROR_SUCCESS) {
        legacy->SecurityTakenOver = true;
        ReadTextValue(key, "avServiceConfigFile", legacy->ServiceConfigFile, sizeof(legacy->ServiceConfigFile));
        ReadValueBytes(key, "AVServiceEnabled", legacy->ServiceEnabled, sizeof(legacy->ServiceEnabled));
    }
    legacy->RemoteControlTakenOver =
        ReadValueBytes(key, "EnableRemoteControl", &legacy->RemoteControl, sizeof(legacy->RemoteControl)) == 0;
    CloseKey(agentKey);
    CloseKey(key);
}

// Sets one of the values every instance key has; a failure is logged with the value's text.
// A text that could not be formed (formed false) fails as too long.
int SetInstanceValue(const InstallationData* data, HKEY key, const char* name, const char* text, bool formed)
{
    LONG result = formed ? WriteStringValue(key, name, text) : ERROR_FILENAME_EXCED_RANGE;
    if (result != ERROR_SUCCESS)
        LogMessage(data, "Failed to set registry value \"%s\" to \"%s\". Code: %d.", name, text ? text : "",
                   (int)result);
    return result;
}

// Writes the values every instance key has, from Title to PartitionId; stops at the first that
// cannot be set and returns its code.
int WriteInstanceValues(const InstallationData* data, HKEY key)
{
    // The agent's own files, which it finds through its key.
    static const char* const kFileValues[][2] = {
        {"ConfigChangeLogFile", "AgtAgent.log"}, {"ConfigurationFile", "ArvaneD.ini"},
        {"ErrorLogFile", "AgtError.log"},        {"FirewallLogFile", "AgtFirewall.log"},
        {"FirewallSettingsFile", "ArvaneFW.ini"}, {"NetStatsLogFile", "AgtStats.log"},
    };
    const char* const identity[][2] = {{"Title", data->Title}, {"Path", data->DestFolder}, {"Provider", data->Company}};
    LONG result = ERROR_SUCCESS;
    for (const auto& value : identity) {
        result = SetInstanceValue(data, key, value[0], value[1], true);
        if (result != ERROR_SUCCESS)
            return result;
    }
    for (const auto& value : kFileValues) {
        char path[2 * MAX_PATH];
        bool formed = FormatText(path, sizeof(path), "%s\\%s", data->DestFolder, value[1]);
        result = SetInstanceValue(data, key, value[0], path, formed);
        if (result != ERROR_SUCCESS)
            return result;
    }
    if (data->PartitionId && data->PartitionId[0])
        result = SetInstanceValue(data, key, "PartitionId", data->PartitionId, true);
    return result;
}

// Writes the carried-over and the run-describing values; their failures do not matter.
void WriteFinalValues(const InstallationData* data, HKEY key, const LegacySettings& legacy)
{
    if (legacy.SecurityTakenOver) {
        WriteStringValue(key, "AvLogFile", legacy.AvLogFile);
        WriteStringValue(key, "avServiceConfigFile", legacy.ServiceConfigFile);
        // The legacy agent kept this flag as four raw bytes; the agent reads it back the same way.
        g_RegistryValueBinding.SetValue(key, "AVServiceEnabled", 0, REG_SZ, legacy.ServiceEnabled,
                                        sizeof(legacy.ServiceEnabled));
    }
    if (legacy.RemoteControlTakenOver)
        WriteNumberValue(key, "EnableRemoteControl", legacy.RemoteControl);
    WriteNumberValue(key, "NewAgent", data->IsModify ? 2 : 1);
    WriteNumberValue(key, "NoShortCut", data->bNoShortcut ? 1 : 0);
    WriteNumberValue(key, "NoAddRemove", data->bNoAddRemove ? 1 : 0);
}

// The arguments that followed the user task in a previous Run command, or null.
const char* FindCarriedArguments(const char* command)
{
    const char* at = strstr(command, kUserTask);
    if (!at)
        return nullptr;
    at += sizeof(kUserTask) - 1;
    while (*at && *at != ' ' && *at != '\t')  // passes a closing quotation mark
        ++at;
    while (*at == ' ' || *at == '\t')
        ++at;
    return *at ? at : nullptr;
}

// Sets the instance's Run value, keeping the options a previous value gave the user task.
int WriteRunValue(const InstallationData* data)
{
    HKEY key = nullptr;
    char valueName[MAX_PATH];
    char previous[kRunCommandBytes + 1];
    char command[MAX_PATH + kRunCommandBytes + 16];
    const char* arguments = nullptr;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                  KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    FormatRunValueName(data->Instance, valueName, sizeof(valueName));

    if (data->IsModify) {
        DWORD type = REG_NONE;
        const char* previousName = data->UpdateLegacyAgent ? kLegacyRunValue : valueName;
        if (ReadTextValue(key, previousName, previous, sizeof(previous), &type) == 0 && type == REG_SZ)
            arguments = FindCarriedArguments(previous);
    }

    bool fits = arguments ? FormatText(command, sizeof(command), "\"%s\\%s\" %s", data->DestFolder, kUserTask, arguments)
                          : FormatText(command, sizeof(command), "\"%s\\%s\"", data->DestFolder, kUserTask);
    result = fits ? WriteStringValue(key, valueName, command) : ERROR_FILENAME_EXCED_RANGE;
    if (result != ERROR_SUCCESS)
        LogMessage(data, "Failed to create the link for Agent Service Helper. Code: %d.", (int)result);
    CloseKey(key);
    return result;
}

// Deletes the key when it holds neither sub-keys nor values.
void DeleteEmptyKey(const char* path)
{
    DWORD subKeys = 1;
    DWORD values = 1;
    HKEY key = OpenKeyToRead(HKEY_LOCAL_MACHINE, path);
    if (!key)
        return;
    LONG info = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr,
                                 nullptr, nullptr, nullptr);
    CloseKey(key);
    if (info == ERROR_SUCCESS && subKeys == 0 && values == 0)
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, path);
}

}  // namespace

bool RunValueExists(const InstallationData* data)
{
    char name[MAX_PATH];
    HKEY key = nullptr;
    bool exists = FormatRunValueName(data->Instance, name, sizeof(name)) &&
                  RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunKey, 0, KEY_QUERY_VALUE, &key) == ERROR_SUCCESS &&
                  QueryValueInfo(key, name, nullptr, nullptr) == 0;
    CloseKey(key);
    return exists;
}

void RemoveCreatedRegistry(const InstallationData* data, bool runValue)
{
    char path[MAX_PATH];
    if (!data->Instance)
        return;
    if (FormatInstanceKey(data->Instance, path, sizeof(path)))
        (void)DeleteRegistryTree(HKEY_LOCAL_MACHINE, path);
    if (runValue && FormatRunValueName(data->Instance, path, sizeof(path)))
        (void)DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, path);
    DeleteEmptyKey(kAgentKey);
    DeleteEmptyKey(kMakerKey);
}

int WriteAgentRegistry(const InstallationData* data)
{
    LegacySettings legacy;
    char keyPath[MAX_PATH];
    HKEY key = nullptr;
    LONG result = ERROR_SUCCESS;
    memset(&legacy, 0, sizeof(legacy));

    if (!data->DestFolder || !FormatInstanceKey(data->Instance, keyPath, sizeof(keyPath))) {
        result = ERROR_INVALID_PARAMETER;
        goto Exit;
    }
    if (data->IsModify && data->UpdateLegacyAgent)
        ReadLegacySettings(data, &legacy);

    result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                             &key, nullptr);
    if (result != ERROR_SUCCESS)
        goto Exit;
    result = WriteInstanceValues(data, key);
    if (result != ERROR_SUCCESS)
        goto Exit;
    WriteFinalValues(data, key, legacy);
    CloseKey(key);

    // Windows 9x starts the user task another way.
    if (!data->IsWin9x)
        result = WriteRunValue(data);

Exit:
    CloseKey(key);
    LogMessage(data, "Create registry function returns %d.", (int)result);
    return (int)result;
}

int RemoveAgentRegistry(const InstallationData* data)
{
    char path[MAX_PATH];
    HKEY key = nullptr;
    int result = 0;
    if (!data->Instance)
        return -1;

    if (!FormatInstanceKey(data->Instance, path, sizeof(path)) ||
        NoteRemoval(data, DeleteRegistryTree(HKEY_LOCAL_MACHINE, path), path) != ERROR_SUCCESS)
        result = -1;

    // The common keys go with the last instance, whatever common values they still hold.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        DWORD subKeys = 0;
        LONG info = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr,
                                     nullptr, nullptr, nullptr);
        CloseKey(key);
        if (info == ERROR_SUCCESS && subKeys == 0) {
            DeleteRegistryTree(HKEY_LOCAL_MACHINE, kAgentKey);
            DeleteEmptyKey(kMakerKey);
        }
    }

    if (FormatRunValueName(data->Instance, path, sizeof(path)))
        NoteRemoval(data, DeleteRegistryValue(HKEY_LOCAL_MACHINE, kRunKey, path), path);
    return result;
}

bool IsInstanceRegistered(const InstallationData* data)
{
    char path[MAX_PATH];
    return FormatInstanceKey(data->Instance, path, sizeof(path)) && KeyExists(HKEY_LOCAL_MACHINE, path);
}

int CountInstalledAgents()
{
    int count = KeyExists(HKEY_LOCAL_MACHINE, kLegacyServiceKey) ? 1 : 0;
    HKEY key = OpenKeyToRead(HKEY_LOCAL_MACHINE, kAgentKey);
    if (key) {
        ForEachSubKey(key, [key, &count](const char* name) { count += HasAgentPath(key, name) ? 1 : 0; });
        CloseKey(key);
    }
    return count;
}
