// Add-ons: programs that registered an uninstall command under the agent instance's key; the
// commands run, one after the other, when the agent is removed. Also the run of one uninstall
// command, which the remote-control viewer's quiet uninstaller shares.
#include "procedures/AddOns.h"

#include <stdlib.h>
#include <string.h>

#include "support/AgentNames.h"
#include "support/Clock.h"
#include "support/Handles.h"
#include "support/PathMacros.h"
#include "support/Text.h"

namespace {

enum : DWORD {
    kExpansionExtra = 4096,      // room an expanded command may need beyond its text
    kCommandLineChars = 32767,   // the longest command line CreateProcessA takes
};

const UninstallMessages kAddOnMessages = {"-", "", "\t-Uninstall"};

// One registered add-on, copied out of the key before any command runs: an uninstaller that
// deletes its own value would otherwise shift the values behind it, and one would be missed.
struct AddOnValue {
    char* Name;
    DWORD Type;
    char* Data;  // always terminated, also when the stored text was not
};

void FreeAddOnValues(AddOnValue*& values, DWORD count)
{
    if (!values)
        return;
    for (DWORD i = 0; i < count; ++i) {
        FreeText(values[i].Name);
        FreeText(values[i].Data);
    }
    free(values);
    values = nullptr;
}

// Copies the values of key into values (count entries, zeroed). A value that cannot be read is
// left out. False when memory is short.
bool ReadAddOnValues(HKEY key, DWORD count, DWORD longestName, DWORD longestData, AddOnValue* values)
{
    bool result = false;
    DWORD nameSize = longestName + 1;
    // Text may be stored without its terminator (Wine then adds one and reports it): keep a byte
    // beyond what the key reports as its longest, and terminate by the size read.
    DWORD dataSize = longestData + 2;
    char* name = (char*)malloc(nameSize);
    char* data = (char*)malloc(dataSize);
    if (!name || !data)
        goto Exit;

    for (DWORD index = 0; index < count; ++index) {
        memset(name, 0, nameSize);
        DWORD nameChars = nameSize;
        DWORD type = 0;
        DWORD size = dataSize - 1;
        if (RegEnumValueA(key, index, name, &nameChars, nullptr, &type, (BYTE*)data, &size) != ERROR_SUCCESS)
            continue;
        data[size] = '\0';
        values[index].Name = DuplicateText(name);
        values[index].Data = DuplicateTextPrefix(data, size);
        values[index].Type = type;
        if (!values[index].Name || !values[index].Data)
            goto Exit;
    }
    result = true;

Exit:
    free(name);
    free(data);
    return result;
}

void RunAddOnUninstall(const InstallationData* log, const AddOnValue& addOn, char* expansion, DWORD expansionSize)
{
    LogMessage(log, "Removing add-on \"%s\"...", addOn.Name);
    char* command = addOn.Data;
    if (addOn.Type == REG_EXPAND_SZ) {
        if (!ExpandPath(addOn.Data, expansion, expansionSize)) {
            // A cut or unexpanded command would start something else than what was registered.
            DWORD error = GetLastError();
            LogUninstallStartFailure(log, kAddOnMessages, (int)error);
            return;
        }
        command = expansion;
    } else if (addOn.Type != REG_SZ) {
        LogMessage(log, "Invalid registry value type %d returned for value \"%s\".", (int)addOn.Type, addOn.Name);
        return;
    }
    LogMessage(log, "\t-Uninstall command: \"%s\"", command);
    (void)RunUninstallCommand(log, command, kAddOnMessages);
}

// The program an unquoted command line names: the longest prefix ending in ".exe" that is an
// existing file, a bare file name in the system folder only. Left to itself, CreateProcessA would
// split the line at each blank in turn and start C:\Program.exe for C:\Program Files\...,
// elevated, and look for a bare name in this program's folder first. program receives the file
// to start, *length the length of the prefix.
bool FindCommandProgram(const char* command, char* program, size_t size, size_t* length)
{
    const size_t suffix = 4;  // ".exe"
    char system[MAX_PATH];
    UINT systemLength = GetSystemDirectoryA(system, sizeof(system));
    if (systemLength == 0 || systemLength >= sizeof(system))
        system[0] = '\0';
    for (size_t end = strlen(command); end >= suffix; --end) {
        if (_strnicmp(command + end - suffix, ".exe", suffix) != 0 || end >= size)
            continue;
        memcpy(program, command, end);
        program[end] = '\0';
        if (!strpbrk(program, "\\/:")) {
            char bare[MAX_PATH];
            if (!system[0] || !CopyText(bare, sizeof(bare), program) ||
                !FormatText(program, size, "%s\\%s", system, bare))
                continue;
        }
        DWORD attributes = GetFileAttributesA(program);
        if (attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            *length = end;
            return true;
        }
    }
    return false;
}

}  // namespace

void LogUninstallStartFailure(const InstallationData* data, const UninstallMessages& messages, int error)
{
    LogMessage(data, "%sFaile to run %suninstall command. Error code: %d", messages.Failed, messages.Command, error);
}

bool RunUninstallCommand(const InstallationData* data, char* commandLine, const UninstallMessages& messages)
{
    STARTUPINFOA startup;
    PROCESS_INFORMATION info;
    memset(&startup, 0, sizeof(startup));
    memset(&info, 0, sizeof(info));
    startup.cb = sizeof(startup);
    // A quoted program name cannot be split; any other is named to CreateProcessA explicitly.
    char program[MAX_PATH];
    const char* application = nullptr;
    char* line = nullptr;
    const char* text = commandLine + strspn(commandLine, " \t");
    if (*text != '"') {
        size_t length = 0;
        if (!FindCommandProgram(text, program, sizeof(program), &length)) {
            LogUninstallStartFailure(data, messages, ERROR_FILE_NOT_FOUND);
            return false;
        }
        application = program;
        // With a blank in it, the program would read the pieces of its own path as arguments.
        bool blank = strcspn(text, " \t") < length;
        line = blank ? FormatHeapText(kCommandLineChars, "\"%.*s\"%s", (int)length, text, text + length) : nullptr;
        if (blank && !line) {
            LogUninstallStartFailure(data, messages, ERROR_NOT_ENOUGH_MEMORY);
            return false;
        }
    }
    BOOL started = CreateProcessA(application, line ? line : commandLine, nullptr, nullptr, FALSE,
                                  NORMAL_PRIORITY_CLASS, nullptr, nullptr, &startup, &info);
    DWORD error = GetLastError();
    FreeText(line);
    if (!started) {
        LogUninstallStartFailure(data, messages, (int)error);
        return false;
    }
    CloseHandle(info.hThread);

    bool exitCodeRead = false;
    DWORD start = ClockTicks();
    DWORD state = WAIT_TIMEOUT;
    for (;;) {
        state = WaitForSingleObject(info.hProcess, 0);
        DWORD elapsed = ClockElapsed(start);
        if (state != WAIT_TIMEOUT || elapsed >= kUninstallWaitMs)
            break;
        DWORD left = kUninstallWaitMs - elapsed;
        ClockSleep(left < kUninstallPollMs ? left : kUninstallPollMs);
    }

    if (state == WAIT_OBJECT_0) {
        DWORD code = 0;
        if (GetExitCodeProcess(info.hProcess, &code)) {
            LogMessage(data, "%s process completed and returned %d.", messages.Process, (int)code);
            exitCodeRead = true;
        } else {
            DWORD error = GetLastError();
            LogMessage(data, "%s process completed. Couldn't retrieve exit code. Error code: %d", messages.Process,
                       (int)error);
        }
    } else if (state == WAIT_TIMEOUT) {
        LogMessage(data, "%s process has been running for more than 15 minutes. Stop waiting for completion.",
                   messages.Process);
    } else if (state == WAIT_ABANDONED) {
        LogMessage(data, "%s process has been abandoned.", messages.Process);
    } else {
        LogMessage(data, "%s process has returned with unknown state %d.", messages.Process, (int)state);
    }
    CloseHandle(info.hProcess);
    return exitCodeRead;
}

int RemoveAddOns(const InstallationData* data)
{
    HKEY key = nullptr;
    AddOnValue* values = nullptr;
    char* expansion = nullptr;
    DWORD count = 0;
    DWORD longestName = 0;
    DWORD longestData = 0;
    char path[MAX_PATH];

    if (!FormatInstanceKey(data->Instance, path, sizeof(path)) || !AppendText(path, sizeof(path), "\\AddOn"))
        return ERROR_INVALID_PARAMETER;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return (int)result;
    result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count, &longestName,
                              &longestData, nullptr, nullptr);
    if (result != ERROR_SUCCESS)
        goto Exit;
    LogMessage(data, "%d add-on(s) found.", (int)count);
    if (count == 0)
        goto Exit;

    values = (AddOnValue*)calloc(count, sizeof(AddOnValue));
    expansion = (char*)malloc(longestData + kExpansionExtra);
    if (!values || !expansion || !ReadAddOnValues(key, count, longestName, longestData, values)) {
        LogMessage(data, "Failed to allocate memory.");
        goto Exit;
    }
    // The commands may take long and may change the key; it is not needed any more.
    CloseKey(key);
    for (DWORD i = 0; i < count; ++i) {
        if (values[i].Name)
            RunAddOnUninstall(data, values[i], expansion, longestData + kExpansionExtra);
    }

Exit:
    FreeAddOnValues(values, count);
    free(expansion);
    CloseKey(key);
    return 0;
}
