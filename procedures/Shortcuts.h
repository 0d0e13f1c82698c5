#pragma once
// The agent's own Start-menu link (support/ShellLinks.h writes it) in the company's program
// group.

#include "procedures/InstallationData.h"

// Creates the Start-menu link to the agent in the company's program group; onlyIfMissing
// leaves an existing link alone. Returns 0, 87 when Title, Company or DestFolder is missing,
// or the low 16 bits of the failing HRESULT.
int CreateAgentShortcut(const InstallationData* data, int onlyIfMissing);

// Deletes the agent's link and then the program group when it is empty. Returns 0, 87 when
// Title or Company is missing, or the low 16 bits of the deletion's HRESULT.
int RemoveAgentShortcut(const InstallationData* data);

// Whether the agent's link is there.
bool AgentShortcutExists(const InstallationData* data);

// Whether the agent's link is there and leads to this instance's program: another instance's
// link may have the title (an instance that is not installed goes by the first one's). Compared
// as files where both are there, so asked before the program goes (named alike, the two are the
// same once the program is gone: a removal that could not delete the link finds it again).
bool AgentShortcutIsOwn(const InstallationData* data);
