#include "procedures/FileInstall.h"

#include <stdlib.h>
#include <string.h>

#include "procedures/InstallationData.h"
#include "procedures/PreviousFiles.h"
#include "procedures/RestartOperations.h"
#include "procedures/TargetMacros.h"
#include "resources/resource.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

const char kInstallFile[] = "InstallFile";
const DWORD kResetAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN;

enum CopyDecision { kCopy, kUpToDate, kKeep };

// The file version of path, logged as the version of whose ("Destination", "Source"); false when
// it has none.
bool ReadLoggedVersion(const InstallationData* data, const char* path, const char* whose, DWORD* ms, DWORD* ls)
{
    if (GetFileVersion(path, ms, ls) != 0)
        return false;
    LogMessage(data, "%s: > %s version %d.%d.%d.%d.", kInstallFile, whose, (int)HIWORD(*ms), (int)LOWORD(*ms),
               (int)HIWORD(*ls), (int)LOWORD(*ls));
    return true;
}

// Whether the existing destination is replaced by the source: versions first, then times.
CopyDecision CompareWithDestination(const InstallationData* data, const char* source, const char* destination)
{
    DWORD destMS = 0, destLS = 0, sourceMS = 0, sourceLS = 0;
    bool haveDest = ReadLoggedVersion(data, destination, "Destination", &destMS, &destLS);
    bool haveSource = ReadLoggedVersion(data, source, "Source", &sourceMS, &sourceLS);

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

// Copies source into a part file beside destination: the destination's name with ".partial",
// or, where that cannot be written (a name too long, a stale part that is read-only, held or a
// folder), a new "~" temporary file in the same folder. 0 with part filled, or the error of the
// last try; a failed try leaves nothing.
int CopyToPart(const char* source, const char* destination, char (&part)[MAX_PATH])
{
    if (FormatText(part, sizeof(part), "%s%s", destination, kPartSuffix)) {
        if (CopyFileA(source, part, FALSE))
            return 0;
        DeleteFileA(part);
    }
    int result = MakeTemporaryBeside(destination, part);
    if (result != 0 || CopyFileA(source, part, FALSE))
        return result;
    result = LastErrorResult();
    DeleteFileA(part);
    return result;
}

// One attempt at the copy: the part file, flushed to the disk, then its rename into the
// destination's place, so that the destination is the old file or the new one whole, never one
// cut short, even after a power cut (which may keep a rename and lose data not yet written). A
// kept file (keep-existing, not forced) never replaces one that appeared meanwhile. With
// FileKeepPrevious the old file is set aside first. 0 or the error; a failed attempt leaves the
// destination as it was and nothing beside it.
int CopyIntoPlace(const char* source, const char* destination, DWORD flags)
{
    char part[MAX_PATH];
    bool replace = (flags & (FileKeepExisting | FileForceCopy)) != FileKeepExisting;
    int result = CopyToPart(source, destination, part);
    if (result != 0)
        return result;
    bool keep = (flags & FileKeepPrevious) != 0;
    bool made = false;
    result = FlushFile(part);
    if (result == 0 && keep)
        result = SetAsidePrevious(destination, replace, &made);
    if (result == 0)
        result = MoveIntoPlace(part, destination, replace);
    // Over a file another program holds, the rename is refused as "access denied"; the log gives
    // the reason a copy over it gives, the sharing violation. A read-only file keeps its own.
    if (result == ERROR_ACCESS_DENIED && IsFileHeldOpen(destination))
        result = ERROR_SHARING_VIOLATION;
    if (result != 0) {
        DeleteFileA(part);
        if (keep)
            TakeBackSetAside(destination, made);
    }
    return result;
}

// Copies source into destination's place; when that fails, clears the destination's read-only and
// hidden attributes and tries again; when that fails too, replaces it at the next restart.
// Returns 0 or the error of the deferred replacement.
int CopyOrDefer(InstallationData* data, const char* source, const char* destination, DWORD flags)
{
    int result = CopyIntoPlace(source, destination, flags);
    if (result != 0) {
        LogError(data, result, "InstallFile: > Couldn't copy file.");
        LogMessage(data, "InstallFile: > Try to reset file attribute.");
        DWORD attributes = GetFileAttributesA(destination);
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & kResetAttributes))
            SetFileAttributesA(destination, attributes & ~kResetAttributes);
        result = CopyIntoPlace(source, destination, flags);
    }
    if (result != 0) {
        LogError(data, result, "InstallFile: > Couldn't copy file.");
        // Still locked (typically a running program): the new content waits beside it. An
        // update marks that first, so that a failure or a killed run can take it back.
        bool marked = (flags & FileKeepPrevious) != 0;
        result = marked ? MarkDeferred(destination, true) : 0;
        if (result == 0)
            result = ReplaceFileAtRestart(data, source, destination);
        if (result != 0) {
            if (marked)
                (void)MarkDeferred(destination, false);
            LogError(data, result, "InstallFile: > Failed to copy file.");
            return result;
        }
        data->RebootRequired = 1;
    }
    LogMessage(data, "%s: > File is copied.", kInstallFile);
    return 0;
}

}  // namespace

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
    // A removal before this run may have left the file here for the next restart to delete (it was
    // in use then): the file this run puts or keeps here must outlive that restart. A restart list
    // that cannot be read (held by another program) does not stop the copy; the log says so.
    result = CancelDeletionAtRestart(data, destinationPath);
    if (result != 0) {
        LogError(data, result, "InstallFile: > A deletion of the file at the next restart cannot be taken back.");
        result = 0;
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

    // A file kept once it is there (the configuration) is never written over: when it cannot be
    // copied beside its place and renamed into it, it stays uncopied.
    if ((flags & (FileKeepExisting | FileForceCopy)) == FileKeepExisting) {
        result = CopyIntoPlace(sourcePath, destinationPath, flags);
        if (result == 0)
            LogMessage(data, "%s: > File is copied.", kInstallFile);
        else
            LogError(data, result, "InstallFile: > Couldn't copy file.");
        goto Exit;
    }
    result = CopyOrDefer(data, sourcePath, destinationPath, flags);
Exit:
    FreeText(source);
    FreeText(destination);
    return result;
}
