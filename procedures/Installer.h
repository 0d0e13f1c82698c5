#pragma once
// The object on which the three procedures run. The operations they share are free functions,
// one header per concept in this folder.

#include <windows.h>

#include "procedures/AgentFileTable.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/InstallationData.h"

// What a new installation brought into being besides the files of the agent's table and its
// instance key (always its own), so that its roll-back takes only that and leaves what was there
// before.
struct CreatedParts {
    bool AgentFolder;     // with everything in it
    bool DriversFolder;   // the drivers folder in an agent folder that was there before
    bool Service;         // with its Safe Mode keys and failure actions (Windows 9x: its RunServices value)
    bool RunValue;        // the user task's logon value (none on Windows 9x)
    bool UninstallEntry;
    bool Shortcut;
    CreatedDrivers Drivers;
};

struct Installer {
    InstallationData* Data;
    // Set by the update once it has stopped an agent that was running, so that the run
    // (RunProcedure) can start it again when the update fails later on.
    int StoppedRunningAgent;

    // Rows of the file table whose file the last CopyAgentFiles brought into being.
    bool CopiedRows[kAgentFileRows];
    CreatedParts Created;

    explicit Installer(InstallationData* data) : Data(data), StoppedRunningAgent(0), CopiedRows(), Created() {}

    // A new installation; a failed essential step is rolled back by RollBackNewAgent. 0 or the
    // failing step's code.
    int InstallNewAgent();

    // Takes back what the failed new installation created (CopiedRows and Created), and nothing
    // else: a service, entry or file that was there before stays, running or not.
    void RollBackNewAgent();

    // An update in place (converting a legacy agent); stops at the first essential failure and
    // then puts the agent's files back as they were.
    int UpdateExistingAgent();

    // Removal, every step attempted. What it cannot delete is left for the next restart
    // (RebootRequired); 0, or the error of the first item that can go neither now nor then.
    int UninstallAgent();
};
