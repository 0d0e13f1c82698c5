// The run on the main thread: the installation data, the removal's confirmation and hand-over
// to a temporary copy, the window, the install thread and the message loop.
#include <windows.h>

#include <commctrl.h>
#include <string.h>

#include "control/Processes.h"
#include "procedures/FileInstall.h"
#include "resources/resource.h"
#include "setup/InstallThread.h"
#include "setup/MainWindow.h"
#include "setup/SetupApp.h"
#include "support/Handles.h"
#include "support/SystemLibrary.h"

namespace {

const int kCaptionBytes = 260;
const int kMessageBytes = 512;
const DWORD kCopyIdleWaitMs = 10000;
const size_t kCommandLineChars = 32767;

// The running program's path and, optionally, its folder.
bool GetProgramPath(char* path, DWORD size, char* folder)
{
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    if (length == 0 || length >= size)
        return false;
    if (folder) {
        CopyText(folder, size, path);
        char* slash = strrchr(folder, '\\');
        if (slash)
            *slash = '\0';
    }
    return true;
}

// A new name "agtXXXX.exe" in the temporary folder.
bool MakeTemporaryProgramName(char* name)
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(folder), folder);
    if (length == 0 || length >= sizeof(folder) || !GetTempFileNameA(folder, "agt", 0, name))
        return false;
    DeleteFileA(name);
    char* dot = strrchr(name, '.');
    if (dot)
        *dot = '\0';
    return AppendText(name, MAX_PATH, ".exe");
}

typedef void(WINAPI* InitCommonControlsFunction)();
typedef BOOL(WINAPI* InitCommonControlsExFunction)(const INITCOMMONCONTROLSEX*);

// The common controls, for the progress bar: loaded at run time, since the program's folder
// would come first for a library it imports. By name where the search is limited to the system
// folder, so that the manifest's version still applies; else by full path from that folder.
// Every class is registered; the first comctl32 of Windows 95 and NT 4 lacks
// InitCommonControlsEx, and InitCommonControls registers the progress bar there. The library
// must stay loaded while the window exists; null when it cannot be loaded (no progress bar).
HMODULE LoadCommonControls()
{
    HMODULE library = IsLibrarySearchLimited() ? LoadLibraryA("comctl32.dll") : LoadSystemLibrary("comctl32.dll");
    InitCommonControlsFunction initialize = GetSystemFunction<InitCommonControlsFunction>(library, "InitCommonControls");
    if (initialize)
        initialize();
    InitCommonControlsExFunction initializeEx =
        GetSystemFunction<InitCommonControlsExFunction>(library, "InitCommonControlsEx");
    if (initializeEx) {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        initializeEx(&classes);
    }
    return library;
}

void FreeCommonControls(HMODULE library)
{
    if (library)
        FreeLibrary(library);
}

// The answer to /?: the option table in a box, before any log, instance or window.
void ShowOptionTable(HINSTANCE instance)
{
    char caption[kCaptionBytes];
    if (LoadStringA(instance, IDS_WINDOW_TITLE, caption, sizeof(caption)) <= 0)
        caption[0] = '\0';
    char* table = FormatOptionTable();
    if (table)
        MessageBoxA(nullptr, table, caption, MB_OK);
    FreeText(table);
}

}  // namespace

bool SetupApp::ConfirmRemoval()
{
    char caption[kCaptionBytes], text[kMessageBytes];
    LoadText(IDS_CONFIRM_CAPTION, caption, sizeof(caption));
    LoadText(IDS_CONFIRM_TEXT, text, sizeof(text));
    if (Data.NoInteract)
        return true;
    if (MessageBoxA(nullptr, text, caption, MB_OKCANCEL) == IDCANCEL) {
        LogMessage(&Data, "Setup is cancelled by user.");
        return false;
    }
    return true;
}

// A removal started from inside the agent folder (as the uninstall entry does) runs from a
// copy in the temporary folder, which can delete the folder. True when the copy took over.
bool SetupApp::HandOverRemoval(const char* commandLine)
{
    char program[MAX_PATH], folder[MAX_PATH], copy[MAX_PATH];
    if (!GetProgramPath(program, sizeof(program), folder) || !Data.DestFolder ||
        !IsSameFile(folder, Data.DestFolder, true))
        return false;

    if (!MakeTemporaryProgramName(copy) || !CopyFileA(program, copy, FALSE)) {
        DWORD code = GetLastError();
        LogError(&Data, (int)code, "Couldn't copy file. Continue to uninstallation in same process.");
        return false;
    }
    char* command = FormatHeapText(kCommandLineChars, "\"%s\" /t %s", copy, commandLine ? commandLine : "");
    if (!command) {
        LogError(&Data, ERROR_NOT_ENOUGH_MEMORY, "New process is not started. Continue to uninstallation in same process.");
        return false;
    }
    LogMessage(&Data, "Run \"%s\" to perform uninstallation.", command);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    BOOL started = CreateProcessA(nullptr, command, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                                  &startup, &process);
    DWORD code = GetLastError();
    FreeText(command);
    if (!started) {
        LogError(&Data, (int)code, "New process is not started. Continue to uninstallation in same process.");
        return false;
    }
    WaitForInputIdle(process.hProcess, kCopyIdleWaitMs);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    LogMessage(&Data, "Process is started.");
    return true;
}

// The loop ends with the main window, which a close request cannot destroy while the install
// thread works; yet the loop may end otherwise (a quit message from outside). The run must not
// end under the thread, and the thread may still be sending to the windows meanwhile.
void SetupApp::WaitForInstallThread(HANDLE thread)
{
    while (MsgWaitForMultipleObjects(1, &thread, FALSE, INFINITE, QS_ALLINPUT) == WAIT_OBJECT_0 + 1) {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                continue;
            TranslateMessage(&message);
            DispatchMessageA(&message);
        }
    }
}

void SetupApp::RunMessageLoop()
{
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        // The dialog takes its keyboard messages, so that Close reacts to Enter and Space.
        if (Progress.Dialog && IsDialogMessageA(Progress.Dialog, &message))
            continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
}

int SetupApp::Run(HINSTANCE instance, HINSTANCE, const char* commandLine, int showCommand)
{
    int optionTable = FindOptionTableRequest(commandLine);
    if (optionTable) {
        if (optionTable == 1)
            ShowOptionTable(instance);
        return 0;
    }
    if (InitInstallationData(&Data, commandLine) != 0)
        return -1;

    if (Data.IsRemove) {
        if (!Data.IsSilent && !Data.RunAsTemp && !ConfirmRemoval())
            return ERROR_INSTALL_USEREXIT;
        if (HandOverRemoval(commandLine))
            return 0;
    }

    LoadText(IDS_WINDOW_TITLE, WindowTitle, sizeof(WindowTitle));
    LoadText(IDS_WINDOW_CLASS, WindowClass, sizeof(WindowClass));
    RegisterMainWindowClass(this, instance);
    HMODULE commonControls = LoadCommonControls();
    if (!CreateMainWindow(this, instance, showCommand)) {
        LogMessage(&Data, "Failed to initialize the window instance!");
        FreeCommonControls(commonControls);
        return -1;
    }
    InterlockedExchange(&InstallRunning, 1);
    HANDLE thread = CreateThread(nullptr, 0, InstallThread, nullptr, 0, nullptr);
    if (!thread) {
        InterlockedExchange(&InstallRunning, 0);
        LogMessage(&Data, "Failed to create installation thread!");
        // The progress bar's code goes with the library: its window first.
        DestroyWindow(MainWindow);
        FreeCommonControls(commonControls);
        return -1;
    }
    RunMessageLoop();
    WaitForInstallThread(thread);
    CloseHandleIfOpen(thread);
    FreeCommonControls(commonControls);

    if (Data.RunAsTemp) {
        // This temporary copy goes at the next restart.
        char program[MAX_PATH];
        if (GetProgramPath(program, sizeof(program), nullptr)) {
            if (Data.IsWin9x)
                (void)AddWinInitRename(nullptr, program);
            else
                (void)MoveFileExA(program, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        }
    }
    if (!Data.IsSilent && !Data.NoInteract && Data.RebootRequired) {
        char caption[kCaptionBytes], text[kMessageBytes];
        LoadText(IDS_WINDOW_TITLE, caption, sizeof(caption));
        LoadText(IDS_REBOOT_NOTICE, text, sizeof(text));
        MessageBoxA(nullptr, text, caption, MB_OK);
    }
    LogMessage(&Data, "Agent setup finished!");
    // Deployment tools read the exit code: a failed procedure must not look installed.
    return (int)InstallResult;
}
