// Processes by file: identity of files, the searches on both platform families, closing windows,
// termination.
#include "control/Processes.h"

#include <mbstring.h>
#include <stdint.h>
#include <stdlib.h>
#include <tlhelp32.h>

#include "support/AgentNames.h"
#include "support/Clock.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Results.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

static_assert(sizeof(void*) != 4 || sizeof(PROCESSENTRY32) == 296, "ToolHelp record of Windows 9x");

namespace {

enum : DWORD {
    kMaxProcessIds = 25000,
    kMaxModules = 1000,
    kQueryAccess = PROCESS_QUERY_INFORMATION | PROCESS_VM_READ,
    kTokenAccess = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY,
};

// The server handle of wtsapi32 that names this machine.
const HANDLE kCurrentTerminalServer = nullptr;

typedef BOOL(WINAPI* EnumProcessesFunction)(DWORD* ids, DWORD size, DWORD* returned);
typedef BOOL(WINAPI* EnumProcessModulesFunction)(HANDLE process, HMODULE* modules, DWORD size, DWORD* needed);
typedef DWORD(WINAPI* GetModuleFileNameExAFunction)(HANDLE process, HMODULE module, char* name, DWORD size);
typedef BOOL(WINAPI* QueryFullProcessImageNameAFunction)(HANDLE process, DWORD flags, char* name, DWORD* size);
typedef HANDLE(WINAPI* CreateToolhelp32SnapshotFunction)(DWORD flags, DWORD processId);
typedef BOOL(WINAPI* Process32Function)(HANDLE snapshot, PROCESSENTRY32* entry);
typedef BOOL(WINAPI* WTSTerminateProcessFunction)(HANDLE server, DWORD processId, DWORD exitCode);

void* FindSystemFunction(HMODULE module, const char* name)
{
    return GetSystemFunction<void*>(module, name);
}

const ProcessControlCalls kSystemCalls = {FindSystemFunction, OpenProcess, AdjustTokenPrivileges};
ProcessControlCalls g_calls = kSystemCalls;

// Set the first time a process refuses to be opened, so the privilege is asked for once a run.
bool g_debugPrivilegeRequested = false;

template <typename Function>
Function FindFunction(HMODULE module, const char* name)
{
    return module ? reinterpret_cast<Function>(g_calls.FindFunction(module, name)) : nullptr;
}

void* IdItem(DWORD id)
{
    return reinterpret_cast<void*>((uintptr_t)id);
}

DWORD ItemId(void* item)
{
    return (DWORD)(uintptr_t)item;
}

// The file name part of path (after its last backslash or colon).
const char* FileNamePart(const char* path)
{
    const unsigned char* text = reinterpret_cast<const unsigned char*>(path);
    const unsigned char* slash = _mbsrchr(text, '\\');
    const unsigned char* colon = _mbsrchr(slash ? slash : text, ':');
    const unsigned char* last = colon ? colon : slash;
    return last ? reinterpret_cast<const char*>(last + 1) : path;
}

bool SameText(const char* a, const char* b)
{
    return _mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b)) == 0;
}

// True for "X:\..." on a drive that is not another machine's. A program path comes from the
// process, whose owner chooses it; opening one on another machine, in whatever spelling
// ("\\server", "//server", "\??\UNC\server", a mapped drive), would make this elevated process
// log on to it.
bool IsLocalDrivePath(const char* path)
{
    char root[] = "?:\\";
    root[0] = path[0];
    return ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':' &&
           path[2] == '\\' && GetDriveTypeA(root) != DRIVE_REMOTE;
}

// Enables SeDebugPrivilege in this process's token, which lets an administrator open processes
// of other users and of the system. Best effort: without it those processes are skipped.
void EnableDebugPrivilege()
{
    HANDLE token = nullptr;
    TOKEN_PRIVILEGES privileges = {};
    if (!OpenProcessToken(GetCurrentProcess(), kTokenAccess, &token))
        return;
    if (LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &privileges.Privileges[0].Luid)) {
        privileges.PrivilegeCount = 1;
        privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
        g_calls.AdjustTokenPrivileges(token, FALSE, &privileges, 0, nullptr, nullptr);
    }
    CloseHandleIfOpen(token);
}

// Opens a process for reading its modules; the first refusal for lack of access asks for the
// debug privilege and tries once more.
HANDLE OpenProcessForQuery(DWORD id)
{
    HANDLE process = g_calls.OpenProcess(kQueryAccess, FALSE, id);
    if (process || GetLastError() != ERROR_ACCESS_DENIED || g_debugPrivilegeRequested)
        return process;
    g_debugPrivilegeRequested = true;
    EnableDebugPrivilege();
    return g_calls.OpenProcess(kQueryAccess, FALSE, id);
}

int FindProcessesNT(const char* path, PointerList* ids)
{
    int result = 0;
    HMODULE psapi = nullptr;
    DWORD* processIds = nullptr;
    HMODULE* modules = nullptr;
    DWORD returned = 0;
    char name[MAX_PATH];

    psapi = LoadPsapi(nullptr);
    if (!psapi)
        return LastErrorResult();
    {
        EnumProcessesFunction enumProcesses = GetSystemFunction<EnumProcessesFunction>(psapi, "EnumProcesses");
        EnumProcessModulesFunction enumModules =
            GetSystemFunction<EnumProcessModulesFunction>(psapi, "EnumProcessModules");
        GetModuleFileNameExAFunction moduleFileName =
            FindFunction<GetModuleFileNameExAFunction>(psapi, "GetModuleFileNameExA");
        // The module list lies in the process's own memory, which its owner may rewrite; where
        // the system has it, the kernel's record of the image is asked instead.
        QueryFullProcessImageNameAFunction imageName =
            FindFunction<QueryFullProcessImageNameAFunction>(GetModuleHandleA("kernel32.dll"),
                                                             "QueryFullProcessImageNameA");
        if (!enumProcesses || !enumModules || !moduleFileName) {
            result = -1;
            goto Exit;
        }
        processIds = (DWORD*)malloc(kMaxProcessIds * sizeof(DWORD));
        modules = (HMODULE*)malloc(kMaxModules * sizeof(HMODULE));
        if (!processIds || !modules) {
            result = ERROR_NOT_ENOUGH_MEMORY;
            goto Exit;
        }
        // A failed enumeration must not pass for "nothing runs": callers would go on to replace
        // the files of a running program.
        if (!enumProcesses(processIds, kMaxProcessIds * sizeof(DWORD), &returned)) {
            result = LastErrorResult();
            goto Exit;
        }
        DWORD count = returned / sizeof(DWORD);
        for (DWORD i = 0; i < count; ++i) {
            HANDLE process = OpenProcessForQuery(processIds[i]);
            if (!process)
                continue;  // gone meanwhile, or not ours to see
            DWORD needed = sizeof(name);
            bool named = imageName ? imageName(process, 0, name, &needed) != FALSE
                                   : enumModules(process, modules, kMaxModules * sizeof(HMODULE), &needed) &&
                                         needed > 0 && moduleFileName(process, modules[0], name, sizeof(name)) > 0;
            if (named) {
                name[sizeof(name) - 1] = '\0';  // not terminated when cut on older systems
                if (IsSameProgram(name, path) && AppendPointer(ids, IdItem(processIds[i])) < 0)
                    result = ERROR_NOT_ENOUGH_MEMORY;
            }
            CloseHandleIfOpen(process);
        }
    }

Exit:
    free(modules);
    free(processIds);
    FreeLibraryIfLoaded(psapi);
    return result;
}

int FindProcesses9x(const char* path, PointerList* ids)
{
    int result = 0;
    HANDLE snapshot = INVALID_HANDLE_VALUE;
    HMODULE kernel = LoadSystemLibrary("kernel32.dll");
    if (!kernel)
        return LastErrorResult();
    {
        CreateToolhelp32SnapshotFunction createSnapshot =
            FindFunction<CreateToolhelp32SnapshotFunction>(kernel, "CreateToolhelp32Snapshot");
        Process32Function first = FindFunction<Process32Function>(kernel, "Process32First");
        Process32Function next = FindFunction<Process32Function>(kernel, "Process32Next");
        if (!createSnapshot || !first || !next) {
            result = ERROR_INVALID_FUNCTION;
            goto Exit;
        }
        snapshot = createSnapshot(TH32CS_SNAPPROCESS, 0);
        if (snapshot == INVALID_HANDLE_VALUE) {
            result = LastErrorResult();
            goto Exit;
        }
        PROCESSENTRY32 entry = {};
        entry.dwSize = sizeof(entry);
        for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry)) {
            entry.szExeFile[sizeof(entry.szExeFile) - 1] = '\0';
            if (IsSameProgram(entry.szExeFile, path) && AppendPointer(ids, IdItem(entry.th32ProcessID)) < 0)
                result = ERROR_NOT_ENOUGH_MEMORY;
            entry.dwSize = sizeof(entry);
        }
    }

Exit:
    CloseFile(snapshot);
    FreeLibraryIfLoaded(kernel);
    return result;
}

// Terminates one process; on NT a refusal is tried again through the terminal services, which
// may end processes of other sessions. True when it was terminated.
bool TerminateOneProcess(DWORD id, bool windowsNT)
{
    bool done = false;
    HANDLE process = g_calls.OpenProcess(PROCESS_TERMINATE, FALSE, id);
    if (process)
        done = TerminateProcess(process, 0) != FALSE;
    CloseHandleIfOpen(process);
    if (done || !windowsNT)
        return done;

    HMODULE wtsapi = LoadSystemLibrary("wtsapi32.dll");
    WTSTerminateProcessFunction wtsTerminate =
        FindFunction<WTSTerminateProcessFunction>(wtsapi, "WTSTerminateProcess");
    if (wtsTerminate)
        done = wtsTerminate(kCurrentTerminalServer, id, 0) != FALSE;
    FreeLibraryIfLoaded(wtsapi);
    return done;
}

struct WindowSearch {
    DWORD ProcessId;
    PointerList Windows;
};

BOOL CALLBACK CollectProcessWindow(HWND window, LPARAM parameter)
{
    WindowSearch* search = reinterpret_cast<WindowSearch*>(parameter);
    if (!search) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    if (owner == search->ProcessId)
        (void)AppendPointer(&search->Windows, window);
    return TRUE;
}

// Each message is stronger than the one before; a window that is gone gets no more.
void CloseWindowPolitely(HWND window)
{
    PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    ClockSleep(kWindowMessagePauseMs);
    static const UINT followUps[] = {WM_CLOSE, WM_DESTROY, WM_QUIT};
    for (UINT message : followUps) {
        if (!IsWindow(window))
            return;
        PostMessageA(window, message, 0, 0);
        ClockSleep(kWindowMessagePauseMs);
    }
}

void CloseProcessWindows(DWORD id)
{
    WindowSearch search;
    search.ProcessId = id;
    InitPointerList(&search.Windows);
    EnumWindows(CollectProcessWindow, reinterpret_cast<LPARAM>(&search));
    for (int i = 0; i < search.Windows.Count; ++i)
        CloseWindowPolitely(static_cast<HWND>(search.Windows.Items[i]));
    FreePointerList(&search.Windows);
}

// True only when a search succeeded and found nothing.
bool IsSurelyGone(const char* path)
{
    bool running = true;
    return IsProcessRunning(path, &running) == 0 && !running;
}

}  // namespace

bool IsSameProgram(const char* candidate, const char* program)
{
    if (!candidate || !program)
        return false;
    if (SameText(candidate, program))
        return true;
    const char* name = FileNamePart(candidate);
    if (!SameText(name, FileNamePart(program))) {
        // A process may have been started through the short form of the name; only a name with
        // a "~" can be one, and only then is the program's short name asked for.
        if (!_mbschr(reinterpret_cast<const unsigned char*>(name), '~'))
            return false;
        char shortPath[MAX_PATH];
        if (GetShortPath(program, shortPath) != 0 || !SameText(name, FileNamePart(shortPath)))
            return false;
    }
    return IsLocalDrivePath(candidate) && IsSameFile(candidate, program, false);
}

HMODULE LoadPsapi(const char* folder)
{
    HMODULE psapi = LoadSystemLibrary("psapi.dll");
    if (psapi)
        return psapi;
    // Only a folder named in full: the normal search would take a psapi.dll planted beside this
    // program (a temporary folder, for the removal's copy) and run it elevated.
    if (!folder || !*folder)
        return nullptr;
    char path[MAX_PATH] = "";
    if (!CopyText(path, sizeof(path), folder))
        return nullptr;
    const unsigned char* last = _mbsrchr(reinterpret_cast<const unsigned char*>(path), '\\');
    bool endsWithSeparator = last && last[1] == '\0';
    if (!endsWithSeparator && !AppendText(path, sizeof(path), "\\"))
        return nullptr;
    if (!AppendText(path, sizeof(path), "psapi.dll"))
        return nullptr;
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

int FindProcessesByPath(const char* path, PointerList* ids)
{
    if (!path || !ids)
        return ERROR_INVALID_PARAMETER;
    return IsWindowsNTPlatform() ? FindProcessesNT(path, ids) : FindProcesses9x(path, ids);
}

int IsProcessRunning(const char* path, bool* running)
{
    if (!path || !running)
        return ERROR_INVALID_PARAMETER;
    PointerList ids;
    InitPointerList(&ids);
    int result = FindProcessesByPath(path, &ids);
    *running = ids.Count > 0;
    FreePointerList(&ids);
    return result;
}

int TerminateProcessesByPath(const char* path)
{
    PointerList ids;
    InitPointerList(&ids);
    // The ids found before a search failed are still handled.
    int failures = FindProcessesByPath(path, &ids) != 0 ? 1 : 0;
    bool windowsNT = IsWindowsNTPlatform();
    for (int i = 0; i < ids.Count; ++i) {
        if (!TerminateOneProcess(ItemId(ids.Items[i]), windowsNT))
            ++failures;
    }
    FreePointerList(&ids);
    return failures == 0 ? 0 : -1;
}

int CloseProcessesByPath(const char* path)
{
    PointerList ids;
    InitPointerList(&ids);
    // A failed search still leaves the waiting and the termination, which search again.
    (void)FindProcessesByPath(path, &ids);
    for (int i = 0; i < ids.Count; ++i)
        CloseProcessWindows(ItemId(ids.Items[i]));
    FreePointerList(&ids);

    if (PollUntil(kWindowCloseWaitMs, kWaitPollMs, [path] { return IsSurelyGone(path); }))
        return 0;
    return TerminateProcessesByPath(path);
}

bool IsProgramReleased(const char* path)
{
    if (!path || !IsSurelyGone(path))
        return false;
    // Write access is what a mapped program image refuses (opening it for deletion alone is
    // allowed, as renaming a running program is); Windows 9x knows neither deletion access nor
    // deletion sharing.
    bool windowsNT = IsWindowsNTPlatform();
    DWORD access = windowsNT ? GENERIC_WRITE | DELETE : GENERIC_WRITE;
    DWORD sharing = FILE_SHARE_READ | FILE_SHARE_WRITE | (windowsNT ? FILE_SHARE_DELETE : 0);
    HANDLE file = CreateFileA(path, access, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return true;
    }
    // Only a refusal for use by another says the program still holds it; any other failure (no
    // file, a read-only one) does not go away by waiting.
    DWORD error = GetLastError();
    return error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION;
}

bool WaitForProgramRelease(const char* path, DWORD limitMs)
{
    return PollUntil(limitMs, kProgramReleasePollMs, [path] { return IsProgramReleased(path); });
}

int StopUserTaskProcess(const char* path, const char* instance)
{
    char name[MAX_PATH];
    HANDLE event = nullptr;
    // A name that does not fit cannot be the task's: go straight to its windows.
    if (FormatUserTaskExitEventName(instance, HasGlobalNamespace(), name, sizeof(name)))
        event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    bool gone = false;
    if (event) {
        SetEvent(event);
        gone = PollUntil(kUserTaskWaitMs, kWaitPollMs, [path] { return IsSurelyGone(path); });
        CloseHandleIfOpen(event);
    } else {
        gone = IsSurelyGone(path);
    }
    return gone ? 0 : CloseProcessesByPath(path);
}

const ProcessControlCalls& SystemProcessControlCalls()
{
    return kSystemCalls;
}

void SetProcessControlCalls(const ProcessControlCalls* calls)
{
    if (calls && calls->FindFunction && calls->OpenProcess && calls->AdjustTokenPrivileges)
        g_calls = *calls;
    else
        g_calls = kSystemCalls;
}

bool DebugPrivilegeRequested()
{
    return g_debugPrivilegeRequested;
}

void ForgetDebugPrivilegeRequest()
{
    g_debugPrivilegeRequested = false;
}
