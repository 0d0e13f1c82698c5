#pragma once
// The run of one procedure: the record chooses it, and the procedure's ending on the installed
// agent follows it.

#include <windows.h>

#include "procedures/Installer.h"

// Runs the one procedure that installer's record chooses (removal, update or new installation)
// between the "Begin install process" and "End install process" lines, with its ending: after
// success the restart line in AgtError.log, the agent service's start and AgentUpdated.txt
// (deleted before an installation or update begins); after a failed update or conversion the
// start of the agent that it stopped. An agent that was to start and does not makes the start's
// error the result; an updated one gives way to the previous version first. Returns the result.
int RunProcedure(Installer* installer);

// "yyyy-mm-dd hh:mm:ss +hh:mm": local time with its offset from UTC; false when it did not fit.
bool FormatTimestamp(char* text, size_t size, const SYSTEMTIME* local);
