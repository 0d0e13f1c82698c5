// The instance's entry in the system's list of installed programs. Best effort throughout: an
// agent without its entry still works, so no failure here stops a procedure.
#include "procedures/UninstallEntry.h"

#include <string.h>

#include "procedures/AgentFileTable.h"
#include "procedures/PreviousFiles.h"

#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/Registry.h"
#include "support/Text.h"

namespace {

const char kSetupProgram[] = "XASetup.exe";

enum : DWORD { kDisplayNameBytes = 2048 };
enum { kMaxFolderDepth = 16 };

// True when the entry already shows a non-empty REG_SZ name, for example one an administrator set.
bool HasDisplayName(HKEY key)
{
    char name[kDisplayNameBytes + 1];
    DWORD type = REG_NONE;
    return ReadTextValue(key, "DisplayName", name, sizeof(name), &type) == 0 && type == REG_SZ && name[0] != '\0';
}

void WriteAgentVersion(const InstallationData* data, HKEY key)
{
    char version[32];
    ULONGLONG number = FormatAgentVersion(data->DestFolder, version);
    if (number == 0 && version[0] == 'u')
        return;  // "unknown": no version to show
    WriteStringValue(key, "DisplayVersion", version);
    WriteNumberValue(key, "VersionMajor", (DWORD)(number >> 48));
    WriteNumberValue(key, "VersionMinor", (DWORD)(number >> 32) & 0xFFFF);
}

// Adds the sizes of the files under folder, its subfolders included; linked folders are not
// entered (they may lead back up or elsewhere).
void AddFolderBytes(const char* folder, ULONGLONG* bytes, int depth)
{
    char path[MAX_PATH];
    WIN32_FIND_DATAA found;
    if (depth > kMaxFolderDepth || !JoinPath(path, folder, "*"))
        return;
    HANDLE search = FindFirstFileA(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // What an update keeps until the agent has started is not the agent's size.
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !IsKeptByUpdate(found.cFileName))
            *bytes += ((ULONGLONG)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        else if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) && strcmp(found.cFileName, ".") != 0 &&
                 strcmp(found.cFileName, "..") != 0 && JoinPath(path, folder, found.cFileName))
            AddFolderBytes(path, bytes, depth + 1);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

}  // namespace

void WriteUninstallEntry(const InstallationData* data, int isUpdate)
{
    char keyPath[MAX_PATH];
    char text[2 * MAX_PATH];
    HKEY key = nullptr;
    if (!data->DestFolder || !FormatUninstallKey(data->Instance, keyPath, sizeof(keyPath)))
        return;
    LONG created = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_READ | KEY_WRITE, nullptr, &key, nullptr);
    if (created != ERROR_SUCCESS) {
        NotePartFailure(data, (int)created, kCouldNotWrite, keyPath);
        return;
    }

    // The program path is quoted: unquoted, Windows would first try C:\Program.exe and the like
    // with the rights of the administrator who removes the agent. An id with a blank is quoted
    // too, or the removal would read only its first word and remove another instance.
    const char* idQuote = strchr(data->Instance, ' ') ? "\"" : "";
    if (FormatText(text, sizeof(text), "\"%s\\%s\" /r /g %s%s%s /l \"%%TEMP%%\\xasetup.log\"", data->DestFolder,
                   kSetupProgram, idQuote, data->Instance, idQuote))
        WriteStringValue(key, "UninstallString", text);

    // Fleet tools remove without a question: the same command, silent. (The command always fits:
    // the folder is shorter than MAX_PATH and the id 20 characters at most.)
    if (AppendText(text, sizeof(text), " /s"))
        WriteStringValue(key, "QuietUninstallString", text);

    if (!isUpdate || !HasDisplayName(key))
        WriteStringValue(key, "DisplayName", data->Title);
    WriteNumberValue(key, "NoModify", 1);
    WriteNumberValue(key, "NoRepair", 1);
    WriteStringValue(key, "InstallLocation", data->DestFolder);
    WriteAgentVersion(data, key);
    // The list of installed programs shows the agent folder's size, in KiB.
    ULONGLONG bytes = 0;
    AddFolderBytes(data->DestFolder, &bytes, 0);
    ULONGLONG kibibytes = (bytes + 1023) / 1024;
    WriteNumberValue(key, "EstimatedSize", kibibytes > 0xFFFFFFFF ? 0xFFFFFFFF : (DWORD)kibibytes);

    SYSTEMTIME now;
    GetLocalTime(&now);
    FormatText(text, sizeof(text), "%d%02d%02d", now.wYear, now.wMonth, now.wDay);
    WriteStringValue(key, "InstallDate", text);

    if (FormatText(text, sizeof(text), "%s\\%s", data->DestFolder, kSetupProgram))
        WriteStringValue(key, "DisplayIcon", text);
    // Null fields give no value (WriteStringValue refuses them); empty ones an empty value.
    WriteStringValue(key, "Publisher", data->Publisher);
    WriteStringValue(key, "URLInfoAbout", data->AboutLink);
    WriteStringValue(key, "Comments", data->Comments);
    WriteStringValue(key, "Contact", data->Contact);
    WriteStringValue(key, "HelpLink", data->HelpLink);
    CloseKey(key);
}

int RemoveUninstallEntry(const InstallationData* data)
{
    char keyPath[MAX_PATH];
    if (!FormatUninstallKey(data->Instance, keyPath, sizeof(keyPath)))
        return ERROR_INVALID_PARAMETER;
    return NoteRemoval(data, DeleteRegistryTree(HKEY_LOCAL_MACHINE, keyPath), keyPath);
}

bool UninstallEntryExists(const InstallationData* data)
{
    char keyPath[MAX_PATH];
    return FormatUninstallKey(data->Instance, keyPath, sizeof(keyPath)) && KeyExists(HKEY_LOCAL_MACHINE, keyPath);
}
