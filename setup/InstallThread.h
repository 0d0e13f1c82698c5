#pragma once
// The install thread: the instance lock, the procedure (procedures/RunProcedure.h), the final text
// and the close message.

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

// Takes the instance's lock for the run unless holdsInstanceLock, then runs the procedure
// (RunProcedure) and releases the lock. Returns the procedure's result, or
// ERROR_INSTALL_ALREADY_RUNNING (logged) when another run kept the lock.
int RunInstallProcess(Installer* installer, bool holdsInstanceLock = false);
