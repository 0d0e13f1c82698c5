// Small registry helpers.
#include "support/Registry.h"

#include <stdlib.h>
#include <string.h>

#include "support/Handles.h"

namespace {

enum { kKeyNameChars = 260 };

}  // namespace

RegistryValueBinding g_RegistryValueBinding = {RegSetValueExA};

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
    DWORD length = size - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, (BYTE*)buffer, &length) != ERROR_SUCCESS || length == 0)
        return false;
    if (type != REG_SZ && (plainStringOnly || type != REG_EXPAND_SZ))
        return false;
    buffer[length] = '\0';
    return true;
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

    DWORD subKeys = 0;
    if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        subKeys = 0;
    // From the last index down, so that deleting a sub-key does not shift the ones still to come;
    // one that stays (its own failure) is below the indexes still to come.
    for (DWORD index = subKeys; index > 0; --index) {
        char name[kKeyNameChars];
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key, index - 1, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        (void)DeleteRegistryTree(key, name);
    }
    CloseKey(key);
    // Windows 9x deletes a key with its sub-keys; NT refuses a key that still has some.
    return (int)RegDeleteKeyA(root, path);
}
