#include "procedures/FileInstall.h"

#include <stdlib.h>
#include <string.h>

#include "procedures/RestartOperations.h"
#include "procedures/TargetMacros.h"
#include "resources/resource.h"
#include "setup/SetupLog.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

const char kInstallFile[] = "InstallFile";
const DWORD kResetAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

enum CopyDecision { kCopy, kUpToDate, kKeep };

// Whether the existing destination is replaced by the source: versions first, then times.
CopyDecision CompareWithDestination(const InstallationData* data, const char* source, const char* destination)
{
    DWORD destMS = 0, destLS = 0, sourceMS = 0, sourceLS = 0;
    bool haveDest = GetFileVersion(destination, &destMS, &destLS) == 0;
    if (haveDest)
        LogMessage(data, "%s: > Destination version %d.%d.%d.%d.", kInstallFile, (int)HIWORD(destMS),
                   (int)LOWORD(destMS), (int)HIWORD(destLS), (int)LOWORD(destLS));
    bool haveSource = GetFileVersion(source, &sourceMS, &sourceLS) == 0;
    if (haveSource)
        LogMessage(data, "%s: > Source version %d.%d.%d.%d.", kInstallFile, (int)HIWORD(sourceMS),
                   (int)LOWORD(sourceMS), (int)HIWORD(sourceLS), (int)LOWORD(sourceLS));

    if (haveDest && haveSource) {
        if (sourceMS > destMS || (sourceMS == destMS && sourceLS > destLS))
            return kCopy;
        return kUpToDate;
    }
    if (haveSource)
        return kCopy;

    // Neither has a version, or only the destination: the write times decide, and a time that
    // cannot be read leaves the destination alone.
    FILETIME destTime, sourceTime;
    if (GetFileWriteTime(destination, &destTime) != 0 || GetFileWriteTime(source, &sourceTime) != 0)
        return kUpToDate;
    return CompareFileTime(&destTime, &sourceTime) < 0 ? kCopy : kUpToDate;
}

// Copies source to a file beside destination and renames that to destination, so that
// destination appears whole or not at all; false, with nothing left behind, when either step fails.
bool CopyWhole(const char* source, const char* destination)
{
    char partial[MAX_PATH];
    if (!FormatText(partial, sizeof(partial), "%s.partial", destination))
        return false;
    if (CopyFileA(source, partial, FALSE) && MoveFileA(partial, destination))
        return true;
    DeleteFileA(partial);
    return false;
}

}  // namespace

int CopyOrDefer(InstallationData* data, const char* source, const char* destination)
{
    bool copied = CopyFileA(source, destination, FALSE) != 0;
    if (!copied) {
        LogError(data, LastErrorResult(), "InstallFile: > Couldn't copy file.");
        LogMessage(data, "InstallFile: > Try to reset file attribute.");
        DWORD attributes = GetFileAttributesA(destination);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kResetAttributes))
            SetFileAttributesA(destination, attributes & ~kResetAttributes);
        copied = CopyFileA(source, destination, FALSE) != 0;
    }
    if (!copied) {
        LogError(data, LastErrorResult(), "InstallFile: > Couldn't copy file.");
        // Still locked (typically a running program): the new content waits beside it.
        int result = ReplaceFileAtRestart(data, source, destination);
        if (result != 0) {
            LogError(data, result, "InstallFile: > Failed to copy file.");
            return result;
        }
        data->RebootRequired = 1;
    }
    LogMessage(data, "%s: > File is copied.", kInstallFile);
    return 0;
}

int InstallFile(InstallationData* data, const char* srcFolder, const char* fileName, const char* destFolder,
                           const char* destName, DWORD flags)
{
    if (!fileName || !destFolder)
        return -1;

    int result = 0;
    char sourcePath[MAX_PATH];
    char destinationPath[MAX_PATH];
    const char* targetName = destName ? destName : fileName;
    char* destination = ExpandTargetMacros(data, destFolder);
    char* source = ExpandTargetMacros(data, srcFolder);
    if (!destination || !source) {
        LogMessage(data, "%s: > Failed to resolve the path.", kInstallFile);
        result = -1;
        goto Exit;
    }
    // Both paths are checked before the folder is created, so that a refused file leaves nothing.
    if (!JoinPath(destinationPath, destination, targetName)) {
        LogMessage(data, "%s: > Path is too long: \"%s\\%s\".", kInstallFile, destination, targetName);
        result = kPathTooLong;
        goto Exit;
    }
    if (!JoinPath(sourcePath, source, fileName)) {
        LogMessage(data, "%s: > Path is too long: \"%s\\%s\".", kInstallFile, source, fileName);
        result = kPathTooLong;
        goto Exit;
    }
    if (!CreateFolderPath(destination)) {
        LogMessage(data, "Could not access or create folder \"%s\".", destination);
        result = -1;
        goto Exit;
    }
    LogMessage(data, "%s: Source=\"%s\" Destination=\"%s\"", kInstallFile, sourcePath, destinationPath);
    data->Status->ShowFileText(IDS_COPYING_FILE, destinationPath);

    if (!FileExists(sourcePath)) {
        LogMessage(data, "%s: > Source file is missing!", kInstallFile);
        result = kSourceFileMissing;
        goto Exit;
    }

    if (flags & FileForceCopy) {
        LogMessage(data, "%s: > Force copying...", kInstallFile);
    } else if (FileExists(destinationPath)) {
        if (flags & FileKeepExisting) {
            LogMessage(data, "%s: > File is not copied.", kInstallFile);
            goto Exit;
        }
        if (CompareWithDestination(data, sourcePath, destinationPath) != kCopy) {
            LogMessage(data, "%s: > Destination is up-to-date.", kInstallFile);
            LogMessage(data, "%s: > File is not copied.", kInstallFile);
            goto Exit;
        }
        LogMessage(data, "%s: > Source is newer.", kInstallFile);
    }

    // A file kept once it is there (the configuration) must not be kept half-written by a run cut
    // short during its copy; the plain copy stays for what this cannot do.
    if ((flags & (FileKeepExisting | FileForceCopy)) == FileKeepExisting && CopyWhole(sourcePath, destinationPath)) {
        LogMessage(data, "%s: > File is copied.", kInstallFile);
        goto Exit;
    }
    result = CopyOrDefer(data, sourcePath, destinationPath);
Exit:
    FreeText(source);
    FreeText(destination);
    return result;
}
