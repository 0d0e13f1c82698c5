#include "setup/ProgressWindow.h"

#include <commctrl.h>

#include "resources/resource.h"
#include "support/StringTable.h"
#include "support/Text.h"

namespace {

const int kStatusTextBytes = 512;
const int kFileFormatBytes = 260;

INT_PTR CALLBACK ProgressDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG: {
        SetWindowLongPtrA(dialog, GWLP_USERDATA, lParam);
        SetDlgItemTextA(dialog, IDC_STATUS_TEXT, "");
        SetDlgItemTextA(dialog, IDC_DETAIL_TEXT, "");
        RECT rect;
        GetWindowRect(dialog, &rect);
        MoveWindow(dialog, 0, 0, rect.right - rect.left + 1, rect.bottom - rect.top + 1, FALSE);
        SendDlgItemMessageA(dialog, IDC_PROGRESS_BAR, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
        return TRUE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_CLOSE_BUTTON) {
            // The same close command the install thread posts when it ends the run itself.
            const ProgressWindow* window =
                reinterpret_cast<const ProgressWindow*>(GetWindowLongPtrA(dialog, GWLP_USERDATA));
            if (window && window->ParentWindow)
                PostMessageA(window->ParentWindow, WM_COMMAND, IDM_CLOSE_RUN, 0);
        }
        return TRUE;
    default:
        return FALSE;
    }
}

}  // namespace

int ProgressWindow::Create(HWND parent)
{
    HINSTANCE instance = reinterpret_cast<HINSTANCE>(GetWindowLongPtrA(parent, GWLP_HINSTANCE));
    HWND dialog = CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_PROGRESS), parent, ProgressDialogProc,
                                     reinterpret_cast<LPARAM>(this));
    if (!dialog)
        return (int)GetLastError();
    Dialog = dialog;
    ParentWindow = parent;
    return 0;
}

void ProgressWindow::SetPosition(int percent) const
{
    if (!Dialog)
        return;
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    SendDlgItemMessageA(Dialog, IDC_PROGRESS_BAR, PBM_SETPOS, (WPARAM)percent, 0);
}

void ProgressWindow::Finish(const char* text) const
{
    if (!Dialog)
        return;
    SetDlgItemTextA(Dialog, IDC_STATUS_TEXT, text);
    SetPosition(100);
    SetDlgItemTextA(Dialog, IDC_DETAIL_TEXT, "");
    EnableWindow(GetDlgItem(Dialog, IDC_CLOSE_BUTTON), TRUE);
}

void ProgressWindow::SetStatusText(int stringId)
{
    if (!ShowsProgress())
        return;
    char text[kStatusTextBytes];
    LoadProgramText(stringId, text, sizeof(text));
    if (Dialog)
        SetDlgItemTextA(Dialog, IDC_STATUS_TEXT, text);
}

void ProgressWindow::SetDetailText(int stringId, int percent)
{
    if (!ShowsProgress())
        return;
    if (stringId > 0) {
        char text[kStatusTextBytes];
        LoadProgramText(stringId, text, sizeof(text));
        if (Dialog)
            SetDlgItemTextA(Dialog, IDC_DETAIL_TEXT, text);
    }
    if (percent >= 0)
        SetPosition(percent);
}

void ProgressWindow::ShowFileText(int stringId, const char* path)
{
    if (!ShowsProgress())
        return;
    char format[kFileFormatBytes];
    LoadProgramText(stringId, format, sizeof(format));
    // A path too long for the line is shown cut: it is only a progress hint.
    char text[kFileFormatBytes + MAX_PATH];
    FormatText(text, sizeof(text), format, path ? path : "");
    if (Dialog)
        SetDlgItemTextA(Dialog, IDC_DETAIL_TEXT, text);
}
