#include "harness/FailingCalls.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "harness/OpenedResources.h"

namespace xatest {

namespace {

volatile LONG g_armed = 0;
volatile LONG g_calls = 0;
LONG g_failAt = 0;
const char* g_only = nullptr;
const char* g_failedName = nullptr;
// The functions of the calls in their order; a fixed array, as the stand-ins may not allocate.
const long kNamedCalls = 1 << 16;
const char* g_names[kNamedCalls];
DWORD g_failedError = 0;

// True when this call is the one to fail; the code under test then gets error.
bool FailsNow(const char* name, DWORD error)
{
    if (!g_armed || IsNotCounted() || (g_only && std::strcmp(g_only, name) != 0))
        return false;
    LONG call = InterlockedIncrement(&g_calls);
    if (call <= kNamedCalls)
        g_names[call - 1] = name;
    if (call != g_failAt)
        return false;
    g_failedName = name;
    g_failedError = error;
    return true;
}

#define XA_NEXT(function) decltype(&::function) Next##function = nullptr
XA_NEXT(CreateFileA);
XA_NEXT(WriteFile);
XA_NEXT(CopyFileA);
XA_NEXT(CopyFileExA);
XA_NEXT(MoveFileExA);
XA_NEXT(MoveFileA);
XA_NEXT(DeleteFileA);
XA_NEXT(RemoveDirectoryA);
XA_NEXT(CreateDirectoryA);
XA_NEXT(SetFileAttributesA);
XA_NEXT(FlushFileBuffers);
XA_NEXT(CreateProcessA);
XA_NEXT(OpenProcess);
XA_NEXT(TerminateProcess);
XA_NEXT(RegCreateKeyExA);
XA_NEXT(RegOpenKeyExA);
XA_NEXT(RegSetValueExA);
XA_NEXT(RegDeleteValueA);
XA_NEXT(RegDeleteKeyA);
XA_NEXT(OpenSCManagerA);
XA_NEXT(CreateServiceA);
XA_NEXT(OpenServiceA);
XA_NEXT(ChangeServiceConfigA);
XA_NEXT(StartServiceA);
XA_NEXT(ControlService);
XA_NEXT(DeleteService);
XA_NEXT(GetProcAddress);
XA_NEXT(malloc);
XA_NEXT(calloc);
XA_NEXT(realloc);
XA_NEXT(_strdup);
typedef BOOL(WINAPI* ChangeServiceConfig2AFunction)(SC_HANDLE, DWORD, LPVOID);
ChangeServiceConfig2AFunction NextChangeServiceConfig2A = nullptr;

// A BOOL or handle function: the failure value with the system's error, else the next one's.
#define XA_FAIL(value, error)                                      \
    do {                                                           \
        if (FailsNow(__func__ + 4, error)) {                       \
            SetLastError(error);                                   \
            return value;                                          \
        }                                                          \
    } while (0)
// A registry function answers with the error itself.
#define XA_FAIL_REG(error)                \
    do {                                  \
        if (FailsNow(__func__ + 4, error)) \
            return (LONG)error;           \
    } while (0)
// The allocator: null, as without memory.
#define XA_FAIL_BLOCK()                                    \
    do {                                                   \
        if (FailsNow(__func__ + 4, ERROR_NOT_ENOUGH_MEMORY)) { \
            errno = ENOMEM;                                \
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);         \
            return nullptr;                                \
        }                                                  \
    } while (0)

HANDLE WINAPI FailCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                              DWORD disposition, DWORD flags, HANDLE model)
{
    XA_FAIL(INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
    return NextCreateFileA(name, access, share, security, disposition, flags, model);
}

BOOL WINAPI FailWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD written, LPOVERLAPPED overlapped)
{
    XA_FAIL(FALSE, ERROR_DISK_FULL);
    return NextWriteFile(file, data, size, written, overlapped);
}

BOOL WINAPI FailCopyFileA(LPCSTR from, LPCSTR to, BOOL failIfExists)
{
    XA_FAIL(FALSE, ERROR_DISK_FULL);
    return NextCopyFileA(from, to, failIfExists);
}

BOOL WINAPI FailCopyFileExA(LPCSTR from, LPCSTR to, LPPROGRESS_ROUTINE progress, LPVOID data, LPBOOL cancel,
                            DWORD flags)
{
    XA_FAIL(FALSE, ERROR_DISK_FULL);
    return NextCopyFileExA(from, to, progress, data, cancel, flags);
}

BOOL WINAPI FailMoveFileExA(LPCSTR from, LPCSTR to, DWORD flags)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextMoveFileExA(from, to, flags);
}

BOOL WINAPI FailMoveFileA(LPCSTR from, LPCSTR to)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextMoveFileA(from, to);
}

BOOL WINAPI FailDeleteFileA(LPCSTR path)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextDeleteFileA(path);
}

BOOL WINAPI FailRemoveDirectoryA(LPCSTR path)
{
    XA_FAIL(FALSE, ERROR_SHARING_VIOLATION);
    return NextRemoveDirectoryA(path);
}

BOOL WINAPI FailCreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextCreateDirectoryA(path, security);
}

BOOL WINAPI FailSetFileAttributesA(LPCSTR path, DWORD attributes)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextSetFileAttributesA(path, attributes);
}

BOOL WINAPI FailFlushFileBuffers(HANDLE file)
{
    XA_FAIL(FALSE, ERROR_DISK_FULL);
    return NextFlushFileBuffers(file);
}

BOOL WINAPI FailCreateProcessA(LPCSTR program, LPSTR command, LPSECURITY_ATTRIBUTES processSecurity,
                               LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                               LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information)
{
    XA_FAIL(FALSE, ERROR_NO_SYSTEM_RESOURCES);
    return NextCreateProcessA(program, command, processSecurity, threadSecurity, inherit, flags, environment, folder,
                              startup, information);
}

HANDLE WINAPI FailOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    XA_FAIL(nullptr, ERROR_ACCESS_DENIED);
    return NextOpenProcess(access, inherit, id);
}

BOOL WINAPI FailTerminateProcess(HANDLE process, UINT code)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextTerminateProcess(process, code);
}

LONG WINAPI FailRegCreateKeyExA(HKEY key, LPCSTR name, DWORD reserved, LPSTR kind, DWORD options, REGSAM access,
                                LPSECURITY_ATTRIBUTES security, PHKEY result, LPDWORD disposition)
{
    XA_FAIL_REG(ERROR_ACCESS_DENIED);
    return NextRegCreateKeyExA(key, name, reserved, kind, options, access, security, result, disposition);
}

LONG WINAPI FailRegOpenKeyExA(HKEY key, LPCSTR name, DWORD options, REGSAM access, PHKEY result)
{
    XA_FAIL_REG(ERROR_ACCESS_DENIED);
    return NextRegOpenKeyExA(key, name, options, access, result);
}

LONG WINAPI FailRegSetValueExA(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
{
    XA_FAIL_REG(ERROR_NO_SYSTEM_RESOURCES);
    return NextRegSetValueExA(key, name, reserved, type, data, size);
}

LONG WINAPI FailRegDeleteValueA(HKEY key, LPCSTR name)
{
    XA_FAIL_REG(ERROR_ACCESS_DENIED);
    return NextRegDeleteValueA(key, name);
}

LONG WINAPI FailRegDeleteKeyA(HKEY key, LPCSTR name)
{
    XA_FAIL_REG(ERROR_ACCESS_DENIED);
    return NextRegDeleteKeyA(key, name);
}

SC_HANDLE WINAPI FailOpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access)
{
    XA_FAIL(nullptr, ERROR_ACCESS_DENIED);
    return NextOpenSCManagerA(machine, database, access);
}

SC_HANDLE WINAPI FailCreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR display, DWORD access, DWORD type,
                                    DWORD start, DWORD errorControl, LPCSTR path, LPCSTR group, LPDWORD tag,
                                    LPCSTR dependencies, LPCSTR account, LPCSTR password)
{
    XA_FAIL(nullptr, ERROR_NO_SYSTEM_RESOURCES);
    return NextCreateServiceA(manager, name, display, access, type, start, errorControl, path, group, tag,
                              dependencies, account, password);
}

SC_HANDLE WINAPI FailOpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    XA_FAIL(nullptr, ERROR_ACCESS_DENIED);
    return NextOpenServiceA(manager, name, access);
}

BOOL WINAPI FailChangeServiceConfigA(SC_HANDLE service, DWORD type, DWORD start, DWORD errorControl, LPCSTR path,
                                     LPCSTR group, LPDWORD tag, LPCSTR dependencies, LPCSTR account,
                                     LPCSTR password, LPCSTR display)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextChangeServiceConfigA(service, type, start, errorControl, path, group, tag, dependencies, account,
                                    password, display);
}

BOOL WINAPI FailChangeServiceConfig2A(SC_HANDLE service, DWORD level, LPVOID info)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextChangeServiceConfig2A(service, level, info);
}

BOOL WINAPI FailStartServiceA(SC_HANDLE service, DWORD count, LPCSTR* arguments)
{
    XA_FAIL(FALSE, ERROR_NO_SYSTEM_RESOURCES);
    return NextStartServiceA(service, count, arguments);
}

BOOL WINAPI FailControlService(SC_HANDLE service, DWORD control, LPSERVICE_STATUS status)
{
    XA_FAIL(FALSE, ERROR_NO_SYSTEM_RESOURCES);
    return NextControlService(service, control, status);
}

BOOL WINAPI FailDeleteService(SC_HANDLE service)
{
    XA_FAIL(FALSE, ERROR_ACCESS_DENIED);
    return NextDeleteService(service);
}

void* __cdecl Failmalloc(size_t size)
{
    XA_FAIL_BLOCK();
    return Nextmalloc(size);
}

void* __cdecl Failcalloc(size_t count, size_t size)
{
    XA_FAIL_BLOCK();
    return Nextcalloc(count, size);
}

void* __cdecl Failrealloc(void* block, size_t size)
{
    XA_FAIL_BLOCK();
    return Nextrealloc(block, size);
}

char* __cdecl Fail_strdup(const char* text)
{
    XA_FAIL_BLOCK();
    return Next_strdup(text);
}

// The optional functions that the product looks up by name come as their stand-ins.
FARPROC WINAPI FailGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC function = NextGetProcAddress(module, name);
    if (function && !IS_INTRESOURCE(name) && std::strcmp(name, "ChangeServiceConfig2A") == 0) {
        NextChangeServiceConfig2A = reinterpret_cast<ChangeServiceConfig2AFunction>(reinterpret_cast<void*>(function));
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&FailChangeServiceConfig2A));
    }
    return function;
}

struct StandIn {
    const char* Library;
    const char* Name;
    void* Failing;
    void** Next;
};

#define XA_STAND_IN(library, function) \
    { library, #function, reinterpret_cast<void*>(&Fail##function), reinterpret_cast<void**>(&Next##function) }
const StandIn kStandIns[] = {
    XA_STAND_IN("kernel32.dll", CreateFileA),      XA_STAND_IN("kernel32.dll", WriteFile),
    XA_STAND_IN("kernel32.dll", CopyFileA),        XA_STAND_IN("kernel32.dll", CopyFileExA),
    XA_STAND_IN("kernel32.dll", MoveFileExA),      XA_STAND_IN("kernel32.dll", MoveFileA),
    XA_STAND_IN("kernel32.dll", DeleteFileA),      XA_STAND_IN("kernel32.dll", RemoveDirectoryA),
    XA_STAND_IN("kernel32.dll", CreateDirectoryA), XA_STAND_IN("kernel32.dll", SetFileAttributesA),
    XA_STAND_IN("kernel32.dll", FlushFileBuffers), XA_STAND_IN("kernel32.dll", CreateProcessA),
    XA_STAND_IN("kernel32.dll", OpenProcess),      XA_STAND_IN("kernel32.dll", TerminateProcess),
    XA_STAND_IN("advapi32.dll", RegCreateKeyExA),  XA_STAND_IN("advapi32.dll", RegOpenKeyExA),
    XA_STAND_IN("advapi32.dll", RegSetValueExA),   XA_STAND_IN("advapi32.dll", RegDeleteValueA),
    XA_STAND_IN("advapi32.dll", RegDeleteKeyA),    XA_STAND_IN("advapi32.dll", OpenSCManagerA),
    XA_STAND_IN("advapi32.dll", CreateServiceA),   XA_STAND_IN("advapi32.dll", OpenServiceA),
    XA_STAND_IN("advapi32.dll", ChangeServiceConfigA), XA_STAND_IN("advapi32.dll", StartServiceA),
    XA_STAND_IN("advapi32.dll", ControlService),   XA_STAND_IN("advapi32.dll", DeleteService),
    XA_STAND_IN("kernel32.dll", GetProcAddress),   XA_STAND_IN("msvcrt.dll", malloc),
    XA_STAND_IN("msvcrt.dll", calloc),             XA_STAND_IN("msvcrt.dll", realloc),
    XA_STAND_IN("msvcrt.dll", _strdup),
};

// Once, over whatever the slots hold then (the counting stand-ins, which go first).
void InstallStandIns()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    (void)IsNotCounted();
    for (const StandIn& standIn : kStandIns) {
        std::vector<void**> slots = FindImports(standIn.Library, standIn.Name);
        void* next = slots.empty() ? nullptr : *slots[0];
        if (!next)
            next = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(standIn.Library), standIn.Name));
        *standIn.Next = next;
        if (!slots.empty())
            ReplaceImports(slots, standIn.Failing);
    }
}

}  // namespace

FailingCalls::FailingCalls(long failAt, const char* only)
{
    InstallStandIns();
    g_only = only;
    g_failedName = nullptr;
    g_failedError = 0;
    g_failAt = failAt;
    InterlockedExchange(&g_calls, 0);
    InterlockedExchange(&g_armed, 1);
}

FailingCalls::~FailingCalls()
{
    InterlockedExchange(&g_armed, 0);
}

long FailingCalls::Calls() const
{
    return g_calls;
}

long FailingCalls::NumberOf(const std::string& function, int occurrence) const
{
    for (long call = 0; call < g_calls && call < kNamedCalls; ++call)
        if (function == g_names[call] && --occurrence == 0)
            return call + 1;
    return 0;
}

std::string FailingCalls::NameOf(long number) const
{
    return number >= 1 && number <= g_calls && number <= kNamedCalls ? g_names[number - 1] : "";
}

std::string FailingCalls::Failed() const
{
    if (!g_failedName)
        return "";
    char text[80];
    std::snprintf(text, sizeof(text), "%s -> %lu", g_failedName, (unsigned long)g_failedError);
    return text;
}

}  // namespace xatest
