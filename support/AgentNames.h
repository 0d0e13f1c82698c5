#pragma once
// The names an agent goes by on the machine, the same for every instance.

// The agent's service program and the service of the older-generation agent.
inline constexpr char kAgentExecutable[] = "AgentCore.exe";
// The key under HKEY_LOCAL_MACHINE that holds one sub-key per agent instance and the values
// that all instances share.
inline constexpr char kAgentKey[] = "SOFTWARE\\Arvane\\Agent";
inline constexpr char kLegacyServiceName[] = "ArvaneAgent";
