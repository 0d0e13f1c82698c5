#include "harness/OpenedResources.h"

#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace xatest {

namespace {

enum Kind { kHandle, kFind, kService, kKey, kBlock, kLibrary, kKinds };
const char* const kKindNames[kKinds] = {"handle", "find handle", "service handle", "key", "block", "library"};

struct Opening {
    const char* From;
    size_t Size;         // blocks only
    const void* Caller;  // the code that called, for addr2line
    int References;      // a library loaded again; 1 for everything else
};

// Everything the stand-ins share; made once, never freed (the stand-ins stay in place).
struct Ledger {
    CRITICAL_SECTION Lock;
    bool Counting = false;   // opens are recorded
    bool Following = false;  // closes of what was recorded are
    std::map<const void*, Opening> Open[kKinds];
    int Opened[kKinds] = {};
};

Ledger* g_ledger = nullptr;
// Per thread: set while the ledger itself allocates (nothing is looked at then), and the depth of
// NotCounted scopes (opens are not recorded then).
DWORD g_insideSlot = TLS_OUT_OF_INDEXES;
DWORD g_notCountedSlot = TLS_OUT_OF_INDEXES;

#define XA_CALLER __builtin_return_address(0)

// Sets the thread's "inside" mark for the ledger's own work; keeps the last error, which the
// code under test may read after the call that this stand-in made for it.
class Inside {
public:
    Inside() : error_(GetLastError()), outer_(TlsGetValue(g_insideSlot) != nullptr)
    {
        if (!outer_)
            TlsSetValue(g_insideSlot, (void*)1);
    }
    ~Inside()
    {
        if (!outer_)
            TlsSetValue(g_insideSlot, nullptr);
        SetLastError(error_);
    }
    bool Outer() const { return outer_; }

private:
    DWORD error_;
    bool outer_;
};

void Opened(Kind kind, const void* value, const char* from, const void* caller, size_t size = 0)
{
    Ledger* ledger = g_ledger;
    if (!ledger || !ledger->Counting || !value)
        return;
    Inside inside;
    if (inside.Outer() || TlsGetValue(g_notCountedSlot))
        return;
    EnterCriticalSection(&ledger->Lock);
    if (ledger->Counting) {
        ++ledger->Opened[kind];
        auto known = ledger->Open[kind].find(value);
        // A library is loaded again; any other value seen again was closed by a call that is
        // not counted, and is taken for the new one.
        if (known != ledger->Open[kind].end() && kind == kLibrary)
            ++known->second.References;
        else
            ledger->Open[kind][value] = Opening{from, size, caller, 1};
    }
    LeaveCriticalSection(&ledger->Lock);
}

// Takes value off the ledger (a library once it is freed as often as it was loaded); true when
// it was recorded. closing: false for a block that only moves.
bool Forget(Kind kind, const void* value, bool closing, Opening* record = nullptr)
{
    Ledger* ledger = g_ledger;
    if (!ledger || !ledger->Following || !value)
        return false;
    Inside inside;
    if (inside.Outer())
        return false;
    bool found = false;
    EnterCriticalSection(&ledger->Lock);
    auto known = ledger->Open[kind].find(value);
    if (ledger->Following && known != ledger->Open[kind].end()) {
        found = true;
        if (record)
            *record = known->second;
        if (--known->second.References <= 0 || !closing)
            ledger->Open[kind].erase(known);
    }
    LeaveCriticalSection(&ledger->Lock);
    return found;
}

void Closed(Kind kind, const void* value)
{
    Forget(kind, value, true);
}

// A block that moved keeps its opening.
void Moved(const void* to, const Opening& record)
{
    Ledger* ledger = g_ledger;
    Inside inside;
    if (!ledger || inside.Outer())
        return;
    EnterCriticalSection(&ledger->Lock);
    if (ledger->Following)
        ledger->Open[kBlock][to] = record;
    LeaveCriticalSection(&ledger->Lock);
}

bool IsPredefinedKey(HKEY key)
{
    return ((ULONG_PTR)key & 0x80000000u) != 0;
}

#define XA_REAL(function) decltype(&::function) Real##function = nullptr
XA_REAL(CloseHandle);
XA_REAL(CreateFileA);
XA_REAL(CreateEventA);
XA_REAL(OpenEventA);
XA_REAL(CreateMutexA);
XA_REAL(CreateThread);
XA_REAL(OpenProcess);
XA_REAL(CreateProcessA);
XA_REAL(CreateToolhelp32Snapshot);
XA_REAL(OpenProcessToken);
XA_REAL(FindFirstFileA);
XA_REAL(FindClose);
XA_REAL(OpenSCManagerA);
XA_REAL(OpenServiceA);
XA_REAL(CreateServiceA);
XA_REAL(CloseServiceHandle);
XA_REAL(RegOpenKeyExA);
XA_REAL(RegOpenKeyA);
XA_REAL(RegCreateKeyExA);
XA_REAL(RegCreateKeyA);
XA_REAL(RegConnectRegistryA);
XA_REAL(RegCloseKey);
XA_REAL(LoadLibraryA);
XA_REAL(LoadLibraryExA);
XA_REAL(FreeLibrary);
XA_REAL(GetProcAddress);
XA_REAL(HeapAlloc);
XA_REAL(HeapFree);
XA_REAL(FormatMessageA);
XA_REAL(LocalFree);
XA_REAL(malloc);
XA_REAL(calloc);
XA_REAL(realloc);
XA_REAL(free);
XA_REAL(_strdup);

HANDLE Handle(HANDLE handle, const char* from, const void* caller)
{
    Opened(kHandle, handle, from, caller);
    return handle;
}

HANDLE FileHandle(HANDLE handle, Kind kind, const char* from, const void* caller)
{
    if (handle != INVALID_HANDLE_VALUE)
        Opened(kind, handle, from, caller);
    return handle;
}

BOOL WINAPI CountCloseHandle(HANDLE handle)
{
    Closed(kHandle, handle);
    return RealCloseHandle(handle);
}

HANDLE WINAPI CountCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE model)
{
    return FileHandle(RealCreateFileA(name, access, share, security, disposition, flags, model), kHandle,
                      "CreateFileA", XA_CALLER);
}

HANDLE WINAPI CountCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name)
{
    return Handle(RealCreateEventA(security, manual, initial, name), "CreateEventA", XA_CALLER);
}

HANDLE WINAPI CountOpenEventA(DWORD access, BOOL inherit, LPCSTR name)
{
    return Handle(RealOpenEventA(access, inherit, name), "OpenEventA", XA_CALLER);
}

HANDLE WINAPI CountCreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL owned, LPCSTR name)
{
    return Handle(RealCreateMutexA(security, owned, name), "CreateMutexA", XA_CALLER);
}

HANDLE WINAPI CountCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                LPVOID parameter, DWORD flags, LPDWORD id)
{
    return Handle(RealCreateThread(security, stack, start, parameter, flags, id), "CreateThread", XA_CALLER);
}

HANDLE WINAPI CountOpenProcess(DWORD access, BOOL inherit, DWORD id)
{
    return Handle(RealOpenProcess(access, inherit, id), "OpenProcess", XA_CALLER);
}

BOOL WINAPI CountCreateProcessA(LPCSTR program, LPSTR commandLine, LPSECURITY_ATTRIBUTES processSecurity,
                                LPSECURITY_ATTRIBUTES threadSecurity, BOOL inherit, DWORD flags, LPVOID environment,
                                LPCSTR folder, LPSTARTUPINFOA startup, LPPROCESS_INFORMATION information)
{
    BOOL created = RealCreateProcessA(program, commandLine, processSecurity, threadSecurity, inherit, flags,
                                      environment, folder, startup, information);
    if (created && information) {
        Opened(kHandle, information->hProcess, "CreateProcessA (process)", XA_CALLER);
        Opened(kHandle, information->hThread, "CreateProcessA (thread)", XA_CALLER);
    }
    return created;
}

HANDLE WINAPI CountCreateToolhelp32Snapshot(DWORD flags, DWORD id)
{
    return FileHandle(RealCreateToolhelp32Snapshot(flags, id), kHandle, "CreateToolhelp32Snapshot", XA_CALLER);
}

BOOL WINAPI CountOpenProcessToken(HANDLE process, DWORD access, PHANDLE token)
{
    BOOL opened = RealOpenProcessToken(process, access, token);
    if (opened)
        Opened(kHandle, *token, "OpenProcessToken", XA_CALLER);
    return opened;
}

HANDLE WINAPI CountFindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data)
{
    return FileHandle(RealFindFirstFileA(pattern, data), kFind, "FindFirstFileA", XA_CALLER);
}

BOOL WINAPI CountFindClose(HANDLE find)
{
    Closed(kFind, find);
    return RealFindClose(find);
}

SC_HANDLE WINAPI CountOpenSCManagerA(LPCSTR machine, LPCSTR database, DWORD access)
{
    SC_HANDLE manager = RealOpenSCManagerA(machine, database, access);
    Opened(kService, manager, "OpenSCManagerA", XA_CALLER);
    return manager;
}

SC_HANDLE WINAPI CountOpenServiceA(SC_HANDLE manager, LPCSTR name, DWORD access)
{
    SC_HANDLE service = RealOpenServiceA(manager, name, access);
    Opened(kService, service, "OpenServiceA", XA_CALLER);
    return service;
}

SC_HANDLE WINAPI CountCreateServiceA(SC_HANDLE manager, LPCSTR name, LPCSTR displayName, DWORD access, DWORD type,
                                     DWORD start, DWORD errorControl, LPCSTR path, LPCSTR group, LPDWORD tag,
                                     LPCSTR dependencies, LPCSTR account, LPCSTR password)
{
    SC_HANDLE service = RealCreateServiceA(manager, name, displayName, access, type, start, errorControl, path, group,
                                           tag, dependencies, account, password);
    Opened(kService, service, "CreateServiceA", XA_CALLER);
    return service;
}

BOOL WINAPI CountCloseServiceHandle(SC_HANDLE handle)
{
    Closed(kService, handle);
    return RealCloseServiceHandle(handle);
}

LONG Key(LONG result, PHKEY key, const char* from, const void* caller)
{
    if (result == ERROR_SUCCESS && key && !IsPredefinedKey(*key))
        Opened(kKey, *key, from, caller);
    return result;
}

LONG WINAPI CountRegOpenKeyExA(HKEY parent, LPCSTR name, DWORD options, REGSAM access, PHKEY key)
{
    return Key(RealRegOpenKeyExA(parent, name, options, access, key), key, "RegOpenKeyExA", XA_CALLER);
}

LONG WINAPI CountRegOpenKeyA(HKEY parent, LPCSTR name, PHKEY key)
{
    return Key(RealRegOpenKeyA(parent, name, key), key, "RegOpenKeyA", XA_CALLER);
}

LONG WINAPI CountRegCreateKeyExA(HKEY parent, LPCSTR name, DWORD reserved, LPSTR keyClass, DWORD options,
                                 REGSAM access, LPSECURITY_ATTRIBUTES security, PHKEY key, LPDWORD disposition)
{
    return Key(RealRegCreateKeyExA(parent, name, reserved, keyClass, options, access, security, key, disposition), key,
               "RegCreateKeyExA", XA_CALLER);
}

LONG WINAPI CountRegCreateKeyA(HKEY parent, LPCSTR name, PHKEY key)
{
    return Key(RealRegCreateKeyA(parent, name, key), key, "RegCreateKeyA", XA_CALLER);
}

LONG WINAPI CountRegConnectRegistryA(LPCSTR machine, HKEY predefined, PHKEY key)
{
    return Key(RealRegConnectRegistryA(machine, predefined, key), key, "RegConnectRegistryA", XA_CALLER);
}

LONG WINAPI CountRegCloseKey(HKEY key)
{
    Closed(kKey, key);
    return RealRegCloseKey(key);
}

HMODULE WINAPI CountLoadLibraryA(LPCSTR name)
{
    HMODULE module = RealLoadLibraryA(name);
    Opened(kLibrary, module, "LoadLibraryA", XA_CALLER);
    return module;
}

HMODULE WINAPI CountLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags)
{
    HMODULE module = RealLoadLibraryExA(name, file, flags);
    // A data file mapped by LoadLibraryEx is released by FreeLibrary as well.
    Opened(kLibrary, module, "LoadLibraryExA", XA_CALLER);
    return module;
}

BOOL WINAPI CountFreeLibrary(HMODULE module)
{
    Closed(kLibrary, module);
    return RealFreeLibrary(module);
}

LPVOID WINAPI CountHeapAlloc(HANDLE heap, DWORD flags, SIZE_T size)
{
    LPVOID block = RealHeapAlloc(heap, flags, size);
    Opened(kBlock, block, "HeapAlloc", XA_CALLER, size);
    return block;
}

BOOL WINAPI CountHeapFree(HANDLE heap, DWORD flags, LPVOID block)
{
    Closed(kBlock, block);
    return RealHeapFree(heap, flags, block);
}

DWORD WINAPI CountFormatMessageA(DWORD flags, LPCVOID source, DWORD id, DWORD language, LPSTR buffer, DWORD size,
                                 va_list* arguments)
{
    DWORD length = RealFormatMessageA(flags, source, id, language, buffer, size, arguments);
    if ((flags & FORMAT_MESSAGE_ALLOCATE_BUFFER) && length && buffer)
        Opened(kBlock, *reinterpret_cast<char**>(buffer), "FormatMessageA", XA_CALLER, length + 1);
    return length;
}

HLOCAL WINAPI CountLocalFree(HLOCAL block)
{
    Closed(kBlock, block);
    return RealLocalFree(block);
}

void* __cdecl CountMalloc(size_t size)
{
    void* block = Realmalloc(size);
    Opened(kBlock, block, "malloc", XA_CALLER, size);
    return block;
}

void* __cdecl CountCalloc(size_t count, size_t size)
{
    void* block = Realcalloc(count, size);
    Opened(kBlock, block, "calloc", XA_CALLER, count * size);
    return block;
}

void* __cdecl CountRealloc(void* block, size_t size)
{
    if (!block) {
        void* made = Realrealloc(nullptr, size);
        Opened(kBlock, made, "realloc", XA_CALLER, size);
        return made;
    }
    if (size == 0) {
        Closed(kBlock, block);
        return Realrealloc(block, 0);
    }
    Opening record = {};
    bool known = Forget(kBlock, block, false, &record);
    void* moved = Realrealloc(block, size);
    if (known) {
        record.Size = moved ? size : record.Size;
        Moved(moved ? moved : block, record);  // a failed realloc leaves the block as it was
    }
    return moved;
}

void __cdecl CountFree(void* block)
{
    Closed(kBlock, block);
    Realfree(block);
}

char* __cdecl CountStrdup(const char* text)
{
    char* copy = Real_strdup(text);
    Opened(kBlock, copy, "_strdup", XA_CALLER, copy ? strlen(copy) + 1 : 0);
    return copy;
}

FARPROC WINAPI CountGetProcAddress(HMODULE module, LPCSTR name);

struct StandIn {
    const char* Library;
    const char* Name;
    void* Counting;
    void** Real;
};

#define XA_STAND_IN(library, function, counting) \
    { library, #function, reinterpret_cast<void*>(counting), reinterpret_cast<void**>(&Real##function) }
const StandIn kStandIns[] = {
    XA_STAND_IN("kernel32.dll", CloseHandle, CountCloseHandle),
    XA_STAND_IN("kernel32.dll", CreateFileA, CountCreateFileA),
    XA_STAND_IN("kernel32.dll", CreateEventA, CountCreateEventA),
    XA_STAND_IN("kernel32.dll", OpenEventA, CountOpenEventA),
    XA_STAND_IN("kernel32.dll", CreateMutexA, CountCreateMutexA),
    XA_STAND_IN("kernel32.dll", CreateThread, CountCreateThread),
    XA_STAND_IN("kernel32.dll", OpenProcess, CountOpenProcess),
    XA_STAND_IN("kernel32.dll", CreateProcessA, CountCreateProcessA),
    XA_STAND_IN("kernel32.dll", CreateToolhelp32Snapshot, CountCreateToolhelp32Snapshot),
    XA_STAND_IN("advapi32.dll", OpenProcessToken, CountOpenProcessToken),
    XA_STAND_IN("kernel32.dll", FindFirstFileA, CountFindFirstFileA),
    XA_STAND_IN("kernel32.dll", FindClose, CountFindClose),
    XA_STAND_IN("advapi32.dll", OpenSCManagerA, CountOpenSCManagerA),
    XA_STAND_IN("advapi32.dll", OpenServiceA, CountOpenServiceA),
    XA_STAND_IN("advapi32.dll", CreateServiceA, CountCreateServiceA),
    XA_STAND_IN("advapi32.dll", CloseServiceHandle, CountCloseServiceHandle),
    XA_STAND_IN("advapi32.dll", RegOpenKeyExA, CountRegOpenKeyExA),
    XA_STAND_IN("advapi32.dll", RegOpenKeyA, CountRegOpenKeyA),
    XA_STAND_IN("advapi32.dll", RegCreateKeyExA, CountRegCreateKeyExA),
    XA_STAND_IN("advapi32.dll", RegCreateKeyA, CountRegCreateKeyA),
    XA_STAND_IN("advapi32.dll", RegConnectRegistryA, CountRegConnectRegistryA),
    XA_STAND_IN("advapi32.dll", RegCloseKey, CountRegCloseKey),
    XA_STAND_IN("kernel32.dll", LoadLibraryA, CountLoadLibraryA),
    XA_STAND_IN("kernel32.dll", LoadLibraryExA, CountLoadLibraryExA),
    XA_STAND_IN("kernel32.dll", FreeLibrary, CountFreeLibrary),
    XA_STAND_IN("kernel32.dll", GetProcAddress, CountGetProcAddress),
    XA_STAND_IN("kernel32.dll", HeapAlloc, CountHeapAlloc),
    XA_STAND_IN("kernel32.dll", HeapFree, CountHeapFree),
    XA_STAND_IN("kernel32.dll", FormatMessageA, CountFormatMessageA),
    XA_STAND_IN("kernel32.dll", LocalFree, CountLocalFree),
    XA_STAND_IN("msvcrt.dll", malloc, CountMalloc),
    XA_STAND_IN("msvcrt.dll", calloc, CountCalloc),
    XA_STAND_IN("msvcrt.dll", realloc, CountRealloc),
    XA_STAND_IN("msvcrt.dll", free, CountFree),
    XA_STAND_IN("msvcrt.dll", _strdup, CountStrdup),
};

// The optional functions that the product looks up by name (ToolHelp, for one) come as their
// stand-ins as well.
FARPROC WINAPI CountGetProcAddress(HMODULE module, LPCSTR name)
{
    FARPROC function = RealGetProcAddress(module, name);
    for (const StandIn& standIn : kStandIns) {
        if (function && reinterpret_cast<void*>(function) == *standIn.Real)
            return reinterpret_cast<FARPROC>(standIn.Counting);
    }
    return function;
}

void InstallStandIns()
{
    if (g_ledger)
        return;
    g_insideSlot = TlsAlloc();
    g_notCountedSlot = TlsAlloc();
    Ledger* ledger = new Ledger;
    InitializeCriticalSection(&ledger->Lock);
    for (const StandIn& standIn : kStandIns) {
        std::vector<void**> slots = FindImports(standIn.Library, standIn.Name);
        void* real = slots.empty() ? nullptr : *slots[0];
        if (!real)
            real = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(standIn.Library), standIn.Name));
        *standIn.Real = real;
        if (!slots.empty())
            ReplaceImports(slots, standIn.Counting);
    }
    g_ledger = ledger;
}

// Entries still open; a kernel handle that the system no longer knows is closed.
int StillOpen(Kind kind, std::vector<std::string>* names)
{
    int open = 0;
    for (const auto& entry : g_ledger->Open[kind]) {
        DWORD flags = 0;
        if (kind == kHandle && !GetHandleInformation(const_cast<void*>(entry.first), &flags))
            continue;
        open += entry.second.References;
        if (names) {
            char text[160];
            if (kind == kBlock)
                std::snprintf(text, sizeof(text), "block of %u bytes from %s, called at %p",
                              (unsigned)entry.second.Size, entry.second.From, entry.second.Caller);
            else
                std::snprintf(text, sizeof(text), "%s %p from %s, called at %p", kKindNames[kind], entry.first,
                              entry.second.From, entry.second.Caller);
            names->push_back(text);
        }
    }
    return open;
}

OpenedResources::Tally Count(std::initializer_list<Kind> kinds)
{
    OpenedResources::Tally tally = {0, 0};
    Inside inside;
    EnterCriticalSection(&g_ledger->Lock);
    for (Kind kind : kinds) {
        tally.Opened += g_ledger->Opened[kind];
        tally.Closed += g_ledger->Opened[kind] - StillOpen(kind, nullptr);
    }
    LeaveCriticalSection(&g_ledger->Lock);
    return tally;
}

DWORD SystemHandleCount()
{
    typedef BOOL(WINAPI * Function)(HANDLE, DWORD*);
    Function count = reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetProcessHandleCount")));
    DWORD handles = 0;
    if (!count || !count(GetCurrentProcess(), &handles))
        return (DWORD)-1;
    return handles;
}

}  // namespace

std::vector<void**> FindImports(const char* library, const char* function)
{
    std::vector<void**> slots;
    BYTE* base = (BYTE*)GetModuleHandleA(nullptr);
    IMAGE_NT_HEADERS* headers = (IMAGE_NT_HEADERS*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY& imports = headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (IMAGE_IMPORT_DESCRIPTOR* descriptor = (IMAGE_IMPORT_DESCRIPTOR*)(base + imports.VirtualAddress);
         descriptor->Name; ++descriptor) {
        if (lstrcmpiA((const char*)(base + descriptor->Name), library) != 0 || !descriptor->OriginalFirstThunk)
            continue;
        IMAGE_THUNK_DATA* names = (IMAGE_THUNK_DATA*)(base + descriptor->OriginalFirstThunk);
        IMAGE_THUNK_DATA* entries = (IMAGE_THUNK_DATA*)(base + descriptor->FirstThunk);
        for (; names->u1.AddressOfData; ++names, ++entries) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            IMAGE_IMPORT_BY_NAME* byName = (IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData);
            if (strcmp((const char*)byName->Name, function) == 0)
                slots.push_back((void**)&entries->u1.Function);
        }
    }
    return slots;
}

void* ReplaceImports(const std::vector<void**>& slots, void* replacement)
{
    void* before = slots.empty() ? nullptr : *slots[0];
    for (void** slot : slots) {
        DWORD old = 0;
        VirtualProtect(slot, sizeof(*slot), PAGE_READWRITE, &old);
        *slot = replacement;
        VirtualProtect(slot, sizeof(*slot), old, &old);
    }
    return before;
}

OpenedResources::OpenedResources()
{
    InstallStandIns();
    systemCountBefore_ = SystemHandleCount();
    Inside inside;
    EnterCriticalSection(&g_ledger->Lock);
    for (int kind = 0; kind < kKinds; ++kind) {
        g_ledger->Open[kind].clear();
        g_ledger->Opened[kind] = 0;
    }
    g_ledger->Following = g_ledger->Counting = true;
    LeaveCriticalSection(&g_ledger->Lock);
}

OpenedResources::~OpenedResources()
{
    Inside inside;
    EnterCriticalSection(&g_ledger->Lock);
    g_ledger->Following = g_ledger->Counting = false;
    for (int kind = 0; kind < kKinds; ++kind)
        g_ledger->Open[kind].clear();
    LeaveCriticalSection(&g_ledger->Lock);
}

void OpenedResources::Stop()
{
    g_ledger->Counting = false;
}

void OpenedResources::Kept(const void* block)
{
    Forget(kBlock, block, false);
}

OpenedResources::Tally OpenedResources::Handles() const
{
    return Count({kHandle, kFind, kService});
}

OpenedResources::Tally OpenedResources::Keys() const
{
    return Count({kKey});
}

OpenedResources::Tally OpenedResources::Blocks() const
{
    return Count({kBlock});
}

OpenedResources::Tally OpenedResources::Libraries() const
{
    return Count({kLibrary});
}

std::vector<std::string> OpenedResources::LeftOpen() const
{
    std::vector<std::string> names;
    Inside inside;
    EnterCriticalSection(&g_ledger->Lock);
    for (int kind = 0; kind < kKinds; ++kind)
        StillOpen((Kind)kind, &names);
    LeaveCriticalSection(&g_ledger->Lock);
    return names;
}

std::string OpenedResources::Summary() const
{
    char text[256];
    Tally handles = Handles(), keys = Keys(), blocks = Blocks(), libraries = Libraries();
    std::snprintf(text, sizeof(text),
                  "handles %d/%d, keys %d/%d, blocks %d/%d, libraries %d/%d closed; GetProcessHandleCount %ld -> %ld",
                  handles.Closed, handles.Opened, keys.Closed, keys.Opened, blocks.Closed, blocks.Opened,
                  libraries.Closed, libraries.Opened, (long)systemCountBefore_, (long)SystemHandleCount());
    return text;
}

bool IsNotCounted()
{
    DWORD error = GetLastError();
    InstallStandIns();
    bool inside = TlsGetValue(g_notCountedSlot) != nullptr;
    SetLastError(error);
    return inside;
}

NotCounted::NotCounted() : active_(g_notCountedSlot != TLS_OUT_OF_INDEXES)
{
    if (active_) {
        DWORD error = GetLastError();
        TlsSetValue(g_notCountedSlot, (void*)((INT_PTR)TlsGetValue(g_notCountedSlot) + 1));
        SetLastError(error);
    }
}

NotCounted::~NotCounted()
{
    if (active_) {
        DWORD error = GetLastError();
        TlsSetValue(g_notCountedSlot, (void*)((INT_PTR)TlsGetValue(g_notCountedSlot) - 1));
        SetLastError(error);
    }
}

}  // namespace xatest
