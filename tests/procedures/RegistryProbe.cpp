#include "procedures/RegistryProbe.h"

#include "harness/TestSupport.h"

namespace xatest {

RegistryValue ReadRegistryValue(const std::string& keyPath, const std::string& name)
{
    RegistryValue value;
    HKEY key;
    value.Result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (value.Result != ERROR_SUCCESS)
        return value;
    DWORD size = 0;
    value.Result = RegQueryValueExA(key, name.c_str(), nullptr, &value.Type, nullptr, &size);
    if (value.Result == ERROR_SUCCESS) {
        std::vector<BYTE> data(size + 1);
        value.Result = RegQueryValueExA(key, name.c_str(), nullptr, &value.Type, data.data(), &size);
        value.Data.assign(reinterpret_cast<char*>(data.data()), size);
    }
    RegCloseKey(key);
    if (value.Result != ERROR_SUCCESS)
        value = RegistryValue{value.Result, REG_NONE, ""};
    return value;
}

RegistryValue ReadRegistryValueWide(const std::string& keyPath, const std::string& name)
{
    RegistryValue value;
    HKEY key;
    value.Result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key);
    if (value.Result != ERROR_SUCCESS)
        return value;
    std::wstring wideName(name.begin(), name.end());
    std::vector<BYTE> data(4096);
    DWORD size = (DWORD)data.size();
    value.Result = RegQueryValueExW(key, wideName.c_str(), nullptr, &value.Type, data.data(), &size);
    if (value.Result == ERROR_SUCCESS)
        value.Data.assign(reinterpret_cast<char*>(data.data()), size);
    RegCloseKey(key);
    return value;
}

bool RegistryKeyExists(const std::string& keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

LONG WriteRegistryValue(const std::string& keyPath, const std::string& name, DWORD type, const std::string& data)
{
    HKEY key;
    LONG result = RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                  nullptr);
    if (result != ERROR_SUCCESS)
        return result;
    result = RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(data.data()),
                            (DWORD)data.size());
    RegCloseKey(key);
    return result;
}

LONG WriteRegistryString(const std::string& keyPath, const std::string& name, const std::string& text)
{
    return WriteRegistryValue(keyPath, name, REG_SZ, StringBytes(text));
}

LONG WriteRegistryNumber(const std::string& keyPath, const std::string& name, DWORD value)
{
    return WriteRegistryValue(keyPath, name, REG_DWORD, NumberBytes(value));
}

void DeleteRegistryTreeForTest(const std::string& keyPath)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    std::vector<std::string> children;
    char name[MAX_PATH];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof(name);
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& child : children)
        DeleteRegistryTreeForTest(keyPath + "\\" + child);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath.c_str());
}

void DeleteRegistryValueForTest(const std::string& keyPath, const std::string& name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
        return;
    RegDeleteValueA(key, name.c_str());
    RegCloseKey(key);
}

std::string StringBytes(const std::string& text)
{
    return std::string(text.c_str(), text.size() + 1);
}

std::string NumberBytes(DWORD value)
{
    return std::string(reinterpret_cast<const char*>(&value), sizeof(value));
}

std::vector<std::string> LogMessages(const std::string& logPath)
{
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadWholeFile(logPath))) {
        size_t at = line.find("]: ");
        messages.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return messages;
}

}  // namespace xatest
