#pragma once
// A lock that setup processes on the machine share: a protected named mutex (only SYSTEM and
// Administrators may open it, support/AccessControl.h), waited for on the clock of
// support/Clock.h. The holding thread may take it again.

#include <windows.h>

enum : DWORD { kMachineLockPollMs = 500 };

// Takes the lock name, looking every kMachineLockPollMs for up to limitMs. Returns 0 with *lock
// to release (null when no lock could be had that others honour, one that someone else made
// included: the caller goes on without), or ERROR_TIMEOUT when another holder kept it. A holder
// that died leaves the lock to the next taker.
int TakeMachineLock(const char* name, DWORD limitMs, HANDLE* lock);

// Releases and closes a lock that TakeMachineLock gave; null does nothing.
void ReleaseMachineLock(HANDLE* lock);
