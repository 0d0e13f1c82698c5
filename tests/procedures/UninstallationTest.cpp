// The removal of an installed instance on the prefix's real registry, services and files: the
// whole run as the log and the progress window show it, and after each removal the leftover
// check; a missing service, a second instance, the last instance with the viewer that agents
// installed, and a run that is no removal.
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>

#include <shlobj.h>

#include "control/ServiceTestSupport.h"
#include "harness/ShellLinkReader.h"
#include "procedures/AgentShutdown.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RemovalLeftovers.h"
#include "support/AgentNames.h"
#include "support/Files.h"
#include "support/Registry.h"
#include "support/ShellLinks.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const char kStart[] = "Start uninstallation...";
const char kLast[] = "This is the last agent on the machine.";
const char kFinished[] = "Setup finished.";
const char kAgentKeyPath[] = "SOFTWARE\\Arvane\\Agent";
const char kViewerKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\RealVNC_is1";

class UninstallationTest : public ProcedureRunTest {
protected:
    ~UninstallationTest() override
    {
        DeleteMachineTree(kViewerKey);
        RemoveTree(viewer_);
    }

    // A removal run of an installed instance, as the temporary copy performs it; its result.
    int Remove(const std::string& instance, const std::string& source, const std::string& options = "")
    {
        EXPECT_EQ(0, Prepare("/g " + instance + " /r /s /t " + options, source));
        EXPECT_EQ(1, Data().IsRemove);
        return Counted([&] { return Run().UninstallAgent(); });
    }

    // The remote-control viewer as an agent's own installation of it left it (no quiet
    // uninstaller: it is removed by hand).
    void InstallViewer()
    {
        CreateDirectoryA(viewer_.c_str(), nullptr);
        ASSERT_TRUE(WriteWholeFile(viewer_ + "\\WinVNC4.exe", "viewer"));
        ASSERT_TRUE(SetMachineText(kViewerKey, "DisplayName", "VNC Free Edition 4.1.2"));
        ASSERT_TRUE(SetMachineText(kViewerKey, "Inno Setup: App Path", viewer_));
        ASSERT_TRUE(SetMachineText(kViewerKey, "VersionL401", "4.1.2"));
    }
    bool ViewerPresent() const { return MachineKeyExists(kViewerKey) || FileExistsAt(viewer_ + "\\WinVNC4.exe"); }

    std::string viewer_ = logs_ / "viewer";
};

TEST_F(UninstallationTest, RepresentativeRunLogsAndShowsEveryStepAndLeavesNothing)
{
    AgentPackage package("pkg-u1");
    AgentFootprint footprint = Install("U1", package);
    ASSERT_EQ(std::vector<std::string>{}, MissingParts(footprint));

    ASSERT_EQ(0, Prepare("/g U1 /r /s /t", package.Folder()));
    const StatusRecorder& status = ReportedStatus();
    DWORD started = clock_.Now();
    EXPECT_EQ(0, Counted([&] {
            Run().UninstallAgent();
            return 0;
        }));
    // Nothing of the agent ran: no wait found anything to wait for.
    EXPECT_EQ(started, clock_.Now());

    std::vector<std::string> expected = {kStart, "Stopping Agent Service..."};
    if (!IsWin9xKind()) {
        // Windows 9x has no service to stop: only the agent itself is asked.
        expected.insert(expected.end(), {"Stopping service XAU1...", "Stopping service returns 0."});
    }
    expected.insert(expected.end(), {
        "Trying to connect to agent via \"\\\\.\\pipe\\arvaneAgentU1\"...",
        "StopAgentService() returns 0",
        "Stopping user interface modules...",
        "Removing service...",
        "Removing files...",
    });
    auto removed = [&](const std::string& path) { expected.push_back("\"" + path + "\" is removed."); };
    auto notFound = [&](const std::string& path) { expected.push_back("\"" + path + "\" is not found."); };
    for (const char* name : {"XASetup.exe", "AgentCore.exe", "UserTray.exe", "EvtMsg64.exe", "PortProbe.exe",
                             "libcmx.dgst", "AgentExt.dll", "EventHook.dll", "LogScan.dll"})
        removed(std::string("<dest>\\") + name);
    notFound("<dest>\\psapi.dll");
    for (const char* name : {"sporder.dll", "libcmx.dll", "drivers\\ArvaneD.VXD", "drivers\\XAPFA.sys",
                             "drivers\\XAPFA64.sys", "drivers\\ArvaneSP.dll"})
        removed(std::string("<dest>\\") + name);
    for (const char* name : {"ArvaneD.ini", "ArvaneFW.ini", "AgtFirewall.log", "AgtAgent.log", "AgtError.log",
                             "AgtStats.log", "agentUpdated.txt", "UpdHelper.exe", "ArvaneD.bak", "auditCache.txt",
                             "lastCheck.txt", "uiLang.xml", "evtFilter.xml", "evtFilterEx.xml", "AgentExt.bak",
                             "EventHook.bak", "LogScan.bak", "AgentCore.log", "AgentCore.log1"})
        notFound(std::string("<dest>\\") + name);
    removed("<dest>\\Package.xml");
    notFound("<dest>\\Custom");
    notFound("<dest>\\Temp");
    removed("<dest>\\Drivers");
    notFound("<dest>\\ExtDlls");
    removed("<dest>");
    // No working folder is known without its configuration file: those rows are passed over.
    expected.insert(expected.end(), {"Agent owns drivers: U1", "Removing drivers..."});
    removed(InstalledDriverPath());
    removed(SystemFolder() + "\\ArvaneSP.dll");
    expected.insert(expected.end(), {"Remove AddOn...", "Removing shortcut and folder...", "Removing registry...",
                                     "Remove uninstallation key...", kLast, kFinished});
    std::vector<std::string> actual = StepsFrom(kStart, {{package.Folder(), "<pkg>"}, {footprint.DestFolder, "<dest>"}});
    EXPECT_EQ(expected, actual) << Joined(actual);

    std::vector<std::string> steps = {
        "status: Setup is removing the application and its components...",
        "detail: Stopping agent service...",
        "bar: 0",
        "detail: Stopping agent service...",
        "bar: 5",
        "detail: Stopping user interface module...",
        "bar: 10",
        "detail: Stopping user interface module...",
        "bar: 15",
        "detail: Remove agent service.",
        "bar: 20..76",
        "detail: Removing driver files...",
        "bar: 80",
        "detail: Removing add-ons...",
        "bar: 85",
        "detail: Remove application settings from registry.",
        "bar: 90",
        "detail: Remove uninstall registry.",
        "bar: 95",
    };
    EXPECT_EQ(steps, status.Steps());
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    ExpectNothingLeftOpen();
}

// Without its service the instance still loses its files, settings, shortcut and entry, and
// what a killed update left beside its files.
TEST_F(UninstallationTest, AMissingServiceStillRemovesEverythingElse)
{
    AgentPackage package("pkg-u2");
    AgentFootprint footprint = Install("U2", package);
    ASSERT_TRUE(ForceRemoveService("XAU2"));
    for (const char* left : {"AgentCore.exe.setaside", "ArvaneFW.ini.created", "LogScan.dll.deferred",
                             "drivers\\XAPFA.sys.partial", "XASetup.exe.committed"})
        ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\" + left, "left by a killed update"));

    EXPECT_EQ(0, Remove("U2", package.Folder()));
    EXPECT_EQ(kFinished, Messages().back());
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
}

// Removing one of two instances leaves the other with the common key and the viewer.
TEST_F(UninstallationTest, RemovingOneOfTwoInstancesLeavesTheOtherAndTheViewer)
{
    AgentPackage package("pkg-u3");
    AgentFootprint first = Install("U3A", package);
    AgentFootprint second = Install("U3B", package);
    second.OwnsDrivers = false;  // the first took them
    ASSERT_EQ(std::vector<std::string>{}, MissingParts(second));
    ASSERT_EQ("Arvane Agent #2", second.Title);
    InstallViewer();

    EXPECT_EQ(0, Remove("U3A", package.Folder()));
    EXPECT_FALSE(Logged(kLast));
    EXPECT_EQ(kFinished, Messages().back());
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(first));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(second));
    EXPECT_TRUE(MachineKeyExists(std::string(kAgentKeyPath) + "\\U3B"));
    EXPECT_TRUE(MachineKeyExists(kViewerKey));
    EXPECT_TRUE(FileExistsAt(viewer_ + "\\WinVNC4.exe"));
}

// The last instance takes the viewer that agents installed and the common keys with it.
TEST_F(UninstallationTest, TheLastInstanceTakesTheViewerAndTheCommonKeys)
{
    AgentPackage package("pkg-u4");
    AgentFootprint footprint = Install("U4", package);
    InstallViewer();

    EXPECT_EQ(0, Remove("U4", package.Folder()));
    int last = IndexOf(kLast);
    ASSERT_GT(last, IndexOf("Remove uninstallation key..."));
    EXPECT_LT(last, IndexOf(kFinished));
    EXPECT_EQ(kFinished, Messages().back());
    EXPECT_FALSE(ViewerPresent());
    EXPECT_FALSE(MachineKeyExists(kAgentKeyPath));
    EXPECT_FALSE(MachineKeyExists("SOFTWARE\\Arvane"));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
}

// Outside a removal run (no working folder known), the drivers the installation put in place
// stay and the working-folder rows are passed over.
TEST_F(UninstallationTest, RollBackLeavesTheDriversAndTheWorkingFolder)
{
    AgentPackage package("pkg-u5");
    AgentFootprint footprint = Install("U5", package);
    std::string work = logs_ / "work";
    CreateDirectoryA(work.c_str(), nullptr);
    ASSERT_TRUE(WriteWholeFile(work + "\\NetProbe.exe", "tool"));
    ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\ArvaneD.ini", "Agent_Temp_Dir " + work + "\r\n"));

    // The record of the installation itself, as the failure exit hands it over.
    ASSERT_EQ(0, Data().IsRemove);
    ASSERT_EQ(nullptr, Data().AgentWorkingFolder);
    EXPECT_EQ(0, Counted([&] {
            Run().UninstallAgent();
            return 0;
        }));

    EXPECT_TRUE(Logged("Agent owns drivers: U5"));
    EXPECT_FALSE(Logged("Removing drivers..."));
    EXPECT_TRUE(FileExistsAt(work + "\\NetProbe.exe"));
    for (const std::string& message : Messages())
        EXPECT_EQ(std::string::npos, message.find(work)) << message;
    footprint.OwnsDrivers = false;
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    EXPECT_TRUE(InstalledDriverExists());
    EXPECT_TRUE(FileExistsAt(SystemFolder() + "\\ArvaneSP.dll"));

    // The removal run of the same instance knows the working folder and empties it of the
    // agent's tools; the folder itself stays.
    AgentFootprint again = Install("U5", package);
    ASSERT_TRUE(WriteWholeFile(again.DestFolder + "\\ArvaneD.ini", "Agent_Temp_Dir " + work + "\r\n"));
    EXPECT_EQ(0, Remove("U5", package.Folder()));
    EXPECT_EQ(work, Data().AgentWorkingFolder ? Data().AgentWorkingFolder : "");
    EXPECT_FALSE(FileExistsAt(work + "\\NetProbe.exe"));
    EXPECT_TRUE(GetFileAttributesA(work.c_str()) != INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(again));
    ExpectNothingLeftOpen();  // the working folder went with the record
}

// An agent folder that users who are not administrators may change keeps its files (one of them
// could have swapped it for a link meanwhile); the rest of the removal goes on.
TEST_F(UninstallationTest, AnAgentFolderThatUsersMayChangeKeepsItsFiles)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no access lists on Windows 9x";
    AgentPackage package("pkg-u7");
    AgentFootprint footprint = Install("U7", package);
    FolderAccessLists lists;
    lists.Set(footprint.DestFolder, "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");

    // The files it leaves are counted, and the run ends with 5: the agent is not gone.
    EXPECT_EQ(ERROR_ACCESS_DENIED, Remove("U7", package.Folder()));
    EXPECT_EQ(IndexOf("Removing files...") + 1,
              IndexOf("Agent folder \"" + footprint.DestFolder +
                      "\" can be changed by users who are not administrators; its files are left."));
    std::vector<std::string> messages = Messages();
    EXPECT_TRUE(std::any_of(messages.begin(), messages.end(), [](const std::string& line) {
        return std::regex_match(line, std::regex("The removal left [1-9][0-9]+ items\\."));
    }));
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_TRUE(FileExistsAt(footprint.DestFolder + "\\AgentCore.exe"));
    EXPECT_EQ(std::vector<std::string>{"folder " + footprint.DestFolder}, Leftovers(footprint));
}

// A folder whose content cannot be listed is not known to be empty at the restart, nor is any
// folder above it: they stay, counted with its error, and nothing of them is left for the restart.
TEST_F(UninstallationTest, AFolderThatCannotBeListedIsNotLeftForTheRestart)
{
    AgentPackage package("pkg-u11");
    AgentFootprint footprint = Install("U11", package);
    const std::string locked = footprint.DestFolder + "\\Custom\\locked";
    ASSERT_TRUE(CreateFolderPath(locked.c_str()));
    ASSERT_TRUE(DenyListing(locked));
    const std::vector<std::string> before = PendingRenames();

    EXPECT_EQ(ERROR_ACCESS_DENIED, Remove("U11", package.Folder()));
    DenyListing(locked, false);
    EXPECT_TRUE(Logged("The removal left 3 items."));
    EXPECT_TRUE(Logged("Failed to remove \"" + locked + "\". " + SystemMessage(ERROR_ACCESS_DENIED)));
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_TRUE(before == PendingRenames());
    EXPECT_FALSE(FileExistsAt(WindowsFolder() + "\\WinInit.ini"));
    RemoveTree(footprint.DestFolder);
}

// A blank or relative working folder in ArvaneD.ini is no working folder: the folders of the same
// names in the drive's root ("\\Logs", or "XaWork\\Logs" seen from the root) stay whole.
TEST_F(UninstallationTest, AnUnusableWorkingFolderLeavesTheDriveRootAlone)
{
    AgentPackage package("pkg-u6");
    // The removal runs in the root of the prefix's system drive (the test's own folder may be
    // on the drive that Wine maps to the Unix root).
    char current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof(current), current));
    const std::string root = SystemFolder().substr(0, 3);
    const std::vector<std::string> kept = {"Logs\\a.log",        "scan\\a.tmp",        "MonitorSets\\a.xml",
                                           "LogConfig\\a.xml",   "XaWork\\Logs\\a.log", "XaWork\\NetProbe.exe",
                                           "NetProbe.exe"};
    for (const char* value : {"", "XaWork"}) {
        SCOPED_TRACE(std::string("Agent_Temp_Dir ") + value);
        for (const char* folder : {"Logs", "scan", "MonitorSets", "LogConfig", "XaWork", "XaWork\\Logs"})
            CreateDirectoryA((root + folder).c_str(), nullptr);
        for (const std::string& name : kept)
            ASSERT_TRUE(WriteWholeFile(root + name, name));
        AgentFootprint footprint = Install("U6", package);
        ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\ArvaneD.ini", std::string("Agent_Temp_Dir ") + value));
        ASSERT_TRUE(SetCurrentDirectoryA(root.c_str()));
        EXPECT_EQ(0, Remove("U6", package.Folder()));
        SetCurrentDirectoryA(current);

        EXPECT_EQ(nullptr, Data().AgentWorkingFolder);
        EXPECT_TRUE(Logged(std::string("Agent working folder \"") + value +
                           "\" is not usable; its files are left alone."));
        for (const std::string& name : kept)
            EXPECT_EQ(name, ReadWholeFile(root + name)) << name;
        EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    }
    for (const char* folder : {"Logs", "scan", "MonitorSets", "LogConfig", "XaWork"})
        RemoveTree(root + folder);
    DeleteFileA((root + "NetProbe.exe").c_str());
}

// An instance that is not installed: its folder is left as it is, files and all, unless it holds
// a Package.xml naming the instance (an installation whose key was lost); what the id alone names
// goes either way.
TEST_F(UninstallationTest, ANotInstalledInstanceLeavesAFolderThatIsNotItsOwn)
{
    AgentPackage package("pkg-u7");
    std::string base = logs_ / "Base";
    std::string user = base + "\\Finance";
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(user.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((user + "\\2026").c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(user + "\\2026\\ledger.xlsx", "the year's books"));
    ASSERT_TRUE(WriteWholeFile(user + "\\Package.xml", "<?xml version=\"1.0\" ?>\r\n<Package><ID>Other</ID></Package>"));
    const std::string entry = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XAFinance";
    ASSERT_TRUE(SetMachineText(entry, "DisplayName", "Arvane Agent"));

    EXPECT_EQ(0, Remove("Finance", package.Folder(), "/d " + base));
    EXPECT_TRUE(Logged("Agent instance Finance is not installed; its folder \"" + user + "\" is left alone."));
    EXPECT_EQ("the year's books", ReadWholeFile(user + "\\2026\\ledger.xlsx"));
    EXPECT_TRUE(FileExistsAt(user + "\\Package.xml"));
    EXPECT_FALSE(MachineKeyExists(entry)) << "the uninstall entry is named by the id";
    EXPECT_EQ(kFinished, Messages().back());

    // The key lost, the folder's Package.xml still names the instance: it is the instance's.
    AgentFootprint footprint = Install("U7", package, "/d " + base);
    DeleteMachineTree(std::string(kAgentKeyPath) + "\\U7");
    EXPECT_EQ(0, Remove("U7", package.Folder(), "/d " + base));
    EXPECT_FALSE(Logged("Agent instance U7 is not installed; its folder \"" + footprint.DestFolder +
                        "\" is left alone."));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
}

// The Start-menu link is found by the title, and an instance that is not installed goes by the
// first instance's: a removal takes the link only when it leads to this instance's program. Not
// by the removal of an instance never installed, nor by that of one whose key was lost (the
// remedy for a service that is there already), nor, wherever the link leads, by that of one
// whose folder is not proven the agent's; the instance's own removal takes its own.
TEST_F(UninstallationTest, ARemovalTakesOnlyItsOwnLink)
{
    AgentPackage package("pkg-u11");
    AgentFootprint first = Install("U11A", package);
    ASSERT_EQ("Arvane Agent", first.Title);

    EXPECT_EQ(0, Remove("U11B", package.Folder()));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(first)) << "never installed";

    AgentFootprint lost = Install("U11C", package);
    ASSERT_EQ("Arvane Agent #2", lost.Title);
    DeleteMachineTree(std::string(kAgentKeyPath) + "\\U11C");
    EXPECT_EQ(0, Remove("U11C", package.Folder()));
    EXPECT_EQ("Arvane Agent", std::string(Data().Title));
    EXPECT_FALSE(FileExistsAt(lost.DestFolder)) << "its Package.xml names the instance";
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(first)) << "key lost";

    // A folder of the instance's name that is not the agent's, with a program and a link of the
    // instance's title leading to it.
    std::string base = logs_ / "Base";
    std::string folder = base + "\\U11D";
    const int programs = IsWin9xKind() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS;
    ASSERT_TRUE(CreateDirectoryA(base.c_str(), nullptr) && CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(folder + "\\AgentCore.exe", "the user's own"));
    ASSERT_EQ(S_OK, CreateShortcutFolder(programs, "Contoso"));
    ASSERT_EQ(S_OK, CreateShortcut(programs, "Contoso", "Contoso Agent.lnk", (folder + "\\AgentCore.exe").c_str(),
                                   nullptr, nullptr, nullptr, 0));
    std::string link = SpecialFolder(programs) + "\\Contoso\\Contoso Agent.lnk";
    EXPECT_EQ(0, Remove("U11D", package.Folder(), "/o Contoso /d " + base));
    EXPECT_TRUE(FileExistsAt(link)) << "folder not proven";
    DeleteShortcut(programs, "Contoso", "Contoso Agent.lnk");
    RemoveShortcutFolder(programs, "Contoso");

    // Its own link goes, also when it names the program in another spelling (compared as files,
    // so before the program goes).
    std::string program = first.DestFolder + "\\AgentCore.exe";
    ASSERT_NE(program, ShortPath(program));
    ASSERT_EQ(S_OK, CreateShortcut(programs, "Arvane", "Arvane Agent.lnk", ShortPath(program).c_str(), nullptr,
                                   nullptr, nullptr, 0));
    EXPECT_EQ(0, Remove("U11A", package.Folder()));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(first));
}

// A file in use stays, and so does its folder: both go at the next restart, the removal says so
// and asks for the restart. A file that can be renamed goes under a new "~" name; one that cannot
// keeps its own, and a reinstallation before the restart takes that deletion back: remove, then
// install, then restart leaves a whole agent. Windows 9x deletes only files at its restart: the
// folder stays, and its error is the removal's result; when not even the file can be left for the
// restart (WinInit.ini is not writable), the file's own error is.
TEST_F(UninstallationTest, WhatIsInUseIsLeftForTheRestartAndAReinstallationKeepsItsFiles)
{
    AgentPackage package("pkg-u8");
    AgentFootprint footprint = Install("U8", package);
    std::string held = footprint.DestFolder + "\\LogScan.dll";
    std::string program = footprint.DestFolder + "\\AgentCore.exe";
    std::string winInit = WindowsFolder() + "\\WinInit.ini";
    const std::string sessionManager = "System\\CurrentControlSet\\Control\\Session Manager";
    {
        FileHolder holder(held);  // no sharing: it cannot be renamed either
        FileHolder running(program, "image");  // as a running program: it can
        ASSERT_TRUE(holder.Holding() && running.Holding());
        EXPECT_EQ(IsWin9xKind() ? ERROR_DIR_NOT_EMPTY : 0, Remove("U8", package.Folder()));
    }
    EXPECT_TRUE(Logged(IsWin9xKind() ? "The removal left 3 items."
                                       : "The removal left 3 items; they are deleted at the next restart."));
    EXPECT_EQ(1, Data().RebootRequired);
    EXPECT_EQ(kFinished, Messages().back());
    std::vector<std::string> aside = FolderEntries(footprint.DestFolder, "~*.tmp");
    ASSERT_EQ(1u, aside.size());
    std::string renamed = footprint.DestFolder + "\\" + aside[0];
    EXPECT_TRUE(Logged("\"" + program + "\" goes at the next restart as \"" + renamed + "\"."));
    EXPECT_FALSE(FileExistsAt(program));
    if (IsWin9xKind()) {
        EXPECT_EQ("[rename]\r\nNUL=" + ShortPath(renamed) + "\r\nNUL=" + ShortPath(held) + "\r\n",
                  ReadWholeFile(winInit));
    } else {
        std::string pending = ReadMachineMultiString(sessionManager, "PendingFileRenameOperations") + "|";
        EXPECT_NE(std::string::npos, pending.find("\\??\\" + renamed + "||\\??\\" + held + "||\\??\\" +
                                                  footprint.DestFolder + "|"))
            << pending;
    }

    // Installed again before the restart: the restart takes the renamed file and nothing of the
    // new installation.
    footprint = Install("U8", package);
    ASSERT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(footprint));
    EXPECT_TRUE(FileExistsAt(held));
    EXPECT_TRUE(FileExistsAt(program));
    EXPECT_FALSE(FileExistsAt(renamed));
    EXPECT_EQ(0, Remove("U8", package.Folder()));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    DeleteFileA(winInit.c_str());

    if (!IsWin9xKind())
        return;
    footprint = Install("U8", package);
    ASSERT_TRUE(CreateDirectoryA(winInit.c_str(), nullptr));
    {
        FileHolder holder(held);
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(ERROR_SHARING_VIOLATION, Remove("U8", package.Folder()));
    }
    RemoveDirectoryA(winInit.c_str());
    EXPECT_TRUE(Logged("The removal left 2 items."));
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_TRUE(FileExistsAt(held));
    RemoveTree(footprint.DestFolder);
}

// A removal handed over from the agent folder runs while the first process, which waits for its
// result, still runs its program there. That program, and the folder when nothing else stays in
// it, are no leftovers: nothing waits for the restart for them, and they go once the first process
// has ended. When something else keeps the folder, the folder goes at the restart after it, and
// after the program too, when that is still in use at the end.
TEST_F(UninstallationTest, TheFirstProcessOfAHandOverKeepsItsProgramAndFolderUntilItEnds)
{
    AgentPackage package("pkg-u12");
    AgentFootprint footprint = Install("U12", package);
    const std::string program = footprint.DestFolder + "\\XASetup.exe";
    const std::vector<std::string> before = PendingRenames();
    // The first process maps its program as a running program does; the package's is a sample.
    ASSERT_TRUE(CopyFileA((footprint.DestFolder + "\\AgentCore.exe").c_str(), program.c_str(), FALSE));
    auto removeWhileFirstProcessRuns = [&] {
        EXPECT_EQ(0, Prepare("/g U12 /r /s /t", package.Folder()));
        Data().FirstProcessProgram = DuplicateText(program.c_str());
        return Counted([&] { return Run().UninstallAgent(); });
    };
    {
        FileHolder firstProcess(program, "image");
        ASSERT_TRUE(firstProcess.Holding());
        EXPECT_EQ(0, removeWhileFirstProcessRuns());
    }
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_EQ(kFirstProcessProgram | kFirstProcessFolder, Data().LeftForFirstProcess);
    EXPECT_TRUE(Logged("\"" + program + "\" goes once the first process has ended."));
    EXPECT_TRUE(Logged("\"" + footprint.DestFolder + "\" goes once the first process has ended."));
    for (const std::string& message : Messages())
        EXPECT_NE(0u, message.rfind("The removal left", 0)) << message;
    EXPECT_EQ(std::vector<std::string>{"XASetup.exe"}, FolderEntries(footprint.DestFolder));
    EXPECT_TRUE(before == PendingRenames());
    Counted([&] {
        RemoveFirstProcessItems(&Data());
        return 0;
    });
    int removed = IndexOf("\"" + program + "\" is removed.");
    EXPECT_LT(IndexOf("Setup finished."), removed);
    EXPECT_LT(removed, IndexOf("\"" + footprint.DestFolder + "\" is removed."));
    EXPECT_FALSE(FileExistsAt(footprint.DestFolder));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));
    EXPECT_TRUE(before == PendingRenames());

    // Windows 9x deletes no folder at its restart: the order of the list is NT's.
    if (IsWin9xKind())
        return;
    footprint = Install("U12", package);
    ASSERT_TRUE(CopyFileA((footprint.DestFolder + "\\AgentCore.exe").c_str(), program.c_str(), FALSE));
    const std::string held = footprint.DestFolder + "\\LogScan.dll";
    {
        FileHolder holder(held);  // no sharing: it stays under its own name
        FileHolder firstProcess(program, "image");
        ASSERT_TRUE(holder.Holding() && firstProcess.Holding());
        EXPECT_EQ(0, removeWhileFirstProcessRuns());
        EXPECT_EQ(1, Data().RebootRequired);
        EXPECT_EQ(kFirstProcessProgram, Data().LeftForFirstProcess);
        EXPECT_TRUE(Logged("The removal left 2 items; they are deleted at the next restart."));
        // The first process did not end in time: its program goes at the restart too.
        Counted([&] {
            RemoveFirstProcessItems(&Data());
            return 0;
        });
    }
    std::vector<std::string> aside = FolderEntries(footprint.DestFolder, "~*.tmp");
    ASSERT_EQ(1u, aside.size());
    const std::string renamed = footprint.DestFolder + "\\" + aside[0];
    EXPECT_TRUE(Logged("\"" + program + "\" goes at the next restart as \"" + renamed + "\"."));
    std::string pending;
    for (const std::string& entry : PendingRenames())
        pending += entry + "|";
    const std::string folderEntry = "\\??\\" + footprint.DestFolder + "|";
    size_t order = pending.find("\\??\\" + held + "||\\??\\" + renamed + "||" + folderEntry);
    EXPECT_NE(std::string::npos, order) << pending;
    EXPECT_EQ(pending.find(folderEntry), order + pending.substr(order).find(folderEntry)) << "once only: " << pending;
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_FALSE(FileExistsAt(footprint.DestFolder));
}

// Users may change the agent's working folder: what stays of it is counted and logged and ends
// the removal with its error, but nothing there is left for the restart, which would follow a
// link put in place of a sub-folder after the run and delete what it leads to as SYSTEM.
TEST_F(UninstallationTest, NothingOfTheWorkingFolderIsLeftForTheRestart)
{
    AgentPackage package("pkg-u9");
    std::string work = logs_ / "Work";
    std::string protectedFolder = logs_ / "System32";
    ASSERT_TRUE(CreateDirectoryA(work.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((work + "\\Logs").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(protectedFolder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(work + "\\Logs\\x.log", "log"));
    ASSERT_TRUE(WriteWholeFile(protectedFolder + "\\x.log", "protected"));
    AgentFootprint footprint = Install("U9", package);
    ASSERT_TRUE(WriteWholeFile(footprint.DestFolder + "\\ArvaneD.ini", "Agent_Temp_Dir " + work));
    const std::vector<std::string> before = PendingRenames();
    {
        FileHolder holder(work + "\\Logs\\x.log");
        ASSERT_TRUE(holder.Holding());
        EXPECT_EQ(ERROR_SHARING_VIOLATION, Remove("U9", package.Folder()));
    }
    EXPECT_TRUE(Logged("The removal left 2 items."));
    EXPECT_TRUE(Logged("Failed to remove \"" + work + "\\Logs\\x.log\". " + SystemMessage(ERROR_SHARING_VIOLATION)));
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_TRUE(before == PendingRenames());
    EXPECT_FALSE(FileExistsAt(WindowsFolder() + "\\WinInit.ini"));
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(footprint));

    // The user's link in place of Logs after the run: the restart deletes nothing through it.
    RemoveTree(work + "\\Logs");
    ASSERT_TRUE(LinkFolder(protectedFolder, work + "\\Logs"));
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_EQ("protected", ReadWholeFile(protectedFolder + "\\x.log"));
    RemoveDirectoryA((work + "\\Logs").c_str());
}

// The folder of an instance that is gone, left empty by an earlier removal, goes; one that still
// holds anything is not the run's to judge.
TEST_F(UninstallationTest, AnEmptyFolderOfAnInstanceThatIsGoneIsRemoved)
{
    AgentPackage package("pkg-u12");
    ASSERT_EQ(0, Prepare("/g U12 /r /s", package.Folder()));
    const std::string folder = Data().DestFolder;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    EXPECT_EQ(0, Remove("U12", package.Folder()));
    EXPECT_TRUE(Logged("\"" + folder + "\" is removed."));
    EXPECT_FALSE(FileExistsAt(folder));

    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(folder + "\\notes.txt", "someone's"));
    EXPECT_EQ(0, Remove("U12", package.Folder()));
    EXPECT_TRUE(Logged("Agent instance U12 is not installed; its folder \"" + folder + "\" is left alone."));
    EXPECT_EQ("someone's", ReadWholeFile(folder + "\\notes.txt"));
    RemoveTree(folder);
}

// A folder that removal refuses (a profile folder named as the agent's) is not the agent's: its
// own files stay, and it is neither counted nor left for the restart.
TEST_F(UninstallationTest, AFolderThatIsNeverRemovedKeepsWhatIsNotTheAgents)
{
    AgentPackage package("pkg-u10");
    char* value = nullptr;
    RegReadString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", "Public", &value);
    char publicFolder[MAX_PATH] = "";
    if (value)
        ExpandEnvironmentStringsA(value, publicFolder, sizeof(publicFolder));
    FreeText(value);
    if (!publicFolder[0])
        GTEST_SKIP() << "no public folder on this system";
    std::string own = std::string(publicFolder) + "\\notes.txt";
    ASSERT_TRUE(WriteWholeFile(own, "the user's"));
    AgentFootprint footprint = Install("U10", package);
    ASSERT_TRUE(SetMachineText(std::string(kAgentKeyPath) + "\\U10", "Path", publicFolder));
    const std::vector<std::string> before = PendingRenames();

    EXPECT_EQ(0, Remove("U10", package.Folder()));
    EXPECT_TRUE(Logged(std::string("Refusing to remove \"") + publicFolder + "\"."));
    EXPECT_EQ("the user's", ReadWholeFile(own));
    EXPECT_EQ(0, Data().RebootRequired);
    EXPECT_TRUE(before == PendingRenames());
    DeleteFileA(own.c_str());
    RemoveTree(footprint.DestFolder);
}

}  // namespace
