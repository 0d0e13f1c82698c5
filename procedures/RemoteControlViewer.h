#pragma once
// The remote-control viewer that agents installed, removed with the last agent.

#include "procedures/InstallationData.h"

enum : DWORD {
    kViewerStopPauseMs = 5000,  // after the viewer's service was asked to stop
};

// The viewer's registration, under HKEY_LOCAL_MACHINE.
extern const char kViewerUninstallKey[];
extern const char kViewerServiceName[];
extern const char kViewerServiceKey[];
extern const char kViewerVendorKey[];

// Removes the viewer when an agent installed it: its quiet uninstaller where it has a working
// one, else (or when that did not end cleanly) by hand.
void RemoveRemoteControlViewer(const InstallationData* data);
