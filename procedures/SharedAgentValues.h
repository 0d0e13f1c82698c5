#pragma once
// What all agent instances share (the drivers' owner, and the titles of the instance keys, which
// name their services) is read and written under one machine-wide lock, so that setups of two
// instances at the same time never both take the drivers or the same title.

#include <windows.h>

#include "procedures/InstallationData.h"

// The lock is a machine lock (support/MachineLock.h) waited for up to a minute; null when it
// cannot be had (the run then goes on without it). Held by the calling thread, which may take
// it again; release with UnlockSharedAgentValues.
HANDLE LockSharedAgentValues();
void UnlockSharedAgentValues(HANDLE* lock);

// A new agent whose title is already in use (by an instance key or the legacy agent's service)
// gets " #N", one more than the highest in use.
void NumberTitle(InstallationData* data);

// A new installation's title: "<Company> Agent", numbered when that is in use (" #N"); a title
// that comes out other than before is logged ("> Title = ...").
void NumberNewTitle(InstallationData* data);
