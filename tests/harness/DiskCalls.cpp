#include "harness/DiskCalls.h"

#include <map>

#include "harness/OpenedResources.h"

namespace xatest {

namespace {

enum Kind { kWrite, kFlush, kMove };

struct Event {
    Kind What;
    std::string Path;
    std::string To;
    DWORD Flags;
    bool Ex;  // MoveFileExA, not MoveFileA
};

typedef HANDLE(WINAPI* CreateFileFunction)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);
typedef BOOL(WINAPI* WriteFileFunction)(HANDLE, LPCVOID, DWORD, LPDWORD, LPOVERLAPPED);
typedef BOOL(WINAPI* FlushFunction)(HANDLE);
typedef BOOL(WINAPI* CopyFunction)(LPCSTR, LPCSTR, BOOL);
typedef BOOL(WINAPI* MoveExFunction)(LPCSTR, LPCSTR, DWORD);
typedef BOOL(WINAPI* MoveFunction)(LPCSTR, LPCSTR);

struct Recording {
    CRITICAL_SECTION Lock;
    std::vector<Event> Events;
    std::map<HANDLE, std::string> Opened;  // the path each handle was opened with
    DWORD FlushError = 0;
    DWORD OpenError = 0;
    DWORD MoveExError = 0;
    CreateFileFunction RealCreate = nullptr;
    WriteFileFunction RealWrite = nullptr;
    FlushFunction RealFlush = nullptr;
    CopyFunction RealCopy = nullptr;
    MoveExFunction RealMoveEx = nullptr;
    MoveFunction RealMove = nullptr;
};

Recording* g_recording = nullptr;

void Add(const Event& event)
{
    EnterCriticalSection(&g_recording->Lock);
    g_recording->Events.push_back(event);
    LeaveCriticalSection(&g_recording->Lock);
}

std::string HandlePath(HANDLE handle)
{
    EnterCriticalSection(&g_recording->Lock);
    auto found = g_recording->Opened.find(handle);
    std::string path = found == g_recording->Opened.end() ? std::string() : found->second;
    LeaveCriticalSection(&g_recording->Lock);
    return path;
}

HANDLE WINAPI RecordCreate(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD how,
                           DWORD flags, HANDLE model)
{
    if (g_recording->OpenError && how == OPEN_EXISTING && (access & (GENERIC_WRITE | FILE_WRITE_DATA))) {
        SetLastError(g_recording->OpenError);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = g_recording->RealCreate(path, access, share, security, how, flags, model);
    if (handle != INVALID_HANDLE_VALUE && path) {
        DWORD error = GetLastError();
        EnterCriticalSection(&g_recording->Lock);
        g_recording->Opened[handle] = path;
        LeaveCriticalSection(&g_recording->Lock);
        SetLastError(error);
    }
    return handle;
}

BOOL WINAPI RecordWrite(HANDLE file, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED overlapped)
{
    BOOL ok = g_recording->RealWrite(file, bytes, count, written, overlapped);
    DWORD error = GetLastError();
    std::string path = HandlePath(file);
    if (!path.empty())
        Add({kWrite, path, "", 0, false});
    SetLastError(error);
    return ok;
}

BOOL WINAPI RecordFlush(HANDLE file)
{
    if (g_recording->FlushError) {
        SetLastError(g_recording->FlushError);
        return FALSE;
    }
    BOOL ok = g_recording->RealFlush(file);
    DWORD error = GetLastError();
    if (ok)
        Add({kFlush, HandlePath(file), "", 0, false});
    SetLastError(error);
    return ok;
}

BOOL WINAPI RecordCopy(LPCSTR source, LPCSTR target, BOOL failIfExists)
{
    BOOL ok = g_recording->RealCopy(source, target, failIfExists);
    DWORD error = GetLastError();
    if (target)
        Add({kWrite, target, "", 0, false});
    SetLastError(error);
    return ok;
}

BOOL WINAPI RecordMoveEx(LPCSTR from, LPCSTR to, DWORD flags)
{
    Add({kMove, from ? from : "", to ? to : "", flags, true});
    if (g_recording->MoveExError) {
        SetLastError(g_recording->MoveExError);
        return FALSE;
    }
    return g_recording->RealMoveEx(from, to, flags);
}

BOOL WINAPI RecordMove(LPCSTR from, LPCSTR to)
{
    Add({kMove, from ? from : "", to ? to : "", 0, false});
    return g_recording->RealMove(from, to);
}

template <typename Function>
void Redirect(const char* name, Function recorder, Function* real)
{
    std::vector<void**> slots = FindImports("kernel32.dll", name);
    *real = slots.empty() ? (Function)(void*)GetProcAddress(GetModuleHandleA("kernel32.dll"), name)
                          : (Function)ReplaceImports(slots, (void*)recorder);
}

template <typename Function>
void PutBack(const char* name, Function real)
{
    std::vector<void**> slots = FindImports("kernel32.dll", name);
    if (!slots.empty())
        ReplaceImports(slots, (void*)real);
}

bool SamePath(const std::string& a, const std::string& b)
{
    return lstrcmpiA(a.c_str(), b.c_str()) == 0;
}

}  // namespace

DiskCalls::DiskCalls()
{
    g_recording = new Recording;
    InitializeCriticalSection(&g_recording->Lock);
    Redirect("CreateFileA", &RecordCreate, &g_recording->RealCreate);
    Redirect("WriteFile", &RecordWrite, &g_recording->RealWrite);
    Redirect("FlushFileBuffers", &RecordFlush, &g_recording->RealFlush);
    Redirect("CopyFileA", &RecordCopy, &g_recording->RealCopy);
    Redirect("MoveFileExA", &RecordMoveEx, &g_recording->RealMoveEx);
    Redirect("MoveFileA", &RecordMove, &g_recording->RealMove);
}

DiskCalls::~DiskCalls()
{
    PutBack("CreateFileA", g_recording->RealCreate);
    PutBack("WriteFile", g_recording->RealWrite);
    PutBack("FlushFileBuffers", g_recording->RealFlush);
    PutBack("CopyFileA", g_recording->RealCopy);
    PutBack("MoveFileExA", g_recording->RealMoveEx);
    PutBack("MoveFileA", g_recording->RealMove);
    DeleteCriticalSection(&g_recording->Lock);
    delete g_recording;
    g_recording = nullptr;
}

void DiskCalls::FailFlushes(DWORD error)
{
    g_recording->FlushError = error;
}

void DiskCalls::FailOpensForWriting(DWORD error)
{
    g_recording->OpenError = error;
}

void DiskCalls::FailMoveFileEx(DWORD error)
{
    g_recording->MoveExError = error;
}

std::vector<std::string> DiskCalls::Calls() const
{
    std::vector<std::string> calls;
    EnterCriticalSection(&g_recording->Lock);
    for (const Event& event : g_recording->Events) {
        if (event.What == kMove)
            calls.push_back("move " + event.Path + " -> " + event.To + " " +
                            (event.Ex ? std::to_string(event.Flags) : std::string("MoveFileA")));
        else
            calls.push_back((event.What == kWrite ? "write " : "flush ") + event.Path);
    }
    LeaveCriticalSection(&g_recording->Lock);
    return calls;
}

std::vector<std::string> DiskCalls::Faults() const
{
    std::vector<std::string> faults;
    EnterCriticalSection(&g_recording->Lock);
    const std::vector<Event>& events = g_recording->Events;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].What != kMove)
            continue;
        // The file's last write before the rename, then a flush between the two.
        size_t lastWrite = i;
        for (size_t j = 0; j < i; ++j) {
            if (events[j].What == kWrite && SamePath(events[j].Path, events[i].Path))
                lastWrite = j;
        }
        if (lastWrite == i)
            continue;  // not written here: a set-aside or a restored file
        bool flushed = false;
        for (size_t j = lastWrite + 1; j < i; ++j)
            flushed = flushed || (events[j].What == kFlush && SamePath(events[j].Path, events[i].Path));
        if (!flushed)
            faults.push_back("renamed before its flush: " + events[i].Path);
        bool atRestart = events[i].Ex && (events[i].Flags & MOVEFILE_DELAY_UNTIL_REBOOT);
        if (!atRestart && !(events[i].Ex && (events[i].Flags & MOVEFILE_WRITE_THROUGH)))
            faults.push_back("renamed without write-through: " + events[i].Path);
    }
    LeaveCriticalSection(&g_recording->Lock);
    return faults;
}

bool DiskCalls::FlushedSinceWritten(const std::string& path) const
{
    bool flushed = false;
    EnterCriticalSection(&g_recording->Lock);
    for (const Event& event : g_recording->Events) {
        if (event.What != kMove && SamePath(event.Path, path))
            flushed = event.What == kFlush;
    }
    LeaveCriticalSection(&g_recording->Lock);
    return flushed;
}

int DiskCalls::WrittenFilesRenamed() const
{
    int renamed = 0;
    EnterCriticalSection(&g_recording->Lock);
    const std::vector<Event>& events = g_recording->Events;
    for (size_t i = 0; i < events.size(); ++i) {
        if (events[i].What != kMove)
            continue;
        for (size_t j = 0; j < i; ++j) {
            if (events[j].What == kWrite && SamePath(events[j].Path, events[i].Path)) {
                ++renamed;
                break;
            }
        }
    }
    LeaveCriticalSection(&g_recording->Lock);
    return renamed;
}

}  // namespace xatest
