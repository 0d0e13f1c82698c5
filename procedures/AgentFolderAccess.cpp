#include "procedures/AgentFolderAccess.h"

#include <mbstring.h>
#include <string.h>

#include "procedures/InstallationData.h"
#include "support/AccessControl.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Text.h"

namespace {

ReadFolderSecurityFunction g_readSecurity = ReadFolderSecurity;

// Length of the root of a full path, "C:\" or "\\server\share"; 0 for any other form.
size_t RootLength(const char* path)
{
    if (path[0] && path[1] == ':' && path[2] == '\\')
        return 3;
    const char* share = path[0] == '\\' && path[1] == '\\' ? strchr(path + 2, '\\') : nullptr;
    const char* end = share ? strchr(share + 1, '\\') : nullptr;
    return share ? (end ? (size_t)(end - path) : strlen(path)) : 0;
}

// Checks path (in the agent folder's role when itself, else as a folder above it) and every
// folder above it up to its root. Folders that do not exist are passed by; one whose list cannot
// be read promises nothing. existing receives the deepest folder that exists ("" for none).
bool IsChainSafe(const char* path, bool itself, char (&existing)[MAX_PATH])
{
    char folder[MAX_PATH];
    existing[0] = '\0';
    if (!CopyText(folder, sizeof(folder), path))
        return false;
    size_t root = RootLength(folder);
    for (;; itself = false) {
        size_t length = strlen(folder);
        DWORD descriptor[1024];
        int read = g_readSecurity(folder, descriptor);
        if (read == 0) {
            FolderRole role = length <= root ? kDriveRootFolder : itself ? kAgentFolderItself : kAgentParentFolder;
            if (!IsFolderSafeFromUsers(descriptor, sizeof(descriptor), role))
                return false;
            if (!existing[0])
                CopyText(existing, sizeof(existing), folder);
        } else if (read != ERROR_FILE_NOT_FOUND && read != ERROR_PATH_NOT_FOUND) {
            return false;
        }
        if (length <= root || root == 0)
            return true;
        char* slash = reinterpret_cast<char*>(_mbsrchr(reinterpret_cast<unsigned char*>(folder), '\\'));
        *(slash && slash >= folder + root ? slash : folder + root) = '\0';
    }
}

}  // namespace

bool CanOnlyAdministratorsChange(const char* folder)
{
    char full[MAX_PATH];
    char existing[MAX_PATH];
    char reached[MAX_PATH];
    char* name = nullptr;
    DWORD length = folder ? GetFullPathNameA(folder, sizeof(full), full, &name) : 0;
    bool safe = length > 0 && length < sizeof(full);
    if (safe && length > 3 && full[length - 1] == '\\')
        full[length - 1] = '\0';
    safe = safe && IsChainSafe(full, true, existing);
    // A link on the way (a Program Files moved to another drive) leads to folders of its own.
    if (safe && existing[0]) {
        HANDLE opened = CreateFileA(existing, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        char ignored[MAX_PATH];
        if (opened != INVALID_HANDLE_VALUE && GetFinalPath(opened, reached) && lstrcmpiA(reached, existing) != 0)
            safe = IsChainSafe(reached, lstrcmpiA(existing, full) == 0, ignored);
        CloseFile(opened);
    }
    return safe;
}

bool IsAgentFolderSafe(const InstallationData* data)
{
    if (data->IsWin9x || !data->DestFolder)
        return true;
    if (CanOnlyAdministratorsChange(data->DestFolder))
        return true;
    // What follows differs: an installation stops, an update goes on (refusing would leave the agent
    // stopped or out of date), a removal leaves the folder's files.
    const char* outcome = data->IsRemove   ? "its files are left."
                          : data->IsModify ? "the update goes on."
                                           : "the installation is refused.";
    LogMessage(data, "Agent folder \"%s\" can be changed by users who are not administrators; %s", data->DestFolder,
               outcome);
    return false;
}

bool CreateAgentFolder(const InstallationData* data)
{
    ProtectedSecurity security;
    return CreateFolderPath(data->DestFolder,
                            MakeProtectedSecurity(&security, kFolderFullAccess, kFolderReadExecute, true));
}

void SetFolderSecurityReader(ReadFolderSecurityFunction read)
{
    g_readSecurity = read ? read : ReadFolderSecurity;
}
