#include "setup/MainWindow.h"

#include "resources/resource.h"
#include "setup/SetupApp.h"

namespace {

bool IsInstallRunning(HWND window)
{
    const SetupApp* app = reinterpret_cast<const SetupApp*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return app && app->InstallRunning != 0;
}

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: {
        SetupApp* app = static_cast<SetupApp*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(app));
        if (app) {
            app->MainWindow = window;
            (void)app->Progress.Create(window);  // without a dialog the run goes on with an empty window
        }
        return 0;
    }
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);  // the dialog covers the whole client area
        EndPaint(window, &paint);
        return 0;
    }
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        // Alt+F4 and the like. Ending the run while the install thread works would leave half
        // a procedure done and free the run's record under the thread.
        if (IsInstallRunning(window))
            return 0;
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_CLOSE_RUN) {
            if (!IsInstallRunning(window))
                DestroyWindow(window);
            return 0;
        }
        break;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

int Width(const RECT& rect)
{
    return rect.right - rect.left;
}

int Height(const RECT& rect)
{
    return rect.bottom - rect.top;
}

}  // namespace

bool RegisterMainWindowClass(const SetupApp* app, HINSTANCE instance)
{
    WNDCLASSEXA windowClass = {};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MainWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_SETUP));
    windowClass.hIconSm = windowClass.hIcon;
    windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = app->WindowClass;
    return RegisterClassExA(&windowClass) != 0;
}

bool CreateMainWindow(SetupApp* app, HINSTANCE instance, int showCommand)
{
    // No system menu: the window has no close box, only the dialog's Close button ends the run.
    HWND window = CreateWindowExA(0, app->WindowClass, app->WindowTitle, WS_CAPTION | WS_THICKFRAME, CW_USEDEFAULT,
                                  0, CW_USEDEFAULT, 0, nullptr, nullptr, instance, app);
    if (!window)
        return false;
    app->MainWindow = window;

    // Grow the window so that its client area is exactly the dialog, and centre it.
    RECT desktop, frame, client, dialog;
    GetWindowRect(GetDesktopWindow(), &desktop);
    GetWindowRect(window, &frame);
    GetClientRect(window, &client);
    if (!app->Progress.Dialog || !GetWindowRect(app->Progress.Dialog, &dialog))
        dialog = client;
    int width = Width(frame) + Width(dialog) - Width(client);
    int height = Height(frame) + Height(dialog) - Height(client);
    int x = desktop.left + (Width(desktop) - width) / 2;
    int y = desktop.top + (Height(desktop) - height) / 2;
    SetWindowPos(window, nullptr, x, y, width, height, SWP_NOZORDER);

    bool visible = !app->Data.IsSilent || app->Data.ShowProgress;
    ShowWindow(window, visible ? showCommand : SW_HIDE);
    if (app->Progress.Dialog)
        ShowWindow(app->Progress.Dialog, visible ? SW_SHOW : SW_HIDE);
    UpdateWindow(window);
    return true;
}
