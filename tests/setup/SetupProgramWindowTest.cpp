// The run's window: hidden, shown, kept until Close, sized and centred.
#include <utility>

#include "setup/SetupProgramFixture.h"

#include <commctrl.h>
#include <tlhelp32.h>

using namespace xatest;

namespace {

// Records whether the process ever had its main window visible, or a removal question, while it ran.
struct WindowWatch {
    bool Visible = false;
    bool ConfirmationBox = false;  // answered Cancel, so that the run ends
};

WindowWatch WatchMainWindow(SetupProcess& setup, DWORD limitMs = kRunLimitMs)
{
    WindowWatch watch;
    for (DWORD waited = 0; waited < limitMs && setup.Running(); waited += 10) {
        HWND window = FindProcessWindow(setup.Id(), "XASETUP");
        if (window)
            watch.Visible = watch.Visible || IsWindowVisible(window);
        HWND box = FindProcessWindow(setup.Id(), "#32770", kQuestionCaption);
        if (box) {
            watch.ConfirmationBox = true;
            PressButton(box, IDCANCEL);
        }
        Sleep(10);
    }
    return watch;
}

}  // namespace

// The window: hidden in a silent run, shown with /b and closed by itself, and in an interactive
// run kept until Close (a close request while the update works is ignored), sized to the dialog
// and centred.
TEST_F(SetupProgram, Window)
{
    Package package("window-package");
    RunLog log("window-log");
    for (const auto& row : {std::make_pair("/g I1 /s ", false), std::make_pair("/g I1 /s /b /k ", true)}) {
        SCOPED_TRACE(row.first);
        SetupProcess setup(package.Setup(), row.first + log.Option());
        WindowWatch watch = WatchMainWindow(setup);
        EXPECT_EQ(0L, setup.Wait());
        EXPECT_EQ(row.second, watch.Visible);
    }
    log.Clear();
    // An agent that takes two seconds to stop keeps the update working meanwhile.
    ASSERT_TRUE(WriteWholeFile(AgentFolder("I1") + "\\AgentCore.ini", "[Agent]\r\nStopPendingMs=2000\r\n"));
    ASSERT_TRUE(StartForReal("XAI1"));
    SetupProcess setup(package.Setup(), "/g I1 /k " + log.Option());
    HWND window = WaitForProcessWindow(setup, "XASETUP");
    ASSERT_TRUE(window);
    // Alt+F4 while the update works (its Close still disabled): nothing ends the run before the
    // update has ended, and then only Close does.
    HWND working = nullptr;
    for (int tries = 0; tries < 200 && !working; ++tries) {
        HWND dialog = FindWindowExA(window, nullptr, "#32770", nullptr);
        working = dialog ? GetDlgItem(dialog, 1003) : nullptr;
        if (!working)
            Sleep(10);
    }
    ASSERT_TRUE(working);
    ASSERT_FALSE(IsWindowEnabled(working));
    for (int i = 0; i < 3; ++i) {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageA(window, WM_CLOSE, 0, 0);
        Sleep(300);
    }
    EXPECT_TRUE(setup.Running()) << "closed while the update worked";
    EXPECT_TRUE(IsWindow(window));
    HWND close = WaitForCloseButton(setup, window);
    ASSERT_TRUE(close);
    EXPECT_TRUE(log.Has("End install process. (0)"));
    HWND dialog = GetParent(close);
    EXPECT_EQ("Setup has completed.", DialogText(dialog, 1000));
    // The progress bar of the common controls, which the program loads at run time.
    HWND bar = GetDlgItem(dialog, 1002);
    char barClass[64] = "";
    GetClassNameA(bar, barClass, sizeof(barClass));
    EXPECT_STREQ("msctls_progress32", barClass);
    EXPECT_EQ(100, (int)SendMessageA(bar, PBM_GETPOS, 0, 0));
    Sleep(1000);
    EXPECT_TRUE(setup.Running()) << "an interactive run waits for Close";
    EXPECT_TRUE(IsWindowVisible(window));

    RECT client, dialogRect, frame, desktop;
    GetClientRect(window, &client);
    GetWindowRect(dialog, &dialogRect);
    GetWindowRect(window, &frame);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_EQ(dialogRect.right - dialogRect.left, client.right - client.left);
    EXPECT_EQ(dialogRect.bottom - dialogRect.top, client.bottom - client.top);
    EXPECT_NEAR((desktop.right - desktop.left - (frame.right - frame.left)) / 2, frame.left - desktop.left, 1);
    EXPECT_NEAR((desktop.bottom - desktop.top - (frame.bottom - frame.top)) / 2, frame.top - desktop.top, 1);

    PressButton(dialog, 1003);
    EXPECT_EQ(0L, setup.Wait());
    EXPECT_FALSE(IsWindow(window));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "AgentUpdated.txt is created.",
                                         "End install process. (0)", "Agent setup finished!"}));

    // /x: a removal without the question, whose window closes by itself.
    SetupProcess removal(package.Setup(), "/g I1 /r /x " + log.Option());
    WindowWatch watch = WatchMainWindow(removal);
    EXPECT_EQ(0L, removal.Wait());
    EXPECT_FALSE(watch.ConfirmationBox);
    EXPECT_TRUE(watch.Visible);
    ExpectRemoved("I1");
}

namespace {

// A run that a fault left waiting on a desktop nobody sees would hold its instance's lock against
// every later test of the prefix: the setup processes there (the program and a removal's copy) end.
void EndStrandedRuns()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    PROCESSENTRY32 entry;
    entry.dwSize = sizeof(entry);
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (_stricmp(entry.szExeFile, "XASetup.exe") != 0 && _strnicmp(entry.szExeFile, "agt", 3) != 0)
            continue;
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, entry.th32ProcessID);
        if (process) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
    }
    CloseHandle(snapshot);
}

// Runs command on the desktop of a window station of its own, which nobody sees, as a service's
// programs run on session 0; its exit code, or -2 when it did not end within a minute.
long RunOnServiceDesktop(const std::string& command)
{
    long code = RunProcess("\"" + FixturePath("xalaunch.exe") + "\" --station " + command, 60000);
    if (code == -2)
        EndStrandedRuns();
    return code;
}

}  // namespace

// A run on a desktop nobody sees (a service's window station, as when a deployment tool's service
// starts it on session 0) has nobody to answer a question or press Close: it runs as with /s and
// /x, and says so. The launcher starts it in a window station of its own.
TEST_F(SetupProgram, NobodyToAnswerOnAServiceDesktop)
{
    Package package("station-package");
    RunLog log("station-log");
    const std::string program = "\"" + package.Setup() + "\" ";
    const std::string silent = "No one can answer on this desktop; the run is silent.";

    // Interactive, the installation would wait for Close, and the removal would ask first.
    ASSERT_EQ(0L, RunOnServiceDesktop(program + "/g I1 " + log.Option()));
    EXPECT_TRUE(InOrder(log.Messages(), {silent, "> IsSilent = Yes", "> NoInteract = Yes", "End install process. (0)",
                                         "Agent setup finished!"}));
    ExpectInstalled("I1", "Arvane Agent");
    log.Clear();
    EXPECT_EQ(0L, RunOnServiceDesktop(program + "/x /g I1 /r " + log.Option()));
    EXPECT_TRUE(InOrder(log.Messages(), {silent, "> IsSilent = Yes", "End install process. (0)"}));
    ExpectRemoved("I1");
    // The option table is then what a silent run makes of /?: nothing but the exit code.
    EXPECT_EQ(0L, RunOnServiceDesktop(program + "/?"));

    // A silent run shows nothing anyway, and has nothing to say about it.
    log.Clear();
    EXPECT_EQ(0L, RunOnServiceDesktop(program + "/g I1 /s " + log.Option()));
    EXPECT_TRUE(log.Has("> IsSilent = Yes"));
    EXPECT_FALSE(log.Has(silent));
    EXPECT_TRUE(log.Has("> NoInteract = No"));

    // The uninstall entry's interactive command there: neither the first process nor the copy it
    // hands over to asks, and the first ends with the copy's result.
    const std::string entry = ReadMachineString(kUninstallKey + std::string("I1"), "UninstallString");
    ASSERT_EQ(std::string::npos, entry.find("/s"));
    EXPECT_EQ(0L, RunOnServiceDesktop(entry));
    for (int tries = 0; tries < 300 && FileExistsAt(AgentFolder("I1")); ++tries)
        Sleep(100);  // the copy deletes the folder once the first process has ended
    ExpectRemoved("I1");
}
