#pragma once
// The agent's settings in the registry: the instance key under the agent key, the settings
// carried over from an older-generation agent, the Run value of the user task, and the count
// of the agents on the machine.

#include "procedures/InstallationData.h"

// Writes the instance key under kAgentKey, the settings taken over from an older-generation
// agent during its update, and (except on Windows 9x) the Run value that starts the user task.
// Returns 0 or the registry error that stopped it.
int WriteAgentRegistry(const InstallationData* data);

// Deletes the instance key, the common keys once no instance is left, and the Run value.
// Returns 0, or -1 when the instance key could not be deleted; never stops early.
int RemoveAgentRegistry(const InstallationData* data);

// True when the instance key exists: the instance is installed.
bool IsInstanceRegistered(const InstallationData* data);

// Whether the instance's Run value is there (a new installation notes whether it made it).
bool RunValueExists(const InstallationData* data);

// Takes back what a failed new installation wrote: the instance key (never there before a new
// installation: it would have made the run an update), the Run value when runValue says the run
// made it, and the keys above the instance keys once nothing is left in them.
void RemoveCreatedRegistry(const InstallationData* data, bool runValue);

// The number of agents on the machine: 1 for the older-generation agent's service key, and 1
// for each instance key with a non-empty REG_SZ "Path" value.
int CountInstalledAgents();
