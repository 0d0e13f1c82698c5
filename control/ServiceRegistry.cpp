// The registry side of the service control: the Windows 9x RunServices values, which stand in
// for services there, and starting a command.
#include "control/ServiceManager.h"

#include <string.h>

#include "support/Handles.h"
#include "support/Registry.h"
#include "support/Results.h"
#include "support/Text.h"

const char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

int SetRunServicesValue(const char* name, const char* command)
{
    HKEY key = nullptr;
    if (!command)
        return ERROR_INVALID_PARAMETER;
    // The registry functions return their error; the thread's last error may be left at 0.
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunServicesKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;
    result = RegSetValueExA(key, name, 0, REG_SZ, (const BYTE*)command, (DWORD)strlen(command) + 1);
    CloseKey(key);
    return (int)result;
}

int DeleteRunServicesValue(const char* name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRunServicesKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return -1;
    (void)RegDeleteValueA(key, name);  // a missing value is what removal wants
    CloseKey(key);
    return 0;
}

int StartAgentFromRunServices(const char* name)
{
    char* command = nullptr;
    int result = (int)RegReadString(HKEY_LOCAL_MACHINE, kRunServicesKey, name, &command);
    if (result != 0)
        return result;
    // A value of another type, or an empty one, names nothing to start.
    if (!command || !*command) {
        FreeText(command);
        return -1;
    }
    result = LaunchProcess(command);
    FreeText(command);
    return result;
}

int LaunchProcess(const char* commandLine)
{
    if (!commandLine)
        return ERROR_INVALID_PARAMETER;
    // CreateProcessA may write into the command line.
    char* line = DuplicateText(commandLine);
    if (!line)
        return ERROR_OUTOFMEMORY;
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof(startup));
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof(process));
    int result = 0;
    if (CreateProcessA(nullptr, line, nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    } else {
        result = LastErrorResult();
    }
    FreeText(line);
    return result;
}
