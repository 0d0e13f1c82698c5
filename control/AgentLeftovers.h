#pragma once
// What agents leave behind on the machine: the add-ons registered under an agent's key, whose
// uninstall commands run when the agent is removed, and the remote-control viewer that agents
// installed, removed with the last agent. Installer::RemoveAddOns and
// Installer::RemoveRemoteControlViewer are declared in procedures/Installer.h.

#include <windows.h>

enum : DWORD {
    kUninstallWaitMs = 900000,  // 15 minutes for each uninstall command, then it is left running
    kUninstallPollMs = 250,     // how often a running uninstall command is looked at
    kViewerStopPauseMs = 5000,  // after the viewer's service was asked to stop
};

// Under HKEY_LOCAL_MACHINE: the key holding one sub-key per agent instance, and the service key
// of the older-generation agent.
extern const char kAgentInstancesKey[];
extern const char kLegacyAgentServiceKey[];

// The viewer's registration, under HKEY_LOCAL_MACHINE.
extern const char kViewerUninstallKey[];
extern const char kViewerServiceName[];
extern const char kViewerServiceKey[];
extern const char kViewerVendorKey[];

struct InstallationData;

// The log lines of one uninstall command's run, each with one %d: the error of starting it, its
// exit code, the error of reading that code, (none), (none), the unexpected result of the wait.
struct UninstallMessages {
    const char* StartFailed;
    const char* Completed;
    const char* NoExitCode;
    const char* TimedOut;
    const char* Abandoned;
    const char* UnknownState;
};

// Starts commandLine (CreateProcessA may write into it) as a process of its own and waits for it
// up to kUninstallWaitMs on the clock of support/Clock.h; a command still running then is left
// running. Logs the outcome with messages. True when the command ended and its exit code was
// read, whatever the code. An unquoted command runs the longest prefix ending in ".exe" that
// names an existing file (a bare file name: in the system folder); without one it does not start
// (error 2).
bool RunUninstallCommand(const InstallationData* data, char* commandLine, const UninstallMessages& messages);

// The number of agents on the machine: 1 for the older-generation agent's service key, and 1
// for each instance key with a non-empty REG_SZ "Path" value.
int CountInstalledAgents();

// Deletes the value valueName of root\subKey. 87 for a missing argument, the error of opening
// the key, else the result of RegDeleteValueA.
int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName);
