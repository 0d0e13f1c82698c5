// The update of an installed instance on the prefix's real registry, services, processes and
// files: the running agent (the service stand-in, serving its pipe) and its user task (the tray
// stand-in) stopped before the files are replaced, what the update keeps, the conversion of a
// legacy agent, and the release of the driver ownership.
#include <gtest/gtest.h>

#include <map>

#include <shlobj.h>

#include "control/ServiceManager.h"
#include "network/DriverOwner.h"
#include "procedures/AgentShutdown.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RunProcedure.h"
#include "support/Files.h"

using namespace xatest;

namespace {

const char kStart[] = "Update existing installation...";
const char* const kLegacyService = LegacyAgent::Service();
const char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const char kUninstallKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

// The command the agent's service (its RunServices value on Windows 9x) runs.
std::string ServiceCommand(const std::string& name)
{
    return IsWin9xKind() ? ReadMachineString(kRunServicesKey, name.c_str()) : ReadServiceConfig(name).ImagePath;
}

// The command as an installation in folder registers it: unquoted on Windows 9x.
std::string CommandFor(const std::string& folder)
{
    std::string program = folder + "\\AgentCore.exe";
    return IsWin9xKind() ? program : "\"" + program + "\"";
}

bool ServiceKnown(const std::string& name)
{
    return IsWin9xKind() ? MachineValueExists(kRunServicesKey, name.c_str()) : ReadServiceConfig(name).Exists;
}

// Points the registered service at command.
bool SetServiceCommand(const std::string& name, const std::string& command)
{
    if (IsWin9xKind())
        return SetMachineText(kRunServicesKey, name.c_str(), command);
    return WithService(name, SERVICE_CHANGE_CONFIG, [&](SC_HANDLE service) {
        return ChangeServiceConfigA(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, command.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    });
}

class UpdateTest : public ProcedureRunTest {
protected:
    // Starts the installed agent as its service (on Windows 9x: its RunServices command), serving
    // its pipe and recording into record_.
    void StartAgent(const AgentFootprint& footprint)
    {
        ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\AgentCore.ini",
                                   "[Agent]\r\nRecord=" + agentRecord_ + "\r\nPipe=\\\\.\\pipe\\arvaneAgent" +
                                       footprint.Instance + "\r\nLifetimeMs=-1\r\n"));
        if (IsWin9xKind())
            ASSERT_EQ(0, StartAgentFromRunServices(("XA" + footprint.Instance).c_str()));
        else
            ASSERT_TRUE(StartForReal("XA" + footprint.Instance));
        WaitForAgentPipe(footprint);
    }

    // The pipe comes a moment after the process (on 9x nothing waits for the agent to be ready):
    // an update started before it would find no agent to ask.
    static void WaitForAgentPipe(const AgentFootprint& footprint)
    {
        const std::string pipe = "\\\\.\\pipe\\arvaneAgent" + footprint.Instance;
        for (int tries = 0; tries < 200 && !WaitNamedPipeA(pipe.c_str(), 50); ++tries)
            Sleep(50);
    }

    static bool AgentRuns(const AgentFootprint& footprint)
    {
        bool running = false;
        return IsProcessRunning((footprint.DestFolder + "\\AgentCore.exe").c_str(), &running) == 0 && running;
    }

    // A new installation of instance from package, its agent and its user task (options as the
    // stand-in takes them) started; the footprint.
    AgentFootprint InstallRunning(const std::string& instance, const AgentPackage& package,
                                  std::unique_ptr<StartedProcess>* task, const std::string& taskOptions = "")
    {
        AgentFootprint footprint = Install(instance, package);
        StartAgent(footprint);
        *task = StartUserTask(footprint, taskOptions);
        EXPECT_TRUE((*task)->Started());
        return footprint;
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
    if (IsWin9xKind())
        GTEST_SKIP() << "Windows 9x has no service to stop and leaves the user task running";
    AgentPackage first("pkg-e1a");
    std::unique_ptr<StartedProcess> task;
    AgentFootprint footprint = InstallRunning("E1", first, &task);

    AgentPackage second("pkg-e1b", {}, "second package");
    ASSERT_EQ(0, Prepare("/g E1 /s", second.Folder()));
    ASSERT_EQ(1, Data().IsModify);
    const StatusRecorder& status = ReportedStatus();
    size_t sleeps = clock_.Sleeps().size();
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    // The task and the agent were waited for by looking at them, no sleep longer than a look's.
    for (size_t i = sleeps; i < clock_.Sleeps().size(); ++i)
        EXPECT_LE(clock_.Sleeps()[i], (DWORD)kServicePollMaxMs) << i;

    std::vector<std::string> expected = {
        kStart,
        "Updating version 5.1.2.3 to 5.1.2.3.",  // the installed agent's and the package's
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
    EXPECT_EQ((std::vector<std::string>{"XAE1 started", "XAE1 stop-request", "XAE1 stopped"}), AgentEvents());
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_EQ(ReadWholeFile(second / "AgentCore.exe"), ReadWholeFile(footprint.DestFolder + "\\AgentCore.exe"));
    EXPECT_EQ(ReadWholeFile(second / "UserTray.exe"), ReadWholeFile(footprint.DestFolder + "\\UserTray.exe"));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    ExpectNothingLeftOpen();
}

// A user task that cannot be stopped ends the update before the agent is stopped and before any
// file is touched.
TEST_F(UpdateTest, AUserTaskThatCannotBeStoppedEndsTheUpdateBeforeAnyCopy)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "Windows 9x leaves the user task alone";
    AgentPackage first("pkg-e2a");
    std::unique_ptr<StartedProcess> task;
    AgentFootprint footprint = InstallRunning("E2", first, &task, "--ignore all");
    std::string before = ReadWholeFile(footprint.DestFolder + "\\AgentCore.exe");

    AgentPackage second("pkg-e2b", {}, "second package");
    ASSERT_EQ(0, Prepare("/g E2 /s", second.Folder()));
    int result = 0;
    {
        FakeProcessControl refusals;
        refusals.DenyTerminate.insert(task->Id());
        refusals.WtsTerminateWorks = false;
        result = Counted([&] { return Run().UpdateExistingAgent(); });
    }
    EXPECT_NE(0, result);
    EXPECT_TRUE(task->Running());
    ASSERT_GE(IndexOf(kStart), 0);
    EXPECT_EQ(IndexOf(kStart) + 2, IndexOf("Stop user interface modules..."));
    for (const std::string& message : Messages())
        EXPECT_NE(0u, message.rfind("InstallFile:", 0)) << message;
    EXPECT_FALSE(Logged("Stop agent service..."));
    EXPECT_FALSE(Logged("Copying files..."));
    EXPECT_EQ(SERVICE_RUNNING, ReadServiceStatus("XAE2").dwCurrentState);
    EXPECT_EQ(before, ReadWholeFile(footprint.DestFolder + "\\AgentCore.exe"));
    EXPECT_NE(ReadWholeFile(second / "XASetup.exe"), ReadWholeFile(footprint.DestFolder + "\\XASetup.exe"));
}

// An update that fails after it stopped the running agent starts the agent again, as a
// successful one would, unless /k says not to (and the log says so); an agent that was not
// running stays stopped. The run's result stays the failure's.
TEST_F(UpdateTest, AFailedUpdateStartsTheAgentItStoppedAgain)
{
    std::unique_ptr<FakeProcessControl> fullPaths;
    if (IsWin9xKind())
        fullPaths.reset(new FakeProcessControl);  // ToolHelp with the paths of Windows 9x
    AgentPackage first("pkg-e5a");
    AgentFootprint footprint = Install("E5", first);
    AgentPackage broken("pkg-e5b", {"AgentCore.exe"});  // the copy fails with 2
    const char kAgain[] = "Starting the agent service again after the failed update.";
    struct Row {
        bool Running;
        const char* Options;
        bool StartedAgain;
    };
    for (const Row& row : {Row{true, "", true}, Row{true, "/k", false}, Row{false, "", false}}) {
        SCOPED_TRACE(std::string(row.Running ? "running" : "stopped") + " " + row.Options);
        if (row.Running && !AgentRuns(footprint))
            StartAgent(footprint);
        ASSERT_EQ(row.Running, AgentRuns(footprint));
        if (row.Running)
            WaitForAgentPipe(footprint);  // also when the last run started it
        ASSERT_EQ(0, Prepare("/g E5 /s " + std::string(row.Options), broken.Folder()));
        Installer installer(&Data());

        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Counted([&] { return RunProcedure(&installer); }));

        // Started from its RunServices value on Windows 9x, the agent's process shows a moment later.
        bool runs = AgentRuns(footprint);
        for (int tries = 0; row.StartedAgain && !runs && tries < 100; ++tries) {
            Sleep(50);
            runs = AgentRuns(footprint);
        }
        EXPECT_EQ(row.StartedAgain, runs);
        int again = IndexOf(kAgain);
        EXPECT_EQ(row.StartedAgain, again >= 0);
        EXPECT_EQ(*row.Options != '\0', Logged("The agent is left stopped (/k)."));
        EXPECT_FALSE(Logged("Start agent service."));
        if (row.StartedAgain) {
            EXPECT_GT(again, IndexOf("StopAgentService() returns 0"));
            EXPECT_EQ(again + 1, IndexOf("Agent service started."));
            if (!IsWin9xKind()) {
                EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAE5").dwCurrentState);
            }
        }
        EXPECT_EQ(Messages().back(), "End install process. (2)");
        EXPECT_FALSE(FileExistsAt(footprint.DestFolder + "\\AgentUpdated.txt"));
    }
    // Started by the test, then once again by the first run.
    std::vector<std::string> events = AgentEvents();
    EXPECT_EQ(2, std::count(events.begin(), events.end(), IsWin9xKind() ? "process launched" : "XAE5 started"));
}

// Every file of the agent folder and its drivers folder with its content.
std::map<std::string, std::string> AgentFiles(const std::string& folder)
{
    std::map<std::string, std::string> files;
    for (const std::string& sub : {std::string(), std::string("drivers\\")}) {
        for (const std::string& name : FolderEntries(folder + "\\" + sub)) {
            if (GetPathKind((folder + "\\" + sub + name).c_str()) < 0)
                files[sub + name] = ReadWholeFile(folder + "\\" + sub + name);
        }
    }
    return files;
}

// What waits for the next restart: the system's pending renames and WinInit.ini, as raw text.
std::string RestartWork()
{
    std::string work;
    for (const std::string& entry : PendingRenames())
        work += entry + "|";
    return work + ReadWholeFile(WindowsFolder() + "\\WinInit.ini");
}

// An updated agent that does not start is no update: the previous version's files come back,
// the uninstall entry shows its version again, it runs again, and the run ends with the start's
// error. Going back to a lower version is allowed, and said so (the test after it).
TEST_F(UpdateTest, AnUpdatedAgentThatDoesNotStartGivesWayToThePreviousOne)
{
    std::unique_ptr<FakeProcessControl> fullPaths;
    if (IsWin9xKind())
        fullPaths.reset(new FakeProcessControl);
    AgentPackage first("pkg-e6a", {}, " first");
    AgentFootprint footprint = Install("E6", first);
    const std::string dest = footprint.DestFolder;
    const std::string entry = std::string(kUninstallKey) + "\\XAE6";
    const std::string version = ReadMachineString(entry, "DisplayVersion");
    StartAgent(footprint);
    WaitForAgentPipe(footprint);
    std::map<std::string, std::string> before = AgentFiles(dest);
    AgentPackage second("pkg-e6b", {}, " second");
    ASSERT_TRUE(WriteWholeFile(second / "AgentCore.exe", "not a program"));
    ASSERT_EQ(0, Prepare("/g E6 /s", second.Folder()));
    Installer installer(&Data());

    int result = Counted([&] { return RunProcedure(&installer); });
    EXPECT_NE(0, result);
    std::vector<std::string> steps = MessagesFrom("Start agent service.");
    ASSERT_GE(steps.size(), 7u);
    EXPECT_EQ(0u, steps[1].rfind("Failed to start agent service.", 0)) << steps[1];
    EXPECT_EQ("The updated agent did not start; the previous version is put back.", steps[2]);
    EXPECT_TRUE(Logged("Restoring the agent's files after the failed update..."));
    EXPECT_EQ("Agent service started.", steps[steps.size() - 2]);
    EXPECT_EQ("End install process. (" + std::to_string(result) + ")", steps.back());
    bool runs = AgentRuns(footprint);
    for (int tries = 0; !runs && tries < 100; ++tries) {
        Sleep(50);
        runs = AgentRuns(footprint);
    }
    EXPECT_TRUE(runs) << "the previous agent runs again";
    EXPECT_TRUE(Logged("Updating version " + version + " to unknown.")) << "no version is no downgrade";
    EXPECT_EQ(before, AgentFiles(dest));
    EXPECT_EQ(version, ReadMachineString(entry, "DisplayVersion"));
    EXPECT_FALSE(FileExistsAt(dest + "\\AgentUpdated.txt"));
}

TEST_F(UpdateTest, ALowerVersionIsADowngrade)
{
    AgentPackage first("pkg-e10a");
    AgentFootprint footprint = Install("E10", first);
    const std::string version = ReadMachineString(std::string(kUninstallKey) + "\\XAE10", "DisplayVersion");
    AgentPackage second("pkg-e10b");
    ASSERT_TRUE(CopyFileA(FixturePath("versioned-2.0.0.0.exe").c_str(), (second / "AgentCore.exe").c_str(), FALSE));
    ASSERT_EQ(0, Prepare("/g E10 /s /k", second.Folder()));
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    EXPECT_EQ(IndexOf("Update existing installation...") + 1, IndexOf("Downgrading version " + version + " to 2.0.0.0."));
}

// A program of the agent that another process runs is replaced at once (renamed aside, the new
// one in its place); only its old copy waits for the restart. That is clean-up: the agent is
// complete, and the run does not ask for a restart it does not need.
TEST_F(UpdateTest, AnOldProgramStillInUseGoesAtTheRestartWithoutAskingForIt)
{
    AgentPackage first("pkg-e9a", {}, " first");
    AgentFootprint footprint = Install("E9", first);
    AgentPackage second("pkg-e9b", {}, " second");
    const std::string program = footprint.DestFolder + "\\UserTray.exe";
    ASSERT_EQ(0, Prepare("/g E9 /s", second.Folder()));
    {
        FileHolder running(program, "image");
        ASSERT_TRUE(running.Holding());
        EXPECT_EQ(0, Counted([&] { return RunProcedure(&Run()); }));
    }
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_EQ(ReadWholeFile(second / "UserTray.exe"), ReadWholeFile(program));
    std::vector<std::string> left = FolderEntries(footprint.DestFolder, "~*");
    ASSERT_EQ(1u, left.size());
    EXPECT_TRUE(Logged("\"" + program + ".setaside\" goes at the next restart as \"" + footprint.DestFolder + "\\" +
                       left[0] + "\"."));
    EXPECT_FALSE(Logged("A restart of Windows completes this setup (exit code 3010)."));
}

// An update that fails after its copy began (here: its Package.xml cannot be written) puts the
// agent's files back as they were, byte for byte: those it replaced from beside them, those it
// created deleted, a replacement it left for the restart (a file held open) taken back with its
// temporary file. Nothing of the attempt stays in the folder.
TEST_F(UpdateTest, AFailedUpdatePutsTheAgentsFilesBack)
{
    AgentPackage first("pkg-e7a", {}, " first");
    AgentFootprint footprint = Install("E7", first);
    const std::string dest = footprint.DestFolder;
    ASSERT_TRUE(DeleteFileA((dest + "\\PortProbe.exe").c_str()));  // an older agent had none
    ASSERT_TRUE(DeleteFileA((dest + "\\Package.xml").c_str()));
    ASSERT_TRUE(CreateDirectoryA((dest + "\\Package.xml.partial").c_str(), nullptr));
    std::map<std::string, std::string> before = AgentFiles(dest);
    std::string restartWork = RestartWork();
    AgentPackage second("pkg-e7b", {}, " second");
    ASSERT_TRUE(WriteWholeFile(second / "ArvaneFW.ini", "second firewall"));
    ASSERT_EQ(0, Prepare("/g E7 /s", second.Folder()));
    {
        FileHolder holder(dest + "\\LogScan.dll");
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(ERROR_ACCESS_DENIED, Counted([&] { return Run().UpdateExistingAgent(); }));
    }

    EXPECT_TRUE(Logged("InstallFile: > Setup move file. (0)")) << "LogScan.dll was left for the restart";
    int restoring = IndexOf("Restoring the agent's files after the failed update...");
    EXPECT_EQ(IndexOf("Updating package infomation file...") + 1, restoring);
    // 15 program files (PortProbe.exe created), ArvaneFW.ini created, Package.xml marked.
    EXPECT_EQ(restoring + 1, IndexOf("17 agent files restored."));
    EXPECT_EQ("17 agent files restored.", Messages().back());
    RemoveDirectoryA((dest + "\\Package.xml.partial").c_str());
    before.erase("Package.xml.partial");
    EXPECT_EQ(before, AgentFiles(dest));
    EXPECT_EQ(restartWork, RestartWork());
    EXPECT_EQ(0, Data().RebootRequired);
}

// A run killed during its update leaves the old files beside the new ones (here: AgentCore.exe
// replaced, ArvaneFW.ini created, a part of AgentExt.dll): the next update puts them back first,
// so that the configuration it created is no longer taken for the instance's own. One killed
// after its commit mark, while it let the old files go, had gone through: the next update
// finishes it instead, and the configuration it created is the instance's. (With /k the update
// lets its kept files go itself: no agent start is waited for.)
TEST_F(UpdateTest, TheNextUpdatePutsBackWhatAKilledOneLeft)
{
    AgentPackage first("pkg-e8a", {}, " first");
    AgentFootprint footprint = Install("E8", first);
    const std::string dest = footprint.DestFolder;
    AgentPackage killed("pkg-e8b", {}, " killed");
    ASSERT_TRUE(MoveFileA((dest + "\\AgentCore.exe").c_str(), (dest + "\\AgentCore.exe.setaside").c_str()));
    ASSERT_TRUE(CopyFileA((killed / "AgentCore.exe").c_str(), (dest + "\\AgentCore.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteWholeFile(dest + "\\ArvaneFW.ini.created", ""));
    ASSERT_TRUE(WriteWholeFile(dest + "\\ArvaneFW.ini", "killed run's firewall"));
    ASSERT_TRUE(WriteWholeFile(dest + "\\AgentExt.dll.partial", "cut"));

    AgentPackage third("pkg-e8c", {}, " third");
    ASSERT_TRUE(WriteWholeFile(third / "ArvaneFW.ini", "third firewall"));
    ASSERT_EQ(0, Prepare("/g E8 /s /k", third.Folder()));
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    EXPECT_EQ(IndexOf("Restoring the agent's files after the failed update...") + 2, IndexOf("Copying files..."));
    EXPECT_TRUE(Logged("2 agent files restored."));
    EXPECT_EQ("third firewall", ReadWholeFile(dest + "\\ArvaneFW.ini"));
    EXPECT_EQ(ReadWholeFile(third / "AgentCore.exe"), ReadWholeFile(dest + "\\AgentCore.exe"));
    auto expectNoTraces = [&] {
        for (const char* pattern : {"*.setaside", "*.created", "*.deferred", "*.partial", "*.committed", "~*"})
            EXPECT_EQ(std::vector<std::string>{}, FolderEntries(dest, pattern)) << pattern;
    };
    expectNoTraces();

    ASSERT_TRUE(MoveFileA((dest + "\\AgentCore.exe").c_str(), (dest + "\\AgentCore.exe.setaside").c_str()));
    ASSERT_TRUE(CopyFileA((killed / "AgentCore.exe").c_str(), (dest + "\\AgentCore.exe").c_str(), FALSE));
    ASSERT_TRUE(WriteWholeFile(dest + "\\ArvaneFW.ini.created", ""));
    ASSERT_TRUE(WriteWholeFile(dest + "\\ArvaneFW.ini", "committed run's firewall"));
    ASSERT_TRUE(WriteWholeFile(dest + "\\XASetup.exe.committed", ""));
    ASSERT_EQ(0, Prepare("/g E8 /s /k", third.Folder()));
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    EXPECT_FALSE(Logged("Restoring the agent's files after the failed update..."));
    EXPECT_EQ("committed run's firewall", ReadWholeFile(dest + "\\ArvaneFW.ini"));
    expectNoTraces();
}

// The update keeps the agent's Package.xml byte for byte and its configuration, and points the
// service at this installation's program again.
TEST_F(UpdateTest, KeepsPackageFileAndConfigurationAndRepointsTheService)
{
    AgentPackage first("pkg-e3a");
    AgentFootprint footprint = Install("E3", first);
    const std::string packageFile = footprint.DestFolder + "\\Package.xml";
    const std::string own = "<?xml version=\"1.0\"?>\r\n<Package><ID>kept as it was</ID></Package>\n";
    ASSERT_TRUE(WriteWholeFile(packageFile, own));
    ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\ArvaneD.ini", "agent's own settings"));
    ASSERT_TRUE(SetServiceCommand("XAE3", CommandFor("C:\\Old")));

    AgentPackage second("pkg-e3b", {}, "second package");
    ASSERT_TRUE(WriteWholeFile(second / "ArvaneD.ini", "package settings"));
    ASSERT_TRUE(WriteWholeFile(second / "ArvaneFW.ini", "package firewall"));
    ASSERT_EQ(0, Prepare("/g E3 /s", second.Folder()));
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));

    EXPECT_EQ(own, ReadWholeFile(packageFile));
    EXPECT_EQ("agent's own settings", ReadWholeFile(footprint.DestFolder + "\\ArvaneD.ini"));
    EXPECT_EQ("package firewall", ReadWholeFile(footprint.DestFolder + "\\ArvaneFW.ini")) << "a missing one comes";
    EXPECT_EQ(CommandFor(footprint.DestFolder), ServiceCommand("XAE3"));
    EXPECT_TRUE(Logged("Updating agent service returns 0"));
    EXPECT_FALSE(Logged("Installing new agent service..."));
}

class LegacyConversionTest : public UpdateTest {
protected:
    void InstallLegacyAgent() { ASSERT_NO_FATAL_FAILURE(legacyAgent_.Install()); }
    void StartLegacyAgent() { ASSERT_NO_FATAL_FAILURE(legacyAgent_.Start(agentRecord_)); }
    void ExpectLegacyAgentGone() { EXPECT_EQ(std::vector<std::string>{}, legacyAgent_.Leftovers()); }

    LegacyAgent legacyAgent_{logs_ / "Legacy Agent"};
    const std::string& legacy_ = legacyAgent_.Folder();
};

TEST_F(LegacyConversionTest, TheLegacyAgentBecomesAnInstanceInItsFolder)
{
    InstallLegacyAgent();
    AgentPackage package("pkg-l1");
    ASSERT_EQ(0, Prepare("/g L1 /u /s", package.Folder()));
    ASSERT_EQ(1, Data().UpdateLegacyAgent);
    ASSERT_EQ(1, Data().IsModify);
    ASSERT_EQ(legacy_, Data().DestFolder);
    AgentFootprint footprint = Remember();

    DWORD started = clock_.Now();
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    // Nothing of the legacy agent ran, and its deleted service was gone at the first look.
    EXPECT_EQ(started, clock_.Now());
    int removing = IndexOf("Removing legacy agent service...");
    ASSERT_GT(removing, IndexOf("Updating package infomation file..."));
    // Windows 9x registers no service to rename: only its RunServices value goes.
    EXPECT_EQ(IsWin9xKind(), Logged("Could not rename the service display name before deletion."));
    EXPECT_LT(removing, IndexOf("Installing new agent service..."));
    EXPECT_FALSE(Logged("Agent service exists. Updating agent service..."));
    EXPECT_LT(IndexOf("Shortcut creation returns 0x0"), IndexOf("Remove legacy agent registry settings..."));
    EXPECT_EQ(IndexOf("Remove legacy agent registry settings...") + 1,
              IndexOf("Remove legacy agent uninstallation files..."));
    EXPECT_TRUE(Logged("Agent installs drivers: Legacy."));

    ExpectLegacyAgentGone();
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    EXPECT_EQ(CommandFor(legacy_), ServiceCommand("XAL1"));
    EXPECT_EQ(ReadWholeFile(package / "AgentCore.exe"), ReadWholeFile(legacy_ + "\\AgentCore.exe"));
    // The legacy settings carried over into the instance's key.
    std::string instanceKey = "SOFTWARE\\Arvane\\Agent\\L1";
    EXPECT_EQ(1, ReadMachineNumber(instanceKey, "EnableRemoteControl"));
    EXPECT_EQ("av.log", ReadMachineString(instanceKey, "AvLogFile"));
    EXPECT_EQ("L1", ReadMachineString("SOFTWARE\\Arvane\\Agent", "XES_Owned_By"));
}

// A conversion that fails after it stopped the running legacy agent starts that agent again
// under its own name: the new service does not exist yet.
TEST_F(LegacyConversionTest, AFailedConversionStartsTheLegacyAgentAgain)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "the restart by name is the same RunServices start as for any agent";
    ASSERT_NO_FATAL_FAILURE(StartLegacyAgent());
    AgentPackage broken("pkg-l3", {"AgentCore.exe"});
    ASSERT_EQ(0, Prepare("/g L3 /u /s", broken.Folder()));
    ASSERT_EQ(1, Data().UpdateLegacyAgent);
    Remember();

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Counted([&] { return RunProcedure(&Run()); }));
    int again = IndexOf("Starting the agent service again after the failed update.");
    ASSERT_GE(again, 0);
    EXPECT_EQ(again + 1, IndexOf("Agent service started."));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus(kLegacyService).dwCurrentState);
    EXPECT_FALSE(ServiceKnown("XAL3"));
    std::vector<std::string> events = AgentEvents();
    EXPECT_EQ(2, std::count(events.begin(), events.end(), std::string(kLegacyService) + " started"));
}

// A conversion that fails after it deleted the legacy service (the new one cannot be made: its
// display name is taken) has no service left to start, and says so.
TEST_F(LegacyConversionTest, AFailedConversionWithoutAServiceLeftSaysSo)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "a RunServices value is simply written";
    ASSERT_NO_FATAL_FAILURE(StartLegacyAgent());
    TestService blocker("XABLOCK", "Other Agent", "\"C:\\Elsewhere\\Other.exe\"");
    ASSERT_TRUE(blocker.Created());
    std::string program = ReadWholeFile(legacy_ + "\\AgentCore.exe");
    AgentPackage package("pkg-l4");
    ASSERT_EQ(0, Prepare("/g L4 /u /s /o Other", package.Folder()));
    ASSERT_EQ(1, Data().UpdateLegacyAgent);
    Remember();

    EXPECT_EQ(ERROR_DUPLICATE_SERVICE_NAME, Counted([&] { return RunProcedure(&Run()); }));
    const char kNone[] = "No agent service is left to start again after the failed update.";
    EXPECT_EQ(Messages().size() - 2, (size_t)IndexOf(kNone));
    EXPECT_FALSE(Logged("Starting the agent service again after the failed update."));
    EXPECT_FALSE(ServiceKnown(kLegacyService));
    EXPECT_FALSE(ServiceKnown("XAL4"));
    EXPECT_EQ(program, ReadWholeFile(legacy_ + "\\AgentCore.exe"));
}

// A service of the new name exists already: it is configured for this installation instead.
TEST_F(LegacyConversionTest, AnExistingNewServiceIsConfigured)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "a RunServices value is simply written";
    InstallLegacyAgent();
    TestService existing("XAL2", "Arvane Agent L2", "\"C:\\Elsewhere\\AgentCore.exe\"");
    ASSERT_TRUE(existing.Created());
    AgentPackage package("pkg-l2");
    ASSERT_EQ(0, Prepare("/g L2 /u /s", package.Folder()));
    ASSERT_EQ(1, Data().UpdateLegacyAgent);
    AgentFootprint footprint = Remember();

    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    int exists = IndexOf("Agent service exists. Updating agent service...");
    ASSERT_EQ(IndexOf("Installing new agent service...") + 1, exists);
    EXPECT_EQ(exists + 1, IndexOf("Updating agent service returns 0"));
    EXPECT_EQ(CommandFor(legacy_), ServiceCommand("XAL2"));
    ExpectLegacyAgentGone();
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
}

// An instance installed with /i /j keeps both choices: its update writes neither the uninstall
// entry nor the shortcut, and says so in the update's own words.
TEST_F(UpdateTest, TheInstancesChoicesLeaveOutUninstallEntryAndShortcut)
{
    AgentPackage package("pkg-e6");
    AgentFootprint footprint = Install("E6", package, "/i /j");
    ASSERT_EQ(0, Prepare("/g E6 /s", package.Folder()));
    ASSERT_EQ(1, Data().IsModify);
    const StatusRecorder& status = ReportedStatus();
    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));

    EXPECT_FALSE(Logged("Adding uninstall key..."));
    EXPECT_FALSE(Logged("Creating shortcut..."));
    EXPECT_FALSE(Logged("Skip adding uninstall key.")) << "the new installation's spelling";
    int skipEntry = IndexOf("Skip Adding uninstall key.");
    EXPECT_LT(IndexOf("Create registry function returns 0."), skipEntry);
    EXPECT_EQ(skipEntry + 1, IndexOf("Skip Shortcut creation."));
    std::vector<std::string> steps = status.Steps();
    EXPECT_EQ(steps.end(), std::find(steps.begin(), steps.end(), "detail: Update uninstall settings in registry."))
        << Joined(steps);

    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    AgentFootprint everything = footprint;
    everything.Shortcut = everything.UninstallEntry = true;
    std::vector<std::string> missing = MissingParts(everything);
    ASSERT_EQ(2u, missing.size()) << Joined(missing);
    EXPECT_EQ(0u, missing[0].find("uninstall entry ")) << missing[0];
    EXPECT_EQ(0u, missing[1].find("shortcut ")) << missing[1];
}

// An agent folder that users who are not administrators may change is only a warning for an
// update: refusing would strand the installed agent.
TEST_F(UpdateTest, AnAgentFolderThatUsersMayChangeIsOnlyAWarning)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no access lists on Windows 9x";
    AgentPackage package("pkg-e8");
    AgentFootprint footprint = Install("E8", package);
    ASSERT_EQ(0, Prepare("/g E8 /s", package.Folder()));
    FolderAccessLists lists;
    lists.Set(footprint.DestFolder, "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

    EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); }));
    // Told before anything is stopped or copied.
    EXPECT_EQ(IndexOf("Stop user interface modules...") - 1,
              IndexOf("Agent folder \"" + footprint.DestFolder +
                      "\" can be changed by users who are not administrators; the update goes on."));
    EXPECT_TRUE(Logged("Copying files..."));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
}

// With bNoDriver an update gives up the ownership when it names this instance, in any letter
// case (as the driver installation compares, letters beyond ASCII included), and leaves the
// drivers; another instance's ownership stays.
TEST_F(UpdateTest, NoDriverReleasesOnlyThisInstancesOwnership)
{
    AgentPackage package("pkg-d1");
    const std::string instance = "D\xC4" "1";  // "DÄ1" in the ANSI code page
    AgentFootprint footprint = Install(instance, package);
    ASSERT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    char owner[MAX_PATH] = "";
    ASSERT_EQ(0, GetDriverControl(owner, sizeof(owner)));
    ASSERT_EQ(instance, owner);
    struct Case {
        const char* Owner;
        bool Released;
    };
    for (const Case& c : {Case{"d\xC4" "1", true}, Case{"D\xC4" "1", true}, Case{"d\xE4" "1", true},
                          Case{"OTHER", false}}) {
        ASSERT_EQ(0, SetDriverControl(c.Owner));
        ASSERT_EQ(0, Prepare("/g " + instance + " /s /n", package.Folder()));
        EXPECT_EQ(0, Counted([&] { return Run().UpdateExistingAgent(); })) << c.Owner;
        owner[0] = '\0';
        EXPECT_EQ(c.Released ? ERROR_FILE_NOT_FOUND : 0, GetDriverControl(owner, sizeof(owner))) << c.Owner;
        EXPECT_STREQ(c.Released ? "" : c.Owner, owner);
        EXPECT_FALSE(Logged("Setup drivers...")) << c.Owner;
        EXPECT_TRUE(InstalledDriverExists()) << c.Owner;
        EXPECT_TRUE(FileExistsAt(SystemFolder() + "\\ArvaneSP.dll")) << c.Owner;
    }
    SetDriverControl(instance.c_str());
}

}  // namespace
