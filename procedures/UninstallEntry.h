#pragma once
// The instance's entry in the system's list of installed programs.

#include "procedures/InstallationData.h"

// Writes the entry; isUpdate keeps a display name that is already set. Best effort: what cannot
// be written is left out, unreported (an agent without its entry still works).
void WriteUninstallEntry(const InstallationData* data, int isUpdate);

// Deletes the entry; the result is the deletion's registry code.
int RemoveUninstallEntry(const InstallationData* data);

// The entry's key under HKEY_LOCAL_MACHINE; false without an instance or when it does not fit.
bool FormatUninstallKey(const InstallationData* data, char (&path)[MAX_PATH]);

// Whether the entry is there.
bool UninstallEntryExists(const InstallationData* data);
