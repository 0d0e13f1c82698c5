// The registry helpers on the prefix's real registry (32-bit and under WOW64): strings read and
// written, keys made on the way, values and whole trees deleted.
#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "support/Registry.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const std::string kTestRoot = "SOFTWARE\\XATest";

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
    const std::string key = kTestRoot + "\\Read";
    ASSERT_TRUE(SetMachineNumber(key, "Number", 7));
    ASSERT_TRUE(SetMachineText(key, "Expand", "%SystemRoot%\\x", REG_EXPAND_SZ));
    ASSERT_TRUE(SetMachineValue(key, "Unterminated", REG_SZ, "abc"));
    ASSERT_TRUE(SetMachineValue(key, "Empty", REG_SZ, ""));
    struct Row {
        const char* Value;
        const char* Text;  // null: no text
    };
    const Row rows[] = {
        {"Number", nullptr},
        {"Expand", "%SystemRoot%\\x"},  // returned unexpanded
        {"Unterminated", "abc"},
        {"Empty", ""},
    };
    for (const Row& row : rows) {
        char* value = reinterpret_cast<char*>(1);
        EXPECT_EQ(ERROR_SUCCESS, RegReadString(HKEY_LOCAL_MACHINE, key.c_str(), row.Value, &value)) << row.Value;
        if (row.Text)
            EXPECT_STREQ(row.Text, value) << row.Value;
        else
            EXPECT_EQ(nullptr, value) << row.Value;
        if (value != reinterpret_cast<char*>(1))
            FreeText(value);
    }

    char* value = reinterpret_cast<char*>(1);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, key.c_str(), "Missing", &value));
    EXPECT_EQ(nullptr, value);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegReadString(HKEY_LOCAL_MACHINE, (kTestRoot + "\\NoKey").c_str(), "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, nullptr, "X", &value));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RegReadString(HKEY_LOCAL_MACHINE, key.c_str(), "X", nullptr));
    DeleteMachineTree(kTestRoot);
}
