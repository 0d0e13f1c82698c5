// The agent's own Start-menu link in the company's program group.
#include "procedures/Shortcuts.h"

#include <shlobj.h>

#include "resources/resource.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/ShellLinks.h"
#include "support/StringTable.h"
#include "support/Text.h"

namespace {

// The agent's link folder: the all-users Programs folder, or the user's own where Windows 9x
// has no shared one.
int AgentProgramsFolder(const InstallationData* data)
{
    return data->IsWin9x ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS;
}

// An HRESULT reduced to the code the procedures log.
int ShortcutResult(HRESULT result)
{
    return SUCCEEDED(result) ? 0 : (int)(result & 0xFFFF);
}

}  // namespace

int CreateAgentShortcut(const InstallationData* data, int onlyIfMissing)
{
    char linkName[MAX_PATH];
    char target[MAX_PATH];
    char description[MAX_PATH];
    if (!data->Title || !data->Company || !data->DestFolder)
        return ERROR_INVALID_PARAMETER;
    if (!FormatText(linkName, sizeof(linkName), "%s.lnk", data->Title) ||
        !FormatAgentProgramPath(data->DestFolder, target, sizeof(target)))
        return ERROR_FILENAME_EXCED_RANGE;
    LoadProgramText(IDS_SHORTCUT_DESCRIPTION, description, sizeof(description));

    int folderId = AgentProgramsFolder(data);
    HRESULT result = CreateShortcutFolder(folderId, data->Company);
    if (SUCCEEDED(result))
        result = CreateShortcut(folderId, data->Company, linkName, target, description, nullptr, nullptr,
                                onlyIfMissing);
    return ShortcutResult(result);
}

int RemoveAgentShortcut(const InstallationData* data)
{
    char linkName[MAX_PATH];
    if (!data->Title || !data->Company)
        return ERROR_INVALID_PARAMETER;
    if (!FormatText(linkName, sizeof(linkName), "%s.lnk", data->Title))
        return ERROR_FILENAME_EXCED_RANGE;
    int folderId = AgentProgramsFolder(data);
    HRESULT result = DeleteShortcut(folderId, data->Company, linkName);
    RemoveShortcutFolder(folderId, data->Company);
    return NoteRemoval(data, ShortcutResult(result), linkName);
}

bool AgentShortcutExists(const InstallationData* data)
{
    char linkName[MAX_PATH];
    char path[MAX_PATH];
    return data->Title && data->Company && FormatText(linkName, sizeof(linkName), "%s.lnk", data->Title) &&
           SUCCEEDED(GetShortcutPath(AgentProgramsFolder(data), data->Company, linkName, path)) && FileExists(path);
}

bool AgentShortcutIsOwn(const InstallationData* data)
{
    char linkName[MAX_PATH];
    char path[MAX_PATH];
    char target[MAX_PATH];
    char program[MAX_PATH];
    return data->Title && data->Company && data->DestFolder &&
           FormatText(linkName, sizeof(linkName), "%s.lnk", data->Title) &&
           SUCCEEDED(GetShortcutPath(AgentProgramsFolder(data), data->Company, linkName, path)) &&
           SUCCEEDED(GetShortcutTarget(path, target)) &&
           FormatAgentProgramPath(data->DestFolder, program, sizeof(program)) &&
           IsSameFile(target, program, false);
}
