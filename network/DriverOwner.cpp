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
    // Read into a copy first: the caller's buffer stays untouched on failure.
    char value[MAX_PATH + 1];
    DWORD type = 0;
    result = ReadTextValue(key, kDriverControlValue, value, (size < MAX_PATH ? size : MAX_PATH) + 1, &type);
    CloseKey(key);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    // A value stored without its terminator may fill the copy: cut, it would name another owner.
    size_t length = strlen(value);
    if (length >= size)
        return ERROR_MORE_DATA;
    memcpy(buffer, value, length + 1);
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
