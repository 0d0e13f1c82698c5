#pragma once
// Helpers for the process-control tests: copies of the user task stand-in
// (tests/fixtures/UserTrayStandIn.cpp) started as real processes, and the fakes for what Wine
// cannot show (ToolHelp's full paths of Windows 9x, refusals to open a process, a working
// WTSTerminateProcess, the debug privilege).

#include <windows.h>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "control/Processes.h"
#include "harness/TestSupport.h"

namespace xatest {


// A process started by a test; terminated (if still running) and closed with the object.
class StartedProcess {
public:
    // Starts commandLine; when readyEvent is given, waits up to 10 s for the process to set it.
    StartedProcess(const std::string& commandLine, const std::string& readyEvent = "");
    ~StartedProcess();
    StartedProcess(const StartedProcess&) = delete;
    StartedProcess& operator=(const StartedProcess&) = delete;

    bool Started() const { return started_; }
    DWORD Id() const { return id_; }
    // True when the process has ended within ms (real time).
    bool EndsWithin(DWORD ms) const;
    bool Running() const { return !EndsWithin(0); }
    // The exit code once ended, STILL_ACTIVE before.
    DWORD ExitCode() const;

private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    bool started_ = false;
};

// A copy of the user task stand-in as <scratch>\<folderName>\UserTray.exe.
class UserTaskCopy {
public:
    explicit UserTaskCopy(const std::string& scratchName, const std::string& folderName = "Agent");
    const std::string& Folder() const { return folder_; }
    const std::string& Exe() const { return exe_; }
    // Starts the task with the stand-in's options (--id, --ignore) recording into RecordFile(),
    // and waits until its window and exit event exist.
    std::unique_ptr<StartedProcess> Start(const std::string& options = "") const;
    const std::string& RecordFile() const { return record_; }
    // The messages the task's processes recorded so far.
    std::vector<std::string> Recorded() const;

private:
    ScratchFolder scratch_;
    std::string folder_;
    std::string exe_;
    std::string record_;
};

// Ids found by FindProcessesByPath, or {0xDEAD} when it failed.
std::set<DWORD> FoundIds(const std::string& path, int* result = nullptr);

// Process control as a test plays it. Installed on construction; the system's calls (and a
// forgotten debug-privilege request) come back on destruction.
class FakeProcessControl {
public:
    FakeProcessControl();
    ~FakeProcessControl();
    FakeProcessControl(const FakeProcessControl&) = delete;
    FakeProcessControl& operator=(const FakeProcessControl&) = delete;

    // The program path reported for these processes (psapi, and ToolHelp on Windows 9x), as
    // Windows reports a process started from another machine's share: "\\server\share\...".
    std::map<DWORD, std::string> ProgramPaths;
    // What only the module list in these processes' own memory claims (the kernel knows better).
    std::map<DWORD, std::string> ModuleListPaths;
    bool HasKernelImageName = true;  // false: a system before Vista, without QueryFullProcessImageNameA

    // ToolHelp as on Windows 9x: the real snapshot with each executable's full path.
    bool HasToolhelp = true;
    DWORD SnapshotError = 0;  // when not 0, taking a snapshot fails with it
    int SnapshotCalls = 0;

    // Opening these processes for querying fails with access denied (all when DenyAllQueries)
    // until the debug privilege has been enabled.
    std::set<DWORD> DenyQueryUntilPrivilege;
    bool DenyAllQueries = false;
    bool PrivilegeHelps = true;  // false: the refusals stay after the privilege was enabled
    // Opening these processes for termination fails with access denied.
    std::set<DWORD> DenyTerminate;
    int QueryOpens = 0;

    // WTSTerminateProcess: absent, failing, or terminating for real.
    bool HasWtsTerminate = true;
    bool WtsTerminateWorks = true;
    struct WtsCall {
        HANDLE Server;
        DWORD ProcessId;
        DWORD ExitCode;
    };
    std::vector<WtsCall> WtsCalls;

    // AdjustTokenPrivileges calls that enabled exactly SeDebugPrivilege, and all calls.
    int DebugPrivilegeEnables = 0;
    int PrivilegeCalls = 0;
    bool PrivilegeEnabled() const { return DebugPrivilegeEnables > 0; }

private:
    static void* Find(HMODULE module, const char* name);
    static HANDLE WINAPI Open(DWORD access, BOOL inherit, DWORD id);
    static BOOL WINAPI Adjust(HANDLE token, BOOL disableAll, TOKEN_PRIVILEGES* state, DWORD size,
                              TOKEN_PRIVILEGES* previous, DWORD* returned);
    static DWORD WINAPI ModuleFileName(HANDLE process, HMODULE module, char* name, DWORD size);
    static BOOL WINAPI ImageName(HANDLE process, DWORD flags, char* name, DWORD* size);
    static HANDLE WINAPI Snapshot(DWORD flags, DWORD id);
    static BOOL WINAPI First(HANDLE snapshot, void* entry);
    static BOOL WINAPI Next(HANDLE snapshot, void* entry);
    static BOOL WINAPI WtsTerminate(HANDLE server, DWORD id, DWORD exitCode);
};

}  // namespace xatest
