#pragma once
// One setup run per agent instance at a time: two runs for the same instance (a pushed update
// arriving twice, an installation started while a removal works) would stop, copy and remove
// over each other. The lock is a machine lock (support/MachineLock.h).

#include <windows.h>

enum : DWORD {
    kInstanceLockWaitMs = 60000,  // how long a run waits for another one of its instance
};

// "ArvaneSetup_" and the instance id in lower case (every letter of the code page), with "Global\" in front where the system
// has that namespace. False when it does not fit in size bytes.
bool BuildInstanceLockName(const char* instance, bool globalNamespace, char* name, size_t size);

// Takes the lock of instance, waiting up to kInstanceLockWaitMs on the clock of support/Clock.h.
// Returns 0 with *lock to release (null when no lock could be had that others honour: the run
// goes on without), or ERROR_INSTALL_ALREADY_RUNNING when another run kept it.
int TakeInstanceLock(const char* instance, HANDLE* lock);

// Releases and closes a lock that TakeInstanceLock gave; null does nothing.
void ReleaseInstanceLock(HANDLE* lock);
