#pragma once
// The names an agent goes by on the machine: the ones every instance shares, and the builders of
// those an instance forms from its id (or, for its program, from its folder). Each builder writes
// into the caller's buffer of size bytes and returns false, leaving the buffer empty, without an
// id (or folder) or when the name does not fit.

#include <stddef.h>

// The agent's service program and the service of the older-generation agent.
inline constexpr char kAgentExecutable[] = "AgentCore.exe";
// The key under HKEY_LOCAL_MACHINE that holds one sub-key per agent instance and the values
// that all instances share.
inline constexpr char kAgentKey[] = "SOFTWARE\\Arvane\\Agent";
inline constexpr char kLegacyServiceName[] = "ArvaneAgent";
// The older-generation agent's service key under HKEY_LOCAL_MACHINE.
inline constexpr char kLegacyServiceKey[] = "SYSTEM\\CurrentControlSet\\Services\\ArvaneAgent";

// The instance's key under HKEY_LOCAL_MACHINE: kAgentKey\<id>.
bool FormatInstanceKey(const char* instance, char* name, size_t size);

// The instance's own service: "XA<id>".
bool FormatInstanceServiceName(const char* instance, char* name, size_t size);

// The agent's pipe: "\\.\pipe\arvaneAgent<id>"; the legacy agent's has the empty id.
bool FormatAgentPipeName(const char* instance, char* name, size_t size);

// The value under the machine's Run key that starts the user task at every logon: "XASH<id>".
bool FormatRunValueName(const char* instance, char* name, size_t size);

// The instance's entry in the list of installed programs, a key under HKEY_LOCAL_MACHINE.
bool FormatUninstallKey(const char* instance, char* name, size_t size);

// The agent's program in folder: <folder>\AgentCore.exe.
bool FormatAgentProgramPath(const char* folder, char* path, size_t size);

// The event the user task ends on: "UserTrayExit<id>", or "UserTrayExitEvent" without an id (the
// legacy agent's task), with "Global\" in front where the system has that namespace.
bool FormatUserTaskExitEventName(const char* instance, bool globalNamespace, char* name, size_t size);
