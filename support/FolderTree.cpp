// Deleting a folder tree without following a link out of it, and the folders never deleted.
#include "support/FolderTree.h"

#include <string.h>

#include "support/Files.h"
#include "support/Handles.h"
#include "support/PathMacros.h"
#include "support/Registry.h"
#include "support/Results.h"
#include "support/ShellLinks.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

const char kCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";

// Where the system keeps its Program Files and common files folders, for both views of a 64-bit
// system: registry values of kCurrentVersionKey, then environment variables.
const char* const kProgramFolderValues[] = {
    "ProgramFilesDir", "ProgramFilesDir (x86)", "ProgramW6432Dir",
    "CommonFilesDir",  "CommonFilesDir (x86)",  "CommonW6432Dir",
};
const char* const kProgramFolderVariables[] = {
    "ProgramFiles",       "ProgramFiles(x86)",       "ProgramW6432",
    "CommonProgramFiles", "CommonProgramFiles(x86)", "CommonProgramW6432",
    "ALLUSERSPROFILE",    "ProgramData",             "PUBLIC",
};

// Where the system keeps the users' profiles, the common application data and the public
// folder; the first, the profiles folder, holds nothing but profiles.
const char kProfileListKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList";
const char* const kProfileListValues[] = {"ProfilesDirectory", "ProgramData", "Public"};
const int kCommonAppDataFolder = 0x23;  // CSIDL_COMMON_APPDATA

typedef UINT(WINAPI* GetSystemWow64DirectoryAFunction)(LPSTR, UINT);

// Cuts trailing separators, dots and blanks, which the system ignores at the end of a path.
void TrimPathEnd(char* path)
{
    size_t length = strlen(path);
    while (length > 0 && strchr("\\/. ", path[length - 1]))
        path[--length] = '\0';
}

// path as the system resolves it ("." and ".." applied, relative paths completed), trimmed.
bool GetComparablePath(const char* path, char (&full)[MAX_PATH])
{
    char* filePart = nullptr;
    DWORD length = GetFullPathNameA(path, sizeof(full), full, &filePart);
    if (length == 0 || length >= sizeof(full))
        return false;
    TrimPathEnd(full);
    return true;
}

bool GetComparableShortPath(const char* path, char (&shortPath)[MAX_PATH])
{
    if (GetShortPath(path, shortPath) != 0)
        return false;
    TrimPathEnd(shortPath);
    return true;
}

// "C:", "\\server\share" and their "\\?\" forms, as left by GetComparablePath.
bool IsDriveRoot(const char* full)
{
    const char* rest = full;
    bool unc = false;
    if (!strncmp(rest, "\\\\?\\", 4) || !strncmp(rest, "\\\\.\\", 4)) {
        rest += 4;
        if (TextStartsWithNoCase(rest, "UNC\\")) {
            rest += 4;
            unc = true;
        }
    } else if (!strncmp(rest, "\\\\", 2)) {
        rest += 2;
        unc = true;
    }
    if (unc) {
        const char* share = strchr(rest, '\\');
        return !share || !strchr(share + 1, '\\');
    }
    return rest[0] == '\0' || (rest[1] == ':' && rest[2] == '\0');
}

// The file system's identity of a folder (not available on Windows 9x, which cannot open one).
struct FolderIdentity {
    bool Known;
    DWORD Volume;
    DWORD IndexHigh;
    DWORD IndexLow;
};

FolderIdentity GetFolderIdentity(const char* path)
{
    FolderIdentity identity = {false, 0, 0, 0};
    BY_HANDLE_FILE_INFORMATION info;
    HANDLE folder = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return identity;
    if (GetFileInformationByHandle(folder, &info)) {
        identity.Known = true;
        identity.Volume = info.dwVolumeSerialNumber;
        identity.IndexHigh = info.nFileIndexHigh;
        identity.IndexLow = info.nFileIndexLow;
    }
    CloseFile(folder);
    return identity;
}

// A folder that is removed and the forms in which it is compared with the protected ones.
struct RemovalTarget {
    char Full[MAX_PATH];
    char Short[MAX_PATH];  // empty when unknown
    FolderIdentity Identity;
};

// True when candidate (any spelling of a folder) is the target folder.
bool IsTargetFolder(const RemovalTarget& target, const char* candidate)
{
    char other[MAX_PATH];
    if (!candidate || !candidate[0])
        return false;
    if (GetComparablePath(candidate, other) && lstrcmpiA(target.Full, other) == 0)
        return true;
    if (target.Short[0] && GetComparableShortPath(candidate, other) && lstrcmpiA(target.Short, other) == 0)
        return true;
    if (target.Identity.Known) {
        FolderIdentity identity = GetFolderIdentity(candidate);
        return identity.Known && identity.Volume == target.Identity.Volume &&
               identity.IndexHigh == target.Identity.IndexHigh && identity.IndexLow == target.Identity.IndexLow;
    }
    return false;
}

bool IsSystemFolder(const RemovalTarget& target, UINT(WINAPI* query)(LPSTR, UINT))
{
    char folder[MAX_PATH];
    UINT length = query ? query(folder, sizeof(folder)) : 0;
    return length > 0 && length < sizeof(folder) && IsTargetFolder(target, folder);
}

// The other spellings of a resolved folder: its short form and its identity.
void CompleteTarget(RemovalTarget& target)
{
    if (!GetComparableShortPath(target.Full, target.Short))
        target.Short[0] = '\0';
    target.Identity = GetFolderIdentity(target.Full);
}

// The profiles folder, a profile in it, the common application data or the public folder.
bool IsProfileFolder(const RemovalTarget& target)
{
    RemovalTarget parent;
    char* slash = CopyText(parent.Full, sizeof(parent.Full), target.Full) ? strrchr(parent.Full, '\\') : nullptr;
    if (slash) {
        *slash = '\0';
        CompleteTarget(parent);
    }
    for (const char* name : kProfileListValues) {
        char* value = nullptr;
        char folder[MAX_PATH];
        bool same = RegReadString(HKEY_LOCAL_MACHINE, kProfileListKey, name, &value) == ERROR_SUCCESS && value &&
                    ExpandPath(value, folder, sizeof(folder)) != 0 &&
                    (IsTargetFolder(target, folder) || (slash && name == kProfileListValues[0] &&
                                                        IsTargetFolder(parent, folder)));
        FreeText(value);
        if (same)
            return true;
    }
    char common[MAX_PATH];
    return SUCCEEDED(GetSpecialFolderPath(kCommonAppDataFolder, nullptr, common)) && IsTargetFolder(target, common);
}

// Tells the caller what is passed over or stays, when it asked to be told.
void Report(FolderTreeReport report, const void* context, FolderTreeEvent event, int code, const char* folder,
            const char* name)
{
    if (report)
        report(context, event, code, folder, name);
}

}  // namespace

bool IsProtectedFolder(const char* path)
{
    RemovalTarget target;
    // A path that cannot even be resolved is not removed either.
    if (!GetComparablePath(path, target.Full) || IsDriveRoot(target.Full) || IsDevicePath(target.Full))
        return true;
    CompleteTarget(target);
    if (IsProfileFolder(target))
        return true;

    GetSystemWow64DirectoryAFunction getWow64Folder =
        GetSystemFunction<GetSystemWow64DirectoryAFunction>(GetModuleHandleA("kernel32.dll"), "GetSystemWow64DirectoryA");
    if (IsSystemFolder(target, GetWindowsDirectoryA) || IsSystemFolder(target, GetSystemDirectoryA) ||
        IsSystemFolder(target, getWow64Folder))
        return true;

    for (const char* name : kProgramFolderValues) {
        char* value = nullptr;
        bool same = RegReadString(HKEY_LOCAL_MACHINE, kCurrentVersionKey, name, &value) == ERROR_SUCCESS &&
                    IsTargetFolder(target, value);
        FreeText(value);
        if (same)
            return true;
    }
    for (const char* name : kProgramFolderVariables) {
        char value[MAX_PATH];
        DWORD length = GetEnvironmentVariableA(name, value, sizeof(value));
        if (length > 0 && length < sizeof(value) && IsTargetFolder(target, value))
            return true;
    }
    return false;
}

bool IsDevicePath(const char* full)
{
    if (strncmp(full, "\\\\?\\", 4) != 0 && strncmp(full, "\\\\.\\", 4) != 0)
        return false;
    const char* rest = full + 4;
    bool letter = (rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z');
    return full[2] == '.' || !letter || rest[1] != ':' || (rest[2] != '\\' && rest[2] != '\0');
}

namespace {

// Why a folder stays, in the few codes that callers tell apart.
int FolderRemovalError(DWORD code)
{
    switch (code) {
    case ERROR_DIR_NOT_EMPTY:
        return ERROR_DIR_NOT_EMPTY;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return ERROR_PATH_NOT_FOUND;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return ERROR_ACCESS_DENIED;
    default:
        return -1;
    }
}

// Why a folder could not be opened or listed: absent (3), or the real error (an offline share, a
// drive without media, access denied), which the log line then names.
int OpeningError()
{
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? ERROR_PATH_NOT_FOUND : (int)error;
}

enum FolderKind { kNoFolder, kPlainFolder, kLinkedFolder };

// The flags that open a folder itself: a link there (Windows 2000 and later) is opened as the
// link, never as what it leads to. NT 4 knows no links, nor the flag that opens one.
DWORD FolderItselfFlags()
{
    OSVERSIONINFOEXA version;
    DWORD flags = FILE_FLAG_BACKUP_SEMANTICS;
    if (!QueryWindowsVersion(&version) || version.dwMajorVersion >= 5)
        flags |= FILE_FLAG_OPEN_REPARSE_POINT;
    return flags;
}

// Opens what is at path itself without delete sharing, so that it can be neither renamed nor
// swapped for a link while it stays open, and tells by the handle what it is. A plain folder
// stays open in *hold; anything else is closed again. The error of opening it in *code.
FolderKind OpenFolderItself(const char* path, HANDLE* hold, int* code)
{
    *hold = INVALID_HANDLE_VALUE;
    *code = 0;
    HANDLE folder = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FolderItselfFlags(), nullptr);
    BY_HANDLE_FILE_INFORMATION info;
    if (folder == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(folder, &info)) {
        *code = OpeningError();
        CloseFile(folder);
        return kNoFolder;
    }
    DWORD opened = info.dwFileAttributes;
    if (!(opened & FILE_ATTRIBUTE_DIRECTORY) || (opened & FILE_ATTRIBUTE_REPARSE_POINT)) {
        CloseFile(folder);
        return (opened & FILE_ATTRIBUTE_DIRECTORY) ? kLinkedFolder : kNoFolder;
    }
    *hold = folder;
    return kPlainFolder;
}

// What path is right now, a link (junction or symbolic link) not followed. A plain folder on
// Windows NT stays open in hold (OpenFolderItself) while its entries are removed; a folder that
// cannot be held so is not entered (its error in *code; 3 when nothing, or no folder, is there).
FolderKind CheckFolder(const char* path, HANDLE* hold, int* code)
{
    *hold = INVALID_HANDLE_VALUE;
    *code = ERROR_PATH_NOT_FOUND;
    if (IsWindowsNTPlatform()) {
        FolderKind kind = OpenFolderItself(path, hold, code);
        if (kind != kPlainFolder) {
            if (kind == kNoFolder && *code == 0)
                *code = ERROR_PATH_NOT_FOUND;  // a file
            return kind;
        }
        *code = ERROR_PATH_NOT_FOUND;
    }
    // The name as well: not every file system reports a link through the open handle.
    DWORD attributes = GetFileAttributesA(path);
    FolderKind kind = kPlainFolder;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        kind = kNoFolder;
    else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        kind = kLinkedFolder;
    if (kind != kPlainFolder)
        CloseFile(*hold);
    return kind;
}

// Removes the link at folder\name (name null: folder itself) and tells when it stays.
int RemoveLink(const char* path, const char* folder, const char* name, FolderTreeReport report,
               const void* context)
{
    if (RemoveDirectoryA(path))
        return 0;
    int code = FolderRemovalError(GetLastError());
    Report(report, context, kTreeLinkLeft, code, folder, name);
    return code;
}

int RemoveTree(const char* path, FolderTreeReport report, const void* context)
{
    char pattern[MAX_PATH];
    char entry[MAX_PATH];
    WIN32_FIND_DATAA found;
    int pending = 0;
    if (!FormatText(pattern, sizeof(pattern), "%s\\*.*", path)) {
        Report(report, context, kTreePathTooLong, 0, path, "*.*");
        return kPathTooLong;
    }
    // Checked right before it is entered: a folder that became a link after its parent was
    // listed leads elsewhere, and only the link is removed.
    HANDLE hold = INVALID_HANDLE_VALUE;
    int code = 0;
    switch (CheckFolder(path, &hold, &code)) {
    case kNoFolder:
        // Gone is gone; one that is there but cannot be opened stays.
        if (code != ERROR_PATH_NOT_FOUND)
            Report(report, context, kTreeFolderUnlisted, code, path, nullptr);
        return code;
    case kLinkedFolder:
        return RemoveLink(path, path, nullptr, report, context);
    case kPlainFolder:
        break;
    }
    HANDLE find = FindFirstFileA(pattern, &found);
    if (find == INVALID_HANDLE_VALUE) {
        code = OpeningError();
        CloseFile(hold);
        if (code != ERROR_PATH_NOT_FOUND)
            Report(report, context, kTreeFolderUnlisted, code, path, nullptr);
        return code;
    }
    do {
        if (!strcmp(found.cFileName, ".") || !strcmp(found.cFileName, ".."))
            continue;
        if (!JoinPath(entry, path, found.cFileName)) {
            Report(report, context, kTreePathTooLong, 0, path, found.cFileName);
            pending = kPathTooLong;
            continue;
        }
        DWORD attributes = found.dwFileAttributes;
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            // Told while this folder is still held: the caller may rename it within.
            code = ForceDeleteFile(entry);
            if (code == ERROR_FILE_NOT_FOUND)
                code = 0;
            else if (code != 0)
                Report(report, context, kTreeFileLeft, code, path, found.cFileName);
        } else if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            // A linked folder belongs elsewhere: only the link is removed, never what it leads to.
            code = RemoveLink(entry, path, found.cFileName, report, context);
        } else {
            code = RemoveTree(entry, report, context);
        }
        if (code != 0)
            pending = code;
    } while (FindNextFileA(find, &found));
    CloseFind(find);

    // Its own read-only bit goes while it is still held: by name, a link put in its place would
    // hand the change on to what it leads to.
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    CloseFile(hold);
    if (RemoveDirectoryA(path))
        return pending;
    code = FolderRemovalError(GetLastError());
    Report(report, context, kTreeFolderLeft, code, path, nullptr);
    return code;
}

}  // namespace

int DeleteFolderTree(const char* path, FolderTreeReport report, const void* context)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    if (TextLengthAtMost(path, MAX_PATH) >= MAX_PATH) {
        Report(report, context, kTreePathTooLong, 0, path, nullptr);
        return kPathTooLong;
    }
    if (IsProtectedFolder(path)) {
        Report(report, context, kTreeRefused, kFolderRefused, path, nullptr);
        return kFolderRefused;
    }
    return RemoveTree(path, report, context);
}

HANDLE HoldFolder(const char* path, int* code)
{
    HANDLE folder = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FolderItselfFlags(), nullptr);
    *code = folder == INVALID_HANDLE_VALUE ? OpeningError() : 0;
    return folder;
}

bool IsReachedThroughLink(HANDLE folder, const char* path)
{
    char reached[MAX_PATH];
    char full[MAX_PATH];
    // By the handle first: it holds the link itself, where there is one, not what it leads to.
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(folder, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return true;
    if (PathHoldsLink(path))
        return true;
    if (!GetFinalPath(folder, reached))
        return false;
    if (!GetComparablePath(path, full))
        return true;
    TrimPathEnd(reached);
    return lstrcmpiA(reached, full) != 0;
}
