#pragma once
// Services by name: creating, configuring, starting, stopping and deleting them through the
// service control manager, the Windows 9x RunServices registration that stands in for a service
// there, and starting a command. None of these operations logs. Each returns 0 or a Windows
// error code (-1 for a failure without a code).

#include <windows.h>

enum : DWORD {
    kServiceStopLimitMs = 60000,    // a stop, dependents included, gives up after this long
    kServiceStartLimitMs = 120000,  // a start gives up after this long, whatever the service says
    kServicePollMaxMs = 250,        // a starting or stopping service is polled at its wait hint,
                                    // at most this
    kServicePollMinMs = 10,         // and at least this (a hint of 0 gives the usual kWaitPollMs)
    kServiceGonePollMs = 50,        // how often a deleted service is looked for
};

enum : int {
    kServiceLeftStartPending = -1,  // 0xFFFFFFFF: the service stopped instead of running
    kDependentsTimedOut = -2,       // 0xFFFFFFFE: a dependent did not stop within the limit
};

// The key whose values Windows 9x starts as services, under HKEY_LOCAL_MACHINE.
extern const char kRunServicesKey[];

// Starts the service and looks at it within its wait hint, at least every kServicePollMaxMs, until
// it leaves the start-pending state. 0 when it runs; 1053 (ERROR_SERVICE_REQUEST_TIMEOUT) when its checkpoint stood still for longer than
// its wait hint, or kServiceStartLimitMs have passed; kServiceLeftStartPending when it stopped
// instead; else the error (1056 when already running).
int StartServiceAndWait(const char* name);

// The service's current state (SERVICE_STOPPED, SERVICE_RUNNING, ...) and, when processId is
// given, the id of its process (0 when it has none, or before Windows 2000). 0 or the error (1060
// when there is no such service).
int QueryServiceState(const char* name, DWORD* state, DWORD* processId = nullptr);

// Windows 9x: starts the command of the RunServices value name as a plain process, no waiting.
int StartAgentFromRunServices(const char* name);

// Stops the service, and before it its active dependents, and waits until it has stopped, for at
// most kServiceStopLimitMs in all. 0 when stopped or already stopped, 1060 when there is no such
// service, 1053 on time-out, else the error.
int StopServiceAndWait(const char* name);

// Waits until the service manager no longer knows the service (a deleted one stays while handles
// to it are open), looking every kServiceGonePollMs for at most limitMs. True when it is gone.
bool WaitUntilServiceGone(const char* name, DWORD limitMs);

// Stops the active services that depend on service, one after the other, each waited for; gives
// up with kDependentsTimedOut kServiceStopLimitMs after the call began. 0, the first error, or
// 14 when memory is short.
int StopDependentServices(SC_HANDLE manager, SC_HANDLE service);

// Renames the service's display name to "<name> - <8 hex digits> (Deleted)", so that a new
// service may take the old display name while this one waits for deletion. 0 or the error.
int RenameServiceForDeletion(const char* name);

// Creates an automatically started LocalSystem service of its own process (dependencies: a
// double-NUL-terminated list, or null). The description, when given, is set on Windows 2000 and
// later. 0 or the error; 1073 (ERROR_SERVICE_EXISTS) when a service of that name exists.
int CreateServiceEntry(const char* name, const char* displayName, const char* imagePath,
                       const char* dependencies, const char* description);

// Points an existing service at imagePath when its path differs other than in letter case, and
// changes nothing else; creates the service (as CreateServiceEntry) when it does not exist.
int UpdateServiceEntry(const char* name, const char* displayName, const char* imagePath,
                       const char* dependencies, const char* description);

// Sets one optional configuration record of the service (ChangeServiceConfig2A, where the system
// has it). 87 without a name or a record, the error of opening the service, else 0.
int SetServiceConfig2(const char* name, DWORD infoLevel, void* info);

// Windows 2000 and later: restart after one minute on the first two failures, nothing on the
// third, counts reset after a day. 0 on older systems.
int SetAgentFailureActions(const char* name);

// Marks the service for deletion (the manager removes it once its last handle is closed).
int DeleteServiceEntry(const char* name);

// Windows 9x: the RunServices value name with the command as REG_SZ.
int SetRunServicesValue(const char* name, const char* command);

// Windows 9x: deletes the RunServices value name. -1 when the key cannot be opened.
int DeleteRunServicesValue(const char* name);

// Starts commandLine as a new process and does not wait for it. 0 or the error.
int LaunchProcess(const char* commandLine);

// The calls through which the service manager is reached where a test has to play one:
// enumerating dependent services, and the optional ChangeServiceConfig2A (absent on NT 4).
typedef BOOL(WINAPI* ChangeServiceConfig2AFunction)(SC_HANDLE service, DWORD infoLevel, void* info);

struct ServiceManagerCalls {
    BOOL(WINAPI* EnumDependentServicesA)(SC_HANDLE service, DWORD state, ENUM_SERVICE_STATUSA* services,
                                         DWORD size, DWORD* needed, DWORD* count);
    ChangeServiceConfig2AFunction (*FindChangeServiceConfig2A)();  // null when the system lacks it
};

// The system's calls.
const ServiceManagerCalls& SystemServiceManagerCalls();

// Makes calls (both members set) the current ones, or restores the system's for null.
void SetServiceManagerCalls(const ServiceManagerCalls* calls);
