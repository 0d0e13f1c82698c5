// The update of an installed instance on the prefix's real registry, services, processes and
// files: the running agent (the service stand-in, serving its pipe) and its user task (the tray
// stand-in) stopped before the files are replaced, what the update keeps, the conversion of a
// legacy agent, and the release of the driver ownership.
#include <gtest/gtest.h>

#include "control/AgentLeftovers.h"
#include "control/ProcessTestSupport.h"
#include "control/ServiceTestSupport.h"
#include "procedures/ProcedureRunFixture.h"

using namespace xatest;

namespace {

const char kStart[] = "Update existing installation...";
const char kLegacyCode[] = "{3D7A0F52-9C41-4B8E-A5D2-61F0C8B47E19}";
const char kLegacyService[] = "ArvaneAgent";
const char kLegacySettingsKey[] = "System\\CurrentControlSet\\Services\\VxD\\Arvane";
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kAppPathKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\App Paths\\AgentCore.exe";

class UpdateTest : public ProcedureRunTest {
protected:
    // Starts the installed agent as its service, serving its pipe and recording into record_.
    void StartAgent(const AgentFootprint& footprint)
    {
        ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\AgentCore.ini",
                                   "[Agent]\r\nRecord=" + agentRecord_ + "\r\nPipe=\\\\.\\pipe\\arvaneAgent" +
                                       footprint.Instance + "\r\n"));
        ASSERT_TRUE(StartForReal("XA" + footprint.Instance));
    }

    // Starts the installed user task; options as the stand-in takes them.
    std::unique_ptr<StartedProcess> StartUserTask(const AgentFootprint& footprint, const std::string& options = "")
    {
        std::string ready = "UpdateTestReady" + std::to_string(++tasks_);
        return std::unique_ptr<StartedProcess>(
            new StartedProcess("\"" + footprint.DestFolder + "\\UserTray.exe\" --id " + footprint.Instance + " " +
                                   options + " --ready " + ready + " --record \"" + taskRecord_ + "\"",
                               ready));
    }

    std::vector<std::string> AgentEvents() const { return SplitLines(ReadWholeFile(agentRecord_)); }
    std::vector<std::string> TaskEvents() const { return SplitLines(ReadWholeFile(taskRecord_)); }

    std::string agentRecord_ = logs_ / "agent.txt";
    std::string taskRecord_ = logs_ / "task.txt";
    int tasks_ = 0;
};

TEST_F(UpdateTest, RepresentativeRunStopsTheAgentAndItsTaskThenReplacesTheFiles)
{
    AgentPackage first("pkg-e1a");
    AgentFootprint footprint = Install("E1", first);
    StartAgent(footprint);
    std::unique_ptr<StartedProcess> task = StartUserTask(footprint);
    ASSERT_TRUE(task->Started());

    AgentPackage second("pkg-e1b", {}, "second package");
    ASSERT_EQ(0, Prepare("/g E1 /s", second.Folder()));
    ASSERT_EQ(1, Data().IsModify);
    StatusRecorder status;
    ASSERT_TRUE(status.Created());
    EXPECT_EQ(0, Run().UpdateExistingAgent());

    std::vector<std::string> expected = {
        kStart,
        "Stop user interface modules...",
        "Stop agent service...",
        "Stopping service XAE1...",
        "Stopping service returns 0.",
        "Trying to connect to agent via \"\\\\.\\pipe\\arvaneAgentE1\"...",
        "StopAgentService() returns 0",
        "Copying files...",
    };
    AddPackageCopy(expected);
    expected.insert(expected.end(), {"Updating package infomation file...", "Configuring agent service...",
                                     "Updating agent service returns 0", "Writting program registries...",
                                     "Create registry function returns 0.", "Adding uninstall key...",
                                     "Creating shortcut...", "Shortcut creation returns 0x0", "Setup drivers...",
                                     "Agent installs drivers: E1."});
    AddDriverCopy(expected);
    std::vector<std::string> actual = StepsFrom(kStart, {{second.Folder(), "<pkg>"}, {footprint.DestFolder, "<dest>"}});
    EXPECT_EQ(expected, actual) << Joined(actual);

    std::vector<std::string> steps = {
        "status: Setup is updating the application and its components...",
        "detail: Stopping user interface module...",
        "bar: 0",
        "detail: Stopping user interface module...",
        "bar: 5",
        "detail: Stopping agent service...",
        "bar: 10",
        "detail: Stopping agent service...",
        "bar: 15..76",
        "detail: Configuring agent service...",
        "bar: 80",
        "detail: Updating application settings in registry...",
        "bar: 86",
        "detail: Update uninstall settings in registry.",
        "bar: 90",
        "detail: Installing driver files...",
        "bar: 95",
    };
    EXPECT_EQ(steps, status.Steps());
    // The service's 15 percent, then the copy from 20.
    ASSERT_EQ(1u, status.BarRuns().size());
    std::vector<int> run = status.BarRuns()[0];
    ASSERT_GE(run.size(), 3u);
    EXPECT_EQ(15, run[0]);
    EXPECT_EQ(20, run[1]);
    EXPECT_TRUE(std::is_sorted(run.begin(), run.end()));

    // Both had ended before their programs were replaced: a running program's file cannot be
    // copied over, and would have been left for the next restart.
    EXPECT_TRUE(task->EndsWithin(0));
    EXPECT_EQ(std::vector<std::string>{"exit-event"}, TaskEvents());
    EXPECT_EQ(SERVICE_STOPPED, ReadServiceStatus("XAE1").dwCurrentState);
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_EQ(ReadWholeFile(second / "AgentCore.exe"), ReadWholeFile(footprint.DestFolder + "\\AgentCore.exe"));
    EXPECT_EQ(ReadWholeFile(second / "UserTray.exe"), ReadWholeFile(footprint.DestFolder + "\\UserTray.exe"));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
}

}  // namespace
