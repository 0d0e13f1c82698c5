#include "procedures/RegistryValues.h"

#include <string.h>

#include "control/ServiceManager.h"
#include "support/Handles.h"
#include "support/SystemLibrary.h"

RegistryValueBinding g_RegistryValueBinding = {RegSetValueExA};

LONG WriteStringValue(HKEY key, const char* name, const char* text)
{
    if (!text)
        return ERROR_INVALID_PARAMETER;
    return g_RegistryValueBinding.SetValue(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                                           (DWORD)strlen(text) + 1);
}

LONG WriteNumberValue(HKEY key, const char* name, DWORD value)
{
    return g_RegistryValueBinding.SetValue(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                           sizeof(value));
}

LONG DeleteKeyWithSubkeys(HKEY root, const char* subKey)
{
    typedef LONG(WINAPI * DeleteKeyFunction)(HKEY, LPCSTR);
    if (!root || !subKey || !*subKey)
        return ERROR_INVALID_PARAMETER;
    HMODULE shell = LoadSystemLibrary("shlwapi.dll");
    DeleteKeyFunction deleteKey = GetSystemFunction<DeleteKeyFunction>(shell, "SHDeleteKeyA");
    LONG result = deleteKey ? deleteKey(root, subKey) : (LONG)DeleteRegistryTree(root, subKey);
    FreeLibraryIfLoaded(shell);
    return result;
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
