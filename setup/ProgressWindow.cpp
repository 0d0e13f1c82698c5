#include "setup/ProgressWindow.h"

#include <commctrl.h>

#include "resources/resource.h"

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
