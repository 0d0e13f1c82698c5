#include "setup/BuildInstallationData.h"

#include <string.h>

#include "setup/InstanceLock.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/FolderTree.h"
#include "support/OsName.h"
#include "support/PathMacros.h"
#include "support/SystemLibrary.h"
#include "support/WindowStation.h"
#include "support/WindowsVersion.h"

namespace {

// One line per field, for whoever reads the log after a silent run: a text, or a flag as Yes/No;
// neither: the instance key, which is formed from the id.
struct DumpedField {
    const char* Name;
    char* InstallationData::*Text;
    int InstallationData::*Flag;
};

const DumpedField kDumpedFields[] = {
    {"Instance", &InstallationData::Instance, nullptr},
    {"Partition ID", &InstallationData::PartitionId, nullptr},
    {"SrcFolder", &InstallationData::SrcFolder, nullptr},
    {"DestFolder", &InstallationData::DestFolder, nullptr},
    {"IsSilent", nullptr, &InstallationData::IsSilent},
    {"IsRemove", nullptr, &InstallationData::IsRemove},
    {"UpdateLegacyAgent", nullptr, &InstallationData::UpdateLegacyAgent},
    {"RunProgram", nullptr, &InstallationData::RunProgram},
    {"NoInteract", nullptr, &InstallationData::NoInteract},
    {"ShowProgress", nullptr, &InstallationData::ShowProgress},
    {"IsModify", nullptr, &InstallationData::IsModify},
    {"bNoDriver", nullptr, &InstallationData::bNoDriver},
    {"Company", &InstallationData::Company, nullptr},
    {"Comments", &InstallationData::Comments, nullptr},
    {"Contact", &InstallationData::Contact, nullptr},
    {"HelpLink", &InstallationData::HelpLink, nullptr},
    {"Publisher", &InstallationData::Publisher, nullptr},
    {"AboutLink", &InstallationData::AboutLink, nullptr},
    {"Title", &InstallationData::Title, nullptr},
    {"DestRegKey", nullptr, nullptr},
    {"AgentWorkingFolder", &InstallationData::AgentWorkingFolder, nullptr},
    {"LegacyAgentExists", nullptr, &InstallationData::LegacyAgentExists},
    {"RunAsTemp", nullptr, &InstallationData::RunAsTemp},
    {"bNoShortcut", nullptr, &InstallationData::bNoShortcut},
    {"bNoAddRemove", nullptr, &InstallationData::bNoAddRemove},
    {"bDontStartAgent", nullptr, &InstallationData::bDontStartAgent},
};

void DumpInstallationData(const InstallationData* data)
{
    char instanceKey[MAX_PATH];
    FormatInstanceKey(data->Instance, instanceKey, sizeof(instanceKey));
    for (const DumpedField& field : kDumpedFields) {
        const char* value = field.Flag ? (data->*field.Flag ? "Yes" : "No")
                                       : (field.Text ? data->*field.Text : instanceKey);
        LogMessage(data, "> %s = %s", field.Name, value ? value : "");
    }
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
    SetDestinationFolder(data, expanded);
}

}  // namespace

void SetDestinationFolder(InstallationData* data, const char* folder)
{
    // "C:\\" and "I1" make "C:\\\\I1": the restart list, the registry and every later run must
    // see one spelling of it.
    char normal[MAX_PATH];
    bool usable = folder && folder[0] && NormalizePath(folder, normal) && !IsDevicePath(normal);
    ReplaceText(data->DestFolder, usable ? DuplicateText(normal) : nullptr);
}

namespace {

typedef BOOL(WINAPI* GetTokenInformationFunction)(HANDLE, TOKEN_INFORMATION_CLASS, LPVOID, DWORD, PDWORD);
typedef BOOL(WINAPI* LookupAccountSidAFunction)(LPCSTR, PSID, LPSTR, LPDWORD, LPSTR, LPDWORD, PSID_NAME_USE);
typedef BOOL(WINAPI* GetUserNameAFunction)(LPSTR, LPDWORD);

// Whom the run acts as: the process token's account on NT ("NT AUTHORITY\SYSTEM" for a
// deployment tool's run), else the computer and the logged-on user.
void LogAccount(const InstallationData* data)
{
    if (!data->LogEnabled)
        return;
    char domain[256] = "", user[256] = "";
    DWORD domainSize = sizeof(domain), userSize = sizeof(user);
    HMODULE advapi = GetModuleHandleA("advapi32.dll");
    GetTokenInformationFunction getTokenInformation =
        GetSystemFunction<GetTokenInformationFunction>(advapi, "GetTokenInformation");
    LookupAccountSidAFunction lookupAccountSid = GetSystemFunction<LookupAccountSidAFunction>(advapi, "LookupAccountSidA");
    HANDLE token = nullptr;
    bool named = false;
    if (getTokenInformation && lookupAccountSid && OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        DWORD buffer[64];  // a TOKEN_USER and its SID, aligned as the structure needs
        DWORD size = 0;
        SID_NAME_USE use;
        named = getTokenInformation(token, TokenUser, buffer, sizeof(buffer), &size) &&
                lookupAccountSid(nullptr, reinterpret_cast<TOKEN_USER*>(buffer)->User.Sid, user, &userSize, domain,
                                 &domainSize, &use);
        CloseHandle(token);
    }
    if (!named) {
        GetUserNameAFunction getUserName = GetSystemFunction<GetUserNameAFunction>(advapi, "GetUserNameA");
        domainSize = sizeof(domain);
        userSize = sizeof(user);
        if (!GetComputerNameA(domain, &domainSize))
            domain[0] = '\0';
        if (!getUserName || !getUserName(user, &userSize))
            user[0] = '\0';
    }
    LogMessage(data, "Account: %s\\%s", domain, user);
}

// The folders of the log the command line asks for: a log that was asked for must come into being.
void CreateLogFolder(const InstallationData* data)
{
    char folder[MAX_PATH];
    if (!data->LogEnabled || !CopyText(folder, sizeof(folder), data->Log.Path))
        return;
    char* slash = strrchr(folder, '\\');
    if (slash && slash > folder && slash[-1] != ':') {
        *slash = '\0';
        (void)CreateFolderPath(folder);
    }
}

}  // namespace

int InitInstallationData(InstallationData* data, const char* commandLine, HANDLE* instanceLock)
{
    char* packageFile = nullptr;
    bool parsed = ParseCommandLine(data, commandLine, &packageFile) == 0;
    int packageError = packageFile ? ReadPackageFile(data, packageFile) : 0;
    CreateLogFolder(data);
    // A silent run whose log cannot be written would leave no trace of what it did: it ends
    // before it does anything, as other installers do.
    if (parsed && data->LogEnabled && !data->Log.IsWritable()) {
        FreeText(packageFile);
        return ERROR_INSTALL_LOG_FAILURE;
    }
    // The lock comes before the first line and before anything is read from the machine: a run
    // that waited for another one of its instance sees what that one left, and the lines of the
    // two runs do not mix in a shared log.
    int locked = 0;
    if (parsed && instanceLock && data->Instance && IsValidInstanceId(data->Instance))
        locked = TakeInstanceLock(data->Instance, instanceLock);
    LogMessage(data, "================================================================");
    LogMessage(data, "Agent setup started!");
    LogMessage(data, "Command line parsing completed. Result: %s", parsed ? "Succeeded" : "Failed");
    LogMessage(data, "Command line: %s", commandLine ? commandLine : "");
    LogAccount(data);
    if (!parsed) {
        FreeText(packageFile);
        LogMessage(data, "The command line cannot be read. Setup aborted.");
        return -1;
    }
    if (LogOptionMistakes(data, commandLine)) {
        FreeText(packageFile);
        return -1;
    }
    if (packageError != 0) {
        char* reason = GetErrorText(packageError);
        LogMessage(data, "Package file \"%s\" cannot be read. %s", packageFile, reason ? reason : "");
        FreeText(reason);
        FreeText(packageFile);
        return packageError;
    }
    FreeText(packageFile);
    static_assert(kInstanceChars == 20 && kPartitionIdChars == 26, "the refusals name the limits");
    const char* refusal = nullptr;
    if (!data->Instance)
        refusal = "Product instance GUID is missing. Setup aborted.";
    // Cut, a long id would name another instance: the second of two ids alike in their first
    // characters would update the first.
    else if (strlen(data->Instance) > kInstanceChars)
        refusal = "Product instance GUID is longer than 20 characters. Setup aborted.";
    // The id becomes a folder, a key and a service name: one that could point elsewhere
    // ("..\..", "", "C:") would make a later removal delete a folder that is not the agent's.
    else if (!IsValidInstanceId(data->Instance))
        refusal = "Product instance GUID is invalid. Setup aborted.";
    else if (data->PartitionId && strlen(data->PartitionId) > kPartitionIdChars)
        refusal = "Partition ID is longer than 26 characters. Setup aborted.";
    if (refusal) {
        LogMessage(data, "%s", refusal);
        return -1;
    }
    if (locked != 0) {
        LogMessage(data, "Another setup of this agent instance is running.");
        return locked;
    }
    // On a service's desktop (session 0) nobody answers a question or presses Close: the run
    // would wait for ever.
    if (!data->IsSilent && !IsWindowStationVisible()) {
        LogMessage(data, "No one can answer on this desktop; the run is silent.");
        data->IsSilent = 1;
        data->NoInteract = 1;
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
