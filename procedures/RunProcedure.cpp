// The run of one procedure, and what follows it on the installed agent.
#include "procedures/RunProcedure.h"

#include <string.h>

#include "control/ServiceManager.h"
#include "procedures/AgentService.h"
#include "procedures/AgentShutdown.h"
#include "procedures/PreviousFiles.h"
#include "procedures/UninstallEntry.h"
#include "resources/resource.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/Handles.h"
#include "support/StringTable.h"

namespace {

const int kRebootTextBytes = 448;
// The longest wait for an agent that did not start to end before its files are put back.
const DWORD kAgentEndLimitMs = 3000;
// Where the agent would be started, had /k not been given.
const char kLeftStopped[] = "The agent is left stopped (/k).";
const double kFileTimeUnitsPerMinute = 600000000.0;

HANDLE OpenAgentFile(const InstallationData* data, const char* name, DWORD disposition)
{
    char path[MAX_PATH];
    if (!data->DestFolder || !FormatText(path, sizeof(path), "%s\\%s", data->DestFolder, name))
        return INVALID_HANDLE_VALUE;
    return CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Writes text at the end of the agent folder's file name (opened with disposition); false when
// the file cannot be opened.
bool WriteAgentFile(const InstallationData* data, const char* name, DWORD disposition, const char* text)
{
    HANDLE file = OpenAgentFile(data, name, disposition);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD written = 0;
    if (SetFilePointer(file, 0, nullptr, FILE_END) != INVALID_SET_FILE_POINTER)
        WriteFile(file, text, (DWORD)strlen(text), &written, nullptr);
    CloseFile(file);
    return true;
}

// Tells the agent, through its own error log, that setup waits for a restart. Silent on failure.
void WriteRebootLine(const InstallationData* data)
{
    char text[kRebootTextBytes];
    LoadProgramText(IDS_REBOOT_LOG_LINE, text, sizeof(text));
    SYSTEMTIME now;
    GetLocalTime(&now);
    char line[kRebootTextBytes + 64];
    FormatText(line, sizeof(line), "'%04d%02d%02d %02d:%02d:%02d', '%s'\n", now.wYear, now.wMonth, now.wDay,
               now.wHour, now.wMinute, now.wSecond, text);
    (void)WriteAgentFile(data, "AgtError.log", OPEN_ALWAYS, line);
}

// Starts the agent's service (on Windows 9x: its RunServices command) after announcing it. 0 or
// the error of the start.
int StartAgent(const InstallationData* data, const char* announcement, const char* name)
{
    LogMessage(data, "%s", announcement);
    int result = data->IsWin9x ? StartAgentFromRunServices(name) : StartServiceAndWait(name);
    if (result == 0)
        LogMessage(data, "Agent service started.");
    else
        LogError(data, result, "Failed to start agent service.");
    return result;
}

// The updated agent did not start: the agent it replaced comes back, files, Package.xml and the
// uninstall entry's version, and is started again. A machine without a running agent is beyond
// the reach of whoever manages it.
void PutBackPreviousVersion(InstallationData* data, const char* service)
{
    LogMessage(data, "The updated agent did not start; the previous version is put back.");
    // An agent that hangs in its start holds its files: it ends before they go.
    (void)StopAgentService(data);
    WaitForAgentEnd(data, kAgentEndLimitMs);
    if (RestorePreviousFiles(data, true) == 0 && !data->bNoAddRemove)
        WriteUninstallEntry(data, 1);
    (void)StartAgent(data, "Starting the agent service again after the failed update.", service);
}

void WriteUpdatedMarker(const InstallationData* data)
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char stamp[64], text[128];
    FormatTimestamp(stamp, sizeof(stamp), &now);
    FormatText(text, sizeof(text), "The agent was updated and restarted on %s.", stamp);
    if (WriteAgentFile(data, "AgentUpdated.txt", CREATE_ALWAYS, text))
        LogMessage(data, "AgentUpdated.txt is created.");
    else
        LogError(data, 0, "Could not create AgentUpdated.txt.");
}
}  // namespace

bool FormatTimestamp(char* text, size_t size, const SYSTEMTIME* local)
{
    FILETIME localTime, utcTime;
    char sign = '+';
    DWORD minutes = 0;
    if (SystemTimeToFileTime(local, &localTime) && LocalFileTimeToFileTime(&localTime, &utcTime)) {
        LONGLONG localUnits = ((LONGLONG)localTime.dwHighDateTime << 32) | localTime.dwLowDateTime;
        LONGLONG utcUnits = ((LONGLONG)utcTime.dwHighDateTime << 32) | utcTime.dwLowDateTime;
        if (utcUnits > localUnits)
            sign = '-';
        // Zones differ by whole minutes, so the quotient is exact in a double; dividing that way
        // keeps the 64-bit division routines (over a KiB) out of the program.
        LONGLONG units = utcUnits > localUnits ? utcUnits - localUnits : localUnits - utcUnits;
        minutes = (DWORD)((double)units / kFileTimeUnitsPerMinute);
    }
    return FormatText(text, size, "%d-%02d-%02d %02d:%02d:%02d %c%02d:%02d", local->wYear, local->wMonth, local->wDay,
                      local->wHour, local->wMinute, local->wSecond, sign, (int)(minutes / 60), (int)(minutes % 60));
}

int RunProcedure(Installer* installer)
{
    InstallationData* data = installer->Data;
    char path[MAX_PATH];
    // Exists only after a successful update; a removal leaves a folder that may not be the
    // agent's as it is (and removes the file with the rest of an agent's).
    if (!data->IsRemove && data->DestFolder &&
        FormatText(path, sizeof(path), "%s\\AgentUpdated.txt", data->DestFolder))
        DeleteFileA(path);

    DWORD versionMS = 0, versionLS = 0;
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof(path));
    if (length == 0 || length >= sizeof(path) || GetFileVersion(path, &versionMS, &versionLS) != 0)
        versionMS = versionLS = 0;
    LogMessage(data, "Begin install process.... (Version %d.%d.%d.%d)", HIWORD(versionMS), LOWORD(versionMS),
               HIWORD(versionLS), LOWORD(versionLS));

    int result = 0;
    if (data->IsRemove)
        result = installer->UninstallAgent();
    else
        result = data->IsModify ? installer->UpdateExistingAgent() : installer->InstallNewAgent();
    char service[kServiceNameChars];
    if (result == 0) {
        // The agent reads it; after a removal there is no agent, and its folder is gone or going.
        if (data->RebootRequired && !data->IsRemove)
            WriteRebootLine(data);
        // An agent that does not start is a failure a deployment tool must hear of: a new one stays
        // installed (it may start at the next boot), an updated one gives way to the previous.
        if (!data->IsRemove && (data->RunProgram || data->IsModify)) {
            if (data->bDontStartAgent)
                LogMessage(data, "%s", kLeftStopped);
            else if (FormatInstanceServiceName(data->Instance, service, sizeof(service)))
                result = StartAgent(data, "Start agent service.", service);
        }
        if (result != 0 && KeepsPreviousUntilStarted(data))
            PutBackPreviousVersion(data, service);
        else if (KeepsPreviousUntilStarted(data))
            DropPreviousFiles(data);
        if (data->IsModify && result == 0)
            WriteUpdatedMarker(data);
        if (result == 0)
            result = data->PartFailure;
    } else if (installer->StoppedRunningAgent) {
        // The agent that the failed update stopped: a legacy agent under its own name while its
        // service is there, else under the new name once the conversion has made that.
        if (data->bDontStartAgent)
            LogMessage(data, "%s", kLeftStopped);
        else if (FindServiceToRestart(data, service, sizeof(service)))
            StartAgent(data, "Starting the agent service again after the failed update.", service);
        else
            LogMessage(data, "No agent service is left to start again after the failed update.");
    }
    LogMessage(data, "End install process. (%d)", result);
    return result;
}
