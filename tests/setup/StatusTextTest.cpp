// The status operations of the install thread against real controls with the dialog's ids,
// and the string table they load from.
#include <gtest/gtest.h>

#include <windows.h>

#include <commctrl.h>

#include "harness/TestSupport.h"
#include "resources/resource.h"
#include "setup/SetupApp.h"
#include "support/StringTable.h"

namespace {

// A parent window with the four controls the status operations address.
class StatusWindow {
public:
    StatusWindow()
    {
        INITCOMMONCONTROLSEX classes = {sizeof(classes), ICC_PROGRESS_CLASS};
        InitCommonControlsEx(&classes);
        HINSTANCE instance = GetModuleHandleA(nullptr);
        parent_ = CreateWindowExA(0, "STATIC", "", WS_OVERLAPPEDWINDOW, 0, 0, 400, 200, nullptr, nullptr, instance,
                                  nullptr);
        Child("STATIC", IDC_STATUS_TEXT, 0);
        Child("STATIC", IDC_DETAIL_TEXT, 0);
        HWND bar = Child(PROGRESS_CLASSA, IDC_PROGRESS_BAR, 0);
        SendMessageA(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        Child("BUTTON", IDC_CLOSE_BUTTON, WS_DISABLED);
    }
    ~StatusWindow() { DestroyWindow(parent_); }
    HWND Handle() const { return parent_; }

    std::string Text(int id) const
    {
        char text[1024] = {};
        GetDlgItemTextA(parent_, id, text, sizeof(text));
        return text;
    }
    int Position() const { return (int)SendDlgItemMessageA(parent_, IDC_PROGRESS_BAR, PBM_GETPOS, 0, 0); }
    bool CloseEnabled() const { return IsWindowEnabled(GetDlgItem(parent_, IDC_CLOSE_BUTTON)) != FALSE; }

private:
    HWND Child(const char* windowClass, int id, DWORD style)
    {
        return CreateWindowExA(0, windowClass, "", WS_CHILD | WS_VISIBLE | style, 0, 0, 100, 20, parent_,
                               (HMENU)(INT_PTR)id, GetModuleHandleA(nullptr), nullptr);
    }
    HWND parent_;
};

}  // namespace

TEST(StatusText, ShownWhileTheWindowIsInUse)
{
    StatusWindow window;
    ASSERT_NE(nullptr, window.Handle());
    SetupApp app;
    app.Progress.Dialog = window.Handle();
    app.Progress.ParentWindow = window.Handle();
    app.Data.IsSilent = 1;
    app.Data.ShowProgress = 1;  // a silent run with /b shows everything

    app.Data.Status->SetStatusText(IDS_INSTALLING);
    EXPECT_EQ("Setup is installing the application and its components...", window.Text(IDC_STATUS_TEXT));
    app.Data.Status->SetDetailText(IDS_INSTALLING_SERVICE, 40);
    EXPECT_EQ("Installing agent service...", window.Text(IDC_DETAIL_TEXT));
    EXPECT_EQ(40, window.Position());
    app.Data.Status->SetDetailText(0, 55);
    EXPECT_EQ("Installing agent service...", window.Text(IDC_DETAIL_TEXT)) << "id 0 leaves the text";
    EXPECT_EQ(55, window.Position());
    app.Data.Status->SetDetailText(IDS_UPDATING_SETTINGS, -1);
    EXPECT_EQ("Updating application settings in registry...", window.Text(IDC_DETAIL_TEXT));
    EXPECT_EQ(55, window.Position()) << "a negative percent leaves the bar";
    app.Data.Status->ShowFileText(IDS_COPYING_FILE, "C:\\A\\AgentCore.exe");
    EXPECT_EQ("Copying C:\\A\\AgentCore.exe", window.Text(IDC_DETAIL_TEXT));
    app.Data.Status->ShowFileText(IDS_DELETING_FILE, ("C:\\" + std::string(300, 'p')).c_str());
    EXPECT_EQ("Deleting C:\\" + std::string(300, 'p'), window.Text(IDC_DETAIL_TEXT));

    app.Progress.SetPosition(150);
    EXPECT_EQ(100, window.Position());
    app.Progress.SetPosition(-5);
    EXPECT_EQ(0, window.Position());

    EXPECT_FALSE(window.CloseEnabled());
    app.Progress.Finish("Setup has completed.");
    EXPECT_EQ("Setup has completed.", window.Text(IDC_STATUS_TEXT));
    EXPECT_EQ("", window.Text(IDC_DETAIL_TEXT));
    EXPECT_EQ(100, window.Position());
    EXPECT_TRUE(window.CloseEnabled());
}

TEST(StatusText, SilentRunWithoutProgressChangesNothing)
{
    StatusWindow window;
    SetupApp app;
    app.Progress.Dialog = window.Handle();
    app.Data.IsSilent = 1;
    app.Data.Status->SetStatusText(IDS_REMOVING);
    app.Data.Status->SetDetailText(IDS_REMOVE_SERVICE, 40);
    app.Data.Status->ShowFileText(IDS_DELETING_FILE, "C:\\x");
    EXPECT_EQ("", window.Text(IDC_STATUS_TEXT));
    EXPECT_EQ("", window.Text(IDC_DETAIL_TEXT));
    EXPECT_EQ(0, window.Position());
    // The bar itself still moves, hidden or not.
    app.Progress.SetPosition(30);
    EXPECT_EQ(30, window.Position());
}

TEST(StatusText, WithoutADialogNothingHappens)
{
    SetupApp app;  // Dialog null, as when its creation failed
    app.Data.Status->SetStatusText(IDS_INSTALLING);
    app.Data.Status->SetDetailText(IDS_INSTALLING_SERVICE, 50);
    app.Data.Status->ShowFileText(IDS_COPYING_FILE, "C:\\x");
    app.Progress.SetPosition(50);
    app.Progress.Finish("done");
    EXPECT_EQ(nullptr, app.Progress.Dialog);
}

TEST(StatusText, StringTableHoldsEveryText)
{
    const std::vector<std::pair<int, std::string>> rows = {
        {103, "Halvern Agent Setup"},
        {104, "Setup has completed."},
        {105, "Setup has failed. [Code: %d]"},
        {107, "Confirm File Deletion"},
        {108, "Do you want to completely remove the selected application and all its components?"},
        {109, "XASETUP"},
        {110, "The application and its components have been removed successfully."},
        {111, "Setup is installing the application and its components..."},
        {112, "Setup is updating the application and its components..."},
        {113, "Setup is removing the application and its components..."},
        {115, "Stopping agent service..."},
        {116, "Stopping user interface module..."},
        {117, "Remove agent service."},
        {118, "Remove application settings from registry."},
        {119, "Removing driver files..."},
        {120, "Remove uninstall registry."},
        {121, "Deleting %s"},
        {122, "Copying %s"},
        {123, "Updating application settings in registry..."},
        {124, "Installing driver files..."},
        {125, "Installing agent service..."},
        {126, "You need to reboot the system to complete the setup."},
        {127, "Halvern Agent"},
        {128, "Starts the agent service."},
        {129, "Update uninstall settings in registry."},
        {130, "Configuring agent service..."},
        {131, "Agent setup requires to reboot the machine in order to complete the setup."},
        {132, "Removing add-ons..."},
    };
    for (const auto& row : rows) {
        char text[512];
        LoadProgramText(row.first, text, sizeof(text));
        EXPECT_EQ(row.second, text) << "string " << row.first;
    }
    char missing[16] = "x";
    LoadProgramText(106, missing, sizeof(missing));
    EXPECT_STREQ("", missing);
}
