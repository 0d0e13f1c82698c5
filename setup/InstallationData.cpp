#include "setup/InstallationData.h"

#include <string.h>

#include "setup/InstanceLock.h"
#include "support/OsName.h"
#include "support/PathMacros.h"
#include "support/WindowsVersion.h"

namespace {

const char* YesNo(int flag)
{
    return flag ? "Yes" : "No";
}

const char* TextOrEmpty(const char* text)
{
    return text ? text : "";
}

// One line per field, for whoever reads the log after a silent run.
void DumpInstallationData(const InstallationData* data)
{
    LogMessage(data, "> Instance = %s", TextOrEmpty(data->Instance));
    LogMessage(data, "> Partition ID = %s", TextOrEmpty(data->PartitionId));
    LogMessage(data, "> SrcFolder = %s", TextOrEmpty(data->SrcFolder));
    LogMessage(data, "> DestFolder = %s", TextOrEmpty(data->DestFolder));
    LogMessage(data, "> IsSilent = %s", YesNo(data->IsSilent));
    LogMessage(data, "> IsRemove = %s", YesNo(data->IsRemove));
    LogMessage(data, "> UpdateLegacyAgent = %s", YesNo(data->UpdateLegacyAgent));
    LogMessage(data, "> RunProgram = %s", YesNo(data->RunProgram));
    LogMessage(data, "> NoInteract = %s", YesNo(data->NoInteract));
    LogMessage(data, "> ShowProgress = %s", YesNo(data->ShowProgress));
    LogMessage(data, "> IsModify = %s", YesNo(data->IsModify));
    LogMessage(data, "> bNoDriver = %s", YesNo(data->bNoDriver));
    LogMessage(data, "> Company = %s", TextOrEmpty(data->Company));
    LogMessage(data, "> Comments = %s", TextOrEmpty(data->Comments));
    LogMessage(data, "> Contact = %s", TextOrEmpty(data->Contact));
    LogMessage(data, "> HelpLink = %s", TextOrEmpty(data->HelpLink));
    LogMessage(data, "> Publisher = %s", TextOrEmpty(data->Publisher));
    LogMessage(data, "> AboutLink = %s", TextOrEmpty(data->AboutLink));
    LogMessage(data, "> Title = %s", TextOrEmpty(data->Title));
    LogMessage(data, "> DestRegKey = %s", TextOrEmpty(data->DestRegKey));
    LogMessage(data, "> AgentWorkingFolder = %s", TextOrEmpty(data->AgentWorkingFolder));
    LogMessage(data, "> LegacyAgentExists = %s", YesNo(data->LegacyAgentExists));
    LogMessage(data, "> RunAsTemp = %s", YesNo(data->RunAsTemp));
    LogMessage(data, "> bNoShortcut = %s", YesNo(data->bNoShortcut));
    LogMessage(data, "> bNoAddRemove = %s", YesNo(data->bNoAddRemove));
    LogMessage(data, "> bDontStartAgent = %s", YesNo(data->bDontStartAgent));
}

// SrcFolder: the folder of the running program.
bool ReadSourceFolder(InstallationData* data)
{
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path))
        return false;  // a cut path names another folder (and older systems leave no terminator)
    char* slash = strrchr(path, '\\');
    if (slash)
        *slash = '\0';
    ReplaceText(data->SrcFolder, DuplicateText(path));
    return data->SrcFolder != nullptr;
}

// DestFolder: <base>\<Instance> when a base was given, else %ProgramFiles%\<Company>\<Instance>,
// expanded. Left empty when it cannot be formed or expanded.
void FormDestinationFolder(InstallationData* data)
{
    const size_t kUnexpandedChars = 1024;
    char* unexpanded = data->DestFolder
                           ? FormatHeapText(kUnexpandedChars, "%s\\%s", data->DestFolder, data->Instance)
                           : FormatHeapText(kUnexpandedChars, "%%ProgramFiles%%\\%s\\%s", data->Company, data->Instance);
    char expanded[MAX_PATH];
    expanded[0] = '\0';
    if (!unexpanded || ExpandPath(unexpanded, expanded, sizeof(expanded)) == 0)
        expanded[0] = '\0';
    FreeText(unexpanded);
    ReplaceText(data->DestFolder, DuplicateText(expanded));
}

}  // namespace

int InitInstallationData(InstallationData* data, const char* commandLine, HANDLE* instanceLock)
{
    bool parsed = ParseCommandLine(data, commandLine) == 0;
    // The lock comes before the first line and before anything is read from the machine: a run
    // that waited for another one of its instance sees what that one left, and the lines of the
    // two runs do not mix in a shared log.
    int locked = 0;
    if (parsed && instanceLock && data->Instance && IsValidInstanceId(data->Instance))
        locked = TakeInstanceLock(data->Instance, instanceLock);
    LogMessage(data, "================================================================");
    LogMessage(data, "Agent setup started!");
    LogMessage(data, "Command line parsing completed. Result: %s", parsed ? "Succeeded" : "Failed");
    if (!parsed)
        return -1;
    if (!data->Instance) {
        LogMessage(data, "Product instance GUID is missing. Setup aborted.");
        return -1;
    }
    // The id becomes a folder, a key and a service name: one that could point elsewhere
    // ("..\..", "", "C:") would make a later removal delete a folder that is not the agent's.
    if (!IsValidInstanceId(data->Instance)) {
        LogMessage(data, "Product instance GUID is invalid. Setup aborted.");
        return -1;
    }
    if (locked != 0) {
        LogMessage(data, "Another setup of this agent instance is running.");
        return locked;
    }

    OSVERSIONINFOEXA version;
    if (!QueryWindowsVersion(&version))
        return -1;
    data->IsWin9x = version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS;
    LogMessage(data, "OS is %s platform.", data->IsWin9x ? "Win98" : "WinNT");

    char osName[MAX_PATH], osEdition[MAX_PATH];
    if (GetOsName(osName, osEdition))
        LogMessage(data, "OS is Windows %s %s.", osName, osEdition);
    else
        LogMessage(data, "Failed to retrieve OS name.");

    if (!ReadSourceFolder(data)) {
        LogMessage(data, "Failed initializing installation data");
        return -1;
    }
    if (!data->Company)
        data->Company = DuplicateText("Arvane");
    FormDestinationFolder(data);
    ReplaceText(data->Title, data->Company ? FormatHeapText(strlen(data->Company) + 8, "%s Agent", data->Company)
                                           : nullptr);

    int existing = ReadExistingInstallation(data);
    if (!data->DestFolder || !data->DestFolder[0]) {
        LogMessage(data, "Invalid destination folder!");
        LogMessage(data, "Failed initializing installation data");
        return -1;
    }
    if (existing < 0) {
        LogMessage(data, "Failed initializing installation data");
        return -1;
    }
    if (!data->Publisher)
        data->Publisher = DuplicateText("Arvane");

    DumpInstallationData(data);
    return 0;
}
