#pragma once
// The progress window as the install thread drives it while files are copied and removed: the
// lower text line and the bar of the progress dialog. The entry creates the window and attaches
// it here; until then, and in a silent run without /b, these operations leave everything alone.

#include <windows.h>

struct InstallationData;

enum {
    kDetailTextControl = 1001,   // lower line: the current step or file
    kProgressBarControl = 1002,  // progress 0..100
};

enum : UINT {
    kDeletingFileString = 121,  // "Deleting %s"
    kCopyingFileString = 122,   // "Copying %s"
};

struct ProgressWindow {
    HWND ParentWindow;  // the main window, once the dialog exists
    HWND Dialog;        // null until created (or when creation failed)

    ProgressWindow() : ParentWindow(nullptr), Dialog(nullptr) {}

    // Moves the bar to percent, clamped to 0..100; nothing without a dialog.
    void SetPosition(int percent) const;
};

// Makes window the run's progress window, its texts read from the string table of module.
// Called on the main thread before the install thread starts; null detaches.
void AttachProgressWindow(ProgressWindow* window, HINSTANCE module);

// False in a silent run without /b: the window stays hidden and untouched.
bool IsProgressShown(const InstallationData* data);

// Shows the string-table format stringId (one "%s") filled with path in the lower line.
void ShowFileText(const InstallationData* data, UINT stringId, const char* path);

// Moves the run's progress bar to percent.
void SetProgressPosition(const InstallationData* data, int percent);
