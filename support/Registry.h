#pragma once
// Small registry helpers: opening a key to read, typed value reads that always terminate a text,
// the sub-keys of a key one by one, typed value writes, writing a string value along a path,
// deleting one value and deleting a key with everything below it. None of them logs. Each
// returns 0 or a Windows error code unless it says otherwise.

#include <windows.h>

// Value writes on an open key go through this record. Wine never refuses a value write on a key
// that is open for writing, so tests swap SetValue to make one fail; everything else uses the
// real function.
struct RegistryValueBinding {
    LONG(WINAPI* SetValue)(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size);
};
extern RegistryValueBinding g_RegistryValueBinding;

// root\path opened for reading (KEY_READ); null when it cannot be opened.
HKEY OpenKeyToRead(HKEY root, const char* path);

// Whether root\path can be opened for reading.
bool KeyExists(HKEY root, const char* path);

// Reads a REG_SZ or REG_EXPAND_SZ value (unexpanded) into a new heap text that the caller frees
// with FreeText. Returns 0 or a Windows error code; value is null unless a string was read
// (another value type gives 0 and null).
int RegReadString(HKEY root, const char* subKey, const char* valueName, char** value);

// Reads a string value of an open key that counts, as ReadTextValue reads it: REG_SZ or
// REG_EXPAND_SZ (only REG_SZ with plainStringOnly), not of size 0.
bool ReadStringValue(HKEY key, const char* name, char* buffer, DWORD size, bool plainStringOnly = false);

// Reads a value of an open key, whatever its type, as text into buffer (size bytes, at least 1):
// its data must fit in size - 1 bytes (234, ERROR_MORE_DATA, when not), one byte staying for the
// terminator the value may have been stored without. buffer always ends terminated after what
// was read, and is empty on failure; with type, the value's type.
int ReadTextValue(HKEY key, const char* name, char* buffer, DWORD size, DWORD* type = nullptr);

// Reads a REG_DWORD value of an open key; 13 (ERROR_INVALID_DATA) for a value of another type
// or size.
int ReadNumberValue(HKEY key, const char* name, DWORD* value);

// Reads at most size bytes of a value of an open key, whatever its type, as they are stored;
// data is zero where the value does not reach, and all zero on failure.
int ReadValueBytes(HKEY key, const char* name, void* data, DWORD size);

// The type and the size in bytes of a value of an open key (either may be null) without reading
// it; 2 (ERROR_FILE_NOT_FOUND) when there is no such value.
int QueryValueInfo(HKEY key, const char* name, DWORD* type, DWORD* size);

// Room for any key name.
enum { kKeyNameChars = MAX_PATH };

// The number of sub-keys of an open key; 0 when it cannot be asked.
DWORD CountSubKeys(HKEY key);

// The name of the sub-key at index; false when there is none or it cannot be read.
bool ReadSubKeyName(HKEY key, DWORD index, char (&name)[kKeyNameChars]);

// Calls visit(name) for each sub-key of an open key (opened with KEY_ENUMERATE_SUB_KEYS), from the
// last to the first, so that visit may delete the one it is given; one whose name cannot be read
// is passed over.
template <typename Visit>
void ForEachSubKey(HKEY key, Visit visit)
{
    for (DWORD index = CountSubKeys(key); index > 0; --index) {
        char name[kKeyNameChars];
        if (ReadSubKeyName(key, index - 1, name))
            visit(name);
    }
}

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
