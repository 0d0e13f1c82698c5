// The road on every platform: a new installation, updates and the removal of the real
// XASetup.exe, and instances side by side.
#include <memory>
#include <regex>

#include "setup/SetupProgramFixture.h"

using namespace xatest;

namespace {

// How long an update may take beyond its copy, and a removal, from the log's first line of the
// procedure to its last: the agent and its task are waited for only until they have ended.
const long kWaitingRunLimitMs = 1000;

// The log's line that names the system, as the manual's platform table gives it for a kind.
std::string ManualOsLine(const std::string& kind)
{
    std::string readme = ReadWholeFile(XA_README_PATH);
    size_t at = readme.find("\n### Platforms tested");
    size_t end = readme.find("\n#", at + 1);
    static const std::regex row(R"re(\| [^|]+ \| `([^`]+)` \| "([^"]+)".*)re");
    while (at < end && at < readme.size()) {
        size_t next = readme.find('\n', at + 1);
        std::string line = readme.substr(at + 1, next - at - 1);
        std::smatch match;
        if (std::regex_match(line, match, row) && match[1] == kind)
            return match[2];
        at = next;
    }
    return "";
}

// Puts the stand-in's behaviour file where the agent will be installed, so that the installed
// service records its events.
std::string PlantAgentRecord(const std::string& instance, const ScratchFolder& scratch)
{
    std::string folder = AgentFolder(instance);
    CreateDirectoryA((folder.substr(0, folder.rfind('\\'))).c_str(), nullptr);
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string record = scratch / (instance + "-events.txt");
    WriteWholeFile(folder + "\\AgentCore.ini", "[Agent]\r\nRecord=" + record + "\r\n");
    return record;
}

int CountLines(const std::string& file, const std::string& line)
{
    int count = 0;
    for (const std::string& text : SplitLines(ReadWholeFile(file)))
        count += text == line;
    return count;
}

// Bytes of the files under a folder, subfolders included, leaving out files of one name.
unsigned long long FolderBytes(const std::string& folder, const char* except)
{
    unsigned long long bytes = 0;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return 0;
    do {
        std::string name = found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (name != "." && name != "..")
                bytes += FolderBytes(folder + "\\" + name, except);
        } else if (_stricmp(name.c_str(), except) != 0) {
            bytes += ((unsigned long long)found.nFileSizeHigh << 32) | found.nFileSizeLow;
        }
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return bytes;
}

// What the uninstall entry gives fleet tools: the removal command made silent, and the agent
// folder's size in KiB as it was when the entry was written (AgentUpdated.txt comes after it).
void ExpectFleetValues(const std::string& instance)
{
    SCOPED_TRACE("uninstall entry of " + instance);
    std::string entry = kUninstallKey + instance;
    std::string command = ReadMachineString(entry, "UninstallString");
    EXPECT_EQ(command + " /s", ReadMachineString(entry, "QuietUninstallString"));
    long long kib = (long long)((FolderBytes(AgentFolder(instance), "AgentUpdated.txt") + 1023) / 1024);
    EXPECT_LT(0, kib);
    EXPECT_EQ(kib, ReadMachineNumber(entry, "EstimatedSize"));
}

// Sets the entry's size to 0, so that a run that leaves it shows.
void ClearEstimatedSize(const std::string& instance)
{
    ASSERT_TRUE(SetMachineNumber(kUninstallKey + instance, "EstimatedSize", 0));
}

const std::regex& UpdatedText()
{
    static const std::regex text(
        R"(The agent was updated and restarted on \d{4}-\d\d-\d\d \d\d:\d\d:\d\d [+-]\d\d:\d\d\.)");
    return text;
}

// The agent's user task as a user's logon starts it (none on Windows 9x), ready once its exit
// event exists.
std::unique_ptr<StartedProcess> StartUserTask(const std::string& instance)
{
    if (IsWin9xKind())
        return nullptr;
    std::string ready = "RoadTaskReady" + instance;
    return std::unique_ptr<StartedProcess>(
        new StartedProcess("\"" + AgentFolder(instance) + "\\UserTray.exe\" --id " + instance + " --ready " + ready,
                           ready));
}

// Expects a run's procedure, from "Begin install process" to "End install process" less its
// copy, to have taken at most kWaitingRunLimitMs.
void ExpectWaitedOnlyWhileNeeded(const RunLog& log, const char* what)
{
    long copy = log.Span("Copying files...", "Updating package infomation file...");
    long procedure = log.Span("Begin install process", "End install process");
    ASSERT_GE(procedure, 0) << what;
    long waiting = procedure - (copy > 0 ? copy : 0);
    std::printf("[  timing  ] %s: %ld ms beyond the copy of %ld ms\n", what, waiting, copy > 0 ? copy : 0);
    EXPECT_LE(waiting, kWaitingRunLimitMs) << what << ":\n" << ReadWholeFile(log.Path());
}

}  // namespace

// The road on every platform: a new installation with /e, an update (service restarted), an
// update with /k, and the removal of the last agent. The updates and the removal find the agent
// and its task running; the update with /k (no restart to wait for) and the removal are timed.
TEST_F(SetupProgramRoad, InstallUpdateRemove)
{
    Package package("road-package");
    RunLog log("road-log");
    ScratchFolder scratch("road");
    std::string record = PlantAgentRecord("I1", scratch);
    std::string folder = AgentFolder("I1");
    bool win9x = IsWin9xKind();

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /e " + log.Option()));
    std::vector<LogLine> lines = log.Lines();
    ASSERT_GE(lines.size(), 8u);
    std::vector<std::string> messages = log.Messages();
    EXPECT_TRUE(InOrder(messages, {"Agent setup started!", "Command line parsing completed. Result: Succeeded",
                                   "> Instance = I1", "> SrcFolder = " + package.Folder(),
                                   "> DestFolder = " + folder, "> IsSilent = Yes", "> RunProgram = Yes",
                                   "> IsModify = No", "> Title = Arvane Agent", "> DestRegKey = SOFTWARE\\Arvane\\Agent\\I1",
                                   "Begin install process.... (Version 5.2.0.1)", "Start new installation...",
                                   "Installing version 5.1.2.3.", "Creating package infomation file...", "Creating agent registry...",
                                   "Setup drivers...", "Installing agent service...", "Adding uninstall key...",
                                   "Creating shortcut...", "Installation finished.", "Start agent service.",
                                   "Agent service started.", "End install process. (0)", "Agent setup finished!"}));
    // The procedure runs on the install thread; the run begins and ends on the main thread.
    size_t begin = 0;
    while (begin < lines.size() && lines[begin].Text.rfind("Begin install process", 0) != 0)
        ++begin;
    ASSERT_LT(begin, lines.size());
    EXPECT_NE(lines.front().Thread, lines[begin].Thread);
    EXPECT_EQ(lines.front().Thread, lines.back().Thread);
    EXPECT_EQ("Agent setup finished!", lines.back().Text);
    EXPECT_EQ("End install process. (0)", lines[lines.size() - 2].Text);
    EXPECT_FALSE(log.Has("AgentUpdated.txt is created."));
    std::string osLine;
    for (const std::string& message : messages)
        if (message.rfind("OS is Windows ", 0) == 0)
            osLine = message;
    std::string manualOsLine = ManualOsLine(WineKind());
    EXPECT_FALSE(manualOsLine.empty()) << "the manual's platform table has no row for " << WineKind();
    EXPECT_EQ(manualOsLine, osLine) << "the manual's platform table, row " << WineKind();

    ExpectInstalled("I1", "Arvane Agent");
    EXPECT_TRUE(SameBytes(package.Setup(), folder + "\\XASetup.exe"));
    ExpectFleetValues("I1");
    EXPECT_FALSE(FileExistsAt(folder + "\\AgentUpdated.txt"));
    if (win9x) {
        // Started from its RunServices entry as a plain process.
        EXPECT_TRUE(InOrder(WaitForRecordLines(record, 1), {"process launched"}));
        EXPECT_EQ(1, CountLines(record, "process launched"));
    } else {
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
        EXPECT_EQ(1, CountLines(record, "XAI1 started"));
    }

    // An update stops the agent, replaces its files and starts it again, and writes the size again.
    ClearEstimatedSize("I1");
    log.Clear();
    std::unique_ptr<StartedProcess> task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    if (task) {
        EXPECT_TRUE(task->EndsWithin(0));
        EXPECT_EQ(10u, task->ExitCode()) << "ended on its exit event";
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"> IsModify = Yes", "Begin install process.... (Version 5.2.0.1)",
                                         "Update existing installation...", "Start agent service.",
                                         "Agent service started.", "AgentUpdated.txt is created.",
                                         "End install process. (0)", "Agent setup finished!"}));
    std::string updated = ReadWholeFile(folder + "\\AgentUpdated.txt");
    EXPECT_TRUE(std::regex_match(updated, UpdatedText())) << updated;
    if (!win9x) {
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
        EXPECT_TRUE(InOrder(SplitLines(ReadWholeFile(record)),
                            {"XAI1 started", "XAI1 stop-request", "XAI1 stopped", "XAI1 started"}));
    } else {
        EXPECT_TRUE(InOrder(WaitForRecordLines(record, 3), {"process launched", "process launched"}));
    }
    ExpectInstalled("I1", "Arvane Agent");
    ExpectFleetValues("I1");

    // /k: the marker file is still written, the agent stays stopped, and the log says why.
    log.Clear();
    task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /k " + log.Option()));
    ExpectWaitedOnlyWhileNeeded(log, "update");
    EXPECT_FALSE(log.Has("Start agent service."));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "The agent is left stopped (/k).",
                                         "AgentUpdated.txt is created.", "End install process. (0)"}));
    EXPECT_TRUE(std::regex_match(ReadWholeFile(folder + "\\AgentUpdated.txt"), UpdatedText()));
    if (!win9x) {
        EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAI1").dwCurrentState);
    }

    log.Clear();
    if (!win9x) {
        ASSERT_TRUE(StartForReal("XAI1"));
    }
    task = StartUserTask("I1");
    ASSERT_TRUE(!task || task->Started());
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    ExpectWaitedOnlyWhileNeeded(log, "removal");
    EXPECT_TRUE(InOrder(log.Messages(), {"> IsRemove = Yes", "Begin install process.... (Version 5.2.0.1)",
                                         "This is the last agent on the machine.", "End install process. (0)",
                                         "Agent setup finished!"}));
    EXPECT_FALSE(log.Has("Start agent service."));
    ExpectRemoved("I1");
    EXPECT_FALSE(MachineKeyExists(kUninstallKey + std::string("I1"))) << "the fleet values go with the entry";
    ExpectNoAgentLeft();
}

// Two instances side by side; removing one leaves the other whole, removing the last clears all.
TEST_F(SetupProgram, SecondInstanceAndRemovalOfEach)
{
    Package package("two-package");
    RunLog log("two-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I2 /s " + log.Option()));
    EXPECT_TRUE(log.Has("> Title = Arvane Agent #2"));
    // Without /e the new agent is not started.
    EXPECT_FALSE(log.Has("Start agent service."));
    if (!IsWin9xKind()) {
        EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAI1").dwCurrentState);
    }
    ExpectInstalled("I1", "Arvane Agent");
    ExpectInstalled("I2", "Arvane Agent #2");

    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    EXPECT_TRUE(log.Has("End install process. (0)"));
    EXPECT_FALSE(log.Has("This is the last agent on the machine."));
    ExpectRemoved("I1");
    ExpectInstalled("I2", "Arvane Agent #2");

    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I2 /r /s " + log.Option()));
    EXPECT_TRUE(log.Has("This is the last agent on the machine."));
    ExpectRemoved("I2", "Arvane Agent #2", false);
    ExpectNoAgentLeft();
}
