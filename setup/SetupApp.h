#pragma once
// The single application object: the main window with its progress dialog, the window texts
// and the run's InstallationData, whose status is the progress window.

#include <windows.h>

#include "procedures/InstallationData.h"
#include "setup/ProgressWindow.h"

enum { kWindowTextBytes = 100 };

struct SetupApp {
    HWND MainWindow;                      // null until created
    ProgressWindow Progress;
    char WindowTitle[kWindowTextBytes];   // main window caption (string 103)
    char WindowClass[kWindowTextBytes];   // window class name (string 109)
    InstallationData Data;
    volatile LONG InstallResult;          // the procedure's result, set by the install thread
    volatile LONG InstallRunning;         // 1 from the install thread's start until its work is done
    HANDLE InstanceLock;                  // the instance's lock, held from before the first log line to the last
    HANDLE FirstProcess;                  // the hand-over's copy: the first process, which waits for its result
    HANDLE ResultPipe;                    // the hand-over's copy: where the result goes to the first process

    SetupApp();

    // The whole run on the main thread; returns the process exit code.
    int Run(HINSTANCE instance, HINSTANCE previous, const char* commandLine, int showCommand);
    SetupApp(const SetupApp&) = delete;
    SetupApp& operator=(const SetupApp&) = delete;

private:
    int RunLocked(HINSTANCE instance, const char* commandLine, int showCommand);
    bool ConfirmRemoval();
    bool HandOverRemoval(const char* commandLine, int* exitCode);
    void TakeHandOver();
    void FinishHandOver(int result);
    void RunMessageLoop();
    void WaitForInstallThread(HANDLE thread);
};

// The one application object of the process.
extern SetupApp g_SetupApp;
