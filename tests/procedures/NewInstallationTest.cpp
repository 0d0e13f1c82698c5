// The new installation on the prefix's real registry, services and files, from a package folder
// of stand-ins: the whole run as the log and the progress window show it, the switches that leave
// parts out, and the failures that roll it back or end it.
#include <gtest/gtest.h>

#include <iterator>

#include <shlobj.h>

#include "control/ServiceTestSupport.h"
#include "network/DriverOwner.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RunProcedure.h"
#include "procedures/Shortcuts.h"
#include "support/Files.h"
#include "support/ShellLinks.h"

using namespace xatest;

namespace {

const char kStart[] = "Start new installation...";

class NewInstallationTest : public ProcedureRunTest {};

// Where the agent's program group goes: the all-users Programs folder, the user's own on 9x.
std::string ProgramsFolder()
{
    char path[MAX_PATH] = "";
    GetSpecialFolderPath(IsWin9xKind() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS, nullptr, path);
    return path;
}

std::string ErrorLine(const std::string& message, DWORD code)
{
    return message + " " + SystemMessage(code);
}

bool IsDriverFile(const std::string& name)
{
    return name == "ArvaneD.VXD" || name == "XAPFA.sys" || name == "XAPFA64.sys" || name == "ArvaneSP.dll";
}

TEST_F(NewInstallationTest, RepresentativeRunLogsAndShowsEveryStepInOrder)
{
    AgentPackage package("pkg-n1");
    ASSERT_TRUE(package.Complete());
    ASSERT_EQ(0, Prepare("/g N1 /s", package.Folder()));
    AgentFootprint footprint = Remember();
    const StatusRecorder& status = ReportedStatus();

    EXPECT_EQ(0, Counted([&] { return Run().InstallNewAgent(); }));

    std::vector<std::string> expected = {kStart, "Installing version 5.1.2.3."};  // the package's AgentCore.exe
    AddPackageCopy(expected);
    expected.insert(expected.end(), {"Creating package infomation file...", "Creating agent registry...",
                                     "Create registry function returns 0.", "Setup drivers...",
                                     "Agent installs drivers: Unknown."});
    AddDriverCopy(expected);
    expected.insert(expected.end(), {"Installing agent service...", "Adding uninstall key...", "Creating shortcut...",
                                     "Shortcut creation returns 0x0", "Installation finished."});
    std::vector<std::string> actual = StepsFrom(kStart, {{package.Folder(), "<pkg>"}, {footprint.DestFolder, "<dest>"}});
    EXPECT_EQ(expected, actual) << Joined(actual);

    std::vector<std::string> steps = {
        "status: Setup is installing the application and its components...",
        "bar: 0..56",
        "detail: Updating application settings in registry...",
        "bar: 60",
        "detail: Installing driver files...",
        "bar: 70",
        "detail: Installing agent service...",
        "bar: 80",
        "detail: Update uninstall settings in registry.",
        "bar: 90",
    };
    EXPECT_EQ(steps, status.Steps());
    ASSERT_EQ(1u, status.BarRuns().size());
    std::vector<int> run = status.BarRuns()[0];
    EXPECT_TRUE(std::is_sorted(run.begin(), run.end()));

    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    for (const std::string& file : PackageProgramFiles()) {
        std::string folder = footprint.DestFolder + (IsDriverFile(file) ? "\\drivers\\" : "\\");
        EXPECT_EQ(ReadWholeFile(package / file), ReadWholeFile(folder + file)) << file;
    }
    EXPECT_NE(std::string::npos, ReadWholeFile(footprint.DestFolder + "\\Package.xml").find("N1"));
    EXPECT_EQ(0, Data().RebootRequired);
    ExpectNothingLeftOpen();
}

// The switches leave out the drivers, the uninstall entry and the shortcut, and say so.
TEST_F(NewInstallationTest, SwitchesLeaveOutDriversUninstallEntryAndShortcut)
{
    AgentPackage package("pkg-n2");
    AgentFootprint footprint = Install("N2", package, "/n /i /j");
    std::vector<std::string> messages = Messages();
    EXPECT_FALSE(Logged("Setup drivers..."));
    EXPECT_FALSE(Logged("Adding uninstall key..."));
    EXPECT_FALSE(Logged("Creating shortcut..."));
    int skipEntry = IndexOf("Skip adding uninstall key.");
    int skipShortcut = IndexOf("Skip Shortcut creation.");
    EXPECT_LT(IndexOf("Installing agent service..."), skipEntry);
    EXPECT_LT(skipEntry, skipShortcut);
    EXPECT_EQ(skipShortcut + 1, IndexOf("Installation finished."));

    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint)) << "what the switches leave in";
    AgentFootprint everything = footprint;
    everything.Shortcut = everything.UninstallEntry = everything.OwnsDrivers = true;
    EXPECT_EQ((std::vector<std::string>{
                  "uninstall entry SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XAN2",
                  "shortcut " + ProgramsFolder() + "\\Arvane\\Arvane Agent.lnk",
                  "DriverControl naming N2",
                  "driver " + InstalledDriverPath(),
                  "provider library " + SystemFolder() + "\\ArvaneSP.dll",
              }),
              MissingParts(everything));
}

// A service of the agent's name stops the installation: a working agent whose instance key was
// lost (or what an interrupted removal left). The roll-back takes what this run made (its
// folder, instance key and the drivers it took) and leaves the service running, and the
// uninstall entry and Run value that were there before.
TEST_F(NewInstallationTest, AnExistingServiceFailsTheInstallationAndTheRollBackLeavesIt)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no service manager: the RunServices value is simply written";
    AgentPackage package("pkg-n3");
    StandIn agent("running-n3");
    TestService existing("XAN3", "Working agent", agent.QuotedExe());
    ASSERT_TRUE(existing.Created());
    ASSERT_TRUE(StartForReal("XAN3"));
    const std::string entry = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XAN3";
    const std::string run = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
    ASSERT_TRUE(SetMachineText(entry, "DisplayName", "Working agent"));
    ASSERT_TRUE(SetMachineText(run, "XASHN3", "\"C:\\Working\\UserTray.exe\""));
    ASSERT_EQ(0, Prepare("/g N3 /s", package.Folder()));
    AgentFootprint footprint = Remember();

    EXPECT_EQ(ERROR_SERVICE_EXISTS, Counted([&] { return Run().InstallNewAgent(); }));
    int failed = IndexOf(ErrorLine("Installation failed.", ERROR_SERVICE_EXISTS));
    ASSERT_GT(failed, IndexOf("Installing agent service..."));
    EXPECT_EQ(failed + 1, IndexOf("Start uninstallation..."));
    EXPECT_EQ(failed + 2, IndexOf("The agent service XAN3 was there before this setup; the roll-back leaves it."));
    EXPECT_TRUE(Logged("The uninstall entry " + entry + " was there before this setup; the roll-back leaves it."));
    EXPECT_FALSE(Logged("Removing service..."));
    EXPECT_EQ("Setup finished.", Messages().back());

    EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAN3").dwCurrentState);
    EXPECT_EQ(agent.QuotedExe(), ReadServiceConfig("XAN3").ImagePath);
    EXPECT_EQ("Working agent", ReadMachineString(entry, "DisplayName"));
    EXPECT_TRUE(MachineValueExists(run, "XASHN3"));
    EXPECT_FALSE(FileExistsAt(footprint.DestFolder));
    EXPECT_FALSE(MachineKeyExists("SOFTWARE\\Arvane\\Agent\\N3"));
    EXPECT_FALSE(InstalledDriverExists());
    EXPECT_FALSE(FileExistsAt(SystemFolder() + "\\ArvaneSP.dll"));
    char owner[MAX_PATH] = "";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverControl(owner, sizeof(owner))) << owner;
}

// The roll-back takes only what the run brought into being, whichever step it follows. No step
// after the link's can fail today, so it is asked for after the last one: a link of the instance
// that was there before the run stays, although the run wrote it anew.
TEST_F(NewInstallationTest, ARollBackAfterTheLastStepLeavesALinkThatWasThereBefore)
{
    AgentPackage package("pkg-n8");
    ASSERT_EQ(0, Prepare("/g N8 /s", package.Folder()));
    Remember();
    ASSERT_EQ(0, CreateAgentShortcut(&Data(), 0));

    EXPECT_EQ(0, Counted([&] {
        int result = Run().InstallNewAgent();
        Run().RollBackNewAgent();
        return result;
    }));
    EXPECT_FALSE(Logged("Removing shortcut and folder..."));
    EXPECT_TRUE(AgentShortcutExists(&Data()));
}

// Without AgentCore.exe in the package the copy stops with 2; the roll-back takes the files
// already copied and leaves the drivers of the instance that owns them.
TEST_F(NewInstallationTest, AMissingAgentProgramRollsBackAndLeavesAnotherOwnersDrivers)
{
    AgentPackage package("pkg-n4", {"AgentCore.exe"});
    ASSERT_TRUE(WriteInstalledDriver("driver of OTHER"));
    // The owner is an installed instance: its key keeps the common key in place.
    ASSERT_TRUE(SetMachineText("SOFTWARE\\Arvane\\Agent\\OTHER", "Path", "C:\\Other"));
    ASSERT_EQ(0, SetDriverControl("OTHER"));
    ASSERT_EQ(0, Prepare("/g N4 /s", package.Folder()));
    AgentFootprint footprint = Remember();

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Counted([&] { return Run().InstallNewAgent(); }));
    EXPECT_EQ(IndexOf(kStart) + 1, IndexOf("Installing version unknown."));
    int aborted = IndexOf("Failed copying files. Setup aborted.");
    ASSERT_GE(aborted, 0);
    EXPECT_EQ(aborted + 1, IndexOf(ErrorLine("Installation failed.", ERROR_FILE_NOT_FOUND)));
    EXPECT_EQ(aborted + 2, IndexOf("Start uninstallation..."));
    EXPECT_FALSE(Logged("Creating package infomation file..."));

    footprint.OwnsDrivers = false;
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    EXPECT_FALSE(FileExistsAt(footprint.DestFolder + "\\XASetup.exe"));
    char owner[MAX_PATH] = "";
    EXPECT_EQ(0, GetDriverControl(owner, sizeof(owner)));
    EXPECT_STREQ("OTHER", owner);
    EXPECT_EQ("driver of OTHER", ReadInstalledDriver());
    DeleteMachineTree("SOFTWARE\\Arvane");
    DeleteInstalledDriver();
}

// An agent folder that was there before the run (a lost instance key beside an old agent's
// folder, or /d onto a folder in use): the roll-back takes the files its copy brought and leaves
// everything that was there, the folders included.
TEST_F(NewInstallationTest, ARollBackBesideAnEarlierFolderTakesOnlyWhatItsCopyBrought)
{
    AgentPackage package("pkg-n7", {"AgentCore.exe"});
    ASSERT_EQ(0, Prepare("/g N7 /s", package.Folder()));
    AgentFootprint footprint = Remember();
    const std::string dest = footprint.DestFolder;
    ASSERT_EQ(0, SHCreateDirectoryExA(nullptr, (dest + "\\Custom").c_str(), nullptr));
    const std::vector<std::string> earlier = {"ArvaneD.ini", "AgtAgent.log", "UpdHelper.exe", "Custom\\script.vbs"};
    for (const std::string& name : earlier)
        ASSERT_TRUE(WriteWholeFile(dest + "\\" + name, "earlier " + name));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Counted([&] { return Run().InstallNewAgent(); }));
    ASSERT_TRUE(Logged("Start uninstallation..."));
    EXPECT_TRUE(Logged("\"" + dest + "\\XASetup.exe\" is removed."));
    EXPECT_FALSE(FileExistsAt(dest + "\\XASetup.exe")) << "the copy brought it";
    for (const std::string& name : earlier)
        EXPECT_EQ("earlier " + name, ReadWholeFile(dest + "\\" + name)) << name;
    EXPECT_EQ("Setup finished.", Messages().back());

    // A later failure (the agent's service name is taken): the Package.xml that this run wrote
    // and the drivers folder that its copy made go with the roll-back too; what was there before
    // still stays.
    if (IsWin9xKind())
        return;  // no service manager
    AgentPackage complete("pkg-n7b");
    TestService existing("XAN7", "Someone else", "C:\\elsewhere\\other.exe");
    ASSERT_TRUE(existing.Created());
    ASSERT_EQ(0, Prepare("/g N7 /s", complete.Folder()));
    EXPECT_EQ(ERROR_SERVICE_EXISTS, Counted([&] { return Run().InstallNewAgent(); }));
    ASSERT_TRUE(Logged("Creating package infomation file..."));
    EXPECT_FALSE(FileExistsAt(dest + "\\Package.xml")) << "this run wrote it";
    EXPECT_EQ(0, GetPathKind((dest + "\\drivers").c_str()));
    for (const std::string& name : earlier)
        EXPECT_EQ("earlier " + name, ReadWholeFile(dest + "\\" + name)) << name;
}

// An agent folder that users who are not administrators may change (owner, write, delete, or
// full access to what is put into it), or whose list cannot be read, is refused with 5 before
// anything is written. Wine keeps no access lists on files: the test sets those of the agent
// folder and the folder above it.
TEST_F(NewInstallationTest, AnAgentFolderThatUsersMayChangeIsRefusedBeforeAnythingIsWritten)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no access lists on Windows 9x";
    AgentPackage package("pkg-n9");
    const std::string good = "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";
    struct Row {
        const char* What;
        bool FolderExists;
        std::string Folder;
        std::string Parent;
        int FolderReadError;  // 0: its list reads as Folder
    } rows[] = {
        {"a user owns it", true, "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", good, 0},
        {"Users may write", true, "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1201bf;;;BU)", good, 0},
        {"Users may delete the entries above", false, "", "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;;0x1200e9;;;BU)",
         0},
        {"Users get full access to what is put into it", true,
         "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICIIO;FA;;;BU)", good, 0},
        {"its list cannot be read", true, good, good, ERROR_ACCESS_DENIED},
        // What a folder above passes on reaches only what setup creates, which it protects.
        {"only administrators", true, good, good + "(A;OICIIO;FA;;;BU)", 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        ASSERT_EQ(0, Prepare("/g N9 /s", package.Folder()));
        AgentFootprint footprint = Remember();
        const std::string dest = footprint.DestFolder;
        RemoveTree(dest);
        if (row.FolderExists) {
            ASSERT_EQ(0, SHCreateDirectoryExA(nullptr, dest.c_str(), nullptr));
        }
        FolderAccessLists lists;
        lists.Set(dest.substr(0, dest.rfind('\\')), row.Parent);
        if (row.FolderExists)
            lists.Set(dest, row.Folder);
        if (row.FolderReadError)
            lists.Fail(dest, row.FolderReadError);

        int result = Counted([&] { return Run().InstallNewAgent(); });
        if (&row == std::end(rows) - 1) {
            EXPECT_EQ(0, result);
            EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
            break;
        }
        EXPECT_EQ(ERROR_ACCESS_DENIED, result);
        EXPECT_EQ((std::vector<std::string>{"Start new installation...", "Installing version 5.1.2.3.",
                                            "Agent folder \"" + dest +
                                                "\" can be changed by users who are not administrators; the "
                                                "installation is refused."}),
                  MessagesFrom("Start new installation..."));
        EXPECT_EQ(std::vector<std::string>{}, FolderEntries(dest)) << "nothing was written";
        footprint.OwnsDrivers = footprint.Shortcut = footprint.UninstallEntry = false;
        std::vector<std::string> left = Leftovers(footprint);
        EXPECT_EQ(row.FolderExists ? std::vector<std::string>{"folder " + dest} : std::vector<std::string>{}, left);
    }
}

// A folder on the way that a user makes between the check and the run's own creation of the
// folders (a drive's root lets users add folders) would be the user's: the folders are checked
// again once they exist, before the first file, and the installation is refused and rolled back.
TEST_F(NewInstallationTest, AFolderThatAUserMakesWhileTheRunCreatesItsOwnIsRefused)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no access lists on Windows 9x";
    AgentPackage package("pkg-n10");
    const std::string base = logs_ / "Agents";
    ASSERT_EQ(0, Prepare("/g N10 /s /d " + base, package.Folder()));
    AgentFootprint footprint = Remember();
    FolderAccessLists lists;
    lists.AppearAfterFirstRead(base, "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

    EXPECT_EQ(ERROR_ACCESS_DENIED, Counted([&] { return Run().InstallNewAgent(); }));
    std::vector<std::string> steps = MessagesFrom("Start new installation...");
    ASSERT_GE(steps.size(), 4u);
    EXPECT_EQ("Agent folder \"" + footprint.DestFolder +
                  "\" can be changed by users who are not administrators; the installation is refused.",
              steps[2]);
    EXPECT_EQ(ErrorLine("Installation failed.", ERROR_ACCESS_DENIED), steps[3]);
    EXPECT_TRUE(Logged("Start uninstallation..."));
    EXPECT_EQ(0, GetPathKind(footprint.DestFolder.c_str())) << "no file was written; the run's folder went";
    EXPECT_EQ(1, GetPathKind(base.c_str())) << "the user's folder stays";
}

// A new agent that does not start is a failure the deployment tool hears of, with the start's
// error; the installation stays (the agent may start at the next boot).
TEST_F(NewInstallationTest, AnAgentThatDoesNotStartEndsTheRunWithTheStartsError)
{
    AgentPackage package("pkg-n11");
    ASSERT_TRUE(WriteWholeFile(package / "AgentCore.exe", "not a program"));
    ASSERT_EQ(0, Prepare("/g N11 /s /e", package.Folder()));
    AgentFootprint footprint = Remember();

    int result = Counted([&] { return RunProcedure(&Run()); });
    EXPECT_NE(0, result);
    EXPECT_EQ("End install process. (" + std::to_string(result) + ")", Messages().back());
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    EXPECT_FALSE(Logged("Start uninstallation..."));
}

// A Package.xml that cannot be written ends the installation with its error, without the
// roll-back: the copied files stay. (Written beside its place, it takes that place by a rename,
// which the system refuses over a file held open.)
TEST_F(NewInstallationTest, AnUnwritablePackageFileIsReturnedWithoutRollBack)
{
    AgentPackage package("pkg-n5");
    ASSERT_EQ(0, Prepare("/g N5 /s", package.Folder()));
    AgentFootprint footprint = Remember();
    std::string packageFile = footprint.DestFolder + "\\Package.xml";
    ASSERT_EQ(0, SHCreateDirectoryExA(nullptr, footprint.DestFolder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(packageFile, "held"));
    FileHolder holder(packageFile);
    ASSERT_TRUE(holder.Holding());

    EXPECT_EQ(ERROR_ACCESS_DENIED, Counted([&] { return Run().InstallNewAgent(); }));
    EXPECT_EQ("Creating package infomation file...", Messages().back());
    EXPECT_FALSE(Logged(ErrorLine("Installation failed.", ERROR_ACCESS_DENIED)));
    EXPECT_FALSE(FileExistsAt(packageFile + ".partial"));
    EXPECT_FALSE(Logged("Start uninstallation..."));
    EXPECT_EQ(ReadWholeFile(package / "AgentCore.exe"), ReadWholeFile(footprint.DestFolder + "\\AgentCore.exe"));
    holder.Release();
    EXPECT_EQ("held", ReadWholeFile(packageFile));
}

// A shortcut that cannot be created is logged with its code and the installation goes on.
TEST_F(NewInstallationTest, AFailingShortcutDoesNotFailTheInstallation)
{
    AgentPackage package("pkg-n6");
    // A file where the company's program group would be.
    std::string group = ProgramsFolder() + "\\Blocked";
    ASSERT_TRUE(WriteWholeFile(group, "not a folder"));
    AgentFootprint footprint = Install("N6", package, "/o Blocked");
    DeleteFileA(group.c_str());

    std::vector<std::string> messages = MessagesFrom("Creating shortcut...");
    ASSERT_EQ(3u, messages.size());
    EXPECT_NE("Shortcut creation returns 0x0", messages[1]);
    EXPECT_EQ(0u, messages[1].rfind("Shortcut creation returns 0x", 0)) << messages[1];
    EXPECT_EQ("Installation finished.", messages[2]);
    // The installation stays; the run ends with the shortcut's error, for a deployment tool to see.
    EXPECT_NE(0, Data().PartFailure);
    footprint.Shortcut = false;
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
}

}  // namespace
