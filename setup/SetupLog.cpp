#include "setup/SetupLog.h"

#include <ctype.h>
#include <string.h>

#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/WindowsVersion.h"

namespace {

const char kDefaultLogName[] = "XASetup.log";
const char kMutexPrefix[] = "ArvaneTL_";
const char kGlobalNamespace[] = "Global\\";

// Prefix "yyyy/mm/dd hh:mm:ss.mmm [ffffffff]: " plus the message and CR LF.
const size_t kLineBufferSize = 64 + kLogMessageChars + 2;

using InitializeSecurityDescriptorFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, DWORD);
using SetSecurityDescriptorDaclFn = BOOL(WINAPI*)(PSECURITY_DESCRIPTOR, BOOL, PACL, BOOL);

// A null DACL lets the setup processes of every logged-on user open the one mutex. The security
// functions are looked up because Windows 9x has none; without them the mutex gets the
// system's default security.
bool MakeOpenSecurityDescriptor(SECURITY_DESCRIPTOR* descriptor)
{
    HMODULE advapi = LoadSystemLibrary("advapi32.dll");
    auto initialize = GetSystemFunction<InitializeSecurityDescriptorFn>(
        advapi, "InitializeSecurityDescriptor");
    auto setDacl = GetSystemFunction<SetSecurityDescriptorDaclFn>(advapi, "SetSecurityDescriptorDacl");
    bool made = initialize && setDacl && initialize(descriptor, SECURITY_DESCRIPTOR_REVISION) &&
                setDacl(descriptor, TRUE, nullptr, FALSE);
    FreeLibraryIfLoaded(advapi);
    return made;
}

bool ChooseDefaultPath(char* path, size_t size)
{
    char folder[MAX_PATH];
    DWORD length = GetTempPathA(sizeof(folder), folder);
    // A temporary folder too long for the log name leaves the log closed rather than cut.
    if (length != 0 && length < sizeof(folder))
        return CopyText(path, size, folder) && AppendText(path, size, kDefaultLogName);

    // No temporary folder: the program's own path with ".log" for its extension.
    length = GetModuleFileNameA(nullptr, folder, sizeof(folder));
    if (length == 0 || length >= sizeof(folder))
        return false;  // cut: older systems leave no terminator
    char* dot = strrchr(folder, '.');
    char* slash = strrchr(folder, '\\');
    if (dot && (!slash || dot > slash))
        *dot = '\0';
    return CopyText(path, size, folder) && AppendText(path, size, ".log");
}

HANDLE OpenLogFile(const char* path, DWORD disposition)
{
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                       nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Moves the full log to its backup and opens a new, empty one. When the backup cannot take
// its place, the old log is kept and appended to: losing it would lose what the support
// staff came for.
HANDLE RollOver(const char* path, HANDLE file)
{
    char backup[MAX_PATH + 1];  // Path holds at most MAX_PATH - 1 characters
    CopyText(backup, sizeof(backup), path);
    AppendText(backup, sizeof(backup), "1");
    DeleteFileA(backup);
    CloseFile(file);
    if (MoveFileA(path, backup))
        return OpenLogFile(path, CREATE_ALWAYS);
    file = OpenLogFile(path, OPEN_ALWAYS);
    if (file != INVALID_HANDLE_VALUE && SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER)
        CloseFile(file);
    return file;
}

}  // namespace

SetupLog::SetupLog() : Mutex(nullptr)
{
    Path[0] = '\0';
}

SetupLog::~SetupLog()
{
    Close();
}

bool BuildLogMutexName(const char* path, bool globalNamespace, char* name, size_t size)
{
    const char* fileName = strrchr(path, '\\');
    fileName = fileName ? fileName + 1 : path;
    if (!CopyText(name, size, globalNamespace ? kGlobalNamespace : "") ||
        !AppendText(name, size, kMutexPrefix))
        return false;
    size_t start = strlen(name);
    size_t baseLength = strcspn(fileName, ".");
    if (start + baseLength >= size)
        return false;
    for (size_t i = 0; i < baseLength; ++i)
        name[start + i] = (char)tolower((unsigned char)fileName[i]);
    name[start + baseLength] = '\0';
    return true;
}

void SetupLog::Open(const char* path)
{
    Close();
    Path[0] = '\0';

    bool chosen = (path && path[0]) ? CopyText(Path, sizeof(Path), path)
                                    : ChooseDefaultPath(Path, sizeof(Path));
    if (!chosen) {
        Path[0] = '\0';
        return;
    }

    OSVERSIONINFOEXA version;
    bool isNT = QueryWindowsVersion(&version) && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
    bool global = isNT && version.dwMajorVersion >= 5;

    char name[MAX_PATH + sizeof(kGlobalNamespace) + sizeof(kMutexPrefix)];
    if (!BuildLogMutexName(Path, global, name, sizeof(name)))
        return;

    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof(attributes), nullptr, FALSE};
    SECURITY_ATTRIBUTES* security = nullptr;
    if (isNT) {
        if (MakeOpenSecurityDescriptor(&descriptor))
            attributes.lpSecurityDescriptor = &descriptor;
        security = &attributes;
    }
    Mutex = CreateMutexA(security, FALSE, name);
}

int SetupLog::WriteLine(const char* text) const
{
    if (!Mutex || !Path[0] || !text)
        return 0;

    // A wait that fails outright is treated like a busy mutex: writing without it could tear
    // another writer's line.
    DWORD waited = WaitForSingleObject(Mutex, kLogMutexWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return 0;

    int written = 0;
    HANDLE file = OpenLogFile(Path, OPEN_ALWAYS);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
        if (size == INVALID_SET_FILE_POINTER)
            CloseFile(file);
        else if (size > kLogRollOverSize)
            file = RollOver(Path, file);
    }
    if (file != INVALID_HANDLE_VALUE) {
        SYSTEMTIME now;
        GetLocalTime(&now);
        char line[kLineBufferSize];
        FormatText(line, sizeof(line), "%d/%02d/%02d %02d:%02d:%02d.%03d [%lx]: %.4096s\r\n",
                   now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                   now.wMilliseconds, GetCurrentThreadId(), text);
        DWORD done = 0;
        WriteFile(file, line, (DWORD)strlen(line), &done, nullptr);
        written = 1;
        CloseFile(file);
    }
    ReleaseMutex(Mutex);
    return written;
}

void SetupLog::Close()
{
    CloseHandleIfOpen(Mutex);
}
