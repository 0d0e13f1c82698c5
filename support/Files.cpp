// Small file-system helpers.
#include "support/Files.h"

#include <mbstring.h>
#include <stdlib.h>
#include <string.h>

#include "support/Handles.h"
#include "support/Results.h"
#include "support/SystemLibrary.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

const DWORD kFixedInfoSignature = 0xFEEF04BD;

typedef DWORD(WINAPI* GetFileVersionInfoSizeAFunction)(LPCSTR, LPDWORD);
typedef BOOL(WINAPI* GetFileVersionInfoAFunction)(LPCSTR, DWORD, DWORD, LPVOID);
typedef BOOL(WINAPI* VerQueryValueAFunction)(LPCVOID, LPCSTR, LPVOID*, PUINT);

// One step of CreateFolderPath: true when prefix is, or has now become, a folder.
bool EnsureFolder(const char* prefix, SECURITY_ATTRIBUTES* security)
{
    int kind = GetPathKind(prefix);
    if (kind == 1)
        return true;
    if (kind == -1)
        return false;
    return CreateDirectoryA(prefix, security) || GetPathKind(prefix) == 1;
}

// Clears the read-only bit of the file at path when the bit is the file's own: looked at through
// a handle of what is at path itself (a link there is not followed), then cleared by name.
void ClearOwnReadOnly(const char* path, DWORD attributes)
{
    if (IsWindowsNTPlatform()) {
        OSVERSIONINFOEXA version;
        DWORD flags = !QueryWindowsVersion(&version) || version.dwMajorVersion >= 5 ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
        HANDLE file = CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                  nullptr, OPEN_EXISTING, flags, nullptr);
        BY_HANDLE_FILE_INFORMATION info;
        bool own = file != INVALID_HANDLE_VALUE && GetFileInformationByHandle(file, &info) &&
                   !(info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && info.nNumberOfLinks <= 1;
        CloseFile(file);
        if (!own)
            return;
    }
    // Windows 9x knows no links of either kind.
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

}  // namespace

bool JoinPath(char (&path)[MAX_PATH], const char* folder, const char* name)
{
    if (!FormatText(path, sizeof(path), "%s\\%s", folder ? folder : "", name ? name : "")) {
        path[0] = '\0';
        return false;
    }
    return true;
}

bool PathHoldsLink(const char* path)
{
    char prefix[MAX_PATH];
    if (!path || !CopyText(prefix, sizeof(prefix), path))
        return true;  // what cannot be looked at is no safe path
    size_t length = strlen(prefix);
    // From index 3 on, as in CreateFolderPath: "C:\" itself is no link.
    for (size_t i = 3; i <= length; ++i) {
        if (prefix[i] != '\\' && prefix[i] != '\0')
            continue;
        char kept = prefix[i];
        prefix[i] = '\0';
        DWORD attributes = GetFileAttributesA(prefix);
        prefix[i] = kept;
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
            return true;
    }
    return false;
}

bool GetFinalPath(HANDLE handle, char (&path)[MAX_PATH])
{
    typedef DWORD(WINAPI * GetFinalPathNameByHandleAFunction)(HANDLE, char*, DWORD, DWORD);
    GetFinalPathNameByHandleAFunction finalPath = GetSystemFunction<GetFinalPathNameByHandleAFunction>(
        GetModuleHandleA("kernel32.dll"), "GetFinalPathNameByHandleA");
    char found[MAX_PATH + 8];
    DWORD length = finalPath ? finalPath(handle, found, sizeof(found), 0) : 0;
    if (length == 0 || length >= sizeof(found))
        return false;
    // "\\?\C:\..." or "\\?\UNC\server\share\...".
    const char* rest = strncmp(found, "\\\\?\\", 4) == 0 ? found + 4 : found;
    if (TextStartsWithNoCase(rest, "UNC\\"))
        return FormatText(path, sizeof(path), "\\%s", rest + 3);
    return CopyText(path, sizeof(path), rest);
}

bool FileExists(const char* path)
{
    if (!path)
        return false;
    WIN32_FIND_DATAA found;
    HANDLE find = FindFirstFileA(path, &found);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    CloseFind(find);
    return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int GetPathKind(const char* path)
{
    DWORD attributes = path ? GetFileAttributesA(path) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return 0;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? 1 : -1;
}

bool CreateFolderPath(const char* path, SECURITY_ATTRIBUTES* security)
{
    char prefix[MAX_PATH];
    if (!path || !CopyText(prefix, sizeof(prefix), path))
        return false;
    // Every file of a folder asks again: a folder that exists has all its parents.
    if (GetPathKind(prefix) == 1)
        return true;
    // Backslashes before index 3 belong to a drive root such as C:\, which is never created; a
    // shorter path has no folders before its end.
    size_t length = strlen(prefix);
    for (size_t i = 3; i < length; ++i) {
        if (prefix[i] != '\\')
            continue;
        prefix[i] = '\0';
        bool ok = EnsureFolder(prefix, security);
        prefix[i] = '\\';
        if (!ok)
            return false;
    }
    return EnsureFolder(prefix, security);
}

int GetFileWriteTime(const char* path, FILETIME* writeTime)
{
    if (!path || !writeTime)
        return ERROR_INVALID_PARAMETER;
    int result = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto Exit;
    }
    if (!GetFileTime(file, nullptr, nullptr, writeTime))
        result = LastErrorResult();
Exit:
    CloseFile(file);
    return result;
}

int GetFileVersion(const char* path, DWORD* versionMS, DWORD* versionLS)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    int result = 0;
    void* block = nullptr;
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    DWORD handle = 0;
    DWORD size = 0;
    // version.dll is not among the libraries the program imports: it is loaded from the system
    // folder for each query.
    HMODULE library = LoadSystemLibrary("version.dll");
    GetFileVersionInfoSizeAFunction getSize =
        GetSystemFunction<GetFileVersionInfoSizeAFunction>(library, "GetFileVersionInfoSizeA");
    GetFileVersionInfoAFunction getInfo = GetSystemFunction<GetFileVersionInfoAFunction>(library, "GetFileVersionInfoA");
    VerQueryValueAFunction queryValue = GetSystemFunction<VerQueryValueAFunction>(library, "VerQueryValueA");
    if (!getSize || !getInfo || !queryValue) {
        result = LastErrorResult();
        goto Exit;
    }
    size = getSize(path, &handle);
    if (size == 0) {
        result = LastErrorResult();
        goto Exit;
    }
    block = calloc(1, size);
    if (!block) {
        result = -1;
        goto Exit;
    }
    if (!getInfo(path, 0, size, block)) {
        result = LastErrorResult();
        goto Exit;
    }
    if (!queryValue(block, "\\", reinterpret_cast<void**>(&info), &infoSize)) {
        result = LastErrorResult();
        goto Exit;
    }
    if (!info || infoSize != sizeof(VS_FIXEDFILEINFO) || info->dwSignature != kFixedInfoSignature) {
        result = -1;
        goto Exit;
    }
    if (versionMS)
        *versionMS = info->dwFileVersionMS;
    if (versionLS)
        *versionLS = info->dwFileVersionLS;
Exit:
    free(block);
    FreeLibraryIfLoaded(library);
    return result;
}

int GetFileIdentity(const char* path, BY_HANDLE_FILE_INFORMATION* info, bool directory)
{
    if (!path || !info)
        return ERROR_INVALID_PARAMETER;
    // No access rights: the identity can be read even of a file another process holds.
    DWORD flags = (directory && IsWindowsNTPlatform()) ? FILE_FLAG_BACKUP_SEMANTICS : 0;
    HANDLE file = CreateFileA(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LastErrorResult();
    int result = 0;
    if (!GetFileInformationByHandle(file, info))
        result = LastErrorResult();
    CloseFile(file);
    return result;
}

bool IsSameFile(const char* a, const char* b, bool directory)
{
    if (!a || !b)
        return false;
    if (_mbsicmp(reinterpret_cast<const unsigned char*>(a), reinterpret_cast<const unsigned char*>(b)) == 0)
        return true;
    if (IsWindowsNTPlatform()) {
        BY_HANDLE_FILE_INFORMATION infoA, infoB;
        if (GetFileIdentity(a, &infoA, directory) != 0 || GetFileIdentity(b, &infoB, directory) != 0)
            return false;
        return infoA.nFileIndexLow == infoB.nFileIndexLow && infoA.nFileIndexHigh == infoB.nFileIndexHigh &&
               infoA.dwVolumeSerialNumber == infoB.dwVolumeSerialNumber;
    }
    // Windows 9x has no file index; the short form of a path is unique per file.
    char shortA[MAX_PATH];
    char shortB[MAX_PATH];
    if (GetShortPath(a, shortA) != 0 || GetShortPath(b, shortB) != 0)
        return false;  // missing, or too long to be compared
    return _mbsicmp(reinterpret_cast<unsigned char*>(shortA), reinterpret_cast<unsigned char*>(shortB)) == 0;
}

int GetShortPath(const char* path, char (&shortPath)[MAX_PATH])
{
    DWORD length = GetShortPathNameA(path, shortPath, sizeof(shortPath));
    if (length == 0)
        return LastErrorResult();
    if (length >= sizeof(shortPath))
        return kPathTooLong;
    return 0;
}

bool IsFileHeldOpen(const char* path)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE | DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError() == ERROR_SHARING_VIOLATION;
    CloseFile(file);
    return false;
}

int ForceDeleteFile(const char* path)
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        ClearOwnReadOnly(path, attributes);
    return DeleteFileA(path) ? 0 : LastErrorResult();
}

int MakeTemporaryBeside(const char* path, char (&name)[MAX_PATH])
{
    char folder[MAX_PATH];
    // The system's limit for the folder of a temporary name, checked here as not every system does.
    if (!GetFolderPart(path, folder) || strlen(folder) > MAX_PATH - 14)
        return kPathTooLong;
    return GetTempFileNameA(folder[0] ? folder : ".", "~", 0, name) ? 0 : LastErrorResult();
}

int RenameToTemporaryName(const char* path, char (&renamed)[MAX_PATH])
{
    if (!path)
        return ERROR_INVALID_PARAMETER;
    int result = MakeTemporaryBeside(path, renamed);
    // The new name is the empty file just made for it: replaced in one rename where the system can.
    if (result == 0 && (result = MoveIntoPlace(path, renamed, true)) != 0)
        DeleteFileA(renamed);
    return result;
}

bool NormalizePath(const char* path, char (&normal)[MAX_PATH])
{
    char single[MAX_PATH];
    if (!path || !CopyText(single, sizeof(single), path))
        return false;
    // One separator wherever there are more, but for the pair that opens a share or device path.
    // Multibyte-aware: a trail byte of a double-byte character may be a backslash.
    size_t out = 0;
    bool separator = false;
    for (size_t in = 0; single[in]; ++in) {
        char c = single[in] == '/' ? '\\' : single[in];
        if (IsDBCSLeadByte((BYTE)c) && single[in + 1]) {
            single[out++] = c;
            single[out++] = single[++in];
            separator = false;
            continue;
        }
        if (c == '\\' && separator && out >= 2)
            continue;
        separator = c == '\\';
        single[out++] = c;
    }
    single[out] = '\0';
    char* filePart = nullptr;
    DWORD length = out ? GetFullPathNameA(single, sizeof(normal), normal, &filePart) : 0;
    if (length == 0 || length >= sizeof(normal))
        return false;
    // A root keeps the separator that makes it the root ("C:\", "\\?\C:\").
    unsigned char* last = _mbsrchr(reinterpret_cast<unsigned char*>(normal), '\\');
    if (last && last == reinterpret_cast<unsigned char*>(normal) + length - 1 && length > 1 && normal[length - 2] != ':')
        normal[length - 1] = '\0';
    return true;
}

bool GetFolderPart(const char* path, char (&folder)[MAX_PATH])
{
    if (!CopyText(folder, sizeof(folder), path))
        return false;
    // Multibyte-aware: a trail byte of a double-byte character may be a backslash.
    unsigned char* slash = _mbsrchr(reinterpret_cast<unsigned char*>(folder), '\\');
    *(slash ? reinterpret_cast<char*>(slash) + 1 : folder) = '\0';
    return true;
}

int FlushFile(const char* path)
{
    // A copy keeps its source's attributes: a read-only one (as on a CD) is writable for the
    // moment of its flush.
    DWORD attributes = GetFileAttributesA(path);
    bool readOnly = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY);
    if (readOnly)
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    int result = file == INVALID_HANDLE_VALUE ? LastErrorResult() : FlushFileBuffers(file) ? 0 : LastErrorResult();
    CloseFile(file);
    if (readOnly)
        SetFileAttributesA(path, attributes);
    // Some file systems and network drives (Windows 9x's above all) flush no handle: there the
    // file is as safe as the system lets it be.
    return result == ERROR_INVALID_FUNCTION || result == ERROR_NOT_SUPPORTED ? 0 : result;
}

int MoveIntoPlace(const char* part, const char* destination, bool replace)
{
    DWORD attributes = GetFileAttributesA(destination);
    bool over = attributes != INVALID_FILE_ATTRIBUTES && (replace || (attributes & FILE_ATTRIBUTE_DIRECTORY));
    if (over && (attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY)))
        return ERROR_ACCESS_DENIED;
    // Written through: the new name is on the disk when the call returns, as the content already is.
    if (MoveFileExA(part, destination, MOVEFILE_WRITE_THROUGH | (over ? MOVEFILE_REPLACE_EXISTING : 0)))
        return 0;
    int result = LastErrorResult();
    if (result != ERROR_CALL_NOT_IMPLEMENTED)
        return result;
    // Windows 9x renames only onto a free name.
    return (!over || DeleteFileA(destination)) && MoveFileA(part, destination) ? 0 : LastErrorResult();
}
