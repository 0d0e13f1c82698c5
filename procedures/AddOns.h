#pragma once
// Add-ons: programs that registered an uninstall command under the agent instance's key; the
// commands run, one after the other, when the agent is removed. Also the run of one uninstall
// command, which the remote-control viewer's quiet uninstaller shares.

#include "procedures/InstallationData.h"

enum : DWORD {
    kUninstallWaitMs = 900000,  // 15 minutes for each uninstall command, then it is left running
    kUninstallPollMs = 250,     // how often a running uninstall command is looked at
};

// The log lines of one uninstall command's run, each with one %d: the error of starting it, its
// exit code, the error of reading that code, (none), (none), the unexpected result of the wait.
// The log lines of an uninstall command differ only in how they name it: "<Process> process
// completed and returned %d." and the like, and "<Failed>Faile to run <Command>uninstall command.
// Error code: %d".
struct UninstallMessages {
    const char* Failed;   // before "Faile to run"
    const char* Command;  // before "uninstall command"
    const char* Process;  // before " process ..."
};

// The line of a command that could not be started.
void LogUninstallStartFailure(const InstallationData* data, const UninstallMessages& messages, int error);

// Starts commandLine (CreateProcessA may write into it) as a process of its own and waits for it
// up to kUninstallWaitMs on the clock of support/Clock.h; a command still running then is left
// running. Logs the outcome with messages. True when the command ended and its exit code was
// read, whatever the code. An unquoted command runs the longest prefix ending in ".exe" that
// names an existing file (a bare file name: in the system folder); without one it does not start
// (error 2).
bool RunUninstallCommand(const InstallationData* data, char* commandLine, const UninstallMessages& messages);

// Runs the uninstall command of every add-on registered under the instance's "AddOn" key,
// one after the other, each waited for up to 15 minutes; every outcome is logged and none
// stops the others. The error of opening the key (nothing logged then), else 0.
int RemoveAddOns(const InstallationData* data);
