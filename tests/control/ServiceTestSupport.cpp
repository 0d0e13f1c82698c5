#include "control/ServiceTestSupport.h"

#include <algorithm>
#include <cstring>

namespace xatest {

namespace {

FakeServiceManager* g_fake = nullptr;

}  // namespace

StandIn::StandIn(const std::string& name, const std::string& behaviour, const std::string& folderName)
    : scratch_(name), folder_(scratch_ / folderName), exe_(folder_ + "\\AgentCore.exe"),
      record_(scratch_ / "events.txt")
{
    CreateDirectoryA(folder_.c_str(), nullptr);
    CopyFileA(FixturePath("agentstandin.exe").c_str(), exe_.c_str(), FALSE);
    SetBehaviour(behaviour);
}

void StandIn::SetBehaviour(const std::string& behaviour)
{
    std::string text = "[Agent]\r\n";
    if (behaviour.find("Record=") == std::string::npos)
        text += "Record=" + record_ + "\r\n";
    size_t start = 0;
    while (start < behaviour.size()) {
        size_t end = behaviour.find('\n', start);
        if (end == std::string::npos)
            end = behaviour.size();
        text += behaviour.substr(start, end - start) + "\r\n";
        start = end + 1;
    }
    WriteWholeFile(folder_ + "\\AgentCore.ini", text);
}

std::vector<std::string> StandIn::Events() const
{
    return SplitLines(ReadWholeFile(record_));
}

bool WaitForPipe(const std::string& name, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (WaitNamedPipeA(name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
            return true;
        Sleep(20);
    }
    return false;
}

RunningAgent::RunningAgent(const std::string& scratchName, const std::string& pipe, const std::string& behaviour)
    : standIn(scratchName, "Pipe=" + pipe + "\nLifetimeMs=-1\n" + behaviour), process(standIn.QuotedExe())
{
    ready = process.Started() && WaitForPipe(pipe);
    // A busy agent is ready once it holds its pipe itself.
    bool busy = behaviour.find("PipeBusyMs") != std::string::npos;
    for (int i = 0; ready && busy && i < 500 && !HasEvent("process pipe-busy"); ++i)
        Sleep(10);
    ready = ready && (!busy || HasEvent("process pipe-busy"));
}

bool RunningAgent::HasEvent(const std::string& event) const
{
    std::vector<std::string> events = standIn.Events();
    return std::find(events.begin(), events.end(), event) != events.end();
}

namespace {

DWORD WINAPI RunCall(void* call)
{
    (*static_cast<std::function<void()>*>(call))();
    return 0;
}

}  // namespace

bool ComesBackWithin(DWORD realMs, std::function<void()> call, DWORD agentId)
{
    HANDLE thread = CreateThread(nullptr, 0, RunCall, &call, 0, nullptr);
    if (!thread)
        return false;
    bool back = WaitForSingleObject(thread, realMs) == WAIT_OBJECT_0;
    if (!back) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, agentId);
        if (process) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    return back;
}

bool ForceRemoveService(const std::string& name)
{
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return false;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service) {
        SERVICE_STATUS status = {};
        if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED) {
            if (ControlService(service, SERVICE_CONTROL_STOP, &status))
                WaitForServiceState(name, SERVICE_STOPPED, 3000);
            // A service stuck in a pending state ignores controls: end its process. The manager
            // then keeps the pending state, but deletes the service all the same.
            SERVICE_STATUS_PROCESS process = {};
            DWORD needed = 0;
            if (QueryServiceStatus(service, &status) && status.dwCurrentState != SERVICE_STOPPED &&
                QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&process),
                                     sizeof(process), &needed) &&
                process.dwProcessId) {
                HANDLE handle = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, process.dwProcessId);
                if (handle) {
                    TerminateProcess(handle, 1);
                    WaitForSingleObject(handle, 5000);
                    CloseHandle(handle);
                }
            }
        }
        DeleteService(service);
        CloseServiceHandle(service);
    }
    bool gone = false;
    for (int i = 0; i < 100 && !gone; ++i) {
        SC_HANDLE again = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_STATUS);
        gone = !again && GetLastError() == ERROR_SERVICE_DOES_NOT_EXIST;
        if (again)
            CloseServiceHandle(again);
        if (!gone)
            Sleep(50);
    }
    CloseServiceHandle(manager);
    return gone;
}

TestService::TestService(const std::string& name, const std::string& displayName, const std::string& imagePath)
    : name_(name), created_(false)
{
    ForceRemoveService(name);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return;
    SC_HANDLE service = CreateServiceA(manager, name.c_str(), displayName.c_str(), SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                       imagePath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    created_ = service != nullptr;
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TestService::~TestService()
{
    ForceRemoveService(name_);
}

ServiceConfig ReadServiceConfig(const std::string& name)
{
    ServiceConfig result;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return result;
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_QUERY_CONFIG);
    if (!service) {
        result.Error = GetLastError();
        CloseServiceHandle(manager);
        return result;
    }
    std::vector<BYTE> buffer(8192);
    DWORD needed = 0;
    if (QueryServiceConfigA(service, reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data()), (DWORD)buffer.size(),
                            &needed)) {
        auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
        result.Exists = true;
        result.Type = config->dwServiceType;
        result.StartType = config->dwStartType;
        result.ErrorControl = config->dwErrorControl;
        result.ImagePath = config->lpBinaryPathName ? config->lpBinaryPathName : "";
        result.DisplayName = config->lpDisplayName ? config->lpDisplayName : "";
        result.Account = config->lpServiceStartName ? config->lpServiceStartName : "";
        result.Dependencies = config->lpDependencies ? config->lpDependencies : "";
    }
    if (QueryServiceConfig2A(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(), (DWORD)buffer.size(), &needed)) {
        auto* description = reinterpret_cast<SERVICE_DESCRIPTIONA*>(buffer.data());
        result.Description = description->lpDescription ? description->lpDescription : "";
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return result;
}

SERVICE_STATUS ReadServiceStatus(const std::string& name)
{
    SERVICE_STATUS status = {};
    if (!WithService(name, SERVICE_QUERY_STATUS, [&](SC_HANDLE service) { return QueryServiceStatus(service, &status); }))
        status.dwCurrentState = 0;
    return status;
}

bool WaitForServiceState(const std::string& name, DWORD state, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        if (ReadServiceStatus(name).dwCurrentState == state)
            return true;
        if (GetTickCount() - start > timeoutMs)
            return false;
        Sleep(20);
    }
}

bool StartForReal(const std::string& name)
{
    return WithService(name, SERVICE_START, [](SC_HANDLE service) { return StartServiceA(service, 0, nullptr); }) &&
           WaitForServiceState(name, SERVICE_RUNNING);
}

SERVICE_STATUS SendStop(const std::string& name)
{
    SERVICE_STATUS status = {};
    if (!WithService(name, SERVICE_STOP,
                     [&](SC_HANDLE service) { return ControlService(service, SERVICE_CONTROL_STOP, &status); }))
        status.dwCurrentState = 0;
    return status;
}

FakeServiceManager::FakeServiceManager()
{
    g_fake = this;
    ServiceManagerCalls calls = {Enumerate, Find};
    SetServiceManagerCalls(&calls);
}

FakeServiceManager::~FakeServiceManager()
{
    SetServiceManagerCalls(nullptr);
    g_fake = nullptr;
}

// Lays the entries out as the manager does: the records first, then their texts; a buffer that
// is too small gets ERROR_MORE_DATA with the size needed.
BOOL WINAPI FakeServiceManager::Enumerate(SC_HANDLE, DWORD state, ENUM_SERVICE_STATUSA* services, DWORD size,
                                          DWORD* needed, DWORD* count)
{
    FakeServiceManager* fake = g_fake;
    ++fake->EnumerationCalls;
    *count = 0;
    if (fake->EnumerationError) {
        SetLastError(fake->EnumerationError);
        return FALSE;
    }
    if (state != SERVICE_ACTIVE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD total = (DWORD)(fake->Dependents.size() * sizeof(ENUM_SERVICE_STATUSA));
    for (const std::string& name : fake->Dependents)
        total += (DWORD)(2 * (name.size() + 1));
    *needed = total;
    if (size < total) {
        SetLastError(ERROR_MORE_DATA);
        return FALSE;
    }
    char* text = reinterpret_cast<char*>(services + fake->Dependents.size());
    for (size_t i = 0; i < fake->Dependents.size(); ++i) {
        const std::string& name = fake->Dependents[i];
        std::memcpy(text, name.c_str(), name.size() + 1);
        services[i].lpServiceName = text;
        text += name.size() + 1;
        std::memcpy(text, name.c_str(), name.size() + 1);
        services[i].lpDisplayName = text;
        text += name.size() + 1;
        services[i].ServiceStatus = ReadServiceStatus(name);
    }
    *count = (DWORD)fake->Dependents.size();
    return TRUE;
}

ChangeServiceConfig2AFunction FakeServiceManager::Find()
{
    return g_fake->HasChangeServiceConfig2 ? Change : nullptr;
}

// Records the call, and passes it on so that what Wine keeps (the description) can be read back.
BOOL WINAPI FakeServiceManager::Change(SC_HANDLE service, DWORD level, void* info)
{
    Config2Call call = {};
    call.Level = level;
    if (level == SERVICE_CONFIG_DESCRIPTION) {
        const char* text = static_cast<SERVICE_DESCRIPTIONA*>(info)->lpDescription;
        call.Description = text ? text : "";
    } else if (level == SERVICE_CONFIG_FAILURE_ACTIONS) {
        call.Actions = *static_cast<SERVICE_FAILURE_ACTIONSA*>(info);
        if (call.Actions.lpsaActions)
            call.ActionList.assign(call.Actions.lpsaActions, call.Actions.lpsaActions + call.Actions.cActions);
        call.Actions.lpsaActions = nullptr;
    }
    g_fake->Config2Calls.push_back(call);
    return ChangeServiceConfig2A(service, level, info);
}

}  // namespace xatest
