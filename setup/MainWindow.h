#pragma once
// The frame window of the run: registered, created with the progress dialog as its only
// child, sized to the dialog and centred on the desktop.

#include <windows.h>

struct SetupApp;

// Registers the window class WindowClass of app with icon 107; false on failure.
bool RegisterMainWindowClass(const SetupApp* app, HINSTANCE instance);

// Creates the main window and its progress dialog, sizes and centres it and shows it (hidden
// in a silent run without ShowProgress). False when the main window cannot be created.
bool CreateMainWindow(SetupApp* app, HINSTANCE instance, int showCommand);
