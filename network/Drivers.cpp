#include "network/Drivers.h"

#include <string.h>

#include "network/LayeredProvider.h"
#include "procedures/FileInstall.h"
#include "procedures/Installer.h"
#include "setup/SetupLog.h"
#include "support/MachineLock.h"
#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

const char kSharedAgentKey[] = "SOFTWARE\\Arvane\\Agent";
const char kDriverControlValue[] = "DriverControl";
const char kLspLibraryValue[] = "WinSock2LspDll";
const char kLegacyDriverOwner[] = "Legacy";

namespace {

const FolderRedirectionFunctions* g_testRedirection = nullptr;

// Far longer than any holder keeps it: a copy of two files and a few values.
const DWORD kSharedLockWaitMs = 60000;

const char kDriverSourceFolder[] = "$TARGETDIR$\\Drivers";
const char kVirtualDriver[] = "ArvaneD.VXD";     // Windows 9x
const char kFilterDriver[] = "XAPFA.sys";        // Windows NT family, the name it is installed under
const char kFilterDriver64[] = "XAPFA64.sys";    // its x64 build
const char kProviderLibrary[] = "ArvaneSP.dll";  // the layered provider, all platforms

enum DriverDecision { kInstallDrivers, kSkipDrivers, kSkipForLegacyAgent };

bool SameOwner(const char* owner, const char* name)
{
    return name && lstrcmpiA(owner, name) == 0;
}

// Whether this run may install the drivers, given the current owner ("" for nobody). A new
// installation never takes them from another instance; an update takes them back from nobody,
// from itself, and from an older-generation agent it replaces or that is gone.
DriverDecision DecideDriverInstallation(const InstallationData* data, const char* owner)
{
    bool legacyOwner = SameOwner(owner, kLegacyDriverOwner);
    if (!data->IsModify) {
        if (!*owner)
            return data->LegacyAgentExists ? kSkipForLegacyAgent : kInstallDrivers;
        if (legacyOwner && !data->LegacyAgentExists)
            return kInstallDrivers;
        return kSkipDrivers;
    }
    if (!*owner || SameOwner(owner, data->Instance))
        return kInstallDrivers;
    if (legacyOwner && (data->UpdateLegacyAgent || !data->LegacyAgentExists))
        return kInstallDrivers;
    return kSkipDrivers;
}

// The system folder, as this 32-bit program sees it; false when it cannot be read.
bool ReadSystemFolder(char (&folder)[MAX_PATH])
{
    UINT length = GetSystemDirectoryA(folder, MAX_PATH);
    return length != 0 && length < MAX_PATH;
}

// The native system folder's drivers folder of 64-bit Windows ("System32\drivers" under the
// Windows folder), reachable while redirection is off.
bool NativeDriversFolder(char (&folder)[MAX_PATH])
{
    UINT length = GetWindowsDirectoryA(folder, MAX_PATH);
    return length != 0 && length < MAX_PATH && AppendText(folder, MAX_PATH, "\\System32") &&
           AppendText(folder, MAX_PATH, "\\drivers");
}

}  // namespace

HANDLE LockSharedAgentValues()
{
    HANDLE lock = nullptr;
    (void)TakeMachineLock(HasGlobalNamespace() ? "Global\\ArvaneAgents" : "ArvaneAgents", kSharedLockWaitMs, &lock);
    return lock;
}

void UnlockSharedAgentValues(HANDLE* lock)
{
    ReleaseMachineLock(lock);
}

bool FindFolderRedirection(FolderRedirectionFunctions* functions)
{
    if (g_testRedirection) {
        *functions = *g_testRedirection;
    } else {
        // kernel32 is always loaded; the pair exists from Windows XP x64 and Server 2003 SP1 on.
        HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        functions->Disable = GetSystemFunction<DisableRedirectionFunction>(kernel32, "Wow64DisableWow64FsRedirection");
        functions->Revert = GetSystemFunction<RevertRedirectionFunction>(kernel32, "Wow64RevertWow64FsRedirection");
    }
    return functions->Disable && functions->Revert;
}

void SetFolderRedirectionFunctions(const FolderRedirectionFunctions* functions)
{
    g_testRedirection = functions;
}

int Installer::Is64BitWindows()
{
    typedef void(WINAPI * GetNativeSystemInfoFunction)(SYSTEM_INFO*);
    OSVERSIONINFOEXA version;
    if (!QueryWindowsVersion(&version))
        return 0;
    // Only Windows XP x64 / Server 2003 and later exist in 64-bit form.
    if (version.dwMajorVersion < 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion < 2))
        return 0;
    SYSTEM_INFO info;
    memset(&info, 0, sizeof(info));
    GetSystemInfo(&info);
    // A 32-bit program sees its own emulated processor; the native one is what counts.
    GetNativeSystemInfoFunction getNative =
        GetSystemFunction<GetNativeSystemInfoFunction>(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
    if (getNative)
        getNative(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 1 : 0;
}

int Installer::GetDriverControl(char* buffer, DWORD size)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedAgentKey, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    // Read into a copy first: the caller's buffer stays untouched on failure, and the value is
    // terminated even when it was stored without its NUL.
    char value[MAX_PATH + 1];
    DWORD type = 0;
    DWORD valueSize = size < MAX_PATH ? size : MAX_PATH;
    result = RegQueryValueExA(key, kDriverControlValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
    CloseKey(key);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (size == 0)
        return ERROR_MORE_DATA;
    value[valueSize < size ? valueSize : size - 1] = 0;
    memcpy(buffer, value, strlen(value) + 1);
    return 0;
}

int Installer::SetDriverControl(const char* owner)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedAgentKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    if (owner)
        result = RegSetValueExA(key, kDriverControlValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(owner),
                                static_cast<DWORD>(strlen(owner) + 1));
    else
        result = RegDeleteValueA(key, kDriverControlValue);
    CloseKey(key);
    return result;
}

int Installer::InstallDrivers()
{
    HANDLE lock = LockSharedAgentValues();
    int result = InstallOwnedDrivers();
    UnlockSharedAgentValues(&lock);
    return result;
}

int Installer::InstallOwnedDrivers()
{
    char owner[MAX_PATH];
    char systemFolder[MAX_PATH];
    char folder[MAX_PATH];
    owner[0] = 0;
    GetDriverControl(owner, sizeof(owner));
    LogMessage(Data, "Agent installs drivers: %s.", *owner ? owner : "Unknown");

    DriverDecision decision = DecideDriverInstallation(Data, owner);
    if (decision == kSkipForLegacyAgent)
        SetDriverControl(kLegacyDriverOwner);
    if (decision != kInstallDrivers) {
        LogMessage(Data, "Other agent has installed the drivers. Driver installation is skipped.");
        return 0;
    }

    LogMessage(Data, "Installing drivers...");
    // Owned before any file is copied: an instance whose copy fails still answers for them.
    SetDriverControl(Data->Instance);
    if (!ReadSystemFolder(systemFolder)) {
        LogError(Data, static_cast<int>(GetLastError()), "Could not read the system folder.");
        return 0;
    }

    // Copy failures are logged by InstallFile and do not stop the others.
    if (Data->IsWin9x) {
        InstallFile(kDriverSourceFolder, kVirtualDriver, systemFolder, nullptr, FileForceCopy);
    } else if (Is64BitWindows()) {
        FolderRedirectionFunctions redirection;
        PVOID redirectionState = nullptr;
        // Redirection stays off only for this one copy: it is per thread, and with it off even
        // the loading of system libraries would reach the 64-bit ones.
        if (FindFolderRedirection(&redirection) && redirection.Disable(&redirectionState)) {
            if (NativeDriversFolder(folder))
                InstallFile(kDriverSourceFolder, kFilterDriver64, folder, kFilterDriver, FileForceCopy);
            redirection.Revert(redirectionState);
        }
    } else if (FormatText(folder, sizeof(folder), "%s\\drivers", systemFolder)) {
        InstallFile(kDriverSourceFolder, kFilterDriver, folder, nullptr, FileForceCopy);
    }
    // The provider library is a 32-bit library: on 64-bit Windows it belongs in the folder that
    // 32-bit programs see as their system folder, which is where it goes with redirection on.
    InstallFile(kDriverSourceFolder, kProviderLibrary, systemFolder, nullptr, FileForceCopy);

    HKEY key = nullptr;
    char keyPath[MAX_PATH];
    char libraryPath[MAX_PATH];
    if (!FormatText(keyPath, sizeof(keyPath), "%s\\%s", kSharedAgentKey, Data->Instance ? Data->Instance : "") ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        LogMessage(Data, "Could not open key: %s.", keyPath);
        return 0;
    }
    if (FormatText(libraryPath, sizeof(libraryPath), "%s\\%s", systemFolder, kProviderLibrary))
        RegSetValueExA(key, kLspLibraryValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(libraryPath),
                       static_cast<DWORD>(strlen(libraryPath) + 1));
    CloseKey(key);
    return 0;
}

int Installer::RemoveDrivers()
{
    HANDLE lock = LockSharedAgentValues();
    int result = RemoveOwnedDrivers();
    UnlockSharedAgentValues(&lock);
    return result;
}

int Installer::RemoveOwnedDrivers()
{
    char owner[MAX_PATH];
    char systemFolder[MAX_PATH];
    char folder[MAX_PATH];
    owner[0] = 0;
    GetDriverControl(owner, sizeof(owner));
    LogMessage(Data, "Agent owns drivers: %s", *owner ? owner : "Unknown");
    // Only the owner's own removal removes them: never another instance's or the legacy
    // agent's, and never during the roll-back of a failed new installation.
    if (!Data->IsRemove || !SameOwner(owner, Data->Instance))
        return 0;

    LogMessage(Data, "Removing drivers...");
    SetDriverControl(nullptr);
    if (!ReadSystemFolder(systemFolder)) {
        LogError(Data, static_cast<int>(GetLastError()), "Could not read the system folder.");
        return 0;
    }

    if (Data->IsWin9x) {
        RemoveFileItem(systemFolder, kVirtualDriver);
    } else if (Is64BitWindows()) {
        FolderRedirectionFunctions redirection;
        PVOID redirectionState = nullptr;
        if (!FindFolderRedirection(&redirection))
            return 0;
        if (!redirection.Disable(&redirectionState)) {
            LogError(Data, 0, "Failed to disable folder redirection.");
            return 0;
        }
        if (NativeDriversFolder(folder))
            RemoveFileItem(folder, kFilterDriver);
        redirection.Revert(redirectionState);
    } else if (FormatText(folder, sizeof(folder), "%s\\drivers", systemFolder)) {
        RemoveFileItem(folder, kFilterDriver);
    }
    // With redirection on: the catalogue functions live in system libraries, and the library
    // file lies in the 32-bit system folder, where the installation put it.
    RemoveNetworkLayer();
    return 0;
}

int Installer::RemoveNetworkLayer()
{
    char systemFolder[MAX_PATH];
    int result = RemoveAgentLsp();
    if (result != 0) {
        // The library stays: a provider still in the catalogue would fail to load without it.
        LogMessage(Data, "Failed to uninstall network layer driver.");
        return result;
    }
    if (ReadSystemFolder(systemFolder))
        RemoveFileItem(systemFolder, kProviderLibrary);
    return 0;
}
