#include "support/SetupLog.h"

#include <ctype.h>
#include <string.h>

#include "support/AccessControl.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/WindowsVersion.h"

namespace {

const char kDefaultLogName[] = "XASetup.log";
const char kMutexPrefix[] = "ArvaneTL_";
const char kGlobalNamespace[] = "Global\\";

// Prefix "yyyy/mm/dd hh:mm:ss.mmm [ffffffff]: " plus the message and CR LF.
const size_t kLineBufferSize = 64 + kLogMessageChars + 2;

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

// A link planted in the log's place would make the elevated setup append to a file of the
// planter's choice: on NT a log that is a reparse point or has another name is not written.
bool IsPlainFile(HANDLE file)
{
    BY_HANDLE_FILE_INFORMATION info;
    return GetFileInformationByHandle(file, &info) && !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
           info.nNumberOfLinks <= 1;
}

// The log file opened for appending (created when missing), or INVALID_HANDLE_VALUE.
HANDLE OpenLogFile(const char* path, bool refuseLinks)
{
    // A folder on the way that became a link leads the lines elsewhere just the same.
    if (refuseLinks && PathHoldsLink(path))
        return INVALID_HANDLE_VALUE;
    // The link itself is opened, not its target, so that it can be seen and refused.
    DWORD flags = FILE_ATTRIBUTE_NORMAL | (refuseLinks && HasGlobalNamespace() ? FILE_FLAG_OPEN_REPARSE_POINT : 0);
    HANDLE file = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, flags, nullptr);
    if (file != INVALID_HANDLE_VALUE && refuseLinks && !IsPlainFile(file))
        CloseFile(file);
    return file;
}

// True when an existing file at path must not be appended to.
bool IsRefusedLogFile(const char* path)
{
    DWORD flags = HasGlobalNamespace() ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;  // missing: it is created on the first line
    bool refused = !IsPlainFile(file);
    CloseFile(file);
    return refused;
}

// Moves the full log to its backup and opens a new, empty one. When the backup cannot take
// its place, the old log is kept and appended to: losing it would lose what the support
// staff came for. The new log is opened like any other, so that a link planted meanwhile is
// refused rather than emptied.
HANDLE RollOver(const char* path, HANDLE file, bool refuseLinks)
{
    char backup[MAX_PATH + 1];  // Path holds at most MAX_PATH - 1 characters
    CopyText(backup, sizeof(backup), path);
    AppendText(backup, sizeof(backup), "1");
    DeleteFileA(backup);
    CloseFile(file);
    MoveFileA(path, backup);
    file = OpenLogFile(path, refuseLinks);
    if (file != INVALID_HANDLE_VALUE && SetFilePointer(file, 0, nullptr, FILE_END) == INVALID_SET_FILE_POINTER)
        CloseFile(file);
    return file;
}

}  // namespace

SetupLog::SetupLog() : Mutex(nullptr), RefuseLinks(false)
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

    RefuseLinks = isNT;
    if (isNT && (IsRefusedLogFile(Path) || PathHoldsLink(Path))) {
        Path[0] = '\0';
        return;
    }

    char name[MAX_PATH + sizeof(kGlobalNamespace) + sizeof(kMutexPrefix)];
    if (!BuildLogMutexName(Path, global, name, sizeof(name)))
        return;

    // A mutex of the name that someone else made could be held by them to drop every line: it
    // is left alone, and only this process's threads are kept apart.
    bool foreign = false;
    Mutex = CreateProtectedMutex(name, &foreign);
    if (!Mutex && foreign)
        Mutex = CreateMutexA(nullptr, FALSE, nullptr);
}

bool SetupLog::IsWritable() const
{
    HANDLE file = Mutex && Path[0] ? OpenLogFile(Path, RefuseLinks) : INVALID_HANDLE_VALUE;
    bool writable = file != INVALID_HANDLE_VALUE;
    CloseFile(file);
    return writable;
}

bool SetupLog::WriteLine(const char* text) const
{
    if (!Mutex || !Path[0] || !text)
        return false;

    // A wait that fails outright is treated like a busy mutex: writing without it could tear
    // another writer's line.
    DWORD waited = WaitForSingleObject(Mutex, kLogMutexWaitMs);
    if (waited != WAIT_OBJECT_0 && waited != WAIT_ABANDONED)
        return false;

    bool written = false;
    HANDLE file = OpenLogFile(Path, RefuseLinks);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD size = SetFilePointer(file, 0, nullptr, FILE_END);
        if (size == INVALID_SET_FILE_POINTER)
            CloseFile(file);
        else if (size > kLogRollOverSize)
            file = RollOver(Path, file, RefuseLinks);
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
        written = true;
        CloseFile(file);
    }
    ReleaseMutex(Mutex);
    return written;
}

void SetupLog::Close()
{
    CloseHandleIfOpen(Mutex);
}
