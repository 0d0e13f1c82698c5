// Runs that end with 3010: a replacement or a removal that waits for the next restart.
#include <algorithm>
#include <regex>

#include "setup/SetupProgramFixture.h"

using namespace xatest;

// A file that the update cannot replace (held open) is replaced at the next restart: the run ends
// with 3010, the agent's error log gains its line, and an interactive run shows the restart
// notice after Close. The same command with nothing held ends with 0.
TEST_F(SetupProgram, DeferredReplacementNoticeAndErrorLogLine)
{
    Package package("deferred-package");
    RunLog log("deferred-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string folder = AgentFolder("I1");
    WriteWholeFile(package.Path("LogScan.dll"), "a newer LogScan.dll");
    {
        FileHolder holder(folder + "\\LogScan.dll");
        ASSERT_TRUE(holder.Holding());
        log.Clear();
        ASSERT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"AgentUpdated.txt is created.", "End install process. (0)",
                                         "A restart of Windows completes this setup (exit code 3010).",
                                         "Agent setup finished!"}));
    static const std::regex line(
        R"('\d{8} \d\d:\d\d:\d\d', 'Agent setup requires to reboot the machine in order to complete the setup\.'\n)");
    std::string errors = ReadWholeFile(folder + "\\AgtError.log");
    EXPECT_TRUE(std::regex_match(errors, line)) << errors;
    log.Clear();
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    EXPECT_FALSE(log.Has("A restart of Windows completes this setup (exit code 3010)."));
    EXPECT_EQ(errors, ReadWholeFile(folder + "\\AgtError.log"));

    // Interactive: the window waits for Close, then the restart notice.
    FileHolder holder(folder + "\\LogScan.dll");
    ASSERT_TRUE(holder.Holding());
    log.Clear();
    SetupProcess setup(package.Setup(), "/g I1 " + log.Option());
    ASSERT_EQ("Setup has completed.", CloseWhenDone(setup));
    EXPECT_EQ("You need to reboot the system to complete the setup.", AnswerBox(setup, kSetupCaption, IDOK));
    EXPECT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, setup.Wait());
    errors = ReadWholeFile(folder + "\\AgtError.log");
    EXPECT_EQ(2, std::count(errors.begin(), errors.end(), '\n')) << errors;
}

// A removal that cannot delete a file in use leaves it, and its folder, for the next restart and
// ends with 3010; it writes no restart line into the folder it removes.
TEST_F(SetupProgram, RemovalTellsWhatItLeft)
{
    Package package("left-package");
    RunLog log("left-log");
    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    std::string folder = AgentFolder("I1");
    {
        FileHolder holder(folder + "\\LogScan.dll");
        ASSERT_TRUE(holder.Holding());
        log.Clear();
        EXPECT_EQ(ERROR_SUCCESS_REBOOT_REQUIRED, RunSetup(package.Setup(), "/g I1 /r /s " + log.Option()));
    }
    EXPECT_TRUE(InOrder(log.Messages(), {"The removal left 2 items; they are deleted at the next restart.",
                                         "Setup finished.", "End install process. (0)",
                                         "A restart of Windows completes this setup (exit code 3010).",
                                         "Agent setup finished!"}));
    EXPECT_EQ((std::vector<std::string>{"LogScan.dll"}), FolderEntries(folder));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1")));
    EXPECT_FALSE(MachineKeyExists(kUninstallKey + std::string("I1")));
    RemoveTree(folder);
}
