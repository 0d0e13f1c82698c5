// Deleting folder trees for real: read-only entries, the results, links that are removed as links
// and never entered, and the folders that are never deleted whatever path comes in.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "support/Files.h"
#include "support/FolderTree.h"
#include "support/Registry.h"
#include "support/Text.h"

using namespace xatest;

namespace {

std::string ProgramFolderValue(const char* name)
{
    char* value = nullptr;
    RegReadString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows\\CurrentVersion", name, &value);
    std::string text = value ? value : "";
    FreeText(value);
    return text;
}

// A folder the system names in its list of profiles, expanded.
std::string ProfileListFolder(const char* name)
{
    char* value = nullptr;
    RegReadString(HKEY_LOCAL_MACHINE, "Software\\Microsoft\\Windows NT\\CurrentVersion\\ProfileList", name, &value);
    char expanded[MAX_PATH] = "";
    if (value)
        ExpandEnvironmentStringsA(value, expanded, sizeof(expanded));
    FreeText(value);
    return expanded;
}

class FolderTreeTest : public testing::Test {
protected:
    FolderTreeTest() : scratch_("tree") {}

    // DeleteFolderTree, keeping what it reports as "<event> <code> <folder>[\<name>]".
    int Delete(const char* path)
    {
        return DeleteFolderTree(path, Record, &reports_);
    }

    static void Record(const void* context, FolderTreeEvent event, int code, const char* folder, const char* name)
    {
        static const char* const kEvents[] = {"too long", "refused", "file left", "link left", "folder left"};
        auto* reports = static_cast<std::vector<std::string>*>(const_cast<void*>(context));
        reports->push_back(std::string(kEvents[event]) + " " + std::to_string(code) + " " + folder +
                           (name ? std::string("\\") + name : ""));
    }

    ScratchFolder scratch_;
    std::vector<std::string> reports_;
};

}  // namespace

TEST_F(FolderTreeTest, ReadOnlyEntriesAreRemoved)
{
    std::string tree = scratch_ / "Tree";
    ASSERT_TRUE(CreateFolderPath((tree + "\\a\\b\\c").c_str()));
    ASSERT_TRUE(WriteWholeFile(tree + "\\top.txt", "x"));
    ASSERT_TRUE(WriteWholeFile(tree + "\\a\\b\\readonly.txt", "x"));
    ASSERT_TRUE(WriteWholeFile(tree + "\\a\\hidden.txt", "x"));
    ASSERT_TRUE(SetFileAttributesA((tree + "\\a\\b\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA((tree + "\\a\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM));
    ASSERT_TRUE(SetFileAttributesA((tree + "\\a\\b").c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(SetFileAttributesA(tree.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(0, Delete(tree.c_str()));
    EXPECT_EQ(0, GetPathKind(tree.c_str()));
    EXPECT_TRUE(reports_.empty());

    // A read-only bit that another name of the file shares is not the tree's to clear: a hard link
    // to a system file keeps the file as it was, and so stays itself.
    if (IsWin9xKind())
        return;  // no links there
    std::string outside = scratch_ / "system.dll";
    ASSERT_TRUE(WriteWholeFile(outside, "x"));
    ASSERT_TRUE(SetFileAttributesA(outside.c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    ASSERT_TRUE(CreateHardLinkA((tree + "\\linked.dll").c_str(), outside.c_str(), nullptr));
    EXPECT_EQ(ERROR_DIR_NOT_EMPTY, Delete(tree.c_str()));
    EXPECT_EQ((DWORD)FILE_ATTRIBUTE_READONLY, GetFileAttributesA(outside.c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ((std::vector<std::string>{"file left 5 " + tree + "\\linked.dll", "folder left 145 " + tree}),
              reports_);
    SetFileAttributesA(outside.c_str(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileA((tree + "\\linked.dll").c_str());
}

TEST_F(FolderTreeTest, Results)
{
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, Delete((scratch_ / "missing").c_str()));
    ASSERT_TRUE(WriteWholeFile(scratch_ / "file.txt", "x"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, Delete((scratch_ / "file.txt").c_str()));
    EXPECT_TRUE(FileExistsAt(scratch_ / "file.txt"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, Delete(nullptr));

    // A file in use stays, and so does its folder; everything else goes.
    std::string tree = scratch_ / "Busy";
    ASSERT_TRUE(CreateFolderPath((tree + "\\sub").c_str()));
    ASSERT_TRUE(WriteWholeFile(tree + "\\sub\\held.log", "x"));
    ASSERT_TRUE(WriteWholeFile(tree + "\\free.txt", "x"));
    FileHolder holder(tree + "\\sub\\held.log");
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(ERROR_DIR_NOT_EMPTY, Delete(tree.c_str()));
    EXPECT_EQ((std::vector<std::string>{"sub"}), FolderEntries(tree));
    EXPECT_EQ((std::vector<std::string>{"held.log"}), FolderEntries(tree + "\\sub"));
    // Told as the walk meets them, the folders after what stays in them.
    EXPECT_EQ((std::vector<std::string>{"file left " + std::to_string(ERROR_SHARING_VIOLATION) + " " + tree +
                                            "\\sub\\held.log",
                                        "folder left 145 " + tree + "\\sub", "folder left 145 " + tree}),
              reports_);
    holder.Release();
    EXPECT_EQ(0, Delete(tree.c_str()));
}

TEST_F(FolderTreeTest, LinkedFoldersAreRemovedAsLinksNeverEntered)
{
    std::string elsewhere = scratch_ / "Elsewhere";
    std::string tree = scratch_ / "Tree";
    ASSERT_TRUE(CreateFolderPath((elsewhere + "\\sub").c_str()));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\precious.txt", "x"));
    ASSERT_TRUE(WriteWholeFile(elsewhere + "\\sub\\precious.txt", "x"));
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(tree + "\\own.txt", "x"));
    ASSERT_TRUE(LinkFolder(elsewhere, tree + "\\Link"));

    // Windows removes the link itself; Wine cannot, so there the tree stays with the link in it.
    int result = Delete(tree.c_str());
    EXPECT_TRUE(result == 0 || result == ERROR_DIR_NOT_EMPTY) << result;
    std::vector<std::string> leftOnWine = {"link left 145 " + tree + "\\Link", "folder left 145 " + tree};
    EXPECT_EQ(result == 0 ? std::vector<std::string>{} : leftOnWine, reports_);
    reports_.clear();
    EXPECT_FALSE(FileExistsAt(tree + "\\own.txt"));
    EXPECT_EQ((std::vector<std::string>{"precious.txt", "sub"}), FolderEntries(elsewhere));
    EXPECT_TRUE(FileExistsAt(elsewhere + "\\sub\\precious.txt"));

    // A link given as the tree itself is no tree: only the link goes (on Windows).
    std::string top = scratch_ / "TopLink";
    ASSERT_TRUE(LinkFolder(elsewhere, top));
    result = Delete(top.c_str());
    EXPECT_TRUE(result == 0 || GetPathKind(top.c_str()) == 1) << result;
    EXPECT_EQ((std::vector<std::string>{"precious.txt", "sub"}), FolderEntries(elsewhere));
    EXPECT_TRUE(FileExistsAt(elsewhere + "\\sub\\precious.txt"));
    leftOnWine = {"link left 145 " + top};
    EXPECT_EQ(result == 0 ? std::vector<std::string>{} : leftOnWine, reports_);
}

TEST_F(FolderTreeTest, SystemFoldersAndDriveRootsAreRefused)
{
    std::string windows = WindowsFolder();
    std::string system = SystemFolder();
    std::string root = windows.substr(0, 3);
    std::vector<std::string> refused = {
        root,
        root.substr(0, 2),
        root + "\\",
        windows + "\\..",
        "\\",
        "",
        windows,
        windows + "\\",
        CharUpperA(&std::string(windows)[0]),
        ShortPath(windows),
        system,
        system + "\\..\\" + system.substr(system.rfind('\\') + 1),
        ProgramFolderValue("ProgramFilesDir"),
        ShortPath(ProgramFolderValue("ProgramFilesDir")),
        ProgramFolderValue("CommonFilesDir"),
        // Device paths, whose roots cannot be told by their spelling.
        "\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\Agents",
        "\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\Agents",
    };
    // The users' folders: the profiles folder, every profile in it (another user's too), the
    // common application data and the public folder.
    std::string profiles = ProfileListFolder("ProfilesDirectory");
    std::string otherUser = profiles + "\\OtherUser";
    ASSERT_TRUE(CreateDirectoryA(otherUser.c_str(), nullptr));
    char commonData[MAX_PATH] = "";
    ASSERT_TRUE(SHGetSpecialFolderPathA(nullptr, commonData, CSIDL_COMMON_APPDATA, FALSE));
    for (const std::string& folder : {profiles, otherUser, otherUser + "\\", ShortPath(otherUser),
                                      ProfileListFolder("Public"), std::string(commonData)})
        refused.push_back(folder);
    // The 64-bit system's own Program Files folders, seen from this 32-bit program.
    for (const char* variable : {"ProgramW6432", "CommonProgramW6432"}) {
        char value[MAX_PATH];
        DWORD length = GetEnvironmentVariableA(variable, value, sizeof(value));
        if (length > 0 && length < sizeof(value))
            refused.push_back(value);
    }
    for (const std::string& path : refused) {
        SCOPED_TRACE("\"" + path + "\"");
        // Only the one deliberate empty path: a folder the system does not report would pass
        // for nothing.
        ASSERT_TRUE(!path.empty() || &path == &refused[5]);
        reports_.clear();
        EXPECT_EQ(kFolderRefused, Delete(path.c_str()));
        EXPECT_EQ((std::vector<std::string>{"refused " + std::to_string(kFolderRefused) + " " + path}), reports_);
    }
    EXPECT_EQ(1, GetPathKind(system.c_str()));
    EXPECT_EQ(1, GetPathKind(ProgramFolderValue("ProgramFilesDir").c_str()));
    EXPECT_EQ(1, GetPathKind(otherUser.c_str()));
    ASSERT_TRUE(CreateFolderPath((otherUser + "\\Documents").c_str()));
    EXPECT_EQ(0, Delete((otherUser + "\\Documents").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(otherUser.c_str()));

    // Folders inside them, or merely named alike, are removed as usual.
    std::string company = ProgramFolderValue("ProgramFilesDir") + "\\Arvane";
    ASSERT_TRUE(CreateFolderPath((company + "\\I1").c_str()));
    ASSERT_TRUE(WriteWholeFile(company + "\\I1\\AgentCore.exe", "x"));
    EXPECT_EQ(0, Delete((company + "\\I1").c_str()));
    EXPECT_EQ(0, Delete(company.c_str()));
    std::string alike = windows + "X";
    ASSERT_TRUE(CreateDirectoryA(alike.c_str(), nullptr));
    EXPECT_EQ(0, Delete(alike.c_str()));
}
