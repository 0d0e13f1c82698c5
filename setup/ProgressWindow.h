#pragma once
// The small progress window: a frame window whose client area holds a dialog with the program
// icon, an upper line (procedure or final text), a lower line (step or file), a progress bar
// and a Close button. The install thread changes it only through these operations, each of
// which sends a message to the main thread's windows. It is the run's InstallationStatus.

#include <windows.h>

#include "procedures/InstallationData.h"

struct ProgressWindow : InstallationStatus {
    HWND ParentWindow;  // the main window, set when the dialog was created
    HWND Dialog;        // null until created (or when creation failed): every operation is a no-op
    // The run whose /s and /b decide whether the status is shown (null: always shown).
    const InstallationData* Run;

    ProgressWindow() : ParentWindow(nullptr), Dialog(nullptr), Run(nullptr) {}

    // Creates dialog 101 as the child of parent (with parent's module). 0 on success, else the
    // system's error code.
    int Create(HWND parent);

    // Moves the bar, clamped to 0..100; also while the window is hidden.
    void SetPosition(int percent) const;

    // Shows the final text, fills the bar, empties the lower line and enables Close.
    void Finish(const char* text) const;

    // The status of the install thread (InstallationStatus); each does nothing while the run is
    // silent without ShowProgress.
    void SetStatusText(int stringId) override;
    void SetDetailText(int stringId, int percent) override;
    void ShowFileText(int stringId, const char* path) override;

private:
    bool ShowsProgress() const { return !Run || !Run->IsSilent || Run->ShowProgress; }
};
