#pragma once
// Processes by the file they were started from: finding them (psapi on Windows NT, ToolHelp on
// Windows 9x, both loaded at run time), closing their windows politely, terminating them, and
// stopping the agent's per-user task through the named event it waits on. Results are 0 or a
// Windows error code (-1 for a failure without a code) unless an operation says otherwise.

#include <windows.h>

#include <stddef.h>

#include "support/PointerList.h"

enum : DWORD {
    kWindowMessagePauseMs = 50,   // after each message posted to a window
    kWindowCloseWaitMs = 5000,    // for the processes to end after their windows were closed
    kUserTaskWaitMs = 30000,      // for the user task to end after its event was signalled
    kProgramReleasePollMs = 50,   // how often a stopped program's release is looked for
};

// True when a process's program file (candidate, as the system reports it) is the file at
// program. Only a candidate with program's file name (long or short form) is compared on disk,
// and only one of the form "X:\..." on a drive of this machine: opening another would make this
// elevated process authenticate to another machine.
bool IsSameProgram(const char* candidate, const char* program);

// Loads psapi.dll from the system folder, else from folder when one is given (never through
// the normal search order). Null when neither loads.
HMODULE LoadPsapi(const char* folder);

// Appends to ids (as 32-bit values) the id of every process started from the file at path.
// 0, 87 without an argument, else the error that stopped the search (ids found before it stay).
int FindProcessesByPath(const char* path, PointerList* ids);

// *running := whether at least one process runs the file at path. 87 without an argument, else
// the result of FindProcessesByPath.
int IsProcessRunning(const char* path, bool* running);

// Terminates every process started from path (exit code 0). 0 when the search succeeded and
// every process found was terminated, else -1 (0xFFFFFFFF).
int TerminateProcessesByPath(const char* path);

// Asks every process started from path to close its top-level windows, waits up to
// kWindowCloseWaitMs for them to end (looking every kWaitPollMs) and terminates what is left. 0
// when none runs any more or the termination succeeded, else -1 (0xFFFFFFFF).
int CloseProcessesByPath(const char* path);

// True when a search finds no process running the program at path and its file can be opened
// for writing and deletion, as replacing or deleting it will (a missing file counts as free). A
// program that was just stopped may still be ending, its file still mapped or held open.
bool IsProgramReleased(const char* path);

// Waits until IsProgramReleased(path), looking every kProgramReleasePollMs, for at most limitMs
// on the clock. True when it was released within the limit.
bool WaitForProgramRelease(const char* path, DWORD limitMs);

// Stops the user task started from path: signals its exit event (FormatUserTaskExitEventName of
// instance) and waits up to kUserTaskWaitMs (looking every kWaitPollMs), then closes or
// terminates it like CloseProcessesByPath.
// 0 when the task is gone, else the result of CloseProcessesByPath.
int StopUserTaskProcess(const char* path, const char* instance);

// The calls through which process control reaches what a test has to play: the ToolHelp
// functions (Wine reports bare file names where Windows 9x gives full paths), the program path
// of a process (Wine gives "UNC\server\..." where Windows gives "\\server\..."),
// WTSTerminateProcess (a stub under Wine), and the refusals that call for the debug privilege
// (every process may open every other under Wine).
struct ProcessControlCalls {
    // The address of an optional function of a loaded library (kernel32.dll for ToolHelp,
    // psapi.dll for GetModuleFileNameExA, wtsapi32.dll for WTSTerminateProcess), or null when
    // the library lacks it.
    void* (*FindFunction)(HMODULE module, const char* name);
    HANDLE(WINAPI* OpenProcess)(DWORD access, BOOL inheritHandle, DWORD processId);
    BOOL(WINAPI* AdjustTokenPrivileges)(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* newState, DWORD size,
                                        TOKEN_PRIVILEGES* previousState, DWORD* returnSize);
};

// The system's calls.
const ProcessControlCalls& SystemProcessControlCalls();

// Makes calls (every member set) the current ones, or restores the system's for null.
void SetProcessControlCalls(const ProcessControlCalls* calls);

// The debug privilege is requested once per run, on the first process that refuses to be
// opened; these report and (for tests) forget that request.
bool DebugPrivilegeRequested();
void ForgetDebugPrivilegeRequest();
