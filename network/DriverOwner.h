#pragma once
// The network drivers and the layered provider's library exist once per machine and belong to
// one agent instance at a time: the one named by DriverControl in the agent key that all
// instances share (kAgentKey; "Legacy" for an older-generation agent; no value: nobody). This header holds the
// names and that value; the installation and removal of the drivers are in the procedures.

#include <windows.h>

extern const char kDriverControlValue[];  // "DriverControl"
extern const char kLspLibraryValue[];     // "WinSock2LspDll", in the instance's own key
extern const char kLegacyDriverOwner[];   // "Legacy"

// Reads DriverControl into buffer; 0 or a Windows error code (buffer untouched then).
int GetDriverControl(char* buffer, DWORD size);

// Writes owner into DriverControl, or deletes the value for null; 0 or a Windows error code.
int SetDriverControl(const char* owner);
