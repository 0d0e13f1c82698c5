#pragma once
// Reading and arranging the real registry of the test prefix, and reading back the setup log.

#include <windows.h>

#include <string>
#include <vector>

namespace xatest {

// One value as the registry holds it.
struct RegistryValue {
    LONG Result = ERROR_FILE_NOT_FOUND;  // of the query; the other fields are empty unless 0
    DWORD Type = REG_NONE;
    std::string Data;  // raw bytes, terminators included
};

RegistryValue ReadRegistryValue(const std::string& keyPath, const std::string& name);
// The same through the UTF-16 function: the bytes as the registry stores them, where the 8-bit
// function of Windows 9x gives a string value back only up to its first zero.
RegistryValue ReadRegistryValueWide(const std::string& keyPath, const std::string& name);
bool RegistryKeyExists(const std::string& keyPath);
LONG WriteRegistryValue(const std::string& keyPath, const std::string& name, DWORD type, const std::string& data);
LONG WriteRegistryString(const std::string& keyPath, const std::string& name, const std::string& text);
LONG WriteRegistryNumber(const std::string& keyPath, const std::string& name, DWORD value);
void DeleteRegistryTreeForTest(const std::string& keyPath);
void DeleteRegistryValueForTest(const std::string& keyPath, const std::string& name);

// The REG_SZ bytes of text: the text and its terminating zero.
std::string StringBytes(const std::string& text);
std::string NumberBytes(DWORD value);

// The message parts of the lines of a setup log file.
std::vector<std::string> LogMessages(const std::string& logPath);

}  // namespace xatest
