#include "setup/SetupApp.h"

#include "resources/resource.h"

SetupApp g_SetupApp;

namespace {
const int kStatusTextBytes = 512;
const int kFileFormatBytes = 260;
}  // namespace

SetupApp::SetupApp() : AppInstance(nullptr), MainWindow(nullptr), InstallResult(0), InstallRunning(0),
      InstanceLock(nullptr)
{
    WindowTitle[0] = '\0';
    WindowClass[0] = '\0';
}

void SetupApp::LoadText(int stringId, char* buffer, int size) const
{
    buffer[0] = '\0';
    // Before the window exists the strings still come from this program's own module.
    if (LoadStringA(AppInstance ? AppInstance : GetModuleHandleA(nullptr), (UINT)stringId, buffer, size) <= 0)
        buffer[0] = '\0';
}

void SetupApp::SetStatusText(int stringId) const
{
    if (!ShowsProgress())
        return;
    char text[kStatusTextBytes];
    LoadText(stringId, text, sizeof(text));
    if (Progress.Dialog)
        SetDlgItemTextA(Progress.Dialog, IDC_STATUS_TEXT, text);
}

void SetupApp::SetDetailText(int stringId, int percent) const
{
    if (!ShowsProgress())
        return;
    if (stringId > 0) {
        char text[kStatusTextBytes];
        LoadText(stringId, text, sizeof(text));
        if (Progress.Dialog)
            SetDlgItemTextA(Progress.Dialog, IDC_DETAIL_TEXT, text);
    }
    if (percent >= 0)
        Progress.SetPosition(percent);
}

void SetupApp::ShowFileText(int stringId, const char* path) const
{
    if (!ShowsProgress())
        return;
    char format[kFileFormatBytes];
    LoadText(stringId, format, sizeof(format));
    // A path too long for the line is shown cut: it is only a progress hint.
    char text[kFileFormatBytes + MAX_PATH];
    FormatText(text, sizeof(text), format, path ? path : "");
    if (Progress.Dialog)
        SetDlgItemTextA(Progress.Dialog, IDC_DETAIL_TEXT, text);
}
