#include "procedures/AgentFileTable.h"

#include "procedures/AgentFolderAccess.h"
#include "procedures/FileInstall.h"
#include "procedures/FileRemoval.h"
#include "procedures/InstallationData.h"
#include "procedures/Installer.h"
#include "procedures/RemovalLeftovers.h"
#include "procedures/PreviousFiles.h"
#include "procedures/TargetMacros.h"
#include "resources/resource.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/Text.h"

namespace {

// Program files: always replaced.
const DWORD kProgram = FileInstall | FileRemove | FileForceCopy;
// Configuration and logs: copied only when missing here and present in the source.
const DWORD kSettings = FileInstall | FileRemove | FileKeepExisting | FileIgnoreError;
// Written later by the agent or by setup, or left by earlier versions: removed, never copied.
const DWORD kCreated = FileRemove;

const char kAgent[] = "$TARGETDIR$";
const char kDrivers[] = "$TARGETDIR$\\drivers";
const char kWork[] = "$AGENTTEMPDIR$";

// Whether the row's file is at its place in the agent's folders (false when the place cannot be
// named: the copy says why).
bool RowFileExists(const InstallationData* data, const AgentFileRow& row)
{
    char* folder = ExpandTargetMacros(data, row.Folder);
    char path[MAX_PATH];
    bool exists = folder && JoinPath(path, folder, row.Name) && GetPathKind(path) != 0;
    FreeText(folder);
    return exists;
}

}  // namespace

const AgentFileRow AgentFileTable[] = {
    // The agent's files.
    {kAgent, "XASetup.exe", kProgram},
    {kAgent, kAgentExecutable, kProgram},
    {kAgent, "UserTray.exe", kProgram},
    {kAgent, "EvtMsg64.exe", kProgram},
    {kAgent, "PortProbe.exe", kProgram},
    {kAgent, "libcmx.dgst", kProgram},
    {kAgent, "AgentExt.dll", kProgram},
    {kAgent, "EventHook.dll", kProgram},
    {kAgent, "LogScan.dll", kProgram},
    {kAgent, "psapi.dll", kCreated},
    {kAgent, "sporder.dll", kProgram},
    {kAgent, "libcmx.dll", kProgram},
    {kDrivers, "ArvaneD.VXD", kProgram},
    {kDrivers, "XAPFA.sys", kProgram},
    {kDrivers, "XAPFA64.sys", kProgram},
    {kDrivers, "ArvaneSP.dll", kProgram},
    {kAgent, "ArvaneD.ini", kSettings},
    {kAgent, "ArvaneFW.ini", kSettings},
    {kAgent, "AgtFirewall.log", kSettings},
    {kAgent, "AgtAgent.log", kSettings},
    {kAgent, "AgtError.log", kSettings},
    {kAgent, "AgtStats.log", kSettings},
    {kAgent, "agentUpdated.txt", kCreated},
    {kAgent, "UpdHelper.exe", kCreated},
    {kAgent, "ArvaneD.bak", kCreated},
    {kAgent, "auditCache.txt", kCreated},
    {kAgent, "lastCheck.txt", kCreated},
    {kAgent, "uiLang.xml", kCreated},
    {kAgent, "evtFilter.xml", kCreated},
    {kAgent, "evtFilterEx.xml", kCreated},
    {kAgent, "AgentExt.bak", kCreated},
    {kAgent, "EventHook.bak", kCreated},
    {kAgent, "LogScan.bak", kCreated},
    {kAgent, "AgentCore.log", kCreated},
    {kAgent, "AgentCore.log1", kCreated},
    {kAgent, "Package.xml", kCreated},
    // The agent folder's sub-folders, then the folder itself with whatever else it holds.
    {"$TARGETDIR$\\Custom", nullptr, kCreated},
    {"$TARGETDIR$\\Temp", nullptr, kCreated},
    {"$TARGETDIR$\\Drivers", nullptr, kCreated},
    {"$TARGETDIR$\\ExtDlls", nullptr, kCreated},
    {kAgent, nullptr, kCreated},
    // The tools and scratch files in the working folder, which itself stays.
    {kWork, "NetProbe.exe", kCreated},
    {kWork, "NetProbe.dll", kCreated},
    {kWork, "PatchScan.exe", kCreated},
    {kWork, "PatchScan.xml", kCreated},
    {kWork, "SwInventory.exe", kCreated},
    {kWork, "SwInventory.xml", kCreated},
    {kWork, "HwInventory.exe", kCreated},
    {kWork, "HwInventory.xml", kCreated},
    {kWork, "DiskCheck.exe", kCreated},
    {kWork, "DiskCheck.txt", kCreated},
    {kWork, "EventDump.exe", kCreated},
    {kWork, "EventDump.txt", kCreated},
    {kWork, "RegExport.exe", kCreated},
    {kWork, "RegExport.txt", kCreated},
    {kWork, "RemoteExec.exe", kCreated},
    {kWork, "RemoteExec.log", kCreated},
    {kWork, "ScriptHost.exe", kCreated},
    {kWork, "RunScript.vbs", kCreated},
    {kWork, "RunScript.cmd", kCreated},
    {kWork, "Cleanup.bat", kCreated},
    {kWork, "ToolLib.dll", kCreated},
    {kWork, "ToolLib64.dll", kCreated},
    {kWork, "Unzip.exe", kCreated},
    {kWork, "Download.tmp", kCreated},
    {kWork, "Monitor.xml", kCreated},
    {kWork, "Services.xml", kCreated},
    {kWork, "Processes.xml", kCreated},
    {kWork, "Updates.xml", kCreated},
    {kWork, "Network.txt", kCreated},
    {kWork, "Printers.txt", kCreated},
    {kWork, "Users.txt", kCreated},
    {kWork, "ToolsVersion.txt", kCreated},
    {kWork, "scan????.tmp", kCreated},
    {kWork, "*.dmp", kCreated},
    // The working folder's sub-folders.
    {"$AGENTTEMPDIR$\\LogConfig", nullptr, kCreated},
    {"$AGENTTEMPDIR$\\Logs", nullptr, kCreated},
    {"$AGENTTEMPDIR$\\MonitorSets", nullptr, kCreated},
    {"$AGENTTEMPDIR$\\scan", nullptr, kCreated},
    {nullptr, nullptr, 0},
};

static_assert(sizeof(AgentFileTable) / sizeof(AgentFileTable[0]) == kAgentFileRows + 1,
              "the table has its rows and the terminator");

int CopyAgentFiles(Installer* installer, int progressBase)
{
    InstallationData* data = installer->Data;
    // A failure is reported by the first file's copy.
    (void)CreateAgentFolder(data);

    // An update keeps what it replaces until it ends, so that a failure can put it back.
    DWORD keepPrevious = data->IsModify ? (DWORD)FileKeepPrevious : 0;
    int result = 0;
    for (int i = 0; AgentFileTable[i].Folder; ++i) {
        const AgentFileRow& row = AgentFileTable[i];
        installer->CopiedRows[i] = false;
        if (row.Flags & FileInstall) {
            bool existed = RowFileExists(data, row);
            int code = InstallFile(data, data->SrcFolder, row.Name, row.Folder, nullptr, row.Flags | keepPrevious);
            installer->CopiedRows[i] = code == 0 && !existed && RowFileExists(data, row);
            if (code != 0 && !(row.Flags & FileIgnoreError)) {
                result = code;
                break;
            }
        }
        data->Status->SetDetailText(0, AgentFileProgress(progressBase, i));
    }

    // Agents for systems without psapi.dll brought their own copy; where the system has one,
    // the private copy would only shadow it.
    char systemCopy[MAX_PATH];
    char agentCopy[MAX_PATH];
    UINT length = GetSystemDirectoryA(systemCopy, sizeof(systemCopy));
    if (length == 0 || length >= sizeof(systemCopy))
        return result;
    if (systemCopy[length - 1] != '\\' && !AppendText(systemCopy, sizeof(systemCopy), "\\"))
        return result;
    if (!AppendText(systemCopy, sizeof(systemCopy), "psapi.dll") || !FileExists(systemCopy))
        return result;
    if (!data->DestFolder)
        return result;
    if (!JoinPath(agentCopy, data->DestFolder, "psapi.dll")) {
        LogMessage(data, "Path is too long: \"%s\\psapi.dll\".", data->DestFolder);
        return result;
    }
    // An agent folder that is the system folder itself holds the system's own copy.
    if (IsSameFile(systemCopy, agentCopy, false))
        return result;
    // An update sets it aside as it does the files it replaces: a failure puts it back.
    bool made = false;
    if (keepPrevious && FileExists(agentCopy))
        (void)SetAsidePrevious(agentCopy, true, &made);
    ForceDeleteFile(agentCopy);
    return result;
}

ULONGLONG FormatAgentVersion(const char* folder, char (&text)[32])
{
    char path[MAX_PATH];
    DWORD high = 0, low = 0;
    if (!FormatAgentProgramPath(folder, path, sizeof(path)) || GetFileVersion(path, &high, &low) != 0) {
        CopyText(text, sizeof(text), "unknown");
        return 0;
    }
    FormatText(text, sizeof(text), "%u.%u.%u.%u", HIWORD(high), LOWORD(high), HIWORD(low), LOWORD(low));
    return ((ULONGLONG)high << 32) | low;
}

void NoteFileCreated(Installer* installer, const char* name)
{
    for (int i = 0; AgentFileTable[i].Folder; ++i) {
        if (AgentFileTable[i].Name && lstrcmpiA(AgentFileTable[i].Name, name) == 0)
            installer->CopiedRows[i] = true;
    }
}

void RemoveAgentFiles(Installer* installer, int progressBase, RemovalLeftovers* leftovers)
{
    InstallationData* data = installer->Data;
    RowFolderHolds holds;
    for (int i = 0; AgentFileTable[i].Folder; ++i) {
        const AgentFileRow& row = AgentFileTable[i];
        if ((row.Flags & FileRemove) && MayRemoveRow(data, row.Folder, row.Name, &holds, leftovers)) {
            // Users may change the working folder (its sub-folders, say, for links to elsewhere)
            // once the run has ended: the restart is never told to delete anything there.
            bool work = TextStartsWithNoCase(row.Folder, kWork);
            RemoveFileItem(data, row.Folder, row.Name, leftovers, work ? kLeftAsIs : kLeftForRestart);
        }
        data->Status->SetDetailText(0, AgentFileProgress(progressBase, i));
    }
    ReleaseRowFolders(&holds);
}
