// The registry helpers on the prefix's real registry (32-bit and under WOW64): strings and typed
// values read and written, keys made on the way, values and whole trees deleted (each sub-key
// visited once while it goes).
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "harness/TestSupport.h"
#include "support/Registry.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const std::string kTestRoot = "SOFTWARE\\XATest";
const char kScratchKey[] = "SOFTWARE\\XATest\\Read";
const char kExpandValue[] = "%SystemRoot%\\x";

// The scratch key with a value of each kind that the readers tell apart, open; null when it
// cannot be made.
HKEY WriteScratchValues()
{
    SetMachineNumber(kScratchKey, "Number", 7);
    SetMachineText(kScratchKey, "Expand", kExpandValue, REG_EXPAND_SZ);
    SetMachineText(kScratchKey, "Text", "abcd");
    SetMachineValue(kScratchKey, "Unterminated", REG_SZ, "abc");
    SetMachineValue(kScratchKey, "Empty", REG_SZ, "");
    SetMachineValue(kScratchKey, "Short", REG_BINARY, std::string("\1\2", 2));
    HKEY key = nullptr;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, kScratchKey, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS ? key : nullptr;
}

}  // namespace

TEST(SetRegistryString, CreatesTheKeysOnTheWay)
{
    std::string path = kTestRoot + "\\Strings\\one\\two";
    EXPECT_EQ(0, SetRegistryString(HKEY_LOCAL_MACHINE, path.c_str(), nullptr, "Service"));
    EXPECT_EQ(0, SetRegistryString(HKEY_LOCAL_MACHINE, path.c_str(), "Named", ""));
    EXPECT_EQ("Service", ReadMachineString(path, nullptr));
    EXPECT_EQ("", ReadMachineString(path, "Named"));

    struct Row {
        HKEY Root;
        const char* Path;
        const char* Text;
    };
    const Row missing[] = {
        {nullptr, path.c_str(), "x"},
        {HKEY_LOCAL_MACHINE, nullptr, "x"},
        {HKEY_LOCAL_MACHINE, path.c_str(), nullptr},
    };
    for (const Row& row : missing)
        EXPECT_EQ(ERROR_INVALID_PARAMETER, SetRegistryString(row.Root, row.Path, "Missing", row.Text));
    EXPECT_EQ("<missing>", ReadMachineString(path, "Missing"));
}

TEST(DeleteRegistryTree, RemovesNestedKeys)
{
    std::string tree = kTestRoot + "\\Tree";
    for (const char* leaf : {"\\a\\b\\c", "\\a\\d", "\\a\\b\\e", "\\f"})
        ASSERT_TRUE(SetMachineText(tree + leaf, "v", "x"));
    ASSERT_TRUE(SetMachineText(kTestRoot + "\\Sibling", "v", "x"));
    ASSERT_EQ(0, SetRegistryString(HKEY_LOCAL_MACHINE, tree.c_str(), "V", "1"));

    EXPECT_EQ(0, DeleteRegistryTree(HKEY_LOCAL_MACHINE, tree.c_str()));
    EXPECT_FALSE(MachineKeyExists(tree));
    EXPECT_TRUE(MachineKeyExists(kTestRoot + "\\Sibling"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegistryTree(HKEY_LOCAL_MACHINE, tree.c_str())) << "gone already";
}

TEST(DeleteRegistryTree, MissingKeyAndMissingArguments)
{
    ASSERT_TRUE(SetMachineText(kTestRoot + "\\Kept\\child", "v", "x"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteRegistryTree(HKEY_LOCAL_MACHINE, (kTestRoot + "\\Kept\\nosuch").c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, DeleteRegistryTree(nullptr, "SOFTWARE\\XATest\\Kept"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, DeleteRegistryTree(HKEY_LOCAL_MACHINE, nullptr));
    EXPECT_EQ(0u, CountSubKeys(nullptr));

    // An empty path would name the root key itself: everything below it would go.
    HKEY root = nullptr;
    ASSERT_EQ(0, RegOpenKeyExA(HKEY_LOCAL_MACHINE, (kTestRoot + "\\Kept").c_str(), 0, KEY_ALL_ACCESS, &root));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, DeleteRegistryTree(root, ""));
    RegCloseKey(root);
    EXPECT_TRUE(MachineKeyExists(kTestRoot + "\\Kept\\child"));
}

TEST(DeleteRegistryValue, DeletesOneValueAndReportsWhatIsMissing)
{
    const std::string key = "SOFTWARE\\XATest\\Values";
    ASSERT_TRUE(SetMachineText(key, "Gone", "x"));
    ASSERT_TRUE(SetMachineText(key, "Kept", "y"));
    struct Row {
        HKEY Root;
        const char* Key;
        const char* Value;
        int Expected;
    };
    const Row rows[] = {
        {nullptr, key.c_str(), "Gone", ERROR_INVALID_PARAMETER},
        {HKEY_LOCAL_MACHINE, nullptr, "Gone", ERROR_INVALID_PARAMETER},
        {HKEY_LOCAL_MACHINE, key.c_str(), nullptr, ERROR_INVALID_PARAMETER},
        {HKEY_LOCAL_MACHINE, "SOFTWARE\\XATest\\Missing", "Gone", ERROR_FILE_NOT_FOUND},
        {HKEY_LOCAL_MACHINE, key.c_str(), "Gone", 0},
        {HKEY_LOCAL_MACHINE, key.c_str(), "Gone", ERROR_FILE_NOT_FOUND},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.Expected, DeleteRegistryValue(row.Root, row.Key, row.Value))
            << (row.Key ? row.Key : "(null)") << " " << (row.Value ? row.Value : "(null)");
    }
    EXPECT_FALSE(MachineValueExists(key, "Gone"));
    EXPECT_TRUE(MachineValueExists(key, "Kept"));
    DeleteMachineTree("SOFTWARE\\XATest");
}

// Texts come back whole and terminated whatever the value holds; other types read as no text.
TEST(RegReadString, TypesAndFailures)
{
    HKEY key = WriteScratchValues();
    ASSERT_NE(nullptr, key);
    RegCloseKey(key);
    struct Row {
        const char* Value;
        const char* Text;  // null: no text
    };
    const Row rows[] = {
        {"Number", nullptr},
        {"Expand", kExpandValue},  // returned unexpanded
        {"Unterminated", "abc"},
        {"Empty", ""},
    };
    for (const Row& row : rows) {
        char* value = reinterpret_cast<char*>(1);
        EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, row.Value, &value)) << row.Value;
        if (row.Text)
            EXPECT_STREQ(row.Text, value) << row.Value;
        else
            EXPECT_EQ(nullptr, value) << row.Value;
        if (value != reinterpret_cast<char*>(1))
            FreeText(value);
    }

    char* value = reinterpret_cast<char*>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "Missing", &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, (kTestRoot + "\\NoKey").c_str(), "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, nullptr, "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, kScratchKey, "X", nullptr));
    DeleteMachineTree(kScratchKey);
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
    // Windows 9x keeps a string value with its terminator whatever size it is given: no string
    // value there has size 0.
    if (ReadMachineValue(kScratchKey, "Empty").Data.empty()) {
        EXPECT_FALSE(ReadStringValue(key, "Empty", buffer, sizeof(buffer)));
    }

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
