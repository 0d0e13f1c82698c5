#pragma once
// The agent service of this installation: "XA" + Instance (on Windows 9x its RunServices
// value), with the agent's description, failure actions and Safe Mode keys.

#include "procedures/InstallationData.h"

enum { kServiceNameChars = 64 };

// Creates the service. 0, or the error; 1073 (ERROR_SERVICE_EXISTS) when the service exists
// already, which is then left unchanged.
int InstallAgentService(const InstallationData* data);

// As InstallAgentService, but an existing service only gets the image path of this
// installation (when it differs other than in letter case); a missing one is created.
int ConfigureAgentService(const InstallationData* data);

// Deletes the agent service (the legacy service "ArvaneAgent" when UpdateLegacyAgent is set)
// and, but for the legacy one, its Safe Mode keys. 0 also when it did not exist; a failure is
// logged and returned.
int RemoveAgentService(const InstallationData* data);

// Waits until the service that RemoveAgentService deleted is gone from the service manager, for
// at most limitMs; nothing on Windows 9x.
void WaitForAgentServiceRemoval(const InstallationData* data, DWORD limitMs);

// The name of the agent's service that the run works on: the legacy agent's "ArvaneAgent" while
// UpdateLegacyAgent is set, else "XA" + Instance. False without an instance or when it does not
// fit in size bytes.
bool FormatAgentServiceName(const InstallationData* data, char* name, size_t size);

// Whether the service name is registered (on Windows 9x: its RunServices value).
bool AgentServiceExists(const InstallationData* data, const char* name);

// The service that a failed update leaves to be started again: the legacy agent's while it is
// there, else this instance's. False when neither is there.
bool FindServiceToRestart(const InstallationData* data, char* name, size_t size);
