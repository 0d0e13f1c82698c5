#include "control/ProcessTestSupport.h"

#include <psapi.h>
#include <tlhelp32.h>

#include <cstring>

namespace xatest {

namespace {

FakeProcessControl* g_fake = nullptr;
int g_readyCount = 0;

// Windows 9x's ToolHelp gives the full path where Wine gives the bare file name.
void UseFullPath(PROCESSENTRY32* entry)
{
    auto reported = g_fake->ProgramPaths.find(entry->th32ProcessID);
    if (reported != g_fake->ProgramPaths.end()) {
        lstrcpynA(entry->szExeFile, reported->second.c_str(), sizeof(entry->szExeFile));
        return;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry->th32ProcessID);
    if (!process)
        return;
    char path[MAX_PATH];
    if (GetModuleFileNameExA(process, nullptr, path, sizeof(path)) > 0)
        lstrcpynA(entry->szExeFile, path, sizeof(entry->szExeFile));
    CloseHandle(process);
}

}  // namespace

StartedProcess::StartedProcess(const std::string& commandLine, const std::string& readyEvent)
{
    HANDLE ready = nullptr;
    if (!readyEvent.empty())
        ready = CreateEventA(nullptr, TRUE, FALSE, readyEvent.c_str());
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION info = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    if (CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
        HANDLE waits[2] = {ready, process_};
        started_ = !ready || WaitForMultipleObjects(2, waits, FALSE, 10000) == WAIT_OBJECT_0;
    }
    if (ready)
        CloseHandle(ready);
}

StartedProcess::~StartedProcess()
{
    if (process_) {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
            TerminateProcess(process_, 99);
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
}

bool StartedProcess::EndsWithin(DWORD ms) const
{
    return process_ && WaitForSingleObject(process_, ms) == WAIT_OBJECT_0;
}

DWORD StartedProcess::ExitCode() const
{
    DWORD code = STILL_ACTIVE;
    if (process_)
        GetExitCodeProcess(process_, &code);
    return code;
}

UserTaskCopy::UserTaskCopy(const std::string& scratchName, const std::string& folderName)
    : scratch_(scratchName), folder_(scratch_ / folderName), exe_(folder_ + "\\UserTray.exe"),
      record_(scratch_ / "messages.txt")
{
    CreateDirectoryA(folder_.c_str(), nullptr);
    CopyFileA(FixturePath("usertraystandin.exe").c_str(), exe_.c_str(), FALSE);
}

std::unique_ptr<StartedProcess> UserTaskCopy::Start(const std::string& options) const
{
    std::string ready = "UserTrayReady" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(++g_readyCount);
    return std::unique_ptr<StartedProcess>(new StartedProcess(
        "\"" + exe_ + "\" " + options + " --ready " + ready + " --record \"" + record_ + "\"", ready));
}

std::vector<std::string> UserTaskCopy::Recorded() const
{
    return SplitLines(ReadWholeFile(record_));
}

std::set<DWORD> FoundIds(const std::string& path, int* result)
{
    PointerList ids;
    InitPointerList(&ids);
    int found = FindProcessesByPath(path.c_str(), &ids);
    if (result)
        *result = found;
    std::set<DWORD> set;
    for (int i = 0; i < ids.Count; ++i)
        set.insert((DWORD)(uintptr_t)ids.Items[i]);
    FreePointerList(&ids);
    return set;
}

FakeProcessControl::FakeProcessControl()
{
    g_fake = this;
    ForgetDebugPrivilegeRequest();
    ProcessControlCalls calls = {Find, Open, Adjust};
    SetProcessControlCalls(&calls);
}

FakeProcessControl::~FakeProcessControl()
{
    SetProcessControlCalls(nullptr);
    ForgetDebugPrivilegeRequest();
    g_fake = nullptr;
}

void* FakeProcessControl::Find(HMODULE module, const char* name)
{
    std::string wanted = name;
    if (wanted == "CreateToolhelp32Snapshot")
        return g_fake->HasToolhelp ? reinterpret_cast<void*>(Snapshot) : nullptr;
    if (wanted == "Process32First")
        return g_fake->HasToolhelp ? reinterpret_cast<void*>(First) : nullptr;
    if (wanted == "Process32Next")
        return g_fake->HasToolhelp ? reinterpret_cast<void*>(Next) : nullptr;
    if (wanted == "GetModuleFileNameExA")
        return reinterpret_cast<void*>(ModuleFileName);
    if (wanted == "QueryFullProcessImageNameA")
        return g_fake->HasKernelImageName ? reinterpret_cast<void*>(ImageName) : nullptr;
    if (wanted == "WTSTerminateProcess")
        return g_fake->HasWtsTerminate ? reinterpret_cast<void*>(WtsTerminate) : nullptr;
    return SystemProcessControlCalls().FindFunction(module, name);
}

HANDLE WINAPI FakeProcessControl::Open(DWORD access, BOOL inherit, DWORD id)
{
    FakeProcessControl* fake = g_fake;
    if (access == (PROCESS_QUERY_INFORMATION | PROCESS_VM_READ)) {
        ++fake->QueryOpens;
        if ((fake->DenyAllQueries || fake->DenyQueryUntilPrivilege.count(id)) &&
            !(fake->PrivilegeHelps && fake->PrivilegeEnabled())) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    if ((access & PROCESS_TERMINATE) && fake->DenyTerminate.count(id)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return nullptr;
    }
    return OpenProcess(access, inherit, id);
}

BOOL WINAPI FakeProcessControl::Adjust(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD size,
                                       TOKEN_PRIVILEGES* previous, DWORD* returned)
{
    FakeProcessControl* fake = g_fake;
    ++fake->PrivilegeCalls;
    LUID debug = {};
    LookupPrivilegeValueA(nullptr, "SeDebugPrivilege", &debug);
    if (!disableAll && state && state->PrivilegeCount == 1 &&
        state->Privileges[0].Attributes == SE_PRIVILEGE_ENABLED &&
        state->Privileges[0].Luid.LowPart == debug.LowPart && state->Privileges[0].Luid.HighPart == debug.HighPart)
        ++fake->DebugPrivilegeEnables;
    return AdjustTokenPrivileges(token, disableAll, state, size, previous, returned);
}

DWORD WINAPI FakeProcessControl::ModuleFileName(HANDLE process, HMODULE module, char* name, DWORD size)
{
    DWORD id = GetProcessId(process);
    const std::map<DWORD, std::string>& paths = g_fake->ModuleListPaths.count(id) ? g_fake->ModuleListPaths
                                                                                  : g_fake->ProgramPaths;
    auto reported = paths.find(id);
    if (reported == paths.end())
        return GetModuleFileNameExA(process, module, name, size);
    lstrcpynA(name, reported->second.c_str(), (int)size);
    return (DWORD)lstrlenA(name);
}

BOOL WINAPI FakeProcessControl::ImageName(HANDLE process, DWORD flags, char* name, DWORD* size)
{
    auto reported = g_fake->ProgramPaths.find(GetProcessId(process));
    if (reported == g_fake->ProgramPaths.end())
        return QueryFullProcessImageNameA(process, flags, name, size);
    lstrcpynA(name, reported->second.c_str(), (int)*size);
    *size = (DWORD)lstrlenA(name);
    return TRUE;
}

HANDLE WINAPI FakeProcessControl::Snapshot(DWORD flags, DWORD id)
{
    ++g_fake->SnapshotCalls;
    if (g_fake->SnapshotError) {
        SetLastError(g_fake->SnapshotError);
        return INVALID_HANDLE_VALUE;
    }
    return CreateToolhelp32Snapshot(flags, id);
}

BOOL WINAPI FakeProcessControl::First(HANDLE snapshot, void* entry)
{
    PROCESSENTRY32* record = static_cast<PROCESSENTRY32*>(entry);
    if (!Process32First(snapshot, record))
        return FALSE;
    UseFullPath(record);
    return TRUE;
}

BOOL WINAPI FakeProcessControl::Next(HANDLE snapshot, void* entry)
{
    PROCESSENTRY32* record = static_cast<PROCESSENTRY32*>(entry);
    if (!Process32Next(snapshot, record))
        return FALSE;
    UseFullPath(record);
    return TRUE;
}

BOOL WINAPI FakeProcessControl::WtsTerminate(HANDLE server, DWORD id, DWORD exitCode)
{
    g_fake->WtsCalls.push_back({server, id, exitCode});
    if (!g_fake->WtsTerminateWorks) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, id);
    BOOL done = process && TerminateProcess(process, exitCode);
    if (process)
        CloseHandle(process);
    return done;
}

}  // namespace xatest
