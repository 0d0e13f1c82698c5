#include "procedures/LeftoversTestSupport.h"

#include <algorithm>
#include <cstring>

#include "support/Registry.h"

namespace xatest {

LoggingInstaller::LoggingInstaller(const std::string& name)
    : scratch_(name), log_(scratch_ / "setup.log"), installer_(&data_)
{
    data_.IsWin9x = IsWin9xKind() ? 1 : 0;
    data_.LogEnabled = 1;
    data_.Log.Open(log_.c_str());
}

void LoggingInstaller::SetInstance(const char* instance)
{
    ReplaceText(data_.Instance, DuplicateText(instance));
}

std::vector<std::string> LoggingInstaller::Messages() const
{
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadWholeFile(log_))) {
        size_t at = line.find("]: ");
        messages.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return messages;
}

bool SetMachineValue(const std::string& key, const char* name, DWORD type, const void* data, int size)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    DWORD bytes = size < 0 ? (DWORD)strlen(static_cast<const char*>(data)) + 1 : (DWORD)size;
    LONG result = RegSetValueExA(handle, name, 0, type, static_cast<const BYTE*>(data), bytes);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

bool SetMachineText(const std::string& key, const char* name, const std::string& text, DWORD type)
{
    return SetMachineValue(key, name, type, text.c_str());
}

bool CreateMachineKey(const std::string& key)
{
    HKEY handle = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr) !=
        ERROR_SUCCESS)
        return false;
    RegCloseKey(handle);
    return true;
}

void DeleteMachineTree(const std::string& key)
{
    DeleteRegistryTree(HKEY_LOCAL_MACHINE, key.c_str());
}

bool MachineValueExists(const std::string& key, const char* name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return false;
    LONG result = RegQueryValueExA(handle, name, nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(handle);
    return result == ERROR_SUCCESS;
}

std::string ReadMachineMultiString(const std::string& key, const char* name)
{
    HKEY handle = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_QUERY_VALUE, &handle) != ERROR_SUCCESS)
        return "";
    DWORD size = 0;
    DWORD type = 0;
    std::string data;
    if (RegQueryValueExA(handle, name, nullptr, &type, nullptr, &size) == ERROR_SUCCESS && type == REG_MULTI_SZ) {
        data.resize(size);
        if (RegQueryValueExA(handle, name, nullptr, &type, reinterpret_cast<BYTE*>(&data[0]), &size) != ERROR_SUCCESS)
            data.clear();
        data.resize(size);
    }
    RegCloseKey(handle);
    while (!data.empty() && data.back() == '\0')
        data.pop_back();
    std::replace(data.begin(), data.end(), '\0', '|');
    return data;
}

std::vector<std::string> WaitForRecordLines(const std::string& file, size_t count, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    std::vector<std::string> lines = SplitLines(ReadWholeFile(file));
    while (lines.size() < count && GetTickCount() - start < timeoutMs) {
        Sleep(50);
        lines = SplitLines(ReadWholeFile(file));
    }
    return lines;
}

}  // namespace xatest
