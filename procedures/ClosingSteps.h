#pragma once
// The steps that end a new installation and an update alike: the uninstall entry and the
// Start-menu shortcut, each left out when the instance asks for none.

#include "procedures/InstallationData.h"

// Writes the uninstall entry unless bNoAddRemove and creates the shortcut unless bNoShortcut,
// logging each step. isUpdate keeps what the installed instance already has (the entry's
// display name, an existing shortcut). Best effort: nothing is returned; the shortcut's result
// is logged.
void AddUninstallEntryAndShortcut(const InstallationData* data, int isUpdate);
