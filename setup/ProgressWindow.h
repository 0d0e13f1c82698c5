#pragma once
// The small progress window: a frame window whose client area holds a dialog with the program
// icon, an upper line (procedure or final text), a lower line (step or file), a progress bar
// and a Close button. The install thread changes it only through these operations, each of
// which sends a message to the main thread's windows.

#include <windows.h>

struct ProgressWindow {
    HWND ParentWindow;  // the main window, set when the dialog was created
    HWND Dialog;        // null until created (or when creation failed): every operation is a no-op

    ProgressWindow() : ParentWindow(nullptr), Dialog(nullptr) {}

    // Creates dialog 101 as the child of parent (with parent's module). 0 on success, else the
    // system's error code.
    int Create(HWND parent);

    // Moves the bar, clamped to 0..100; also while the window is hidden.
    void SetPosition(int percent) const;

    // Shows the final text, fills the bar, empties the lower line and enables Close.
    void Finish(const char* text) const;
};
