// The agent service of this installation: its registration, configuration and removal.
#include "procedures/AgentService.h"

#include "control/ServiceManager.h"
#include "procedures/InstallationData.h"
#include "support/AgentNames.h"
#include "support/Registry.h"
#include "support/StringTable.h"
#include "support/Text.h"

namespace {

const int kAgentDescriptionString = 127;
enum { kDescriptionChars = 260, kImagePathChars = MAX_PATH + 2 };

// Safe Mode starts the services that have a key here.
const char* const kSafeBootKeys[] = {
    "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Minimal",
    "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network",
};

// "<folder>\<name>" of a Safe Mode key; false when it does not fit.
bool FormatSafeBootKey(const char* folder, const char* serviceName, char* key, size_t size)
{
    return FormatText(key, size, "%s\\%s", folder, serviceName);
}

int RegisterAgentService(const InstallationData* data, bool update)
{
    char name[kServiceNameChars];
    char program[kImagePathChars];
    char command[kImagePathChars];
    char description[kDescriptionChars];
    char key[MAX_PATH];
    if (!data->DestFolder || !FormatInstanceServiceName(data->Instance, name, sizeof(name)))
        return ERROR_INVALID_PARAMETER;

    // On NT the path is quoted, and the quotes must fit as well.
    if (!FormatAgentProgramPath(data->DestFolder, program, data->IsWin9x ? sizeof(program) : MAX_PATH))
        return ERROR_FILENAME_EXCED_RANGE;
    // Windows 9x has no service manager: it starts the RunServices values at boot.
    if (data->IsWin9x)
        return SetRunServicesValue(name, program);

    // The quotes keep a path with blanks from being split into program and arguments.
    FormatText(command, sizeof(command), "\"%s\"", program);
    LoadProgramText(kAgentDescriptionString, description, sizeof(description));
    const char* text = description[0] ? description : nullptr;
    int result = update ? UpdateServiceEntry(name, data->Title, command, nullptr, text)
                        : CreateServiceEntry(name, data->Title, command, nullptr, text);
    if (result != 0)
        return result;

    // Failure actions and Safe Mode keys are best effort: the service works without them.
    (void)SetAgentFailureActions(name);
    for (const char* folder : kSafeBootKeys) {
        if (FormatSafeBootKey(folder, name, key, sizeof(key)) &&
            (result = SetRegistryString(HKEY_LOCAL_MACHINE, key, nullptr, "Service")) != 0)
            NotePartFailure(data, result, kCouldNotWrite, key);
    }
    return 0;
}

}  // namespace

bool FormatAgentServiceName(const InstallationData* data, char* name, size_t size)
{
    if (data->UpdateLegacyAgent)
        return CopyText(name, size, kLegacyServiceName);
    return FormatInstanceServiceName(data->Instance, name, size);
}

int InstallAgentService(const InstallationData* data)
{
    return RegisterAgentService(data, false);
}

int ConfigureAgentService(const InstallationData* data)
{
    return RegisterAgentService(data, true);
}

int RemoveAgentService(const InstallationData* data)
{
    char name[kServiceNameChars];
    char key[MAX_PATH];
    if (!FormatAgentServiceName(data, name, sizeof(name)))
        return ERROR_INVALID_PARAMETER;

    int result = data->IsWin9x ? DeleteRunServicesValue(name) : DeleteServiceEntry(name);
    if (result == ERROR_SERVICE_DOES_NOT_EXIST) {
        result = 0;
    } else if (result != 0) {
        NotePartFailure(data, result, "Failed to remove agent service: %s.", name);
    }

    // Only the current agent's service is registered for Safe Mode.
    if (!data->UpdateLegacyAgent) {
        for (const char* folder : kSafeBootKeys) {
            if (FormatSafeBootKey(folder, name, key, sizeof(key)))
                NoteRemoval(data, DeleteRegistryTree(HKEY_LOCAL_MACHINE, key), key);
        }
    }
    return result;
}

void WaitForAgentServiceRemoval(const InstallationData* data, DWORD limitMs)
{
    char name[kServiceNameChars];
    // Windows 9x has no service manager: its RunServices value is gone at once.
    if (!data->IsWin9x && FormatAgentServiceName(data, name, sizeof(name)))
        (void)WaitUntilServiceGone(name, limitMs);
}

bool AgentServiceExists(const InstallationData* data, const char* name)
{
    if (!data->IsWin9x) {
        DWORD state = 0;
        return QueryServiceState(name, &state) == 0;
    }
    char* command = nullptr;
    bool exists = RegReadString(HKEY_LOCAL_MACHINE, kRunServicesKey, name, &command) == 0 && command;
    FreeText(command);
    return exists;
}

bool FindServiceToRestart(const InstallationData* data, char* name, size_t size)
{
    // A conversion that failed after it deleted the legacy service may have made the new one.
    if (FormatAgentServiceName(data, name, size) && AgentServiceExists(data, name))
        return true;
    return data->UpdateLegacyAgent && FormatInstanceServiceName(data->Instance, name, size) &&
           AgentServiceExists(data, name);
}
