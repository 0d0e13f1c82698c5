// The frame window and its progress dialog, created for real (Wine's null graphics driver) from
// the program's own dialog and icon resources.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include "resources/resource.h"
#include "setup/MainWindow.h"
#include "setup/SetupApp.h"
#include "support/StringTable.h"

namespace {

class ProgressWindowTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), 0xFF};
        InitCommonControlsEx(&classes);
        SetupApp app;
        LoadProgramText(IDS_WINDOW_CLASS, app.WindowClass, sizeof(app.WindowClass));
        ASSERT_TRUE(RegisterMainWindowClass(&app, GetModuleHandleA(nullptr)));
    }

    void Create(int silent, int showProgress)
    {
        LoadProgramText(IDS_WINDOW_TITLE, app_.WindowTitle, sizeof(app_.WindowTitle));
        LoadProgramText(IDS_WINDOW_CLASS, app_.WindowClass, sizeof(app_.WindowClass));
        app_.Data.IsSilent = silent;
        app_.Data.ShowProgress = showProgress;
        ASSERT_TRUE(CreateMainWindow(&app_, GetModuleHandleA(nullptr), SW_SHOWNORMAL));
        ASSERT_NE(nullptr, app_.MainWindow);
        ASSERT_NE(nullptr, app_.Progress.Dialog);
    }

    // Runs the message loop until the main window is destroyed or the time is up.
    bool RunUntilClosed(DWORD timeoutMs)
    {
        UINT_PTR timer = SetTimer(nullptr, 0, timeoutMs, nullptr);
        MSG message;
        bool closed = false;
        while (GetMessageA(&message, nullptr, 0, 0) > 0) {
            if (message.message == WM_TIMER && message.hwnd == nullptr)
                break;
            if (!IsDialogMessageA(app_.Progress.Dialog, &message)) {
                TranslateMessage(&message);
                DispatchMessageA(&message);
            }
        }
        closed = !IsWindow(app_.MainWindow);
        KillTimer(nullptr, timer);
        return closed;
    }

    std::string Text(int id) const
    {
        char text[512] = {};
        GetDlgItemTextA(app_.Progress.Dialog, id, text, sizeof(text));
        return text;
    }

    SetupApp app_;
};

}  // namespace

TEST_F(ProgressWindowTest, ClientAreaIsTheDialogAndTheWindowIsCentred)
{
    Create(0, 0);
    EXPECT_EQ(app_.MainWindow, app_.Progress.ParentWindow);
    EXPECT_EQ(app_.MainWindow, GetParent(app_.Progress.Dialog));
    EXPECT_TRUE(IsWindowVisible(app_.MainWindow));

    RECT client, dialog, frame, desktop;
    GetClientRect(app_.MainWindow, &client);
    GetWindowRect(app_.Progress.Dialog, &dialog);
    // The dialog was made one pixel larger than its template when it was initialised.
    EXPECT_EQ(dialog.right - dialog.left, client.right - client.left);
    EXPECT_EQ(dialog.bottom - dialog.top, client.bottom - client.top);
    POINT origin = {0, 0};
    ClientToScreen(app_.MainWindow, &origin);
    EXPECT_EQ(origin.x, dialog.left);
    EXPECT_EQ(origin.y, dialog.top);

    GetWindowRect(app_.MainWindow, &frame);
    GetWindowRect(GetDesktopWindow(), &desktop);
    EXPECT_NEAR((desktop.right - desktop.left) / 2, (frame.left + frame.right) / 2, 1);
    EXPECT_NEAR((desktop.bottom - desktop.top) / 2, (frame.top + frame.bottom) / 2, 1);

    LONG style = GetWindowLongA(app_.MainWindow, GWL_STYLE);
    EXPECT_EQ(0, style & WS_SYSMENU) << "no close box";
    char caption[128];
    GetWindowTextA(app_.MainWindow, caption, sizeof(caption));
    EXPECT_STREQ("Halvern Agent Setup", caption);
    DestroyWindow(app_.MainWindow);
}

TEST_F(ProgressWindowTest, DialogStartsEmptyWithCloseDisabled)
{
    Create(0, 0);
    EXPECT_EQ("", Text(IDC_STATUS_TEXT));
    EXPECT_EQ("", Text(IDC_DETAIL_TEXT));
    HWND bar = GetDlgItem(app_.Progress.Dialog, IDC_PROGRESS_BAR);
    ASSERT_NE(nullptr, bar);
    EXPECT_EQ(100, SendMessageA(bar, PBM_GETRANGE, FALSE, 0));
    EXPECT_EQ(0, SendMessageA(bar, PBM_GETPOS, 0, 0));
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(app_.Progress.Dialog, IDC_CLOSE_BUTTON)));
    HWND icon = FindWindowExA(app_.Progress.Dialog, nullptr, "Static", nullptr);
    ASSERT_NE(nullptr, icon);
    EXPECT_EQ(SS_ICON, GetWindowLongA(icon, GWL_STYLE) & SS_TYPEMASK) << "the icon comes first";
    DestroyWindow(app_.MainWindow);
}

TEST_F(ProgressWindowTest, SilentRunWithoutProgressStaysHidden)
{
    Create(1, 0);
    EXPECT_FALSE(IsWindowVisible(app_.MainWindow));
    EXPECT_FALSE(IsWindowVisible(app_.Progress.Dialog));
    app_.Data.Status->SetDetailText(IDS_INSTALLING_SERVICE, 40);
    EXPECT_EQ("", Text(IDC_DETAIL_TEXT));
    EXPECT_EQ(0, SendDlgItemMessageA(app_.Progress.Dialog, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0));
    DestroyWindow(app_.MainWindow);

    Create(1, 1);
    EXPECT_TRUE(IsWindowVisible(app_.MainWindow));
    EXPECT_TRUE(IsWindowVisible(app_.Progress.Dialog));
    DestroyWindow(app_.MainWindow);
}

// What the procedures report: 150 is shown as 100, a negative percent leaves the bar where it is;
// a silent run shows none of it, unless /b asks for the window.
TEST_F(ProgressWindowTest, PositionsAreClampedAndSilentRunsShowNothing)
{
    Create(0, 0);
    InstallationStatus* status = app_.Data.Status;
    auto position = [&] { return SendDlgItemMessageA(app_.Progress.Dialog, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0); };
    status->SetDetailText(0, 150);
    EXPECT_EQ(100, position());
    status->SetDetailText(0, -5);
    EXPECT_EQ(100, position());
    status->SetDetailText(0, 40);
    EXPECT_EQ(40, position());

    app_.Data.IsSilent = 1;
    status->SetStatusText(IDS_INSTALLING);
    status->SetDetailText(IDS_INSTALLING_SERVICE, 70);
    status->ShowFileText(IDS_DELETING_FILE, "C:\\x");
    EXPECT_EQ(40, position());
    EXPECT_EQ("", Text(IDC_STATUS_TEXT));
    EXPECT_EQ("", Text(IDC_DETAIL_TEXT));

    app_.Data.ShowProgress = 1;
    status->SetDetailText(0, 80);
    status->ShowFileText(IDS_COPYING_FILE, "C:\\y");
    EXPECT_EQ(80, position());
    EXPECT_EQ("Copying C:\\y", Text(IDC_DETAIL_TEXT));
    DestroyWindow(app_.MainWindow);
}

TEST_F(ProgressWindowTest, FinishEnablesCloseWhichEndsTheLoop)
{
    Create(0, 0);
    HWND close = GetDlgItem(app_.Progress.Dialog, IDC_CLOSE_BUTTON);
    EXPECT_FALSE(RunUntilClosed(300)) << "nothing ends the run by itself";
    EXPECT_FALSE(IsWindowEnabled(close)) << "a person cannot press Close while the procedure works";

    app_.Progress.Finish("Setup has completed.");
    EXPECT_EQ("Setup has completed.", Text(IDC_STATUS_TEXT));
    EXPECT_TRUE(IsWindowEnabled(close));
    PostMessageA(close, BM_CLICK, 0, 0);
    EXPECT_TRUE(RunUntilClosed(5000));
}

TEST_F(ProgressWindowTest, CloseCommandDestroysTheWindowAndEndsTheLoop)
{
    Create(1, 0);
    HWND dialog = app_.Progress.Dialog;
    PostMessageA(app_.MainWindow, WM_COMMAND, IDM_CLOSE_RUN, 0);
    EXPECT_TRUE(RunUntilClosed(5000));
    EXPECT_FALSE(IsWindow(dialog));
}

// Alt+F4, a close message or a stray close command cannot end the run while the install thread
// works; once it is done, a close request ends it like Close.
TEST_F(ProgressWindowTest, CloseRequestsWaitForTheEndOfTheWork)
{
    Create(0, 0);
    app_.InstallRunning = 1;
    PostMessageA(app_.MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    PostMessageA(app_.MainWindow, WM_CLOSE, 0, 0);
    PostMessageA(app_.MainWindow, WM_COMMAND, IDM_CLOSE_RUN, 0);
    EXPECT_FALSE(RunUntilClosed(300));
    EXPECT_TRUE(IsWindow(app_.MainWindow));

    app_.InstallRunning = 0;
    PostMessageA(app_.MainWindow, WM_SYSCOMMAND, SC_CLOSE, 0);
    EXPECT_TRUE(RunUntilClosed(5000));
}
