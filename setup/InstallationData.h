#pragma once
// The one context record of a run: what this setup run is to do. Built once on the main thread,
// then read by every operation. String fields are heap copies owned by the record (null when
// absent) and freed with it; destroying the record closes the setup log.

#include "setup/SetupLog.h"

struct InstallationData {
    char* DestFolder;          // the agent folder, a full expanded path
    char* DestRegKey;          // the agent's key under HKEY_LOCAL_MACHINE
    char* AgentWorkingFolder;  // the agent's working folder, from its configuration file
    int LogEnabled;            // /l was given: the setup log is written
    SetupLog Log;

    InstallationData();
    ~InstallationData();
    InstallationData(const InstallationData&) = delete;
    InstallationData& operator=(const InstallationData&) = delete;
};
