#pragma once
// Whether users who are not administrators could change the agent folder or a folder above it.
// The agent's programs run as LocalSystem: whoever may replace them runs as LocalSystem too.

#include <windows.h>

#include "procedures/InstallationData.h"

// True when neither DestFolder (when it exists) nor an existing folder above it, up to its drive
// root, can be changed by users who are not administrators (support/AccessControl.h says what
// counts), nor any folder a link on the way leads to. Otherwise logs `Agent folder "<folder>" can
// be changed by users who are not administrators; ...` with what follows for the run's procedure
// ("the installation is refused.", "the update goes on.", "its files are left.") and returns
// false. Always true on Windows 9x, which has no access lists.
bool IsAgentFolderSafe(const InstallationData* data);

// The check of IsAgentFolderSafe for any folder (Windows NT only), without a log line: true when
// neither it (when it exists) nor a folder above it can be changed by users who are not
// administrators.
bool CanOnlyAdministratorsChange(const char* folder);

// Creates the agent folder and the missing folders above it, each for administrators only, as
// under Program Files, whatever its parent (a drive root, say) lets users do: the agent's programs
// run as LocalSystem. A folder that exists keeps its own. True when the folder exists afterwards.
bool CreateAgentFolder(const InstallationData* data);

// Reads a folder's owner and access list (ReadFolderSecurity of support/AccessControl.h).
typedef int (*ReadFolderSecurityFunction)(const char* path, DWORD (&buffer)[1024]);

// Where a test has to play the access lists that Wine does not keep on files: makes read the
// reader, or restores the system's for null.
void SetFolderSecurityReader(ReadFolderSecurityFunction read);
