#include <stdlib.h>
#include <string.h>

#include "control/ServiceManager.h"
#include "procedures/SharedAgentValues.h"
#include "setup/BuildInstallationData.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/FolderTree.h"
#include "support/Handles.h"
#include "support/IniText.h"
#include "support/Registry.h"

namespace {

const char kWorkingFolderKey[] = "Agent_Temp_Dir";
const DWORD kLegacyValueBytes = 1024;

// Where the legacy agent is registered: its RunServices value on Windows 9x, its service
// key elsewhere.
HKEY OpenLegacyAgentKey(const InstallationData* data, const char** valueName)
{
    *valueName = data->IsWin9x ? kLegacyServiceName : "ImagePath";
    return OpenKeyToRead(HKEY_LOCAL_MACHINE, data->IsWin9x ? kRunServicesKey : kLegacyServiceKey);
}

// The folder of a program path: cut at the last backslash, without a leading quote.
char* FolderOfCommand(char* command)
{
    char* slash = strrchr(command, '\\');
    if (!slash)
        return nullptr;
    *slash = '\0';
    return DuplicateText(command[0] == '"' ? command + 1 : command);
}

// Reads the instance key's values over what the command line and the defaults gave.
void ReadInstanceKey(InstallationData* data, HKEY key)
{
    char value[MAX_PATH + 1];
    if (ReadStringValue(key, "Title", value, MAX_PATH + 1))
        ReplaceText(data->Title, DuplicateText(value));
    if (ReadStringValue(key, "Path", value, MAX_PATH + 1))
        SetDestinationFolder(data, value);
    if (ReadStringValue(key, "Provider", value, MAX_PATH + 1))
        ReplaceText(data->Company, DuplicateText(value));
    DWORD flag = 0;
    if (ReadNumberValue(key, "NoShortCut", &flag) == 0)
        data->bNoShortcut = flag == 1;
    if (ReadNumberValue(key, "NoAddRemove", &flag) == 0)
        data->bNoAddRemove = flag == 1;
}

// A new installation takes over the folder of the legacy agent's program.
void TakeOverLegacyAgent(InstallationData* data)
{
    const char* valueName = nullptr;
    HKEY key = OpenLegacyAgentKey(data, &valueName);
    if (!key)
        return;
    char value[MAX_PATH + 1];
    if (ReadStringValue(key, valueName, value, MAX_PATH + 1)) {
        char* folder = FolderOfCommand(value);
        if (folder)
            SetDestinationFolder(data, folder);
        FreeText(folder);
    }
    CloseKey(key);
    data->UpdateLegacyAgent = 1;
    data->IsModify = 1;
}

// "X:\..." or "\\server\share\...": a folder that does not depend on the current drive or
// folder of whoever runs setup.
bool IsAbsolutePath(const char* path)
{
    if (((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) && path[1] == ':')
        return path[2] == '\\';
    if (path[0] != '\\' || path[1] != '\\')
        return false;
    const char* server = path + 2;
    const char* share = strchr(server, '\\');
    return share && share > server && share[1] != '\0' && share[1] != '\\';
}

// The working folder's rows remove whole sub-folders: a blank or relative value would aim them
// at the current drive's root ("\Logs"), a root or system folder is no agent's, and a link on the
// way would aim them wherever it leads.
bool IsUsableWorkingFolder(const char* folder)
{
    return folder[0] && IsAbsolutePath(folder) && !IsProtectedFolder(folder) && !PathHoldsLink(folder);
}

// AgentWorkingFolder from the "Agent_Temp_Dir" line of ArvaneD.ini in the agent folder; a value
// that names no usable folder is logged and leaves it null.
// Returns -1 only when the file's text cannot be held in memory.
int ReadWorkingFolder(InstallationData* data)
{
    char path[MAX_PATH];
    if (!FormatText(path, sizeof(path), "%s\\ArvaneD.ini", data->DestFolder))
        return 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;

    int result = 0;
    char* text = nullptr;
    DWORD size = GetFileSize(file, nullptr);
    DWORD got = 0;
    if (size == INVALID_FILE_SIZE)
        goto Exit;  // unreadable, or larger than any text we could hold
    text = (char*)malloc((size_t)size + 1);
    if (!text) {
        LogMessage(data, "Out of memory!");
        result = -1;
        goto Exit;
    }
    if (!ReadFile(file, text, size, &got, nullptr))
        got = 0;
    text[got] = '\0';
    {
        size_t length = 0;
        const char* found = FindIniValue(text, kWorkingFolderKey, &length);
        if (found) {
            char* folder = DuplicateTextPrefix(found, length < MAX_PATH ? length : MAX_PATH - 1);
            char normal[MAX_PATH];
            // Checked as written (a relative value is no working folder), kept as one spelling.
            if (folder && (!IsUsableWorkingFolder(folder) || !NormalizePath(folder, normal))) {
                LogMessage(data, "Agent working folder \"%s\" is not usable; its files are left alone.", folder);
                FreeText(folder);
                folder = nullptr;
            } else if (folder) {
                ReplaceText(folder, DuplicateText(normal));
            }
            ReplaceText(data->AgentWorkingFolder, folder);
        }
    }
Exit:
    free(text);
    CloseFile(file);
    return result;
}

}  // namespace

bool IsValidInstanceId(const char* id)
{
    if (!id || !*id || strlen(id) > kInstanceChars)
        return false;
    // Windows drops trailing dots and blanks from a folder name: "I1." would be I1's folder,
    // and "..." or " " the company folder that every instance shares.
    char last = id[strlen(id) - 1];
    if (last == '.' || last == ' ')
        return false;
    // "%" too: the folder is expanded after the id is joined to it, so "%X%" could lead it
    // out of the company folder.
    for (const unsigned char* c = (const unsigned char*)id; *c; ++c) {
        if (*c < 0x20 || *c == 0x7F || strchr("\\/:*?\"<>|%", *c))
            return false;
    }
    return true;
}

bool DetectLegacyAgent(const InstallationData* data)
{
    if (!data->IsWin9x) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, GENERIC_READ);
        if (manager) {
            SC_HANDLE service = OpenServiceA(manager, kLegacyServiceName, GENERIC_READ);
            if (service)
                CloseServiceHandle(service);
            CloseServiceHandle(manager);
            return service != nullptr;
        }
    }
    // Without a service manager (or on Windows 9x) the registration tells.
    const char* valueName = nullptr;
    HKEY key = OpenLegacyAgentKey(data, &valueName);
    if (!key)
        return false;
    DWORD size = 0;
    int read = QueryValueInfo(key, valueName, nullptr, &size);
    CloseKey(key);
    return read == 0 && size != 0;
}

bool GetLegacyAgentFolder(const InstallationData* data, char** folder)
{
    const char* valueName = nullptr;
    HKEY key = OpenLegacyAgentKey(data, &valueName);
    if (!key)
        return false;
    char value[kLegacyValueBytes];
    char* found = ReadStringValue(key, valueName, value, sizeof(value)) ? FolderOfCommand(value) : nullptr;
    CloseKey(key);
    if (!found)
        return false;
    *folder = found;
    return true;
}

int ReadExistingInstallation(InstallationData* data)
{
    if (!data->Instance)
        return -1;

    bool legacyInAgentFolder = false;
    data->LegacyAgentExists = DetectLegacyAgent(data) ? 1 : 0;

    char keyPath[MAX_PATH];
    HKEY key = nullptr;
    if (FormatInstanceKey(data->Instance, keyPath, sizeof(keyPath)))
        key = OpenKeyToRead(HKEY_LOCAL_MACHINE, keyPath);
    if (key) {
        ReadInstanceKey(data, key);
        CloseKey(key);
        if (!data->IsRemove)
            data->IsModify = 1;

        if (data->IsModify && data->UpdateLegacyAgent && data->LegacyAgentExists) {
            data->UpdateLegacyAgent = 0;
            char* folder = nullptr;
            char normal[MAX_PATH];
            if (GetLegacyAgentFolder(data, &folder) && data->DestFolder && NormalizePath(folder, normal) &&
                _stricmp(normal, data->DestFolder) == 0) {
                data->UpdateLegacyAgent = 1;
                legacyInAgentFolder = true;
            }
            FreeText(folder);
        } else {
            data->UpdateLegacyAgent = 0;
        }
    }

    if (data->UpdateLegacyAgent && !legacyInAgentFolder) {
        data->UpdateLegacyAgent = 0;
        if (!data->IsModify && !data->IsRemove)
            TakeOverLegacyAgent(data);
    }

    if (!data->IsModify && !data->IsRemove) {
        NumberTitle(data);
        return 0;
    }
    return data->DestFolder && ReadWorkingFolder(data) < 0 ? -1 : 0;
}
