// Start-menu links written through the shell's ShellLink object in the prefix's real special
// folders and read back through the shell, and the program groups that hold them.
#include <gtest/gtest.h>

#include <shlobj.h>

#include "harness/ShellLinkReader.h"
#include "harness/TestSupport.h"
#include "support/ShellLinks.h"

using namespace xatest;

// The operations in the folder that holds the agent's link, with the fields that link leaves out.
TEST(ShellLinks, GeneralOperations)
{
    // The version mode decides the folder as the running system would.
    const int id = IsWin9xKind() ? CSIDL_PROGRAMS : CSIDL_COMMON_PROGRAMS;
    const std::string root = SpecialFolder(id);
    const std::string group = root + "\\Acme";
    ASSERT_FALSE(root.empty());
    RemoveTree(group);

    char path[MAX_PATH];
    EXPECT_EQ(S_OK, GetSpecialFolderPath(id, nullptr, path));
    EXPECT_EQ(root, path);
    EXPECT_EQ(S_OK, GetSpecialFolderPath(id, "Acme\\Tools", path));
    EXPECT_EQ(group + "\\Tools", path);
    EXPECT_EQ(S_OK, GetShortcutPath(id, "Acme", "X.lnk", path));
    EXPECT_EQ(group + "\\X.lnk", path);
    EXPECT_EQ(E_INVALIDARG, GetShortcutPath(id, "Acme", nullptr, path));
    EXPECT_EQ(E_INVALIDARG, GetShortcutPath(id, "Acme", "X.lnk", nullptr));
    const std::string tooLong(MAX_PATH, 'a');
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILENAME_EXCED_RANGE), GetSpecialFolderPath(id, tooLong.c_str(), path));

    EXPECT_EQ(S_OK, CreateShortcutFolder(id, nullptr));
    EXPECT_EQ(S_OK, CreateShortcutFolder(id, ""));
    EXPECT_EQ(S_OK, CreateShortcutFolder(id, "Acme\\Tools"));
    EXPECT_TRUE(FileExistsAt(group + "\\Tools"));

    EXPECT_EQ(E_INVALIDARG, CreateShortcut(id, "Acme", nullptr, "C:\\x.exe", nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(E_INVALIDARG, CreateShortcut(id, "Acme", "X.lnk", nullptr, nullptr, nullptr, nullptr, 0));
    EXPECT_EQ(S_OK, CreateShortcut(id, "Acme\\Tools", "Tool.lnk", "C:\\Tools\\tool.exe", "A tool", "/fast",
                                   "C:\\Tools\\tool.ico", 0));
    LinkFields tool = ReadLink(group + "\\Tools\\Tool.lnk");
    ASSERT_EQ(S_OK, tool.Loaded);
    EXPECT_EQ("C:\\Tools\\tool.exe", tool.Target);
    EXPECT_EQ("C:\\Tools", tool.WorkingFolder);
    EXPECT_EQ("A tool", tool.Description);
    EXPECT_EQ("/fast", tool.Arguments);
    EXPECT_EQ("C:\\Tools\\tool.ico", tool.Icon);
    // A target without a folder is its own working folder.
    EXPECT_EQ(S_OK, CreateShortcut(id, "Acme\\Tools", "Bare.lnk", "tool.exe", nullptr, nullptr, nullptr, 0));
    EXPECT_EQ("tool.exe", ReadLink(group + "\\Tools\\Bare.lnk").WorkingFolder);

    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, "Acme\\Tools"));
    EXPECT_TRUE(FileExistsAt(group + "\\Tools")) << "a group with links stays";
    EXPECT_EQ(S_OK, DeleteShortcut(id, "Acme\\Tools", "Tool.lnk"));
    EXPECT_EQ(S_OK, DeleteShortcut(id, "Acme\\Tools", "Bare.lnk"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), DeleteShortcut(id, "Acme\\Tools", "Tool.lnk"));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, "Acme\\Tools"));
    EXPECT_FALSE(FileExistsAt(group + "\\Tools"));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, nullptr));
    EXPECT_EQ(S_OK, RemoveShortcutFolder(id, ""));
    EXPECT_TRUE(FileExistsAt(root));
    RemoveTree(group);
}
