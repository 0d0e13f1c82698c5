// Folder macros against the real registry and environment of the prefix (32-bit and WOW64, where
// the 32-bit view names "Program Files (x86)").
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "harness/TestSupport.h"
#include "support/PathMacros.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const char kCurrentVersion[] = "Software\\Microsoft\\Windows\\CurrentVersion";

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
    std::string programFiles = ReadMachineString(kCurrentVersion, "ProgramFilesDir");
    std::string commonFiles = ReadMachineString(kCurrentVersion, "CommonFilesDir");
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
    std::string saved = ReadMachineString(kCurrentVersion, "ProgramFilesDir");
    DeleteMachineValue(kCurrentVersion, "ProgramFilesDir");
    Expansion expansion = Expand("%ProgramFiles%\\X");
    ASSERT_TRUE(SetMachineText(kCurrentVersion, "ProgramFilesDir", saved));
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
