#pragma once
// Small registry helpers shared by the agent settings and the uninstall entry: typed value writes
// on an open key and the removal of a key with everything below it.

#include <windows.h>

// Value writes go through this record. Wine never refuses a value write on a key that is open
// for writing, so tests swap SetValue to make one fail; everything else uses the real function.
struct RegistryValueBinding {
    LONG(WINAPI* SetValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
};
extern RegistryValueBinding g_RegistryValueBinding;

// Writes text as REG_SZ with its terminating zero counted. 87 for a null text (nothing written),
// else the registry function's result.
LONG WriteStringValue(HKEY key, const char* name, const char* text);

// Writes value as REG_DWORD; the registry function's result.
LONG WriteNumberValue(HKEY key, const char* name, DWORD value);

// Deletes subKey of root with all its sub-keys and values through the shell's SHDeleteKeyA, or,
// where shlwapi.dll is missing (Windows 95 and NT 4 without the later shell), through
// DeleteRegistryTree. Returns 0 or the registry error (2 for a missing key).
LONG DeleteKeyWithSubkeys(HKEY root, const char* subKey);

// Deletes the value valueName of root\subKey. 87 for a missing argument, the error of opening
// the key, else the result of RegDeleteValueA.
int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName);
