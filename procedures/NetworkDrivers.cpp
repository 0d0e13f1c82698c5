// The network drivers and the layered provider of this installation: installed by the instance
// that may own them, removed by the owner's own removal.
#include "procedures/NetworkDrivers.h"

#include "network/DriverOwner.h"
#include "network/LayeredProvider.h"
#include "procedures/FileInstall.h"
#include "procedures/FileRemoval.h"
#include "procedures/RemovalLeftovers.h"
#include "procedures/SharedAgentValues.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/FolderRedirection.h"
#include "support/Handles.h"
#include "support/Registry.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

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

// Removes one driver file; with leftovers, one in use (a loaded driver or provider) is left for
// the next restart, named as the folder redirection of the moment sees it.
void RemoveDriverFileAt(const InstallationData* data, const char* folder, const char* name, RemovalLeftovers* leftovers)
{
    RemoveFileItem(data, folder, name, leftovers, kLeftForRestart);
}

// Reads the drivers' owner ("" for nobody). False, noted as a part failure, when the value is
// there but cannot be read (nor is of a type or length an owner has): whoever owns them, their
// drivers are left alone then.
bool ReadDriverOwner(const InstallationData* data, char (&owner)[MAX_PATH])
{
    owner[0] = '\0';
    int result = GetDriverControl(owner, sizeof(owner));
    if (result == 0 || result == ERROR_FILE_NOT_FOUND)
        return true;
    NotePartFailure(data, result, kCouldNotRead, kDriverControlValue);
    return false;
}

// Copies one driver file by force into folder (under destName when given); true when the copy
// brought the file into being.
bool InstallDriverFile(InstallationData* data, const char* name, const char* folder, const char* destName)
{
    char path[MAX_PATH];
    bool existed = !JoinPath(path, folder, destName ? destName : name) || GetPathKind(path) != 0;
    int result = InstallFile(data, kDriverSourceFolder, name, folder, destName, FileForceCopy);
    if (result != 0)
        NotePartFailure(data, result, kCouldNotWrite, path);
    return result == 0 && !existed;
}

// Removes the driver of this platform: ArvaneD.VXD in the system folder on Windows 9x, XAPFA.sys
// in the (native) drivers folder elsewhere; with leftovers, one in use is left for the restart.
// False when 64-bit Windows offers no way to reach its native folder.
bool RemoveDriverFile(const InstallationData* data, const char* systemFolder, RemovalLeftovers* leftovers)
{
    char folder[MAX_PATH];
    if (data->IsWin9x) {
        RemoveDriverFileAt(data, systemFolder, kVirtualDriver, leftovers);
    } else if (Is64BitWindows()) {
        FolderRedirectionFunctions redirection;
        PVOID redirectionState = nullptr;
        if (!FindFolderRedirection(&redirection))
            return false;
        if (!redirection.Disable(&redirectionState)) {
            LogError(data, 0, "Failed to disable folder redirection.");
            return false;
        }
        if (NativeDriversFolder(folder))
            RemoveDriverFileAt(data, folder, kFilterDriver, leftovers);
        redirection.Revert(redirectionState);
    } else if (FormatText(folder, sizeof(folder), "%s\\drivers", systemFolder)) {
        RemoveDriverFileAt(data, folder, kFilterDriver, leftovers);
    }
    return true;
}

}  // namespace

void InstallDrivers(InstallationData* data)
{
    HANDLE lock = LockSharedAgentValues();
    InstallOwnedDrivers(data);
    UnlockSharedAgentValues(&lock);
}

void ReleaseDriverOwnership(const InstallationData* data)
{
    char owner[MAX_PATH];
    owner[0] = '\0';
    HANDLE lock = LockSharedAgentValues();
    GetDriverControl(owner, sizeof(owner));
    if (SameOwner(owner, data->Instance))
        (void)SetDriverControl(nullptr);
    UnlockSharedAgentValues(&lock);
}

void InstallOwnedDrivers(InstallationData* data, CreatedDrivers* created)
{
    char owner[MAX_PATH];
    char systemFolder[MAX_PATH];
    char folder[MAX_PATH];
    CreatedDrivers ignored;
    if (!created)
        created = &ignored;
    *created = CreatedDrivers();
    if (!ReadDriverOwner(data, owner))
        return;
    LogMessage(data, "Agent installs drivers: %s.", *owner ? owner : "Unknown");

    DriverDecision decision = DecideDriverInstallation(data, owner);
    created->Ownership = !*owner;
    if (decision == kSkipForLegacyAgent)
        SetDriverControl(kLegacyDriverOwner);
    if (decision != kInstallDrivers) {
        LogMessage(data, "Other agent has installed the drivers. Driver installation is skipped.");
        return;
    }

    LogMessage(data, "Installing drivers...");
    // Owned before any file is copied: an instance whose copy fails still answers for them.
    int result = SetDriverControl(data->Instance);
    if (result != 0)
        NotePartFailure(data, result, kCouldNotWrite, kDriverControlValue);
    if (!ReadSystemFolder(systemFolder)) {
        LogError(data, static_cast<int>(GetLastError()), "Could not read the system folder.");
        return;
    }

    // Copy failures are logged by InstallFile and do not stop the others.
    if (data->IsWin9x) {
        created->DriverFile = InstallDriverFile(data, kVirtualDriver, systemFolder, nullptr);
    } else if (Is64BitWindows()) {
        FolderRedirectionFunctions redirection;
        PVOID redirectionState = nullptr;
        // Redirection stays off only for this one copy: it is per thread, and with it off even
        // the loading of system libraries would reach the 64-bit ones.
        if (FindFolderRedirection(&redirection) && redirection.Disable(&redirectionState)) {
            if (NativeDriversFolder(folder))
                created->DriverFile = InstallDriverFile(data, kFilterDriver64, folder, kFilterDriver);
            redirection.Revert(redirectionState);
        }
    } else if (FormatText(folder, sizeof(folder), "%s\\drivers", systemFolder)) {
        created->DriverFile = InstallDriverFile(data, kFilterDriver, folder, nullptr);
    }
    // The provider library is a 32-bit library: on 64-bit Windows it belongs in the folder that
    // 32-bit programs see as their system folder, which is where it goes with redirection on.
    created->ProviderLibrary = InstallDriverFile(data, kProviderLibrary, systemFolder, nullptr);

    HKEY key = nullptr;
    char keyPath[MAX_PATH];
    char libraryPath[MAX_PATH];
    if (!FormatInstanceKey(data->Instance, keyPath, sizeof(keyPath)) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_WRITE, &key) != ERROR_SUCCESS) {
        LogMessage(data, "Could not open key: %s.", keyPath);
        return;
    }
    if (FormatText(libraryPath, sizeof(libraryPath), "%s\\%s", systemFolder, kProviderLibrary))
        (void)WriteStringValue(key, kLspLibraryValue, libraryPath);
    CloseKey(key);
}

void RemoveDrivers(const InstallationData* data, RemovalLeftovers* leftovers)
{
    HANDLE lock = LockSharedAgentValues();
    RemoveOwnedDrivers(data, leftovers);
    UnlockSharedAgentValues(&lock);
}

void RemoveOwnedDrivers(const InstallationData* data, RemovalLeftovers* leftovers)
{
    char owner[MAX_PATH];
    char systemFolder[MAX_PATH];
    if (!ReadDriverOwner(data, owner))
        return;
    LogMessage(data, "Agent owns drivers: %s", *owner ? owner : "Unknown");
    // Only the owner's own removal removes them: never another instance's or the legacy
    // agent's (a failed new installation takes back its own with RemoveCreatedDrivers).
    if (!data->IsRemove || !SameOwner(owner, data->Instance))
        return;

    LogMessage(data, "Removing drivers...");
    if (!ReadSystemFolder(systemFolder)) {
        LogError(data, static_cast<int>(GetLastError()), "Could not read the system folder.");
        return;
    }
    // With redirection on: the catalogue functions live in system libraries, and the library
    // file lies in the 32-bit system folder, where the installation put it.
    int failures = data->PartFailures;
    if (RemoveDriverFile(data, systemFolder, leftovers))
        RemoveNetworkLayer(data, leftovers);
    // Given up last, and only once none of them failed to go (the restart may take one in use): a
    // run killed or failed before this finds the drivers still its own, and its rerun removes them.
    if (data->PartFailures == failures)
        NoteRemoval(data, SetDriverControl(nullptr), kDriverControlValue);
}

void RemoveCreatedDrivers(const InstallationData* data, const CreatedDrivers& created)
{
    char owner[MAX_PATH];
    char systemFolder[MAX_PATH];
    owner[0] = 0;
    HANDLE lock = LockSharedAgentValues();
    GetDriverControl(owner, sizeof(owner));
    // Written where nobody was named: this instance, or the older agent that keeps them.
    if (created.Ownership && (SameOwner(owner, data->Instance) || SameOwner(owner, kLegacyDriverOwner)))
        SetDriverControl(nullptr);
    if (ReadSystemFolder(systemFolder)) {
        if (created.DriverFile)
            RemoveDriverFile(data, systemFolder, nullptr);
        // Never in the catalogue: the agent, which enters it there, has not run.
        if (created.ProviderLibrary)
            RemoveFileItem(data, systemFolder, kProviderLibrary);
    }
    UnlockSharedAgentValues(&lock);
}

int RemoveNetworkLayer(const InstallationData* data, RemovalLeftovers* leftovers)
{
    char systemFolder[MAX_PATH];
    int result = RemoveAgentLsp();
    if (result != 0) {
        // The library stays: a provider still in the catalogue would fail to load without it. So
        // do the drivers' owner and the registration, for the next removal.
        LogMessage(data, "Failed to uninstall network layer driver.");
        NotePartFailure(data, result, nullptr);
        return result;
    }
    if (ReadSystemFolder(systemFolder))
        RemoveDriverFileAt(data, systemFolder, kProviderLibrary, leftovers);
    return 0;
}
