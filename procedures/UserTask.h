#pragma once
// The agent's per-user task, which must be gone before its executable is replaced or removed.

#include "procedures/InstallationData.h"

// Stops UserTray.exe of DestFolder (nothing on Windows 9x): signals its exit event, then closes
// its windows, then terminates it. 0 when it is gone, else the error, which is logged.
int StopUserTask(const InstallationData* data);

// Waits until the stopped task (UserTray.exe of DestFolder) has ended and its file can be
// replaced or deleted, for at most limitMs; nothing on Windows 9x.
void WaitForUserTaskEnd(const InstallationData* data, DWORD limitMs);
