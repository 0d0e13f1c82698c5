#include "network/DriverOwner.h"

#include <string.h>

#include "support/AgentNames.h"
#include "support/Handles.h"
#include "support/Registry.h"

const char kDriverControlValue[] = "DriverControl";
const char kLspLibraryValue[] = "WinSock2LspDll";
const char kLegacyDriverOwner[] = "Legacy";

int GetDriverControl(char* buffer, DWORD size)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    // Read into a copy first: the caller's buffer stays untouched on failure, and the value is
    // terminated even when it was stored without its NUL.
    char value[MAX_PATH + 1];
    DWORD type = 0;
    DWORD valueSize = size < MAX_PATH ? size : MAX_PATH;
    result = RegQueryValueExA(key, kDriverControlValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
    CloseKey(key);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (size == 0)
        return ERROR_MORE_DATA;
    value[valueSize < size ? valueSize : size - 1] = 0;
    memcpy(buffer, value, strlen(value) + 1);
    return 0;
}

int SetDriverControl(const char* owner)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    if (owner)
        result = WriteStringValue(key, kDriverControlValue, owner);
    else
        result = RegDeleteValueA(key, kDriverControlValue);
    CloseKey(key);
    return result;
}
