#pragma once
// Small registry helpers: reading string values, typed value writes, writing a string value
// along a path, deleting one value and deleting a key with everything below it. None of them
// logs. Each returns 0 or a Windows error code unless it says otherwise.

#include <windows.h>

// Value writes on an open key go through this record. Wine never refuses a value write on a key
// that is open for writing, so tests swap SetValue to make one fail; everything else uses the
// real function.
struct RegistryValueBinding {
    LONG(WINAPI* SetValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
};
extern RegistryValueBinding g_RegistryValueBinding;

// Reads a REG_SZ or REG_EXPAND_SZ value (unexpanded) into a new heap text that the caller frees
// with FreeText. Returns 0 or a Windows error code; value is null unless a string was read
// (another value type gives 0 and null).
int RegReadString(HKEY root, const char* subKey, const char* valueName, char** value);

// Reads a string value of an open key that counts: REG_SZ or REG_EXPAND_SZ (only REG_SZ with
// plainStringOnly), not of size 0, fitting in size bytes with its terminator. buffer is
// terminated even when the value was stored without one.
bool ReadStringValue(HKEY key, const char* name, char* buffer, DWORD size, bool plainStringOnly = false);

// Writes text as REG_SZ with its terminating zero counted. 87 for a null text (nothing written),
// else the registry function's result.
int WriteStringValue(HKEY key, const char* name, const char* text);

// Writes value as REG_DWORD; the registry function's result.
int WriteNumberValue(HKEY key, const char* name, DWORD value);

// Writes text as REG_SZ value valueName (null: the default value) of root\path, creating the
// missing keys on the way. 87 without root, path or text.
int SetRegistryString(HKEY root, const char* path, const char* valueName, const char* text);

// Deletes the value valueName of root\subKey. 87 for a missing argument, the error of opening
// the key, else the result of RegDeleteValueA.
int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName);

// Deletes root\path with all its sub-keys and values. 87 without root or path (an empty path is
// refused: it names root itself), the error of opening the key (2 for a missing key), else the
// result of deleting the key itself; a sub-key that cannot be deleted is passed over, and then
// keeps its parent.
int DeleteRegistryTree(HKEY root, const char* path);
