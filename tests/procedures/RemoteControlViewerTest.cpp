// Removal of the remote-control viewer on the prefix's real registry, files, services and
// processes: the exit-code stand-in plays the viewer's quiet uninstaller, the user task stand-in
// the running viewer, the agent service stand-in its service and the file holder a file in use.
#include <gtest/gtest.h>

#include <algorithm>

#include "harness/VirtualClock.h"
#include "procedures/AddOns.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RemoteControlViewer.h"
#include "support/Registry.h"

using namespace xatest;

namespace {

const char kRunServices[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\RunServices";
const char kDisplayName[] = "VNC Free Edition 4.1.2";
const char* const kFolderFiles[] = {"logmessages.dll", "wm_hooks.dll", "vncconfig.exe", "WinVNC4.exe"};

const std::string kFound = std::string("Found WinVNC - \"") + kDisplayName + "\"";
const std::string kInstalled = "WinVNC was installed by agent. Remove from the system.";
const std::string kByHand = "Romving WinVNC....";

// Everything the viewer may have left in the registry, and its service.
void ForgetViewer()
{
    ForceRemoveService(kViewerServiceName);
    DeleteMachineTree(kViewerUninstallKey);
    DeleteMachineTree(kViewerVendorKey);
    DeleteMachineTree(kViewerServiceKey);
    DeleteMachineValue(kRunServices, kViewerServiceName);
}

class ViewerTest : public testing::Test {
protected:
    ViewerTest() : setup_("viewer"), folder_(setup_.Scratch() / "RealVNC 4") { ForgetViewer(); }
    ~ViewerTest() override { ForgetViewer(); }

    // The viewer's folder with its files (WinVNC4.exe a runnable program), its uninstall entry
    // with the marker (none when empty) and the quiet command (none when empty), the vendor key,
    // a service key and the RunServices value.
    void InstallViewer(const std::string& marker, const std::string& quietCommand = "")
    {
        CreateDirectoryA(folder_.c_str(), nullptr);
        for (const char* name : kFolderFiles)
            ASSERT_TRUE(WriteWholeFile(folder_ + "\\" + name, name));
        ASSERT_TRUE(CopyFileA(FixturePath("usertraystandin.exe").c_str(), Exe().c_str(), FALSE));
        ASSERT_TRUE(SetMachineText(kViewerUninstallKey, "DisplayName", kDisplayName));
        ASSERT_TRUE(SetMachineText(kViewerUninstallKey, "Inno Setup: App Path", folder_));
        if (!marker.empty()) {
            ASSERT_TRUE(SetMachineText(kViewerUninstallKey, marker.c_str(), "4.1.2"));
        }
        if (!quietCommand.empty()) {
            ASSERT_TRUE(SetMachineText(kViewerUninstallKey, "QuietUninstallString", quietCommand));
        }
        ASSERT_TRUE(SetMachineText(std::string(kViewerVendorKey) + "\\WinVNC4", "Password", "x"));
        // A real service, when the test made one, keeps its own entry.
        if (!MachineKeyExists(kViewerServiceKey)) {
            ASSERT_TRUE(SetMachineText(kViewerServiceKey, "ImagePath", Exe() + " -service"));
        }
        ASSERT_TRUE(SetMachineText(kRunServices, kViewerServiceName, Exe() + " -service"));
    }

    std::string Exe() const { return folder_ + "\\WinVNC4.exe"; }
    std::string Record(const std::string& name) { return setup_.Scratch() / name; }
    std::string QuietUninstaller(int code, const std::string& more = "")
    {
        return FixturePath("exitwith.exe") + " " + std::to_string(code) + more + " --record " + Record("quiet.txt");
    }

    bool RegistryGone() const
    {
        return !MachineKeyExists(kViewerUninstallKey) && !MachineKeyExists(kViewerVendorKey) &&
               !MachineKeyExists(kViewerServiceKey) && !MachineValueExists(kRunServices, kViewerServiceName);
    }
    bool RegistryKept() const
    {
        return MachineKeyExists(kViewerUninstallKey) && MachineKeyExists(kViewerVendorKey) &&
               MachineKeyExists(kViewerServiceKey) && MachineValueExists(kRunServices, kViewerServiceName);
    }
    bool FolderKept() const
    {
        for (const char* name : kFolderFiles) {
            if (!FileExistsAt(folder_ + "\\" + name))
                return false;
        }
        return true;
    }
    bool FolderGone() const { return GetFileAttributesA(folder_.c_str()) == INVALID_FILE_ATTRIBUTES; }

    // Runs the removal on a clock whose sleeps take a tenth of their time, at most 100 ms.
    std::vector<DWORD> RemoveOnQuickClock()
    {
        VirtualClock clock;
        clock.OnSleep = [](DWORD ms) { Sleep(std::min<DWORD>(ms / 10, 100)); };
        RemoveRemoteControlViewer(setup_.Run().Data);
        return clock.Sleeps();
    }

    LoggedData setup_;
    std::string folder_;
};

bool Contains(const std::vector<DWORD>& sleeps, DWORD ms)
{
    return std::find(sleeps.begin(), sleeps.end(), ms) != sleeps.end();
}

TEST_F(ViewerTest, NoAppPathMeansNoViewer)
{
    RemoveRemoteControlViewer(setup_.Run().Data);

    InstallViewer("VersionL401");
    ASSERT_TRUE(SetMachineText(kViewerUninstallKey, "Inno Setup: App Path", ""));
    RemoveRemoteControlViewer(setup_.Run().Data);
    ASSERT_EQ(0, DeleteRegistryValue(HKEY_LOCAL_MACHINE, kViewerUninstallKey, "Inno Setup: App Path"));
    RemoveRemoteControlViewer(setup_.Run().Data);
    EXPECT_TRUE(setup_.Messages().empty());
    EXPECT_TRUE(FolderKept());
    EXPECT_TRUE(RegistryKept());
}

TEST_F(ViewerTest, AViewerWithoutMarkerIsLeftAlone)
{
    InstallViewer("", QuietUninstaller(0));
    // Only a string counts as a marker.
    ASSERT_TRUE(SetMachineNumber(kViewerUninstallKey, "VersionM451", 1));
    RemoveRemoteControlViewer(setup_.Run().Data);

    std::vector<std::string> expected = {kFound, "WinVNC was not installed by agent."};
    EXPECT_EQ(expected, setup_.Messages());
    EXPECT_FALSE(FileExistsAt(Record("quiet.txt")));
    EXPECT_TRUE(FolderKept());
    EXPECT_TRUE(RegistryKept());
}

// The first two generations' quiet uninstaller does not work: it is never run.
TEST_F(ViewerTest, EarlyMarkersGoStraightToTheRemovalByHand)
{
    for (const char* marker : {"VersionL401", "VersionL412"}) {
        LoggedData setup("viewer-early");
        ForgetViewer();
        InstallViewer(marker, QuietUninstaller(0));
        // Later markers would call for the quiet uninstaller; the first one present decides.
        ASSERT_TRUE(SetMachineText(kViewerUninstallKey, "VersionM451", "4.5.1"));
        VirtualClock clock;
        RemoveRemoteControlViewer(setup.Run().Data);

        std::vector<std::string> expected = {kFound, kInstalled, kByHand};
        EXPECT_EQ(expected, setup.Messages()) << marker;
        EXPECT_FALSE(FileExistsAt(Record("quiet.txt"))) << marker;
        EXPECT_TRUE(Contains(clock.Sleeps(), kViewerStopPauseMs)) << marker;
        EXPECT_TRUE(RegistryGone()) << marker;
        EXPECT_TRUE(FolderGone()) << marker;
    }
}

// Once the quiet uninstaller has ended with a readable exit code, nothing follows, whatever the
// code.
TEST_F(ViewerTest, AQuietUninstallerThatEndsIsTheWholeRemoval)
{
    struct Row {
        const char* Marker;
        int Code;
    };
    const Row rows[] = {{"VersionM430", 0}, {"VersionM451", 1}};
    for (const Row& row : rows) {
        LoggedData setup("viewer-quiet");
        ForgetViewer();
        DeleteFileA(Record("quiet.txt").c_str());
        std::string command = QuietUninstaller(row.Code);
        InstallViewer(row.Marker, command);
        RemoveRemoteControlViewer(setup.Run().Data);

        std::vector<std::string> expected = {
            kFound,
            kInstalled,
            "Run WinVNC uninstall command \"" + command + "\"...",
            "WinVNC uninstall process completed and returned " + std::to_string(row.Code) + ".",
        };
        EXPECT_EQ(expected, setup.Messages()) << row.Marker;
        EXPECT_EQ(std::vector<std::string>{command}, SplitLines(ReadWholeFile(Record("quiet.txt")))) << row.Marker;
        EXPECT_TRUE(FolderKept()) << row.Marker;
        EXPECT_TRUE(RegistryKept()) << row.Marker;
    }
}

TEST_F(ViewerTest, WithoutAWorkingQuietUninstallerTheViewerIsRemovedByHand)
{
    struct Row {
        const char* Case;
        std::string Command;  // empty: no QuietUninstallString
        std::vector<std::string> QuietLines;
    };
    std::string missing = FixturePath("no-such-unins000.exe") + " /SILENT";
    const Row rows[] = {
        {"no quiet command", "", {}},
        {"quiet command that cannot start",
         missing,
         {"Run WinVNC uninstall command \"" + missing + "\"...",
          "Faile to run WinVNC uninstall command. Error code: 2"}},
    };
    for (const Row& row : rows) {
        LoggedData setup("viewer-noquiet");
        ForgetViewer();
        InstallViewer("VersionM451", row.Command);
        VirtualClock clock;
        RemoveRemoteControlViewer(setup.Run().Data);

        std::vector<std::string> expected = {kFound, kInstalled};
        expected.insert(expected.end(), row.QuietLines.begin(), row.QuietLines.end());
        expected.push_back(kByHand);
        EXPECT_EQ(expected, setup.Messages()) << row.Case;
        EXPECT_TRUE(RegistryGone()) << row.Case;
        EXPECT_TRUE(FolderGone()) << row.Case;
    }
}

TEST_F(ViewerTest, AQuietUninstallerStillRunningAfterFifteenMinutesIsLeftAndTheViewerRemovedByHand)
{
    std::string command = QuietUninstaller(0, " --sleep 3000");
    InstallViewer("VersionM430", command);
    {
        VirtualClock clock;
        RemoveRemoteControlViewer(setup_.Run().Data);
        EXPECT_GE(clock.Elapsed(), kUninstallWaitMs + kViewerStopPauseMs);
    }
    std::vector<std::string> expected = {
        kFound,
        kInstalled,
        "Run WinVNC uninstall command \"" + command + "\"...",
        "WinVNC uninstall process has been running for more than 15 minutes. Stop waiting for completion.",
        kByHand,
    };
    EXPECT_EQ(expected, setup_.Messages());
    EXPECT_TRUE(RegistryGone());
    EXPECT_TRUE(FolderGone());
    EXPECT_EQ(1u, WaitForRecordLines(Record("quiet.txt"), 1).size()) << "the uninstaller was left running";
}

// The removal by hand stops the viewer's service (not on Windows 9x, which has none: there the
// service the test sets up must keep running), closes the running viewer and removes the rest.
TEST_F(ViewerTest, RemovalByHandStopsTheServiceAndClosesTheViewer)
{
    StandIn service("viewer-service");
    TestService entry(kViewerServiceName, "VNC Server Version 4", service.QuotedExe());
    ASSERT_TRUE(entry.Created());
    ASSERT_TRUE(StartForReal(kViewerServiceName));
    InstallViewer("VersionL401");
    StartedProcess viewer("\"" + Exe() + "\" --ready ViewerReady --record " + Record("viewer.txt"), "ViewerReady");
    ASSERT_TRUE(viewer.Started());

    std::vector<DWORD> sleeps;
    if (IsWin9xKind()) {
        // Wine's ToolHelp gives bare file names; Windows 9x gives the full paths this needs.
        FakeProcessControl processes;
        sleeps = RemoveOnQuickClock();
    } else {
        sleeps = RemoveOnQuickClock();
    }

    std::vector<std::string> expected = {kFound, kInstalled, kByHand};
    EXPECT_EQ(expected, setup_.Messages());
    EXPECT_TRUE(Contains(sleeps, kViewerStopPauseMs));
    DWORD state = ReadServiceStatus(kViewerServiceName).dwCurrentState;
    EXPECT_EQ(IsWin9xKind() ? (DWORD)SERVICE_RUNNING : (DWORD)SERVICE_STOPPED, state);
    ASSERT_TRUE(viewer.EndsWithin(5000));
    EXPECT_EQ(20u, viewer.ExitCode()) << "closed through its window, not terminated";
    EXPECT_TRUE(RegistryGone());
    EXPECT_TRUE(FolderGone());
}

TEST_F(ViewerTest, AFileInUseIsDeletedAtTheNextRestart)
{
    InstallViewer("VersionL412");
    std::string held = folder_ + "\\WinVNC4.exe";
    FileHolder holder(held, "image");  // a program in use: renamed out of the way, not deleted
    ASSERT_TRUE(holder.Holding());
    std::string winInit = WindowsFolder() + "\\WinInit.ini";
    DeleteFileA(winInit.c_str());

    RemoveOnQuickClock();

    std::vector<std::string> expected = {kFound, kInstalled, kByHand};
    EXPECT_EQ(expected, setup_.Messages());
    EXPECT_TRUE(RegistryGone());
    std::vector<std::string> left = FolderEntries(folder_);
    ASSERT_EQ(1u, left.size());
    std::string renamed = folder_ + "\\" + left[0];
    EXPECT_EQ(0u, left[0].rfind("~", 0)) << left[0];
    if (IsWin9xKind()) {
        EXPECT_EQ("[rename]\r\nNUL=" + ShortPath(renamed) + "\r\n", ReadWholeFile(winInit));
    } else {
        EXPECT_FALSE(FileExistsAt(winInit));
        std::string pending = ReadMachineMultiString(
            "System\\CurrentControlSet\\Control\\Session Manager", "PendingFileRenameOperations");
        EXPECT_NE(std::string::npos, pending.find("\\??\\" + renamed)) << pending;
        EXPECT_EQ(std::string::npos, pending.find("\\??\\" + held)) << pending;
    }
    holder.Release();
    EXPECT_TRUE(FileExistsAt(renamed)) << "nothing happens before the restart";
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_FALSE(FileExistsAt(renamed));
    if (IsWin9xKind())
        return;

    // From a folder that users may change nothing is left for the restart.
    ForgetViewer();
    InstallViewer("VersionL412");
    FolderAccessLists lists;
    lists.Set(folder_, "O:S-1-5-21-1-2-3-1001D:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)");
    const std::vector<std::string> before = PendingRenames();
    {
        FileHolder again(held);
        ASSERT_TRUE(again.Holding());
        setup_.ClearLog();
        RemoveOnQuickClock();
    }
    EXPECT_TRUE(setup_.HasMessage("\"" + held + "\" stays: users may change its folder."));
    EXPECT_TRUE(before == PendingRenames());
}

}  // namespace
