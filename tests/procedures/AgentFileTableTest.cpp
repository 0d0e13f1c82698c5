// The agent's file table walked for real: a full copy from a flat source folder into the agent
// folder, the removal of everything again, and the bar's positions on the way.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "harness/DiskCalls.h"
#include "procedures/AgentFileTable.h"
#include "procedures/FileInstall.h"
#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RemovalLeftovers.h"
#include "support/Files.h"
#include "support/Text.h"

using namespace xatest;

namespace {

// The rows' folder with the scratch folders put in for the macros.
std::string RowFolder(const AgentFileRow& row, const std::string& agent, const std::string& work)
{
    std::string folder = row.Folder;
    if (folder.rfind("$TARGETDIR$", 0) == 0)
        return agent + folder.substr(strlen("$TARGETDIR$"));
    return work + folder.substr(strlen("$AGENTTEMPDIR$"));
}

std::vector<int> ExpectedPositions(int base, int rows)
{
    std::vector<int> positions;
    for (int i = 0; i < rows; ++i)
        positions.push_back(base + (60 * i) / 83);
    return positions;
}

class AgentFilesTest : public testing::Test {
protected:
    AgentFilesTest() : scratch_("agent"), source_(scratch_ / "Setup"), agent_(scratch_ / "Agent"), work_(scratch_ / "Work")
    {
        CreateDirectoryA(source_.c_str(), nullptr);
        log_.Data().SrcFolder = DuplicateText(source_.c_str());
        log_.Data().DestFolder = DuplicateText(agent_.c_str());
    }

    // Puts every installable file of the table into the flat source folder, each with its own
    // content, except those named in missing.
    void FillSource(const std::set<std::string>& missing = {})
    {
        for (const AgentFileRow* row = AgentFileTable; row->Folder; ++row) {
            if ((row->Flags & FileInstall) && !missing.count(row->Name)) {
                ASSERT_TRUE(WriteWholeFile(source_ + "\\" + row->Name, std::string("content of ") + row->Name));
            }
        }
    }

    ScratchFolder scratch_;
    std::string source_;
    std::string agent_;
    std::string work_;
    LoggedData log_;
};

}  // namespace

TEST(AgentFileTable, RowsAndFlags)
{
    int rows = 0;
    while (AgentFileTable[rows].Folder)
        ++rows;
    EXPECT_EQ(kAgentFileRows, rows);
    EXPECT_EQ(nullptr, AgentFileTable[rows].Name);
    EXPECT_EQ(0u, AgentFileTable[rows].Flags);

    // Only the three flag words occur, folder rows are never copied, and every working-folder
    // row comes after the agent folder's own row and before the working folder's sub-folders.
    std::set<DWORD> words;
    int agentFolderRow = -1, firstWorkRow = -1, firstWorkFolderRow = -1, wildcards = 0;
    for (int i = 0; i < rows; ++i) {
        const AgentFileRow& row = AgentFileTable[i];
        words.insert(row.Flags);
        std::string folder = row.Folder;
        if (!row.Name) {
            EXPECT_EQ((DWORD)FileRemove, row.Flags) << folder;
            if (folder == "$TARGETDIR$")
                agentFolderRow = i;
            if (folder.rfind("$AGENTTEMPDIR$", 0) == 0 && firstWorkFolderRow < 0)
                firstWorkFolderRow = i;
        } else if (folder == "$AGENTTEMPDIR$") {
            EXPECT_EQ((DWORD)FileRemove, row.Flags) << row.Name;
            if (firstWorkRow < 0)
                firstWorkRow = i;
            if (strpbrk(row.Name, "?*"))
                ++wildcards;
        }
    }
    EXPECT_EQ((std::set<DWORD>{0x02, 0x0B, 0x17}), words);
    EXPECT_EQ(40, agentFolderRow);
    EXPECT_EQ(41, firstWorkRow);
    EXPECT_EQ(75, firstWorkFolderRow);
    EXPECT_EQ(2, wildcards);
}

TEST_F(AgentFilesTest, FullCopyAndRemoval)
{
    FillSource();
    log_.Data().AgentWorkingFolder = DuplicateText(work_.c_str());
    StatusRecorder status;
    log_.Data().Status = &status;

    EXPECT_EQ(0, CopyAgentFiles(&log_.Run(), 0));

    std::vector<int> positions = status.Positions();
    EXPECT_EQ(ExpectedPositions(0, kAgentFileRows), positions);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(0, positions.front());
    EXPECT_EQ(56, positions.back());
    int copied = 0;
    for (const AgentFileRow* row = AgentFileTable; row->Folder; ++row) {
        if (!row->Name)
            continue;
        std::string path = RowFolder(*row, agent_, work_) + "\\" + row->Name;
        if (row->Flags & FileInstall) {
            EXPECT_EQ(std::string("content of ") + row->Name, ReadWholeFile(path)) << path;
            ++copied;
        } else {
            EXPECT_FALSE(FileExistsAt(path)) << path;
        }
    }
    EXPECT_EQ(21, copied);
    EXPECT_EQ(4u, FolderEntries(agent_ + "\\drivers").size()) << "driver files go to the sub-folder";

    // What the agent adds at run time, named by the table or not.
    CreateDirectoryA(work_.c_str(), nullptr);
    for (const char* folder : {"Custom", "Temp", "ExtDlls"})
        CreateDirectoryA((agent_ + "\\" + folder).c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\AgentCore.log", "log"));
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\Custom\\script.vbs", "x"));
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\Temp\\locked.txt", "x"));
    ASSERT_TRUE(SetFileAttributesA((agent_ + "\\Temp\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\unnamed.dat", "no row names this file"));
    CreateDirectoryA((agent_ + "\\Unnamed").c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\Unnamed\\deep.txt", "x"));
    for (const char* name : {"NetProbe.exe", "scan1234.tmp", "scanABCD.tmp", "crash.dmp", "other.dmp", "keep.txt",
                             "scanner.log"})
        ASSERT_TRUE(WriteWholeFile(work_ + "\\" + name, name));
    CreateDirectoryA((work_ + "\\Logs").c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(work_ + "\\Logs\\a.log", "x"));
    CreateDirectoryA((work_ + "\\Own").c_str(), nullptr);

    log_.ClearLog();
    RemoveAgentFiles(&log_.Run(), 20);

    positions = status.Positions();
    positions.erase(positions.begin(), positions.begin() + kAgentFileRows);
    EXPECT_EQ(ExpectedPositions(20, kAgentFileRows), positions);
    ASSERT_FALSE(positions.empty());
    EXPECT_EQ(20, positions.front());
    EXPECT_EQ(76, positions.back());
    EXPECT_EQ("Deleting " + work_ + "\\scan", status.LastDetail());

    EXPECT_EQ(0, GetPathKind(agent_.c_str())) << "the agent folder row removes what no row names";
    EXPECT_EQ((std::vector<std::string>{"Own", "keep.txt", "scanner.log"}), FolderEntries(work_));

    EXPECT_TRUE(log_.HasMessage("\"" + agent_ + "\\XASetup.exe\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + agent_ + "\\UpdHelper.exe\" is not found."));
    EXPECT_TRUE(log_.HasMessage("\"" + agent_ + "\\Custom\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + agent_ + "\\Drivers\" is removed.")) << "the same folder as drivers";
    EXPECT_TRUE(log_.HasMessage("\"" + agent_ + "\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + work_ + "\\scan????.tmp\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + work_ + "\\*.dmp\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + work_ + "\\Logs\" is removed."));
    EXPECT_TRUE(log_.HasMessage("\"" + work_ + "\\scan\" is not found."));
    EXPECT_EQ((size_t)kAgentFileRows, log_.Messages().size()) << "one line per removable row";
}

TEST_F(AgentFilesTest, MissingProgramFileStopsTheWalk)
{
    FillSource({"AgentCore.exe"});
    // A private psapi.dll goes whenever the system has its own, even after a failed walk.
    bool systemHasPsapi = FileExistsAt(SystemFolder() + "\\psapi.dll");
    CreateDirectoryA(agent_.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\psapi.dll", "old private copy"));
    ASSERT_TRUE(SetFileAttributesA((agent_ + "\\psapi.dll").c_str(), FILE_ATTRIBUTE_READONLY));
    StatusRecorder status;
    log_.Data().Status = &status;

    EXPECT_EQ(kSourceFileMissing, CopyAgentFiles(&log_.Run(), 0));

    EXPECT_TRUE(FileExistsAt(agent_ + "\\XASetup.exe"));
    EXPECT_FALSE(FileExistsAt(agent_ + "\\UserTray.exe")) << "the walk stopped";
    EXPECT_EQ((std::vector<int>{0}), status.Positions()) << "no step for the failing row";
    EXPECT_EQ(!systemHasPsapi, FileExistsAt(agent_ + "\\psapi.dll"));
    EXPECT_EQ("InstallFile: > Source file is missing!", log_.Messages().back());
}

TEST_F(AgentFilesTest, MissingSettingsFileIsSkipped)
{
    FillSource({"AgtStats.log", "ArvaneFW.ini"});
    EXPECT_EQ(0, CopyAgentFiles(&log_.Run(), 20));
    EXPECT_FALSE(FileExistsAt(agent_ + "\\AgtStats.log"));
    EXPECT_TRUE(FileExistsAt(agent_ + "\\AgtError.log"));
    EXPECT_TRUE(FileExistsAt(agent_ + "\\libcmx.dll"));
}

TEST_F(AgentFilesTest, UpdateKeepsAnExistingConfiguration)
{
    FillSource();
    CreateDirectoryA(agent_.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\ArvaneD.ini", "Agent_Temp_Dir=C:\\Work"));
    ASSERT_TRUE(WriteWholeFile(agent_ + "\\AgentCore.exe", "older program"));
    // Even an older configuration stays: the agent keeps its settings there.
    ASSERT_TRUE(SetWriteTime(agent_ + "\\ArvaneD.ini", TimeFromNow(-100)));

    EXPECT_EQ(0, CopyAgentFiles(&log_.Run(), 20));
    EXPECT_EQ("Agent_Temp_Dir=C:\\Work", ReadWholeFile(agent_ + "\\ArvaneD.ini"));
    EXPECT_EQ("content of ArvaneFW.ini", ReadWholeFile(agent_ + "\\ArvaneFW.ini")) << "a missing one is copied";
    EXPECT_EQ("content of AgentCore.exe", ReadWholeFile(agent_ + "\\AgentCore.exe"));
}

// A power cut may keep a rename and lose data not yet written: every file copied into the agent
// folder is flushed after it is written and before the rename that puts it in place, and that
// rename is written through; on a new installation and over the files of an older one alike.
TEST_F(AgentFilesTest, EveryFileReachesTheDiskBeforeItsName)
{
    FillSource();
    for (int run = 0; run < 2; ++run) {
        SCOPED_TRACE(run == 0 ? "new installation" : "over the installed files");
        DiskCalls calls;
        EXPECT_EQ(0, CopyAgentFiles(&log_.Run(), 0));
        EXPECT_EQ(std::vector<std::string>{}, calls.Faults());
        if (run == 0)
            EXPECT_EQ(21, calls.WrittenFilesRenamed());
        else
            EXPECT_LT(0, calls.WrittenFilesRenamed());
    }
    EXPECT_EQ("content of AgentCore.exe", ReadWholeFile(agent_ + "\\AgentCore.exe"));
}

// A silent run reports its steps as any other: the window decides what it shows, and /b shows
// them for a silent run.
TEST_F(AgentFilesTest, SilentRunReportsEveryStep)
{
    FillSource();
    log_.Data().AgentWorkingFolder = DuplicateText(work_.c_str());
    StatusRecorder status;
    log_.Data().Status = &status;
    log_.Data().IsSilent = 1;
    EXPECT_EQ(0, CopyAgentFiles(&log_.Run(), 0));
    RemoveAgentFiles(&log_.Run(), 20);
    std::vector<int> expected = ExpectedPositions(0, kAgentFileRows);
    std::vector<int> removal = ExpectedPositions(20, kAgentFileRows);
    expected.insert(expected.end(), removal.begin(), removal.end());
    EXPECT_EQ(expected, status.Positions());
}

TEST_F(AgentFilesTest, WorkingFolderRowsNeedTheWorkingFolder)
{
    // A new installation knows no working folder: those rows are passed over without a line.
    FillSource();
    ASSERT_EQ(0, CopyAgentFiles(&log_.Run(), 0));
    log_.ClearLog();
    RemoveAgentFiles(&log_.Run(), 20);
    EXPECT_EQ(0, GetPathKind(agent_.c_str()));
    EXPECT_EQ(41u, log_.Messages().size());
    for (const std::string& message : log_.Messages())
        EXPECT_EQ(std::string::npos, message.find("AGENTTEMPDIR")) << message;
    EXPECT_EQ(ERROR_OUTOFMEMORY, RemoveFileItem(&log_.Data(), "$AGENTTEMPDIR$", "NetProbe.exe"));
}

// A link in the working folder is taken away as a link; what it leads to stays whole.
TEST_F(AgentFilesTest, ALinkedWorkingSubFolderIsNotEmptied)
{
    std::string elsewhere = scratch_ / "Elsewhere";
    ASSERT_TRUE(CreateFolderPath((elsewhere + "\\sub").c_str()));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\precious.log", "x"));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\sub\\precious.log", "x"));
    CreateDirectoryA(work_.c_str(), nullptr);
    ASSERT_TRUE(LinkFolder(elsewhere, work_ + "\\Logs"));
    log_.Data().AgentWorkingFolder = DuplicateText(work_.c_str());

    RemoveAgentFiles(&log_.Run(), 20);

    EXPECT_EQ((std::vector<std::string>{"precious.log", "sub"}), FolderEntries(elsewhere));
    EXPECT_TRUE(FileExistsAt(elsewhere + "\\sub\\precious.log"));
    // Windows unlinks it; Wine cannot remove a Unix link and reports the failure.
    EXPECT_TRUE(log_.HasMessage("\"" + work_ + "\\Logs\" is removed.") ||
                GetPathKind((work_ + "\\Logs").c_str()) == 1);

    // A working folder that is itself a link, or lies under one, is not usable: none of its rows
    // is touched, and what it leads to stays whole.
    if (IsWin9xKind())
        return;  // no links
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\NetProbe.exe", "x"));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\sub\\NetProbe.exe", "x"));
    ASSERT_TRUE(LinkFolder(elsewhere, scratch_ / "LinkedWork"));
    for (const std::string& linked : {scratch_ / "LinkedWork", scratch_ / "LinkedWork\\sub"}) {
        SCOPED_TRACE(linked);
        log_.ClearLog();
        ReplaceText(log_.Data().AgentWorkingFolder, DuplicateText(linked.c_str()));
        RemoveAgentFiles(&log_.Run(), 20);
        EXPECT_EQ((std::vector<std::string>{"NetProbe.exe", "precious.log", "sub"}), FolderEntries(elsewhere));
        EXPECT_EQ((std::vector<std::string>{"NetProbe.exe", "precious.log"}), FolderEntries(elsewhere + "\\sub"));
        EXPECT_TRUE(log_.HasMessage("Agent working folder \"" + linked + "\" is not usable; its files are left alone."));
    }
}

// A link in the agent folder that stays (Wine cannot remove a Unix link) is counted but never
// left for the restart, which might follow it; nor is the folder that holds it, which will not be
// empty then.
TEST_F(AgentFilesTest, ALinkInTheAgentFolderIsNeverLeftForTheRestart)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no links";
    std::string elsewhere = scratch_ / "Elsewhere";
    ASSERT_TRUE(CreateFolderPath(elsewhere.c_str()));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\precious.log", "x"));
    ASSERT_TRUE(CreateFolderPath(agent_.c_str()));
    ASSERT_TRUE(LinkFolder(elsewhere, agent_ + "\\Custom"));
    const std::vector<std::string> before = PendingRenames();
    RemovalLeftovers leftovers;
    InitRemovalLeftovers(&leftovers);

    RemoveAgentFiles(&log_.Run(), 20, &leftovers);

    EXPECT_TRUE(FileExistsAt(elsewhere + "\\precious.log"));
    std::vector<std::string> added = PendingRenames();
    added.erase(added.begin(), added.begin() + std::min(before.size(), added.size()));
    if (GetPathKind((agent_ + "\\Custom").c_str()) == 0) {
        EXPECT_EQ(0, leftovers.Count);  // Windows removes the link itself
    } else {
        EXPECT_EQ(2, leftovers.Count);
        EXPECT_EQ(0, leftovers.Scheduled);
        EXPECT_EQ(std::vector<std::string>{}, added);
    }
    FreeRemovalLeftovers(&leftovers);
    RemoveDirectoryA((agent_ + "\\Custom").c_str());
}

// Empty folder values name no folder: "\\Logs" would be the current drive's root folder. (The
// walk runs on the prefix's system drive: the test's own folder may be on the drive that Wine
// maps to the Unix root.)
TEST_F(AgentFilesTest, EmptyFoldersLeaveTheDriveRootAlone)
{
    char current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof(current), current));
    std::string root = SystemFolder().substr(0, 2);
    ASSERT_TRUE(SetCurrentDirectoryA((root + "\\").c_str()));
    const char* const names[] = {"Logs", "scan", "MonitorSets", "LogConfig", "Custom", "ExtDlls"};
    for (const char* name : names) {
        ASSERT_EQ(0, GetPathKind((root + "\\" + name).c_str())) << name;
        ASSERT_TRUE(CreateFolderPath((root + "\\" + name + "\\keep").c_str())) << name;
        ASSERT_TRUE(WriteWholeFile(root + "\\" + name + "\\keep.txt", name));
    }
    ASSERT_TRUE(WriteWholeFile(root + "\\Cleanup.bat", "keep"));
    ReplaceText(log_.Data().DestFolder, DuplicateText(""));
    log_.Data().AgentWorkingFolder = DuplicateText("");

    RemoveAgentFiles(&log_.Run(), 20);
    SetCurrentDirectoryA(current);

    for (const char* name : names) {
        EXPECT_EQ(std::string(name), ReadWholeFile(root + "\\" + name + "\\keep.txt")) << name;
        EXPECT_EQ(1, GetPathKind((root + "\\" + name + "\\keep").c_str())) << name;
        RemoveFolderTree(nullptr, (root + "\\" + name).c_str());
    }
    EXPECT_TRUE(FileExistsAt(root + "\\Cleanup.bat"));
    DeleteFileA((root + "\\Cleanup.bat").c_str());
    EXPECT_TRUE(log_.Messages().empty());
}

// An agent folder that is the system folder, in any spelling, holds the system's own psapi.dll.
TEST_F(AgentFilesTest, TheSystemsOwnPsapiStays)
{
    std::string system = SystemFolder();
    std::string psapi = system + "\\psapi.dll";
    ASSERT_TRUE(FileExistsAt(psapi));
    std::string content = ReadWholeFile(psapi);
    std::vector<std::string> spellings = {system, CharUpperA(&std::string(system)[0])};
    if (!IsWin9xKind())  // only the file identity tells these apart
        spellings.push_back(system + "\\..\\" + system.substr(system.rfind('\\') + 1));
    for (const std::string& spelling : spellings) {
        ReplaceText(log_.Data().DestFolder, DuplicateText(spelling.c_str()));
        // Nothing to copy: the walk stops at its first row, and the psapi.dll step still runs.
        EXPECT_EQ(kSourceFileMissing, CopyAgentFiles(&log_.Run(), 0)) << spelling;
        EXPECT_TRUE(FileExistsAt(psapi)) << spelling;
    }
    EXPECT_EQ(content, ReadWholeFile(psapi));
}
