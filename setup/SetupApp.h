#pragma once
// The single application object: the module, the main window with its progress dialog, the
// window texts and the run's InstallationData.

#include <windows.h>

#include "setup/InstallationData.h"
#include "setup/ProgressWindow.h"

enum { kWindowTextBytes = 100 };

struct SetupApp {
    HINSTANCE AppInstance;                // null until the main window is created
    HWND MainWindow;                      // null until created
    ProgressWindow Progress;
    char WindowTitle[kWindowTextBytes];   // main window caption (string 103)
    char WindowClass[kWindowTextBytes];   // window class name (string 109)
    InstallationData Data;
    volatile LONG InstallResult;          // the procedure's result, set by the install thread
    volatile LONG InstallRunning;         // 1 from the install thread's start until its work is done
    HANDLE InstanceLock;                  // the instance's lock, held from before the first log line to the last

    SetupApp();

    // The whole run on the main thread; returns the process exit code.
    int Run(HINSTANCE instance, HINSTANCE previous, const char* commandLine, int showCommand);
    SetupApp(const SetupApp&) = delete;
    SetupApp& operator=(const SetupApp&) = delete;

    // Status operations of the install thread; each does nothing while the run is silent
    // without ShowProgress, and touches a control only while the dialog exists.

    // Upper line: the procedure (string id).
    void SetStatusText(int stringId) const;

    // Lower line (string id > 0) and the bar (percent >= 0); the other stays as it is.
    void SetDetailText(int stringId, int percent) const;

    // Lower line: the format string stringId ("Copying %s", "Deleting %s") with path.
    void ShowFileText(int stringId, const char* path) const;

    // Loads a string of the program's string table ("" when missing).
    void LoadText(int stringId, char* buffer, int size) const;

private:
    int RunLocked(HINSTANCE instance, const char* commandLine, int showCommand);
    bool ConfirmRemoval();
    bool HandOverRemoval(const char* commandLine);
    void RunMessageLoop();
    void WaitForInstallThread(HANDLE thread);

    bool ShowsProgress() const { return !Data.IsSilent || Data.ShowProgress; }
};

// The one application object of the process.
extern SetupApp g_SetupApp;
