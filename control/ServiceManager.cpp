#include "control/ServiceManager.h"

#include <mbstring.h>
#include <stdlib.h>
#include <string.h>

#include "support/Clock.h"
#include "support/Handles.h"
#include "support/Results.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

const DWORD kStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS | SERVICE_ENUMERATE_DEPENDENTS;  // 0x2C
const DWORD kDependentStopAccess = SERVICE_STOP | SERVICE_QUERY_STATUS;                        // 0x24

enum { kDisplayNameChars = 260 };
const size_t kDeletedSuffixChars = 21;  // " - 12345678 (Deleted)"

ChangeServiceConfig2AFunction FindSystemChangeServiceConfig2A()
{
    // advapi32 is loaded already (statically imported); NT 4 lacks the function.
    return GetSystemFunction<ChangeServiceConfig2AFunction>(GetModuleHandleA("Advapi32.dll"),
                                                            "ChangeServiceConfig2A");
}

const ServiceManagerCalls kSystemCalls = {EnumDependentServicesA, FindSystemChangeServiceConfig2A};
ServiceManagerCalls g_calls = kSystemCalls;

bool IsWindows2000OrLater()
{
    OSVERSIONINFOEXA version;
    return QueryWindowsVersion(&version) && version.dwMajorVersion >= 5;
}

// Opens the service manager and the service; 0 or the error (1060 for an unknown service).
int OpenNamedService(const char* name, DWORD access, SC_HANDLE* manager, SC_HANDLE* service)
{
    if (!name)
        return ERROR_INVALID_PARAMETER;
    *manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!*manager)
        return LastErrorResult();
    *service = OpenServiceA(*manager, name, access);
    if (!*service) {
        int result = LastErrorResult();
        CloseService(*manager);
        return result;
    }
    return 0;
}

// The service's configuration in a new zeroed buffer that the caller frees; 0 or the error.
int QueryConfig(SC_HANDLE service, QUERY_SERVICE_CONFIGA** config)
{
    *config = nullptr;
    DWORD needed = 0;
    if (QueryServiceConfigA(service, nullptr, 0, &needed) || GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return LastErrorResult();
    QUERY_SERVICE_CONFIGA* buffer = (QUERY_SERVICE_CONFIGA*)calloc(needed, 1);
    if (!buffer)
        return ERROR_OUTOFMEMORY;
    if (!QueryServiceConfigA(service, buffer, needed, &needed)) {
        int result = LastErrorResult();
        free(buffer);
        return result;
    }
    *config = buffer;
    return 0;
}

bool StopLimitReached(DWORD start)
{
    return ClockElapsed(start) >= kServiceStopLimitMs;
}

// Sleeps for wait, but never past the stop limit counted from start: a service may promise a
// wait hint of hours.
void SleepWithinStopLimit(DWORD wait, DWORD start)
{
    DWORD elapsed = ClockElapsed(start);
    if (elapsed >= kServiceStopLimitMs)
        return;
    DWORD left = kServiceStopLimitMs - elapsed;
    ClockSleep(wait < left ? wait : left);
}

// A starting or stopping service promises its next report within its wait hint, but may stop long before:
// the hint only shortens the poll. A hint of 0 promises nothing, and a tiny one must not make
// the poll a busy loop.
DWORD ServicePollInterval(DWORD waitHint)
{
    if (waitHint == 0)
        return kWaitPollMs;
    if (waitHint < kServicePollMinMs)
        return kServicePollMinMs;
    return waitHint < kServicePollMaxMs ? waitHint : kServicePollMaxMs;
}

// Polls a service that was asked to stop until it has stopped: 0, the error of a failed query,
// or timeoutResult once the stop limit counted from start is reached.
int PollUntilStopped(SC_HANDLE service, SERVICE_STATUS* status, DWORD start, int timeoutResult)
{
    while (status->dwCurrentState != SERVICE_STOPPED) {
        SleepWithinStopLimit(ServicePollInterval(status->dwWaitHint), start);
        if (!QueryServiceStatus(service, status))
            return LastErrorResult();
        if (status->dwCurrentState != SERVICE_STOPPED && StopLimitReached(start))
            return timeoutResult;
    }
    return 0;
}

// Stops one dependent and waits for it with the limit counted from start.
int StopDependent(SC_HANDLE manager, const char* name, DWORD start)
{
    int result = 0;
    SERVICE_STATUS status = {};
    SC_HANDLE service = OpenServiceA(manager, name, kDependentStopAccess);
    if (!service)
        return LastErrorResult();
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        result = LastErrorResult();
        goto Exit;
    }
    result = PollUntilStopped(service, &status, start, kDependentsTimedOut);

Exit:
    CloseService(service);
    return result;
}

int StopDependentsWithin(SC_HANDLE manager, SC_HANDLE service, DWORD start)
{
    int result = 0;
    ENUM_SERVICE_STATUSA* dependents = nullptr;
    DWORD needed = 0;
    DWORD count = 0;
    if (g_calls.EnumDependentServicesA(service, SERVICE_ACTIVE, nullptr, 0, &needed, &count))
        return 0;  // no active dependents
    if (GetLastError() != ERROR_MORE_DATA)
        return LastErrorResult();

    dependents = (ENUM_SERVICE_STATUSA*)calloc(1, needed);
    if (!dependents)
        return ERROR_OUTOFMEMORY;
    if (!g_calls.EnumDependentServicesA(service, SERVICE_ACTIVE, dependents, needed, &needed, &count)) {
        result = LastErrorResult();
        goto Exit;
    }
    for (DWORD i = 0; i < count && result == 0; ++i)
        result = StopDependent(manager, dependents[i].lpServiceName, start);

Exit:
    free(dependents);
    return result;
}

// Waits while the service is stop-pending: 0 when it stopped or went to another state (status
// tells which), 1053 at the limit, or the error.
int WaitWhileStopPending(SC_HANDLE service, SERVICE_STATUS* status, DWORD start)
{
    while (status->dwCurrentState == SERVICE_STOP_PENDING) {
        SleepWithinStopLimit(ServicePollInterval(status->dwWaitHint), start);
        if (!QueryServiceStatus(service, status))
            return LastErrorResult();
        if (status->dwCurrentState != SERVICE_STOPPED && StopLimitReached(start))
            return ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return 0;
}

// Length of at most maxBytes bytes of text that ends on a character boundary.
size_t BoundedTextLength(const char* text, size_t maxBytes)
{
    size_t length = 0;
    while (text[length]) {
        size_t next = length + (IsDBCSLeadByte((BYTE)text[length]) && text[length + 1] ? 2 : 1);
        if (next > maxBytes)
            break;
        length = next;
    }
    return length;
}

}  // namespace

const ServiceManagerCalls& SystemServiceManagerCalls()
{
    return kSystemCalls;
}

void SetServiceManagerCalls(const ServiceManagerCalls* calls)
{
    g_calls = (calls && calls->EnumDependentServicesA && calls->FindChangeServiceConfig2A) ? *calls : kSystemCalls;
}

int StartServiceAndWait(const char* name)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    SERVICE_STATUS status = {};
    DWORD start = 0;
    DWORD progressAt = 0;
    DWORD lastCheckPoint = 0;
    int result = OpenNamedService(name, SERVICE_ALL_ACCESS, &manager, &service);
    if (result != 0)
        return result;
    if (!StartServiceA(service, 0, nullptr) || !QueryServiceStatus(service, &status)) {
        result = LastErrorResult();
        goto Exit;
    }

    // A service that keeps raising its checkpoint, or promises a wait hint of days, would hold
    // the run (and the instance lock) for ever: the whole start has a limit of its own.
    start = progressAt = ClockTicks();
    lastCheckPoint = status.dwCheckPoint;
    while (status.dwCurrentState == SERVICE_START_PENDING) {
        if (status.dwCheckPoint > lastCheckPoint) {
            progressAt = ClockTicks();
            lastCheckPoint = status.dwCheckPoint;
        } else if (ClockElapsed(progressAt) > status.dwWaitHint) {
            result = ERROR_SERVICE_REQUEST_TIMEOUT;
            goto Exit;
        }
        DWORD elapsed = ClockElapsed(start);
        if (elapsed >= kServiceStartLimitMs) {
            result = ERROR_SERVICE_REQUEST_TIMEOUT;
            goto Exit;
        }
        DWORD left = kServiceStartLimitMs - elapsed;
        DWORD poll = ServicePollInterval(status.dwWaitHint);
        ClockSleep(left < poll ? left : poll);
        if (!QueryServiceStatus(service, &status)) {
            result = LastErrorResult();
            goto Exit;
        }
    }
    // A service that has left the start-pending state has not timed out, whatever its
    // checkpoint: running is success, anything else kServiceLeftStartPending.
    result = status.dwCurrentState == SERVICE_RUNNING ? 0 : kServiceLeftStartPending;

Exit:
    CloseService(service);
    CloseService(manager);
    return result;
}

int QueryServiceState(const char* name, DWORD* state, DWORD* processId)
{
    typedef BOOL(WINAPI * QueryServiceStatusExFunction)(SC_HANDLE, SC_STATUS_TYPE, BYTE*, DWORD, DWORD*);
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    int result = OpenNamedService(name, SERVICE_QUERY_STATUS, &manager, &service);
    if (result != 0)
        return result;
    // The process is known from Windows 2000 on.
    QueryServiceStatusExFunction queryEx =
        GetSystemFunction<QueryServiceStatusExFunction>(GetModuleHandleA("Advapi32.dll"), "QueryServiceStatusEx");
    if (queryEx ? queryEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status), &needed)
                : QueryServiceStatus(service, reinterpret_cast<SERVICE_STATUS*>(&status)))
        *state = status.dwCurrentState;
    else
        result = LastErrorResult();
    if (processId)
        *processId = status.dwProcessId;
    CloseService(service);
    CloseService(manager);
    return result;
}

int StopServiceAndWait(const char* name)
{
    // The limit covers the whole stop, dependents included.
    DWORD start = ClockTicks();
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    SERVICE_STATUS status = {};
    int result = OpenNamedService(name, kStopAccess, &manager, &service);
    if (result != 0)
        return result;
    if (!QueryServiceStatus(service, &status)) {
        result = LastErrorResult();
        goto Exit;
    }
    result = WaitWhileStopPending(service, &status, start);
    if (result != 0 || status.dwCurrentState == SERVICE_STOPPED)
        goto Exit;

    (void)StopDependentsWithin(manager, service, start);
    if (!ControlService(service, SERVICE_CONTROL_STOP, &status)) {
        result = LastErrorResult();
        goto Exit;
    }
    result = PollUntilStopped(service, &status, start, ERROR_SERVICE_REQUEST_TIMEOUT);

Exit:
    CloseService(service);
    CloseService(manager);
    return result;
}

bool WaitUntilServiceGone(const char* name, DWORD limitMs)
{
    return PollUntil(limitMs, kServiceGonePollMs, [name] {
        DWORD state = 0;
        return QueryServiceState(name, &state) == ERROR_SERVICE_DOES_NOT_EXIST;
    });
}

int StopDependentServices(SC_HANDLE manager, SC_HANDLE service)
{
    return StopDependentsWithin(manager, service, ClockTicks());
}

int RenameServiceForDeletion(const char* name)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    QUERY_SERVICE_CONFIGA* config = nullptr;
    char displayName[kDisplayNameChars];
    const char* oldName = nullptr;
    FILETIME now;
    int result = OpenNamedService(name, SERVICE_ALL_ACCESS, &manager, &service);
    if (result != 0)
        return result;
    result = QueryConfig(service, &config);
    if (result != 0)
        goto Exit;

    // A name too long for the suffix is cut on a character boundary rather than the suffix.
    oldName = config->lpDisplayName ? config->lpDisplayName : "";
    GetSystemTimeAsFileTime(&now);
    FormatText(displayName, sizeof(displayName), "%.*s - %08lx (Deleted)",
               (int)BoundedTextLength(oldName, kDisplayNameChars - 1 - kDeletedSuffixChars), oldName,
               (unsigned long)now.dwLowDateTime);
    if (!ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr, nullptr,
                              nullptr, nullptr, nullptr, nullptr, displayName))
        result = LastErrorResult();

Exit:
    free(config);
    CloseService(service);
    CloseService(manager);
    return result;
}

int CreateServiceEntry(const char* name, const char* displayName, const char* imagePath, const char* dependencies,
                       const char* description)
{
    int result = 0;
    SC_HANDLE service = nullptr;
    if (!name || !imagePath)
        return ERROR_INVALID_PARAMETER;
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager)
        return LastErrorResult();
    service = CreateServiceA(manager, name, displayName, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                             SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, imagePath, nullptr, nullptr, dependencies,
                             nullptr, nullptr);
    if (!service) {
        result = LastErrorResult();
        goto Exit;
    }
    if (description && IsWindows2000OrLater()) {
        ChangeServiceConfig2AFunction change = g_calls.FindChangeServiceConfig2A();
        SERVICE_DESCRIPTIONA record = {const_cast<char*>(description)};
        if (change)
            (void)change(service, SERVICE_CONFIG_DESCRIPTION, &record);  // best effort
    }

Exit:
    CloseService(service);
    CloseService(manager);
    return result;
}

int UpdateServiceEntry(const char* name, const char* displayName, const char* imagePath, const char* dependencies,
                       const char* description)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    QUERY_SERVICE_CONFIGA* config = nullptr;
    const char* current = nullptr;
    if (!imagePath)
        return ERROR_INVALID_PARAMETER;
    int result = OpenNamedService(name, SERVICE_ALL_ACCESS, &manager, &service);
    if (result == ERROR_SERVICE_DOES_NOT_EXIST)
        return CreateServiceEntry(name, displayName, imagePath, dependencies, description);
    if (result != 0)
        return result;

    // Not knowing the configured path is a failure: the service might still run an old binary.
    result = QueryConfig(service, &config);
    if (result != 0)
        goto Exit;
    current = config->lpBinaryPathName ? config->lpBinaryPathName : "";
    if (_mbsicmp((const unsigned char*)current, (const unsigned char*)imagePath) != 0 &&
        !ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, imagePath, nullptr,
                              nullptr, nullptr, nullptr, nullptr, nullptr))
        result = LastErrorResult();

Exit:
    free(config);
    CloseService(service);
    CloseService(manager);
    return result;
}

int SetServiceConfig2(const char* name, DWORD infoLevel, void* info)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    if (!name || !info)
        return ERROR_INVALID_PARAMETER;
    int result = OpenNamedService(name, SERVICE_ALL_ACCESS, &manager, &service);
    if (result != 0)
        return result;
    ChangeServiceConfig2AFunction change = g_calls.FindChangeServiceConfig2A();
    if (change)
        (void)change(service, infoLevel, info);  // optional settings: their failure is not the caller's
    CloseService(service);
    CloseService(manager);
    return 0;
}

int SetAgentFailureActions(const char* name)
{
    if (!IsWindows2000OrLater())
        return 0;
    static const SC_ACTION actions[3] = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    SERVICE_FAILURE_ACTIONSA record = {};
    record.dwResetPeriod = 86400;  // one day, in seconds
    record.cActions = 3;
    record.lpsaActions = const_cast<SC_ACTION*>(actions);  // only read
    return SetServiceConfig2(name, SERVICE_CONFIG_FAILURE_ACTIONS, &record);
}

int DeleteServiceEntry(const char* name)
{
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    int result = OpenNamedService(name, SERVICE_ALL_ACCESS, &manager, &service);
    if (result != 0)
        return result;
    if (!DeleteService(service))
        result = LastErrorResult();
    CloseService(service);
    CloseService(manager);
    return result;
}
