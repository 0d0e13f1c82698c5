// Small registry helpers.
#include "support/Registry.h"

#include <stdlib.h>
#include <string.h>

#include "support/Handles.h"

namespace {

// Reads at most size - 1 bytes of a value and terminates the text after them; empty on failure.
// length: the bytes read.
LONG QueryText(HKEY key, const char* name, char* buffer, DWORD size, DWORD* type, DWORD* length)
{
    *length = size - 1;
    LONG result = RegQueryValueExA(key, name, nullptr, type, (BYTE*)buffer, length);
    if (result != ERROR_SUCCESS)
        *length = 0;
    buffer[*length] = '\0';
    return result;
}

}  // namespace

RegistryValueBinding g_RegistryValueBinding = {RegSetValueExA};

HKEY OpenKeyToRead(HKEY root, const char* path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}

bool KeyExists(HKEY root, const char* path)
{
    HKEY key = OpenKeyToRead(root, path);
    bool exists = key != nullptr;
    CloseKey(key);
    return exists;
}

int RegReadString(HKEY root, const char* subKey, const char* valueName, char** value)
{
    if (!subKey || !value)
        return ERROR_INVALID_PARAMETER;
    *value = nullptr;

    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(root, subKey, 0, KEY_QUERY_VALUE, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;

    DWORD type = 0;
    DWORD size = 0;
    char* data = nullptr;
    result = RegQueryValueExA(key, valueName, nullptr, nullptr, nullptr, &size);
    if (result == ERROR_SUCCESS) {
        // Two zero bytes past the data terminate it even when it was stored without a NUL.
        data = (char*)calloc((size_t)size + 2, 1);
        if (!data)
            result = ERROR_OUTOFMEMORY;
    }
    if (result == ERROR_SUCCESS)
        result = RegQueryValueExA(key, valueName, nullptr, &type, (BYTE*)data, &size);
    if (result == ERROR_SUCCESS && (type == REG_SZ || type == REG_EXPAND_SZ)) {
        *value = data;
        data = nullptr;
    }
    free(data);
    CloseKey(key);
    return (int)result;
}

bool ReadStringValue(HKEY key, const char* name, char* buffer, DWORD size, bool plainStringOnly)
{
    DWORD type = 0;
    DWORD length = 0;
    if (QueryText(key, name, buffer, size, &type, &length) != ERROR_SUCCESS || length == 0)
        return false;
    return type == REG_SZ || (!plainStringOnly && type == REG_EXPAND_SZ);
}

int ReadTextValue(HKEY key, const char* name, char* buffer, DWORD size, DWORD* type)
{
    DWORD length = 0;
    return (int)QueryText(key, name, buffer, size, type, &length);
}

int ReadNumberValue(HKEY key, const char* name, DWORD* value)
{
    DWORD type = 0;
    DWORD size = sizeof(*value);
    LONG result = RegQueryValueExA(key, name, nullptr, &type, (BYTE*)value, &size);
    if (result == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof(*value)))
        result = ERROR_INVALID_DATA;
    return (int)result;
}

int ReadValueBytes(HKEY key, const char* name, void* data, DWORD size)
{
    memset(data, 0, size);
    DWORD length = size;
    LONG result = RegQueryValueExA(key, name, nullptr, nullptr, (BYTE*)data, &length);
    if (result != ERROR_SUCCESS)
        memset(data, 0, size);  // what a value too large left there
    return (int)result;
}

int QueryValueInfo(HKEY key, const char* name, DWORD* type, DWORD* size)
{
    return (int)RegQueryValueExA(key, name, nullptr, type, nullptr, size);
}

DWORD CountSubKeys(HKEY key)
{
    DWORD subKeys = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return 0;
    return subKeys;
}

bool ReadSubKeyName(HKEY key, DWORD index, char (&name)[kKeyNameChars])
{
    DWORD size = sizeof(name);
    return RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

int WriteStringValue(HKEY key, const char* name, const char* text)
{
    if (!text)
        return ERROR_INVALID_PARAMETER;
    return (int)g_RegistryValueBinding.SetValue(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                                (DWORD)strlen(text) + 1);
}

int WriteNumberValue(HKEY key, const char* name, DWORD value)
{
    return (int)g_RegistryValueBinding.SetValue(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                                sizeof(value));
}

int SetRegistryString(HKEY root, const char* path, const char* valueName, const char* text)
{
    if (!root || !path || !text)
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG result = RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, &key, nullptr);
    if (result != ERROR_SUCCESS)
        return (int)result;
    result = WriteStringValue(key, valueName, text);
    CloseKey(key);
    return (int)result;
}

int DeleteRegistryValue(HKEY root, const char* subKey, const char* valueName)
{
    if (!root || !subKey || !valueName)
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(root, subKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;
    result = RegDeleteValueA(key, valueName);
    CloseKey(key);
    return (int)result;
}

int DeleteRegistryTree(HKEY root, const char* path)
{
    // An empty path opens root itself, and the tree below it would go.
    if (!root || !path || !*path)
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(root, path, 0, KEY_ALL_ACCESS, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;

    // A sub-key that stays (its own failure) is below the indexes still to come.
    ForEachSubKey(key, [key](const char* name) { (void)DeleteRegistryTree(key, name); });
    CloseKey(key);
    // Windows 9x deletes a key with its sub-keys; NT refuses a key that still has some.
    return (int)RegDeleteKeyA(root, path);
}
