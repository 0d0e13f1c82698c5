// Runs of one machine that meet: the lock of an instance, the lock of the values instances share,
// and runs started together as a deployment tool pushes a package.
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

#include "setup/SetupProgramFixture.h"

using namespace xatest;

namespace {

// Runs of the program started together, as a deployment tool pushes a package to a machine:
// the processes start at once and the test waits for all of them. Races are a matter of chance,
// so the simultaneous start is repeated.
const int kConcurrentRounds = 3;

std::string DriverOwner() { return ReadMachineString("SOFTWARE\\Arvane\\Agent", "DriverControl"); }

// The instances whose own key names the provider library: those whose run installed the drivers.
std::vector<std::string> DriverInstallers(const std::vector<std::string>& instances)
{
    std::vector<std::string> installers;
    for (const std::string& instance : instances)
        if (ReadMachineString(AgentKey(instance), "WinSock2LspDll") != "<missing>")
            installers.push_back(instance);
    return installers;
}

// The filter driver (on 64-bit Windows in the native system folder) and the provider library.
bool DriversInPlace()
{
    char system[MAX_PATH] = "", windows[MAX_PATH] = "";
    GetSystemDirectoryA(system, sizeof(system));
    GetWindowsDirectoryA(windows, sizeof(windows));
    if (IsWin9xKind())
        return FileExistsAt(std::string(system) + "\\ArvaneD.VXD") && FileExistsAt(std::string(system) + "\\ArvaneSP.dll");
    bool filter = FileExistsAt(std::string(system) + "\\drivers\\XAPFA.sys") ||
                  FileExistsAt(std::string(windows) + "\\Sysnative\\drivers\\XAPFA.sys");
    return filter && FileExistsAt(std::string(system) + "\\ArvaneSP.dll");
}

// One run's lines in a shared log: from its "Agent setup started!" to its "Agent setup
// finished!", both written by its main thread; its install thread writes between them.
struct RunBlock {
    size_t Start;
    size_t End;  // the line index of its end line, or the number of lines when it has none
    std::string MainThread;
};

std::vector<RunBlock> RunBlocks(const std::vector<LogLine>& lines)
{
    std::vector<RunBlock> blocks;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i].Text != "Agent setup started!")
            continue;
        RunBlock block = {i, lines.size(), lines[i].Thread};
        for (size_t j = i + 1; j < lines.size() && block.End == lines.size(); ++j)
            if (lines[j].Thread == block.MainThread && lines[j].Text == "Agent setup finished!")
                block.End = j;
        blocks.push_back(block);
    }
    return blocks;
}

// Every run's block is whole and holds only its own lines: its main thread's and one other
// thread's (the install thread), none of which writes in another block.
testing::AssertionResult ContiguousBlocks(const std::vector<LogLine>& lines, size_t runs)
{
    std::vector<RunBlock> blocks = RunBlocks(lines);
    std::string all;
    for (const LogLine& line : lines)
        all += "\n  [" + line.Thread + "] " + line.Text;
    if (blocks.size() != runs)
        return testing::AssertionFailure() << blocks.size() << " runs started, not " << runs << ":" << all;
    std::vector<std::string> seen;
    for (const RunBlock& block : blocks) {
        if (block.End == lines.size())
            return testing::AssertionFailure() << "a run without its end line:" << all;
        std::string installThread;
        for (size_t i = block.Start; i <= block.End; ++i) {
            const std::string& thread = lines[i].Thread;
            if (thread == block.MainThread)
                continue;
            if (installThread.empty())
                installThread = thread;
            if (thread != installThread)
                return testing::AssertionFailure() << "line " << i << " of another run inside a block:" << all;
        }
        for (const std::string& thread : {block.MainThread, installThread})
            if (!thread.empty() && std::find(seen.begin(), seen.end(), thread) != seen.end())
                return testing::AssertionFailure() << "a run's lines in two blocks:" << all;
        seen.push_back(block.MainThread);
        if (!installThread.empty())
            seen.push_back(installThread);
    }
    size_t covered = 0;
    for (const RunBlock& block : blocks)
        covered += block.End - block.Start + 1;
    // The separator line before each start belongs to its run as well.
    if (covered + runs != lines.size())
        return testing::AssertionFailure() << "lines outside the runs' blocks:" << all;
    return testing::AssertionSuccess();
}

// Runs round the given number of times, each on a machine without agents and with an empty log;
// the rounds in which a check failed, which are also printed.
int FailedRounds(const char* what, int rounds, RunLog& log, const std::function<void()>& round)
{
    auto failures = [] { return testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count(); };
    int failed = 0;
    for (int i = 0; i < rounds; ++i) {
        SCOPED_TRACE("round " + std::to_string(i + 1));
        if (i > 0)
            ForgetAgents();
        log.Clear();
        int before = failures();
        round();
        failed += failures() != before;
    }
    std::printf("%s: %d of %d rounds failed\n", what, failed, rounds);
    return failed;
}

// Three new instances installed at once, drivers included: each ends with 0, exactly one run
// installs the drivers and owns them. Then the removals: a non-owner leaves the drivers and
// their owner alone, the owner takes them with it, an update of the one left takes them back,
// and the last removal leaves nothing.
TEST_F(SetupProgramConcurrency, ThreeInstancesInstalledTogether)
{
    Package package("together-package");
    RunLog log("together-log");
    const std::vector<std::string> instances = {"A", "B", "C"};
    ASSERT_EQ(0, FailedRounds("three instances installed together", kConcurrentRounds, log, [&] {
        std::vector<std::unique_ptr<SetupProcess>> runs;
        for (const std::string& instance : instances)
            runs.emplace_back(new SetupProcess(package.Setup(), "/g " + instance + " /s " + log.Option()));
        std::vector<long> codes;
        for (auto& run : runs) {
            EXPECT_TRUE(run->Started());
            codes.push_back(run->Wait());
        }
        EXPECT_EQ((std::vector<long>{0, 0, 0}), codes);
        EXPECT_EQ(3, log.Count("End install process. (0)"));
        EXPECT_EQ(1, log.Count("Installing drivers..."));
        EXPECT_EQ(1, log.Count("Agent installs drivers: Unknown."));
        EXPECT_EQ(2, log.Count("Other agent has installed the drivers. Driver installation is skipped."));
        std::string owner = DriverOwner();
        EXPECT_NE(instances.end(), std::find(instances.begin(), instances.end(), owner)) << owner;
        EXPECT_EQ(std::vector<std::string>{owner}, DriverInstallers(instances));
        EXPECT_TRUE(DriversInPlace());
        std::vector<std::string> titles;
        for (const std::string& instance : instances)
            titles.push_back(ReadMachineString(AgentKey(instance), "Title"));
        for (const std::string& instance : instances)
            ExpectInstalled(instance, ReadMachineString(AgentKey(instance), "Title"));
        std::sort(titles.begin(), titles.end());
        EXPECT_EQ((std::vector<std::string>{"Arvane Agent", "Arvane Agent #2", "Arvane Agent #3"}), titles);
    }));

    std::string owner = DriverOwner();
    std::vector<std::string> others;
    for (const std::string& instance : instances)
        if (instance != owner)
            others.push_back(instance);
    ASSERT_EQ(2u, others.size());
    std::string ownerTitle = ReadMachineString(AgentKey(owner), "Title");
    std::string firstTitle = ReadMachineString(AgentKey(others[0]), "Title");
    std::string lastTitle = ReadMachineString(AgentKey(others[1]), "Title");

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[0] + " /r /s " + log.Option()));
    ExpectRemoved(others[0], firstTitle, false);
    EXPECT_EQ(owner, DriverOwner());
    EXPECT_TRUE(DriversInPlace());

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + owner + " /r /s " + log.Option()));
    ExpectRemoved(owner, ownerTitle, true);
    EXPECT_EQ("<missing>", DriverOwner());
    EXPECT_FALSE(DriversInPlace());
    ExpectInstalled(others[1], lastTitle);

    // Nobody owns them now: the next update of the one left takes them.
    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[1] + " /s /k " + log.Option()));
    EXPECT_TRUE(log.Has("Agent installs drivers: Unknown."));
    EXPECT_TRUE(log.Has("Installing drivers..."));
    EXPECT_EQ(others[1], DriverOwner());
    EXPECT_TRUE(DriversInPlace());

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g " + others[1] + " /r /s " + log.Option()));
    ExpectRemoved(others[1], lastTitle, true);
    EXPECT_EQ("<missing>", DriverOwner());
    ExpectNoAgentLeft();
}

// The values all instances share, under their machine-wide lock: while another setup holds it
// (a stand-in holds the mutex as a setup process makes it), a new installation copies its files
// but neither writes its title nor decides the drivers' owner; meanwhile another instance has
// registered the title this run chose at its start, so the run numbers its title again once it
// has the lock. A removal of the drivers' owner waits for the lock as well.
TEST_F(SetupProgramConcurrency, SharedValuesWaitForTheirLock)
{
    Package package("shared-package");
    RunLog log("shared-log");
    std::string name = std::string(IsWin9xKind() ? "" : "Global\\") + "ArvaneAgents";
    auto otherSetup = std::unique_ptr<FileHolder>(new FileHolder(name, "mutex"));
    ASSERT_TRUE(otherSetup->Holding());

    SetupProcess setup(package.Setup(), "/g A /s " + log.Option());
    ASSERT_TRUE(setup.Started());
    for (int tries = 0; tries < 400 && !log.Has("Creating agent registry..."); ++tries)
        Sleep(50);
    ASSERT_TRUE(log.Has("> Title = Arvane Agent"));
    // What a new installation of another instance registers meanwhile.
    ASSERT_TRUE(SetMachineText(AgentKey("B"), "Title", "Arvane Agent"));
    Sleep(2000);
    EXPECT_TRUE(setup.Running());
    EXPECT_EQ("<missing>", ReadMachineString(AgentKey("A"), "Title"));
    EXPECT_FALSE(log.Has("Setup drivers..."));
    EXPECT_EQ("<missing>", DriverOwner());
    otherSetup->Release();
    EXPECT_EQ(0L, setup.Wait());
    EXPECT_TRUE(InOrder(log.Messages(), {"> Title = Arvane Agent", "Creating agent registry...",
                                         "> Title = Arvane Agent #2", "Setup drivers...", "Installing drivers...",
                                         "End install process. (0)"}));
    ExpectInstalled("A", "Arvane Agent #2");
    if (!IsWin9xKind()) {
        EXPECT_EQ("Arvane Agent #2", ReadServiceConfig("XAA").DisplayName);
    }
    EXPECT_EQ("A", DriverOwner());
    DeleteMachineTree(AgentKey("B"));

    otherSetup.reset(new FileHolder(name, "mutex"));
    ASSERT_TRUE(otherSetup->Holding());
    log.Clear();
    SetupProcess removal(package.Setup(), "/g A /r /s " + log.Option());
    ASSERT_TRUE(removal.Started());
    for (int tries = 0; tries < 600 && !log.Has("Removing files..."); ++tries)
        Sleep(50);
    Sleep(2000);
    EXPECT_TRUE(removal.Running());
    EXPECT_FALSE(log.Has("Agent owns drivers: A"));
    EXPECT_TRUE(DriversInPlace());
    otherSetup->Release();
    EXPECT_EQ(0L, removal.Wait());
    EXPECT_TRUE(InOrder(log.Messages(), {"Agent owns drivers: A", "Removing drivers...", "End install process. (0)"}));
    ExpectRemoved("A", "Arvane Agent #2", true);
    ExpectNoAgentLeft();
}

// Two runs of one instance started together: one waits for the other (or, after a minute,
// ends with 1618), so each run's lines form one block in the shared log, and the machine ends
// with one working installation: the later run updates what the earlier one installed.
TEST_F(SetupProgramConcurrency, SameInstanceTwiceTogether)
{
    Package package("twice-package");
    RunLog log("twice-log");
    EXPECT_EQ(0, FailedRounds("one instance twice together", 2, log, [&] {
        SetupProcess first(package.Setup(), "/g S /s " + log.Option());
        SetupProcess second(package.Setup(), "/g S /s " + log.Option());
        ASSERT_TRUE(first.Started());
        ASSERT_TRUE(second.Started());
        std::vector<long> codes = {first.Wait(), second.Wait()};
        std::sort(codes.begin(), codes.end());
        EXPECT_EQ(0L, codes[0]);
        EXPECT_TRUE(codes[1] == 0 || codes[1] == ERROR_INSTALL_ALREADY_RUNNING) << codes[1];
        std::vector<LogLine> lines = log.Lines();
        EXPECT_TRUE(ContiguousBlocks(lines, 2));
        if (codes[1] == 0) {
            EXPECT_TRUE(InOrder(log.Messages(), {"> IsModify = No", "Start new installation...",
                                                 "End install process. (0)", "Agent setup finished!",
                                                 "> IsModify = Yes", "Update existing installation...",
                                                 "End install process. (0)", "Agent setup finished!"}));
        } else {
            EXPECT_EQ(1, log.Count("Another setup of this agent instance is running."));
        }
        ExpectInstalled("S", "Arvane Agent");
        EXPECT_EQ("S", DriverOwner());
        EXPECT_TRUE(DriversInPlace());
    }));
}

}  // namespace

// One run per instance at a time, across processes: while another run keeps the lock of I1 (a
// stand-in holds the mutex as a setup process makes it), a run for I2 goes on, and a run for I1
// waits, before its first log line, and goes on when the lock is free. (That a run gives up
// with 1618 after a minute is shown on the virtual clock in the procedures' tests.)
TEST_F(SetupProgram, OneRunPerInstanceAtATime)
{
    Package package("lock-package");
    RunLog log("lock-log");
    std::string name = std::string(IsWin9xKind() ? "" : "Global\\") + "ArvaneSetup_i1";
    FileHolder otherRun(name, "mutex");
    ASSERT_TRUE(otherRun.Holding());

    // A run that cannot have the lock within a minute ends with 1618 by itself, interactive too:
    // no box waits for a person.
    bool boxShown = true;
    EXPECT_EQ(ERROR_INSTALL_ALREADY_RUNNING,
              RunWatchingForBoxes(package.Setup(), "/g I1 /r " + log.Option(), &boxShown));
    EXPECT_FALSE(boxShown);
    EXPECT_TRUE(InOrder(log.Messages(), {"Another setup of this agent instance is running.", "Agent setup finished!"}));
    log.Clear();

    EXPECT_EQ(0, RunSetup(package.Setup(), "/g I2 /s " + log.Option(), 50000));
    EXPECT_TRUE(log.Has("End install process. (0)"));
    ExpectInstalled("I2", "Arvane Agent");

    log.Clear();
    SetupProcess waiting(package.Setup(), "/g I1 /s " + log.Option());
    ASSERT_TRUE(waiting.Started());
    Sleep(3000);
    EXPECT_TRUE(waiting.Running());
    EXPECT_EQ(std::vector<std::string>{}, log.Messages()) << "logged while I1 was locked";
    otherRun.Release();
    EXPECT_EQ(0L, waiting.Wait());
    EXPECT_FALSE(log.Has("Another setup of this agent instance is running."));
    EXPECT_TRUE(InOrder(log.Messages(), {"Begin install process.... (Version 5.2.0.1)", "End install process. (0)"}));
    ExpectInstalled("I1", "Arvane Agent #2");
}
