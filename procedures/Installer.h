#pragma once
// The object on which the three procedures run. The operations they share are free functions,
// one header per concept in this folder.

#include <windows.h>

#include "procedures/AgentFileTable.h"
#include "setup/InstallationData.h"

struct Installer {
    InstallationData* Data;
    // Set by the update once it has stopped an agent that was running, so that the install
    // thread can start it again when the update fails later on.
    int StoppedRunningAgent;

    // Rows of the file table whose file the last CopyAgentFiles brought into being.
    bool CopiedRows[kAgentFileRows];
    // Set for the roll-back of an installation into a folder that was there before: the file
    // walk of the removal then takes only the CopiedRows and no folder tree.
    bool RemoveOnlyCopiedFiles;

    explicit Installer(InstallationData* data)
        : Data(data), StoppedRunningAgent(0), CopiedRows(), RemoveOnlyCopiedFiles(false) {}

    // A new installation; a failed essential step is rolled back by UninstallAgent (which
    // leaves whatever an agent folder held before this run). 0 or the failing step's code.
    int InstallNewAgent();

    // An update in place (converting a legacy agent); stops at the first essential failure.
    int UpdateExistingAgent();

    // Removal, every step attempted; also the roll-back of a new installation. A removal leaves
    // what it cannot delete for the next restart (RebootRequired); 0, or the error of the first
    // item that can go neither now nor then.
    int UninstallAgent();
};
