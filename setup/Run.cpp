// The run on the main thread: the installation data, the removal's confirmation and hand-over
// to a temporary copy, the window, the install thread and the message loop.
#include <windows.h>

#include <commctrl.h>
#include <stdlib.h>
#include <string.h>

#include "procedures/RemovalLeftovers.h"
#include "procedures/RestartOperations.h"
#include "resources/resource.h"
#include "setup/BuildInstallationData.h"
#include "setup/InstallThread.h"
#include "setup/InstanceLock.h"
#include "setup/MainWindow.h"
#include "setup/SetupApp.h"
#include "support/AccessControl.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Results.h"
#include "support/StringTable.h"
#include "support/SystemLibrary.h"
#include "support/WindowStation.h"

namespace {

const int kCaptionBytes = 260;
const int kMessageBytes = 512;
const DWORD kFirstProcessEndLimitMs = 60000;  // the first process ends as soon as it has the result
const size_t kCommandLineChars = 32767;
const DWORD kPrivateFolderNames = 0x10000;

// The running program's path (its folder is the record's SrcFolder).
bool GetProgramPath(char* path, DWORD size)
{
    DWORD length = GetModuleFileNameA(nullptr, path, size);
    return length != 0 && length < size;
}

// Windows 9x: a new name "agtXXXX.exe" in the temporary folder.
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

// NT: a new folder "agtXXXX" of its own in the temporary folder, which only SYSTEM and
// Administrators may change, and the name of the copy in it, "agtXXXX.exe". The temporary
// folder is shared (C:\Windows\Temp under SYSTEM): a name that exists, whoever made it, is
// never used, so that nobody can put a program or a DLL where the elevated copy runs.
bool MakePrivateProgramFolder(char* folder, char* copy)
{
    char temp[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(temp), temp);
    if (length == 0 || length >= sizeof(temp))
        return false;
    ProtectedSecurity security;
    SECURITY_ATTRIBUTES* attributes = MakeProtectedSecurity(&security, kFolderFullAccess, 0, true);
    if (!attributes)
        return false;
    // Names count up from this process's id, skipping every name that exists.
    DWORD number = GetCurrentProcessId();
    for (DWORD tries = 0; tries < kPrivateFolderNames; ++tries, ++number) {
        unsigned unique = (unsigned)(number & 0xFFFF);
        if (!FormatText(folder, MAX_PATH, "%sagt%04X", temp, unique) ||
            !FormatText(copy, MAX_PATH, "%s\\agt%04X.exe", folder, unique)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            return false;
        }
        if (CreateDirectoryA(folder, attributes))
            return true;
        DWORD code = GetLastError();
        if (code != ERROR_ALREADY_EXISTS && code != ERROR_FILE_EXISTS)
            return false;
    }
    return false;
}

// The copy of the running program that takes the removal over, in copy, and the folder that
// holds it. False with the thread's last error when there is none.
bool MakeRemovalCopy(bool win9x, const char* program, char* copy, char* folder)
{
    if (win9x) {
        if (!MakeTemporaryProgramName(copy) || !CopyFileA(program, copy, FALSE))
            return false;
        CopyText(folder, MAX_PATH, copy);
        char* slash = strrchr(folder, '\\');
        if (slash)
            *slash = '\0';
        return true;
    }
    if (!MakePrivateProgramFolder(folder, copy))
        return false;
    if (CopyFileA(program, copy, TRUE))
        return true;
    DWORD code = GetLastError();
    RemoveDirectoryA(folder);
    SetLastError(code);
    return false;
}

// True when folder is one that a hand-over made: "agt..." right inside the temporary folder.
bool IsRemovalCopyFolder(const char* folder)
{
    char temp[MAX_PATH], parent[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(temp), temp);
    if (length == 0 || length >= sizeof(temp) || !CopyText(parent, sizeof(parent), folder))
        return false;
    char* slash = strrchr(parent, '\\');
    if (!slash || _strnicmp(slash + 1, "agt", 3) != 0)
        return false;
    *slash = '\0';
    return IsSameFile(parent, temp, true);
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
    LoadProgramText(IDS_CONFIRM_CAPTION, caption, sizeof(caption));
    LoadProgramText(IDS_CONFIRM_TEXT, text, sizeof(text));
    if (Data.NoInteract)
        return true;
    if (MessageBoxA(nullptr, text, caption, MB_OKCANCEL) == IDCANCEL) {
        LogMessage(&Data, "Setup is cancelled by user.");
        return false;
    }
    return true;
}

// A removal started from inside the agent folder (as the uninstall entry does) runs from a
// copy in the temporary folder, which can delete the folder. This process waits for the copy's
// result and ends with it, so that whoever started it (a deployment tool, the list of installed
// programs) learns how the removal went; then the copy deletes this program and the folder. True
// when this process is to end with exitCode: the copy's result, or the error that kept the copy
// from starting; false when the removal runs here.
bool SetupApp::HandOverRemoval(const char* commandLine, int* exitCode)
{
    char program[MAX_PATH], copy[MAX_PATH];
    if (!IsSameFile(Data.SrcFolder, Data.DestFolder, true) || !GetProgramPath(program, sizeof(program)))
        return false;

    char copyFolder[MAX_PATH];
    if (!MakeRemovalCopy(Data.IsWin9x != 0, program, copy, copyFolder)) {
        LogError(&Data, LastErrorResult(), "Couldn't copy file. Continue to uninstallation in same process.");
        return false;
    }
    // The copy inherits a pipe for its result and a handle of this process to wait on.
    HANDLE current = GetCurrentProcess();
    HANDLE results = nullptr, pipe = nullptr, inheritedPipe = nullptr, self = nullptr;
    char* command = nullptr;
    PROCESS_INFORMATION process;
    BOOL started = CreatePipe(&results, &pipe, nullptr, 0) &&
                   DuplicateHandle(current, pipe, current, &inheritedPipe, 0, TRUE, DUPLICATE_SAME_ACCESS) &&
                   DuplicateHandle(current, current, current, &self, SYNCHRONIZE, TRUE, 0);
    int code = LastErrorResult();
    if (started) {
        command = FormatHeapText(kCommandLineChars, "\"%s\" /t /w \"%lx:%lx:%s\" %s", copy, (unsigned long)(ULONG_PTR)self,
                                 (unsigned long)(ULONG_PTR)inheritedPipe, strrchr(program, '\\') + 1,
                                 commandLine ? commandLine : "");
        started = command != nullptr;
        if (!started)
            code = ERROR_FILENAME_EXCED_RANGE;  // longer than a command line may be
    }
    if (started) {
        LogMessage(&Data, "Run \"%s\" to perform uninstallation.", command);
        // The copy runs this instance's removal: it takes the lock.
        ReleaseInstanceLock(&InstanceLock);
        STARTUPINFOA startup;
        memset(&startup, 0, sizeof(startup));
        startup.cb = sizeof(startup);
        // The copy runs in its own folder, so that it does not hold the agent folder it removes.
        started = CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, copyFolder,
                                 &startup, &process);
        code = LastErrorResult();
    }
    // Only the copy holds the pipe's writing end now: the read below ends when it is gone.
    CloseHandleIfOpen(pipe);
    CloseHandleIfOpen(inheritedPipe);
    CloseHandleIfOpen(self);
    FreeText(command);
    if (!started) {
        LogError(&Data, code, "New process is not started.");
        if (!Data.IsWin9x) {
            DeleteFileA(copy);
            RemoveDirectoryA(copyFolder);
        }
        CloseHandleIfOpen(results);
        *exitCode = code;
        return true;
    }
    CloseHandle(process.hThread);
    LogMessage(&Data, "Process is started.");
    // A copy that ended without a result (it could not start) tells it by its exit code.
    int result = -1;
    DWORD read = 0;
    if (!ReadFile(results, &result, sizeof(result), &read, nullptr) || read != sizeof(result)) {
        DWORD ended = (DWORD)-1;
        WaitForSingleObject(process.hProcess, INFINITE);
        GetExitCodeProcess(process.hProcess, &ended);
        result = (int)ended;
    }
    CloseHandle(results);
    CloseHandle(process.hProcess);
    LogMessage(&Data, "The removal's copy reports %d.", result);
    *exitCode = result;
    return true;
}

// The copy of a hand-over: the first process's handle and the pipe for the result, inherited, and
// its program's name in the agent folder, all given by /w.
void SetupApp::TakeHandOver()
{
    const char* text = Data.HandOver;
    if (!Data.RunAsTemp || !text)
        return;
    char* end = nullptr;
    unsigned long process = strtoul(text, &end, 16);
    if (*end != ':')
        return;
    unsigned long pipe = strtoul(end + 1, &end, 16);
    char program[MAX_PATH];
    // A name that leads elsewhere names no file the removal meets: nothing then waits for it.
    if (*end != ':' || !end[1] || !JoinPath(program, Data.DestFolder, end + 1))
        return;
    FirstProcess = (HANDLE)(ULONG_PTR)process;
    ResultPipe = (HANDLE)(ULONG_PTR)pipe;
    ReplaceText(Data.FirstProcessProgram, DuplicateText(program));
}

// The copy of a hand-over gives the first process its result, waits for it to end, and then
// deletes what the removal left for that: its program and the agent folder.
void SetupApp::FinishHandOver(int result)
{
    if (!ResultPipe)
        return;
    DWORD written = 0;
    WriteFile(ResultPipe, &result, sizeof(result), &written, nullptr);
    CloseHandleIfOpen(ResultPipe);
    // What is still in use after the wait is left for the restart.
    WaitForSingleObject(FirstProcess, kFirstProcessEndLimitMs);
    CloseHandleIfOpen(FirstProcess);
    RemoveFirstProcessItems(&Data);
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
        // Silent, or where nobody could close the box, only the exit code answers.
        if (optionTable == 1 && IsWindowStationVisible())
            ShowOptionTable(instance);
        return 0;
    }
    int result = RunLocked(instance, commandLine, showCommand);
    ReleaseInstanceLock(&InstanceLock);
    // A copy that ends before its report: the first process takes the exit code.
    CloseHandleIfOpen(ResultPipe);
    CloseHandleIfOpen(FirstProcess);
    return result;
}

int SetupApp::RunLocked(HINSTANCE instance, const char* commandLine, int showCommand)
{
    // A run that cannot start shows no box, interactive or not: a deployment tool that leaves out
    // /s, or a service's desktop, has nobody to close it. The log says why.
    int initialized = InitInstallationData(&Data, commandLine, &InstanceLock);
    if (initialized != 0) {
        if (initialized == ERROR_INSTALL_ALREADY_RUNNING)
            LogMessage(&Data, "Agent setup finished!");
        return initialized;
    }

    if (Data.IsRemove) {
        if (!Data.IsSilent && !Data.RunAsTemp && !ConfirmRemoval())
            return ERROR_INSTALL_USEREXIT;
        // The copy itself never hands over again, wherever it runs.
        int exitCode = 0;
        if (!Data.RunAsTemp && HandOverRemoval(commandLine, &exitCode))
            return exitCode;
        TakeHandOver();
    }

    LoadProgramText(IDS_WINDOW_TITLE, WindowTitle, sizeof(WindowTitle));
    LoadProgramText(IDS_WINDOW_CLASS, WindowClass, sizeof(WindowClass));
    RegisterMainWindowClass(this, instance);
    HMODULE commonControls = LoadCommonControls();
    if (!CreateMainWindow(this, instance, showCommand)) {
        LogMessage(&Data, "Failed to initialize the window instance!");
        FreeLibraryIfLoaded(commonControls);
        return -1;
    }
    InterlockedExchange(&InstallRunning, 1);
    // The thread's context lives here until the thread has ended (WaitForInstallThread).
    InstallThreadContext context = {&Data, &Progress, MainWindow, &InstallResult, &InstallRunning,
                                    InstanceLock != nullptr};
    HANDLE thread = CreateThread(nullptr, 0, InstallThread, &context, 0, nullptr);
    if (!thread) {
        InterlockedExchange(&InstallRunning, 0);
        LogMessage(&Data, "Failed to create installation thread!");
        // The progress bar's code goes with the library: its window first.
        DestroyWindow(MainWindow);
        FreeLibraryIfLoaded(commonControls);
        return -1;
    }
    RunMessageLoop();
    WaitForInstallThread(thread);
    CloseHandleIfOpen(thread);
    FreeLibraryIfLoaded(commonControls);

    if (!Data.IsSilent && !Data.NoInteract && Data.RebootRequired) {
        char caption[kCaptionBytes], text[kMessageBytes];
        LoadProgramText(IDS_WINDOW_TITLE, caption, sizeof(caption));
        LoadProgramText(IDS_REBOOT_NOTICE, text, sizeof(text));
        MessageBoxA(nullptr, text, caption, MB_OK);
    }
    // Deployment tools read the exit code: a failed procedure must not look installed, and one
    // that waits for a restart to complete is done for them only with 3010.
    int exitCode = (int)InstallResult;
    if (exitCode == 0 && Data.RebootRequired) {
        LogMessage(&Data, "A restart of Windows completes this setup (exit code 3010).");
        exitCode = ERROR_SUCCESS_REBOOT_REQUIRED;
    }
    FinishHandOver(exitCode);
    if (Data.RunAsTemp) {
        // This temporary copy goes at the next restart, and after it the folder made for it. On NT
        // only from that folder, which admits no one else: elsewhere a link put on the way after
        // the run would steer the restart's deletion (a copy run from the agent folder was left
        // for the restart by the removal itself, under a name of its own). Clean-up only: the
        // result stays.
        char program[MAX_PATH];
        if (GetProgramPath(program, sizeof(program))) {
            if (Data.IsWin9x) {
                (void)AddWinInitRename(nullptr, program);
            } else if (IsRemovalCopyFolder(Data.SrcFolder)) {
                (void)MoveFileExA(program, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
                (void)MoveFileExA(Data.SrcFolder, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
            }
        }
    }
    LogMessage(&Data, "Agent setup finished!");
    return exitCode;
}
