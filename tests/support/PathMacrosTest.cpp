// Folder macros and the registry readers against the real registry and
// environment of the prefix (32-bit and WOW64, where the 32-bit view names "Program Files (x86)").
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "harness/TestSupport.h"
#include "support/PathMacros.h"
#include "support/Registry.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const char kCurrentVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";
const char kScratchKey[] = "Software\\XATest\\PathMacros";

std::string RegistryString(const char* valueName)
{
    char value[MAX_PATH] = {};
    DWORD size = sizeof(value);
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCurrentVersion, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "";
    RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return value;
}

std::string SystemFolder()
{
    char folder[MAX_PATH];
    GetSystemDirectoryA(folder, sizeof(folder));
    return folder;
}

// Result of ExpandPath with a buffer of size bytes; bytes past it must stay untouched.
struct Expansion {
    DWORD Result;
    DWORD Error;
    std::string Text;
    bool GuardIntact;
};

Expansion Expand(const std::string& source, DWORD size = MAX_PATH)
{
    std::vector<char> buffer(size + 32, '\x5A');
    SetLastError(0);
    Expansion expansion;
    expansion.Result = ExpandPath(source.c_str(), buffer.data(), size);
    expansion.Error = GetLastError();
    expansion.Text = expansion.Result ? std::string(buffer.data()) : std::string();
    expansion.GuardIntact = std::all_of(buffer.begin() + size, buffer.end(), [](char c) { return c == '\x5A'; });
    return expansion;
}

// Removes environment variables for the life of the object, so that the folder macros reach
// the registry and system lookups instead of the environment.
class WithoutVariables {
public:
    explicit WithoutVariables(std::vector<std::string> names) : names_(std::move(names))
    {
        for (const std::string& name : names_) {
            char value[1024];
            DWORD length = GetEnvironmentVariableA(name.c_str(), value, sizeof(value));
            saved_.push_back(length ? value : "");
            SetEnvironmentVariableA(name.c_str(), nullptr);
        }
    }
    ~WithoutVariables()
    {
        for (size_t i = 0; i < names_.size(); ++i)
            if (!saved_[i].empty())
                SetEnvironmentVariableA(names_[i].c_str(), saved_[i].c_str());
    }

private:
    std::vector<std::string> names_, saved_;
};

}  // namespace

TEST(ExpandPath, FolderMacrosFromRegistryAndSystem)
{
    WithoutVariables unset({"ProgramFiles", "CommonFiles", "SystemRoot", "SystemDir"});
    std::string programFiles = RegistryString("ProgramFilesDir");
    std::string commonFiles = RegistryString("CommonFilesDir");
    ASSERT_FALSE(programFiles.empty());
    ASSERT_FALSE(commonFiles.empty());
    if (WineKind().rfind("win64-", 0) == 0) {
        EXPECT_EQ("C:\\Program Files (x86)", programFiles) << "a 32-bit program sees the 32-bit folder";
    }
    char windows[MAX_PATH];
    GetWindowsDirectoryA(windows, sizeof(windows));

    const std::vector<std::pair<std::string, std::string>> rows = {
        {"%ProgramFiles%\\Arvane\\I1", programFiles + "\\Arvane\\I1"},
        {"%commonfiles%\\X", commonFiles + "\\X"},
        {"%SYSTEMROOT%", windows},
        {"%SystemDir%\\drivers", SystemFolder() + "\\drivers"},
        {"a%SystemDir%b%SystemDir%", "a" + SystemFolder() + "b" + SystemFolder()},
        {"%NoSuchName%\\X", "%NoSuchName%\\X"},
        {"100%", "100%"},
        {"%%SystemDir%", "%" + SystemFolder()},
        {"%SystemDir", "%SystemDir"},
        {"", ""},
    };
    for (const auto& row : rows) {
        Expansion expansion = Expand(row.first);
        EXPECT_EQ(row.second, expansion.Text) << row.first;
        EXPECT_EQ(row.second.size() + 1, expansion.Result) << row.first;
        EXPECT_TRUE(expansion.GuardIntact) << row.first;
    }
}

TEST(ExpandPath, EnvironmentComesFirst)
{
    SetEnvironmentVariableA("XATEST_BASE", "C:\\Base");
    SetEnvironmentVariableA("SystemDir", "C:\\FromEnvironment");
    EXPECT_EQ("C:\\Base\\I1", Expand("%XATEST_BASE%\\I1").Text);
    EXPECT_EQ("C:\\FromEnvironment\\x", Expand("%SystemDir%\\x").Text);
    SetEnvironmentVariableA("SystemDir", nullptr);
    SetEnvironmentVariableA("XATEST_BASE", nullptr);
}

TEST(ExpandPath, MissingRegistryValueLeavesTheMacro)
{
    WithoutVariables unset({"ProgramFiles"});
    std::string saved = RegistryString("ProgramFilesDir");
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kCurrentVersion, 0, KEY_SET_VALUE, &key));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteValueA(key, "ProgramFilesDir"));
    Expansion expansion = Expand("%ProgramFiles%\\X");
    RegSetValueExA(key, "ProgramFilesDir", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved.c_str()),
                   (DWORD)saved.size() + 1);
    RegCloseKey(key);
    EXPECT_EQ("%ProgramFiles%\\X", expansion.Text);
    EXPECT_EQ(17u, expansion.Result);
}

TEST(ExpandPath, WhatDoesNotFitFailsWithoutWritingPastTheBuffer)
{
    WithoutVariables unset({"SystemDir"});
    std::string system = SystemFolder();
    DWORD exact = (DWORD)system.size() + 5;  // "<system>\abc" and its terminator

    Expansion fits = Expand("%SystemDir%\\abc", exact);
    EXPECT_EQ(system + "\\abc", fits.Text);
    EXPECT_EQ(exact, fits.Result);
    EXPECT_TRUE(fits.GuardIntact);

    // The value itself does not fit.
    Expansion value = Expand("%SystemDir%\\abc", (DWORD)system.size());
    EXPECT_EQ(0u, value.Result);
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, value.Error);
    EXPECT_TRUE(value.GuardIntact);

    // The value fits, what follows it does not: refused, not cut.
    Expansion tail = Expand("%SystemDir%\\abc", exact - 1);
    EXPECT_EQ(0u, tail.Result);
    EXPECT_EQ((DWORD)ERROR_NOT_ENOUGH_MEMORY, tail.Error);
    EXPECT_TRUE(tail.GuardIntact);

    // The environment's expansion itself does not fit.
    SetEnvironmentVariableA("XATEST_LONG", std::string(100, 'L').c_str());
    Expansion environment = Expand("%XATEST_LONG%", 50);
    EXPECT_EQ(0u, environment.Result);
    EXPECT_TRUE(environment.GuardIntact);
    SetEnvironmentVariableA("XATEST_LONG", nullptr);

    char buffer[8];
    SetLastError(0);
    EXPECT_EQ(0u, ExpandPath(nullptr, buffer, sizeof(buffer)));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    SetLastError(0);
    EXPECT_EQ(0u, ExpandPath("x", nullptr, 8));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}

namespace {

// The scratch key, open, with a value of each kind that the readers tell apart; null when it
// cannot be made.
const char kExpandValue[] = "%SystemRoot%\\x";

HKEY WriteScratchValues()
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return nullptr;
    DWORD number = 7;
    RegSetValueExA(key, "Number", 0, REG_DWORD, reinterpret_cast<BYTE*>(&number), sizeof(number));
    RegSetValueExA(key, "Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(kExpandValue),
                   sizeof(kExpandValue));
    RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("abcd"), 5);
    RegSetValueExA(key, "Unterminated", 0, REG_SZ, reinterpret_cast<const BYTE*>("abc"), 3);
    RegSetValueExA(key, "Empty", 0, REG_SZ, reinterpret_cast<const BYTE*>(""), 0);
    RegSetValueExA(key, "Short", 0, REG_BINARY, reinterpret_cast<const BYTE*>("\1\2"), 2);
    return key;
}

}  // namespace

TEST(RegReadString, TypesAndFailures)
{
    HKEY key = WriteScratchValues();
    ASSERT_NE(nullptr, key);
    RegCloseKey(key);

    char* value = reinterpret_cast<char*>(1);
    EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Number", &value));
    EXPECT_EQ(nullptr, value);

    EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Expand", &value));
    EXPECT_STREQ(kExpandValue, value) << "returned unexpanded";
    FreeText(value);

    EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Unterminated", &value));
    EXPECT_STREQ("abc", value);
    FreeText(value);

    EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Empty", &value));
    EXPECT_STREQ("", value);
    FreeText(value);

    value = reinterpret_cast<char*>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Missing", &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, "Software\\XATest\\NoKey", "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, nullptr, "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "X", nullptr));

    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kScratchKey);
}

TEST(RegistryReads, TypedReadsTerminateAndCheckTheirType)
{
    HKEY key = WriteScratchValues();
    ASSERT_NE(nullptr, key);

    // Text of any type: the data must leave a byte for the terminator; what does not fit is no text.
    const struct {
        const char* Name;
        DWORD Size;
        int Result;
        const char* Text;
    } texts[] = {
        {"Text", 6, 0, "abcd"},         {"Text", 5, ERROR_MORE_DATA, ""}, {"Unterminated", 8, 0, "abc"},
        {"Unterminated", 3, ERROR_MORE_DATA, ""}, {"Number", 8, 0, "\7"}, {"Missing", 8, ERROR_FILE_NOT_FOUND, ""},
    };
    for (const auto& row : texts) {
        char buffer[8];
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(row.Result, ReadTextValue(key, row.Name, buffer, row.Size)) << row.Name << " in " << row.Size;
        EXPECT_STREQ(row.Text, buffer) << row.Name << " in " << row.Size;
    }
    char buffer[16];
    EXPECT_TRUE(ReadStringValue(key, "Expand", buffer, sizeof(buffer)));
    EXPECT_FALSE(ReadStringValue(key, "Expand", buffer, sizeof(buffer), true)) << "plain strings only";
    EXPECT_FALSE(ReadStringValue(key, "Number", buffer, sizeof(buffer)));
    EXPECT_FALSE(ReadStringValue(key, "Empty", buffer, sizeof(buffer)));

    DWORD read = 0;
    EXPECT_EQ(0, ReadNumberValue(key, "Number", &read));
    EXPECT_EQ(7u, read);
    EXPECT_EQ(ERROR_INVALID_DATA, ReadNumberValue(key, "Short", &read)) << "too short for a number";
    // Raw bytes: zero past a short value, all zero when the value does not fit.
    EXPECT_EQ(0, ReadValueBytes(key, "Short", &read, sizeof(read)));
    EXPECT_EQ(0x0201u, read);
    EXPECT_EQ(ERROR_MORE_DATA, ReadValueBytes(key, "Text", &read, sizeof(read)));
    EXPECT_EQ(0u, read);
    DWORD type = REG_NONE;
    EXPECT_EQ(0, QueryValueInfo(key, "Text", &type, &read));
    EXPECT_EQ((DWORD)REG_SZ, type);
    EXPECT_EQ(5u, read);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, QueryValueInfo(key, "Missing", nullptr, nullptr));
    RegCloseKey(key);

    EXPECT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kScratchKey));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, "Software\\XATest\\NoKey"));
    EXPECT_EQ(0, DeleteRegistryTree(HKEY_LOCAL_MACHINE, kScratchKey));
}

// From the last sub-key to the first: deleting the one visited shifts none still to come.
TEST(RegistryReads, EachSubKeyOnceEvenWhenTheVisitDeletesIt)
{
    for (const char* name : {"A", "B", "C"})
        ASSERT_EQ(0, SetRegistryString(HKEY_LOCAL_MACHINE, (std::string(kScratchKey) + "\\" + name).c_str(), "V", "x"));
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, KEY_ALL_ACCESS, &key));
    std::string seen;
    ForEachSubKey(key, [&seen, key](const char* name) {
        seen += name;
        DeleteRegistryTree(key, name);
    });
    EXPECT_EQ("CBA", seen);
    EXPECT_EQ(0u, CountSubKeys(key));
    RegCloseKey(key);
    EXPECT_EQ(0u, CountSubKeys(nullptr));
    EXPECT_EQ(0, DeleteRegistryTree(HKEY_LOCAL_MACHINE, kScratchKey));
}
