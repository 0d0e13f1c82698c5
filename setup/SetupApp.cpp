#include "setup/SetupApp.h"

SetupApp g_SetupApp;

SetupApp::SetupApp()
    : MainWindow(nullptr), InstallResult(0), InstallRunning(0), InstanceLock(nullptr), FirstProcess(nullptr),
      ResultPipe(nullptr)
{
    WindowTitle[0] = '\0';
    WindowClass[0] = '\0';
    // The procedures show their progress in the window, as far as the run's /s and /b allow.
    Progress.Run = &Data;
    Data.Status = &Progress;
}
