#pragma once
// The install thread: one procedure, the finishing steps, the final text.

#include <windows.h>

struct Installer;

// The thread's entry; uses the global SetupApp and returns the procedure's result.
DWORD WINAPI InstallThread(void* unused);

// Runs the one procedure the installation data chooses, then the finishing steps: the restart
// line in AgtError.log, the agent service start and AgentUpdated.txt. Returns the result.
int RunInstallProcess(Installer* installer);

// "yyyy-mm-dd hh:mm:ss +hh:mm": local time with its offset from UTC; false when it did not fit.
bool FormatTimestamp(char* text, size_t size, const SYSTEMTIME* local);
