#pragma once
// The object on which the procedures and the operations they share run.

#include <windows.h>

#include "procedures/AgentFileTable.h"
#include "setup/InstallationData.h"

// The file in the agent folder that records which instance the folder belongs to.
inline constexpr char kPackageInfoFile[] = "Package.xml";

struct Installer {
    InstallationData* Data;
    // Set by the update once it has stopped an agent that was running, so that the install
    // thread can start it again when the update fails later on.
    int StoppedRunningAgent;

    // Rows of the file table whose file the last CopyAgentFiles brought into being.
    bool CopiedRows[kAgentFileRows];
    // Set for the roll-back of an installation into a folder that was there before: the file
    // walk of the removal then takes only the CopiedRows and no folder tree.
    bool RemoveOnlyCopiedFiles;

    explicit Installer(InstallationData* data)
        : Data(data), StoppedRunningAgent(0), CopiedRows(), RemoveOnlyCopiedFiles(false) {}

    // Replaces "$TARGETDIR$", "$AGENTTEMPDIR$", "$TARGETREGKEY$" and "$SYSTEMDIR$" (exact case)
    // in text. Returns a new heap text that the caller frees with FreeText, or null for a null
    // text, a macro whose value is missing or empty, an empty result or one longer than
    // kTargetMacroChars characters.
    char* ExpandTargetMacros(const char* text) const;

    // The agent service "XA" + Instance (on Windows 9x its RunServices value): creates it with
    // the agent's description, failure actions and Safe Mode keys. 0, or the error; 1073
    // (ERROR_SERVICE_EXISTS) when the service exists already, which is then left unchanged.
    int InstallAgentService();

    // As InstallAgentService, but an existing service only gets the image path of this
    // installation (when it differs other than in letter case); a missing one is created.
    int ConfigureAgentService();

    // Deletes the agent service (the legacy service "ArvaneAgent" when UpdateLegacyAgent is
    // set) and, but for the legacy one, its Safe Mode keys. 0 also when it did not exist; a
    // failure is logged and returned.
    int RemoveAgentService();

    // File installation (procedures/FileInstall.cpp).

    // Copies fileName from srcFolder to destFolder (under destName when given), deciding by the
    // flags (procedures/FileInstall.h), then by versions, then by write times; a locked
    // destination is replaced at the next restart (RebootRequired is then set). Both folders may
    // hold target macros. Returns 0 when the destination holds the file afterwards,
    // kSourceFileMissing, -1 for unusable arguments or folders, 206 for a path that does not fit
    // in MAX_PATH, or the error of the deferred replacement.
    int InstallFile(const char* srcFolder, const char* fileName, const char* destFolder,
                    const char* destName, DWORD flags);

    // Copies source over destination; when that fails, clears the destination's read-only and
    // hidden attributes and tries again; when that fails too, replaces it at the next restart.
    // Returns 0 or the error of the deferred replacement.
    int CopyOrDefer(const char* source, const char* destination);

    // Restart-time operations (procedures/RestartOperations.cpp); WinInit.ini on Windows 9x,
    // the system's pending rename list otherwise.

    // Copies source to a new "~" temporary file beside target and schedules it to replace
    // target at the next restart. Returns 0 or a Windows error code (87 for a null argument).
    int ReplaceFileAtRestart(const char* source, const char* target);

    // Schedules path for deletion at the next restart. Returns 0 or a Windows error code (87 for
    // a null path).
    int DeleteFileAtRestart(const char* path);

    // The agent's file table (procedures/AgentFileTable.cpp).

    // Copies every installable row of the table from SrcFolder, moving the bar from
    // progressBase, and notes in CopiedRows the files that were not there before. Returns 0 or
    // the result of the row that stopped the walk.
    int CopyAgentFiles(int progressBase);

    // Removes every removable row of the table (with RemoveOnlyCopiedFiles only the CopiedRows),
    // moving the bar from progressBase.
    void RemoveAgentFiles(int progressBase);

    // Notes in CopiedRows the row of the file name (in the agent folder) that this run created
    // outside the copy.
    void NoteFileCreated(const char* name);

    // The three procedures (procedures/NewInstallation.cpp, Update.cpp, Uninstallation.cpp).

    // A new installation; a failed essential step is rolled back by UninstallAgent (which
    // leaves whatever an agent folder held before this run). 0 or the failing step's code.
    int InstallNewAgent();

    // An update in place (converting a legacy agent); stops at the first essential failure.
    int UpdateExistingAgent();

    // Removal, every step attempted; also the roll-back of a new installation. Always 0.
    int UninstallAgent();

    // The legacy agent's registry entries and its installer's folder.
    void RemoveLegacyAgentLeftovers();

    // Removal of one item (procedures/FileRemoval.cpp).

    // Removes folder\name, every file matching a wildcard name, or the folder tree itself when
    // name is null, and logs the outcome. Returns 0, or 14 when the path cannot be built.
    int RemoveFileItem(const char* folder, const char* name);

    // The expanded folder joined with a backslash and name (the folder alone for a null name)
    // as a new heap text that the caller frees with FreeText; null when the folder is null, a
    // macro cannot be expanded, the result is empty or does not fit in MAX_PATH (logged).
    char* BuildItemPath(const char* folder, const char* name) const;

    // --- Agent settings, uninstall entry, package file and shortcut -------------------------
    // (procedures/AgentRegistry.cpp, UninstallEntry.cpp, PackageInfoFile.cpp, Shortcuts.cpp)

    // Writes the instance key under SOFTWARE\Arvane\Agent, the settings taken over from an
    // older-generation agent during its update, and (except on Windows 9x) the Run value that
    // starts the user task. Returns 0 or the registry error that stopped it.
    int WriteAgentRegistry();

    // Deletes the instance key, the common keys once no instance is left, and the Run value.
    // Returns 0, or -1 when the instance key could not be deleted; never stops early.
    int RemoveAgentRegistry();

    // Writes the instance's entry in the system's list of installed programs; isUpdate keeps a
    // display name that is already set. Best effort: always returns 0.
    int WriteUninstallEntry(int isUpdate);

    // Deletes the instance's uninstall entry; the result is the deletion's registry code.
    int RemoveUninstallEntry();

    // Writes kPackageInfoFile with the instance id into the agent folder; keepExisting leaves an
    // existing file alone. Returns 0 or the error of creating or writing the file.
    int WritePackageFile(int keepExisting);

    // Creates the Start-menu link to the agent in the company's program group; onlyIfMissing
    // leaves an existing link alone. Returns 0, 87 when Title, Company or DestFolder is missing,
    // or the low 16 bits of the failing HRESULT.
    int CreateAgentShortcut(int onlyIfMissing);

    // Deletes the agent's link and then the program group when it is empty. Returns 0, 87 when
    // Title or Company is missing, or the low 16 bits of the deletion's HRESULT.
    int RemoveAgentShortcut();
    // --- end of agent settings, uninstall entry, package file and shortcut ------------------
    // ---- Network drivers and the layered provider (network/Drivers.cpp) ----
    // Installs the drivers and the provider library when this run may own them, taking the
    // ownership first. Failures are logged and absorbed: always 0. Under the lock of the
    // values that instances share (network/Drivers.h), as is RemoveDrivers.
    int InstallDrivers();
    // In a removal run of the owning instance: gives up the ownership and removes the drivers
    // and the provider. Always 0.
    int RemoveDrivers();
    int InstallOwnedDrivers();  // the two without the lock
    int RemoveOwnedDrivers();
    // Takes the provider out of the Winsock catalogue and deletes its library; the result of
    // the catalogue removal (the library stays when it is not 0).
    int RemoveNetworkLayer();
    // 1 on x64 Windows, else 0 (Itanium included).
    static int Is64BitWindows();
    // Reads DriverControl into buffer; 0 or a Windows error code (buffer untouched then).
    static int GetDriverControl(char* buffer, DWORD size);
    // Writes owner into DriverControl, or deletes the value for null; 0 or a Windows error code.
    static int SetDriverControl(const char* owner);
    // ---- end of network drivers ----

    // --- Add-ons and the remote-control viewer (control/AddOns.cpp, control/RemoteControlViewer.cpp;
    // limits and helpers in control/AgentLeftovers.h)

    // Runs the uninstall command of every add-on registered under the instance's "AddOn" key,
    // one after the other, each waited for up to 15 minutes; every outcome is logged and none
    // stops the others. The error of opening the key (nothing logged then), else 0.
    int RemoveAddOns();

    // Removes the remote-control viewer when an agent installed it: its quiet uninstaller where
    // it has a working one, else (or when that did not end cleanly) by hand. Always 0.
    int RemoveRemoteControlViewer();

    // --- end of add-ons and the remote-control viewer

    // --- Process control and the agent's shutdown (control/UserTask.cpp, control/AgentShutdown.cpp)

    // Stops the agent's per-user task UserTray.exe of DestFolder (nothing on Windows 9x): signals
    // its exit event, then closes its windows, then terminates it. 0 when it is gone, else the
    // error, which is logged.
    int StopUserTask();

    // Stops the running agent: its service (not on Windows 9x), then the agent itself through the
    // shutdown request on its pipe, then waits up to two minutes for AgentCore.exe of DestFolder
    // to end. 0 when the service stopped or is missing, or the agent ended within the wait; else
    // the error of the service stop, or -1 (0xFFFFFFFF) on Windows 9x. wasRunning, when given,
    // is set to 1 when the service (on Windows 9x: the agent program) ran before the stop, else 0.
    int StopAgentService(int* wasRunning = nullptr);

    // --- end of process control
};

// The name of the agent's service that the run works on: the legacy agent's "ArvaneAgent" while
// UpdateLegacyAgent is set, else "XA" + Instance (control/AgentService.cpp). False without an
// instance or when it does not fit in size bytes.
bool FormatAgentServiceName(const InstallationData* data, char* name, size_t size);

enum { kTargetMacroChars = 511 };
