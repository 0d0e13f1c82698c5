#pragma once
// The install thread: one procedure, the finishing steps, the final text.

#include <windows.h>

#include "procedures/InstallationData.h"

struct Installer;
struct ProgressWindow;

// What the install thread works with, built by the run that starts it; it lives until the
// thread has ended.
struct InstallThreadContext {
    InstallationData* Data;    // the run's record
    ProgressWindow* Progress;  // shows the final text
    HWND MainWindow;           // receives the close command when the run ends by itself
    volatile LONG* Result;     // the procedure's result, for the run's exit code
    volatile LONG* Running;    // set to 0 once the work is done: from then on the window may close
    bool HoldsInstanceLock;    // the run took the instance's lock before it started the thread
};

// The thread's entry (context: an InstallThreadContext); returns the procedure's result.
DWORD WINAPI InstallThread(void* context);

// Runs the one procedure the installation data chooses, then the finishing steps: the restart
// line in AgtError.log, the agent service start and AgentUpdated.txt. Takes the instance's
// lock for the run unless holdsInstanceLock. Returns the result.
int RunInstallProcess(Installer* installer, bool holdsInstanceLock = false);

// "yyyy-mm-dd hh:mm:ss +hh:mm": local time with its offset from UTC; false when it did not fit.
bool FormatTimestamp(char* text, size_t size, const SYSTEMTIME* local);
