#pragma once
// Helpers for the tests that drive the prefix's real service manager: copies of the agent's
// service stand-in (tests/fixtures/AgentServiceStandIn.cpp), services that remove themselves,
// read-back of a service's configuration, and the fakes for what Wine's service manager cannot
// show (dependent services, failure actions).

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "control/ProcessTestSupport.h"
#include "control/ServiceManager.h"
#include "harness/TestSupport.h"

namespace xatest {

// A copy of the stand-in as <folder>\AgentCore.exe with its behaviour file AgentCore.ini.
// folderName may contain blanks. Every copy records its events into its own Events() file unless
// the behaviour names another Record file.
class StandIn {
public:
    StandIn(const std::string& name, const std::string& behaviour = "", const std::string& folderName = "Agent");
    const std::string& Folder() const { return folder_; }
    const std::string& Exe() const { return exe_; }
    std::string QuotedExe() const { return "\"" + exe_ + "\""; }
    const std::string& RecordFile() const { return record_; }
    // Rewrites the behaviour file (lines "Key=Value" under [Agent]).
    void SetBehaviour(const std::string& behaviour);
    // The lines recorded so far.
    std::vector<std::string> Events() const;

private:
    ScratchFolder scratch_;
    std::string folder_;
    std::string exe_;
    std::string record_;
};

// Waits until the pipe exists (busy or listening); false after timeoutMs.
bool WaitForPipe(const std::string& name, DWORD timeoutMs = 10000);

// The stand-in started as a plain process (as the Windows 9x RunServices entry starts it),
// serving pipe until its shutdown request.
struct RunningAgent {
    RunningAgent(const std::string& scratchName, const std::string& pipe, const std::string& behaviour = "");
    bool HasEvent(const std::string& event) const;
    StandIn standIn;
    StartedProcess process;
    bool ready = false;
};

// Runs call on a thread of its own. When it has not come back within realMs (a read that blocks
// for ever), ends the agent's process, which breaks the pipe and so frees the call, and returns
// false.
bool ComesBackWithin(DWORD realMs, std::function<void()> call, DWORD agentId);

// Stops (or, when it cannot be stopped, ends the process of) and deletes the service, and waits
// until the manager has forgotten it. True when it is gone.
bool ForceRemoveService(const std::string& name);

// A service created directly with the manager for one test and removed with the object.
class TestService {
public:
    TestService(const std::string& name, const std::string& displayName, const std::string& imagePath);
    ~TestService();
    TestService(const TestService&) = delete;
    TestService& operator=(const TestService&) = delete;
    const std::string& Name() const { return name_; }
    bool Created() const { return created_; }

private:
    std::string name_;
    bool created_;
};

// Removes the named service when it goes out of scope (for services the code under test made).
class ServiceCleanup {
public:
    explicit ServiceCleanup(const std::string& name) : name_(name) {}
    ~ServiceCleanup() { ForceRemoveService(name_); }
    ServiceCleanup(const ServiceCleanup&) = delete;
    ServiceCleanup& operator=(const ServiceCleanup&) = delete;

private:
    std::string name_;
};

struct ServiceConfig {
    bool Exists = false;
    DWORD Error = 0;  // of opening the service when it does not exist
    DWORD Type = 0;
    DWORD StartType = 0;
    DWORD ErrorControl = 0;
    std::string ImagePath;
    std::string DisplayName;
    std::string Account;
    std::string Dependencies;
    std::string Description;  // "" when none was set
};

ServiceConfig ReadServiceConfig(const std::string& name);

// Opens the service with access and runs call (a callable taking the handle, true on success) on
// it; false when the service cannot be opened or the call fails.
template <typename Call>
bool WithService(const std::string& name, DWORD access, Call call)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, name.c_str(), access) : nullptr;
    bool done = service && call(service);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    return done;
}

// The service's current status (state 0 when it cannot be queried).
SERVICE_STATUS ReadServiceStatus(const std::string& name);

// Waits up to timeoutMs (real time) for the service to reach state.
bool WaitForServiceState(const std::string& name, DWORD state, DWORD timeoutMs = 10000);

// Starts the service for real and waits until it runs.
bool StartForReal(const std::string& name);

// Sends the stop control; the status the control returned, state 0 on failure.
SERVICE_STATUS SendStop(const std::string& name);

// The service manager as a test plays it: dependents that Wine never reports, and a recorded
// ChangeServiceConfig2A. Installed on construction, the system's calls come back on destruction.
class FakeServiceManager {
public:
    struct Config2Call {
        DWORD Level;
        std::string Description;          // SERVICE_CONFIG_DESCRIPTION
        SERVICE_FAILURE_ACTIONSA Actions;  // SERVICE_CONFIG_FAILURE_ACTIONS (lpsaActions cleared)
        std::vector<SC_ACTION> ActionList;
    };

    FakeServiceManager();
    ~FakeServiceManager();
    FakeServiceManager(const FakeServiceManager&) = delete;
    FakeServiceManager& operator=(const FakeServiceManager&) = delete;

    // The active dependents every service reports, in this order.
    std::vector<std::string> Dependents;
    // When not 0, the enumeration fails with this error.
    DWORD EnumerationError = 0;
    // When false, the system has no ChangeServiceConfig2A.
    bool HasChangeServiceConfig2 = true;

    int EnumerationCalls = 0;
    std::vector<Config2Call> Config2Calls;

private:
    static BOOL WINAPI Enumerate(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSA* services, DWORD size,
                                 DWORD* needed, DWORD* count);
    static ChangeServiceConfig2AFunction Find();
    static BOOL WINAPI Change(SC_HANDLE service, DWORD level, void* info);
};

}  // namespace xatest
