// The old agent files that an update keeps beside the new ones until it ends, and the passes
// that put them back, let them go, or remove them.
#include "procedures/PreviousFiles.h"

#include <string.h>

#include "procedures/AgentFileTable.h"
#include "procedures/FileInstall.h"
#include "procedures/InstallationData.h"
#include "procedures/RestartOperations.h"
#include "procedures/TargetMacros.h"
#include "support/Files.h"
#include "support/Results.h"
#include "support/Text.h"

namespace {

// What may lie beside an agent file while an update runs.
const char* const kSuffixes[] = {".setaside", ".created", ".deferred", kPartSuffix};
enum { kSetAside, kCreated, kDeferred, kPart, kKinds };
// Beside the first file of the table while the update lets its kept files go: a run killed
// meanwhile is finished by the next one, not half undone.
const char kCommitted[] = ".committed";

enum Pass { kRestore, kDrop };

bool IsFile(const char* path)
{
    return GetPathKind(path) < 0;
}

// The path of what lies beside file with suffix; false when it does not fit.
bool Beside(char (&path)[MAX_PATH], const char* file, const char* suffix)
{
    return FormatText(path, sizeof(path), "%s%s", file, suffix);
}

// Creates an empty file at path (a mark). 0 or the error.
int CreateMark(const char* path)
{
    HANDLE mark = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (mark == INVALID_HANDLE_VALUE)
        return LastErrorResult();
    CloseHandle(mark);
    return 0;
}

// A set-aside file still in use (a program that another process runs) cannot go now. Renamed to
// a "~" name, so that no later run takes it for an update's, it goes at the next restart. That is
// clean-up: the agent is complete without the restart, which is not asked for.
void DeleteAtRestartUnderOtherName(InstallationData* data, const char* path)
{
    char other[MAX_PATH];
    if (RenameToTemporaryName(path, other) == 0 && DeleteFileAtRestart(data, other) == 0)
        LogMessage(data, "\"%s\" goes at the next restart as \"%s\".", path, other);
}

// Puts one file back from what lies beside it (paths in the order of kSuffixes). 0 or the error.
int RestoreFile(InstallationData* data, const char* file, char (&beside)[kKinds][MAX_PATH])
{
    int result = 0;
    if (IsFile(beside[kDeferred])) {
        result = CancelReplacementAtRestart(data, file);
        if (result == 0)
            DeleteFileA(beside[kDeferred]);
    }
    if (result == 0 && IsFile(beside[kSetAside])) {
        // One rename where the system can: the file is never missing from its place.
        SetFileAttributesA(file, FILE_ATTRIBUTE_NORMAL);
        result = MoveIntoPlace(beside[kSetAside], file, true);
    } else if (result == 0 && IsFile(beside[kCreated])) {
        result = ForceDeleteFile(file);
        if (result == ERROR_FILE_NOT_FOUND)
            result = 0;
        if (result == 0)
            DeleteFileA(beside[kCreated]);
    }
    return result;
}

// One pass over every file of the agent folder that an update may replace or create (the named
// rows of $TARGETDIR$ and its sub-folders). kRestore counts the files put back into *count and
// returns the first error, with its file in failed; kDrop lets the kept files go.
int VisitPreviousFiles(InstallationData* data, Pass pass, int* count, char (&failed)[MAX_PATH])
{
    static const char kAgentFolder[] = "$TARGETDIR$";
    int firstError = 0;
    for (const AgentFileRow* row = AgentFileTable; row->Folder; ++row) {
        if (!row->Name || strpbrk(row->Name, "?*") || strncmp(row->Folder, kAgentFolder, sizeof(kAgentFolder) - 1))
            continue;
        char* folder = ExpandTargetMacros(data, row->Folder);
        char file[MAX_PATH];
        char beside[kKinds][MAX_PATH];
        bool named = folder && JoinPath(file, folder, row->Name);
        FreeText(folder);
        for (int kind = 0; named && kind < kKinds; ++kind)
            named = Beside(beside[kind], file, kSuffixes[kind]);
        if (!named)
            continue;
        bool found = false;
        for (int kind = 0; kind < kPart; ++kind)
            found = found || IsFile(beside[kind]);
        if (pass == kDrop) {
            if (IsFile(beside[kSetAside]) && ForceDeleteFile(beside[kSetAside]) != 0)
                DeleteAtRestartUnderOtherName(data, beside[kSetAside]);
            DeleteFileA(beside[kCreated]);
            DeleteFileA(beside[kDeferred]);
        } else {
            DeleteFileA(beside[kPart]);
            if (!found)
                continue;
            if (*count < 0) {
                LogMessage(data, "Restoring the agent's files after the failed update...");
                *count = 0;
            }
            int result = RestoreFile(data, file, beside);
            if (result == 0) {
                ++*count;
            } else if (firstError == 0) {
                firstError = result;
                CopyText(failed, sizeof(failed), file);
            }
        }
    }
    return firstError;
}

// The commit mark: beside the agent folder's first file.
bool CommitMark(const InstallationData* data, char (&path)[MAX_PATH])
{
    char file[MAX_PATH];
    return data->DestFolder && JoinPath(file, data->DestFolder, AgentFileTable[0].Name) &&
           Beside(path, file, kCommitted);
}

}  // namespace

int SetAsidePrevious(const char* destination, bool replace, bool* made)
{
    char setAside[MAX_PATH];
    char created[MAX_PATH];
    *made = false;
    if (!Beside(setAside, destination, kSuffixes[kSetAside]) || !Beside(created, destination, kSuffixes[kCreated]))
        return kPathTooLong;
    // Kept from before (a file that could not be put back): that one is the previous file.
    if (IsFile(setAside))
        return 0;
    int kind = GetPathKind(destination);
    if (kind > 0)
        return ERROR_ACCESS_DENIED;  // a folder where the file goes, as a copy onto it is refused
    if (kind == 0)
        return CreateMark(created);
    if (!replace)
        return ERROR_FILE_EXISTS;
    // Renamed, not copied: no room is needed, and a file held open by another program stays where
    // it is (the rename is refused), to be replaced at the next restart.
    *made = MoveFileA(destination, setAside) != 0;
    return *made ? 0 : LastErrorResult();
}

void TakeBackSetAside(const char* destination, bool made)
{
    char path[MAX_PATH];
    if (made && GetPathKind(destination) == 0 && Beside(path, destination, kSuffixes[kSetAside]))
        MoveFileA(path, destination);
    if (Beside(path, destination, kSuffixes[kCreated]))
        DeleteFileA(path);
}

int MarkDeferred(const char* destination, bool mark)
{
    char path[MAX_PATH];
    if (!Beside(path, destination, kSuffixes[kDeferred]))
        return kPathTooLong;
    if (mark)
        return CreateMark(path);
    return DeleteFileA(path) ? 0 : LastErrorResult();
}

int RestorePreviousFiles(InstallationData* data, bool always)
{
    char failed[MAX_PATH];
    char committed[MAX_PATH];
    // A run killed while it let its kept files go had succeeded: it is finished, not undone.
    if (!always && CommitMark(data, committed) && IsFile(committed)) {
        DropPreviousFiles(data);
        return 0;
    }
    int restored = always ? 0 : -1;
    if (always)
        LogMessage(data, "Restoring the agent's files after the failed update...");
    int result = VisitPreviousFiles(data, kRestore, &restored, failed);
    if (result != 0)
        LogErrorFormatted(data, result, "Could not restore \"%s\".", failed);
    else if (restored >= 0)
        LogMessage(data, "%d agent files restored.", restored);
    return result;
}

void DropPreviousFiles(InstallationData* data)
{
    char failed[MAX_PATH];
    char committed[MAX_PATH];
    bool marked = CommitMark(data, committed) && CreateMark(committed) == 0;
    (void)VisitPreviousFiles(data, kDrop, nullptr, failed);
    if (marked)
        DeleteFileA(committed);
}

bool KeepsPreviousUntilStarted(const InstallationData* data)
{
    return data->IsModify && !data->IsRemove && !data->bDontStartAgent && !data->UpdateLegacyAgent;
}

bool IsKeptByUpdate(const char* name)
{
    size_t length = strlen(name);
    for (const char* suffix : kSuffixes) {
        size_t suffixLength = strlen(suffix);
        if (length > suffixLength && lstrcmpiA(name + length - suffixLength, suffix) == 0)
            return true;
    }
    return false;
}
