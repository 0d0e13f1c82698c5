#pragma once
// The object on which the procedures and the operations they share run.

#include "setup/InstallationData.h"

struct Installer {
    InstallationData* Data;

    explicit Installer(InstallationData* data) : Data(data) {}

    // Replaces "$TARGETDIR$", "$AGENTTEMPDIR$", "$TARGETREGKEY$" and "$SYSTEMDIR$" (exact case)
    // in text. Returns a new heap text that the caller frees with FreeText, or null for a null
    // text, a macro whose value is missing, an empty result or one longer than
    // kTargetMacroChars characters.
    char* ExpandTargetMacros(const char* text) const;

    // The agent service "XA" + Instance (on Windows 9x its RunServices value): creates it with
    // the agent's description, failure actions and Safe Mode keys. 0, or the error; 1073
    // (ERROR_SERVICE_EXISTS) when the service exists already, which is then left unchanged.
    int InstallAgentService();

    // As InstallAgentService, but an existing service only gets the image path of this
    // installation (when it differs other than in letter case); a missing one is created.
    int ConfigureAgentService();

    // Deletes the agent service (the legacy service "ArvaneAgent" when UpdateLegacyAgent is
    // set) and, but for the legacy one, its Safe Mode keys. 0 also when it did not exist; a
    // failure is logged and returned.
    int RemoveAgentService();

    // --- Process control and the agent's shutdown (control/UserTask.cpp, control/AgentShutdown.cpp)

    // Stops the agent's per-user task UserTray.exe of DestFolder (nothing on Windows 9x): signals
    // its exit event, then closes its windows, then terminates it. 0 when it is gone, else the
    // error, which is logged.
    int StopUserTask();

    // Stops the running agent: its service (not on Windows 9x), then the agent itself through the
    // shutdown request on its pipe, then waits up to two minutes for AgentCore.exe of DestFolder
    // to end. 0 when the service stopped or is missing, or the agent ended within the wait; else
    // the error of the service stop, or -1 (0xFFFFFFFF) on Windows 9x.
    int StopAgentService();

    // --- end of process control
};

enum { kTargetMacroChars = 511 };
