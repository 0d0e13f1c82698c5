#pragma once
// The running agent of this installation, stopped before its files are replaced or removed.

#include "procedures/InstallationData.h"

// Stops the running agent: its service (not on Windows 9x), then the agent itself through the
// shutdown request on its pipe, then waits up to two minutes for AgentCore.exe of DestFolder
// to end. 0 when the service stopped or is missing, or the agent ended within the wait; else
// the error of the service stop, or -1 (0xFFFFFFFF) on Windows 9x. wasRunning, when given,
// tells whether the service (on Windows 9x: the agent program) ran before the stop.
int StopAgentService(const InstallationData* data, bool* wasRunning = nullptr);

// Waits until the stopped agent (AgentCore.exe of DestFolder) has ended and its file can be
// replaced or deleted, for at most limitMs.
void WaitForAgentEnd(const InstallationData* data, DWORD limitMs);
