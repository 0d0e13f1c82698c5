#include "setup/ProgressWindow.h"

#include <commctrl.h>

#include "setup/InstallationData.h"
#include "support/Text.h"

namespace {

ProgressWindow* gRunWindow = nullptr;
HINSTANCE gStringModule = nullptr;

}  // namespace

void ProgressWindow::SetPosition(int percent) const
{
    if (!Dialog)
        return;
    if (percent < 0)
        percent = 0;
    if (percent > 100)
        percent = 100;
    SendDlgItemMessageA(Dialog, kProgressBarControl, PBM_SETPOS, (WPARAM)percent, 0);
}

void AttachProgressWindow(ProgressWindow* window, HINSTANCE module)
{
    gRunWindow = window;
    gStringModule = module;
}

bool IsProgressShown(const InstallationData* data)
{
    return data && (!data->IsSilent || data->ShowProgress);
}

void ShowFileText(const InstallationData* data, UINT stringId, const char* path)
{
    if (!IsProgressShown(data) || !gRunWindow || !gRunWindow->Dialog)
        return;
    char format[MAX_PATH];
    char text[2 * MAX_PATH];
    // A missing string leaves an empty line; the text is cut rather than dropped.
    if (LoadStringA(gStringModule, stringId, format, sizeof(format)) <= 0)
        format[0] = '\0';
    FormatText(text, sizeof(text), format, path ? path : "");
    SetDlgItemTextA(gRunWindow->Dialog, kDetailTextControl, text);
}

void SetProgressPosition(const InstallationData* data, int percent)
{
    if (IsProgressShown(data) && gRunWindow)
        gRunWindow->SetPosition(percent);
}
