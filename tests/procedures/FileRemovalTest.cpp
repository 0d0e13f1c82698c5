// Removing files, patterns and folder trees for real, the log line of each outcome, and the
// folders that are never removed whatever path the registry holds.
#include <windows.h>

#include <shlobj.h>

#include <gtest/gtest.h>

#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "procedures/ProcedureFixture.h"
#include "support/Files.h"
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

std::wstring Wide(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

class RemovalTest : public testing::Test {
protected:
    RemovalTest() : scratch_("removal"), installer_(&log_.Data()) {}

    ScratchFolder scratch_;
    LoggedData log_;
    Installer installer_;
};

}  // namespace

TEST_F(RemovalTest, ForceDeleteFile)
{
    std::string path = scratch_ / "readonly.txt";
    ASSERT_TRUE(WriteWholeFile(path, "x"));
    ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(0, ForceDeleteFile(path.c_str()));
    EXPECT_FALSE(FileExistsAt(path));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ForceDeleteFile(path.c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ForceDeleteFile(nullptr));

    ASSERT_TRUE(WriteWholeFile(path, "x"));
    FileHolder holder(path);
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(ERROR_SHARING_VIOLATION, ForceDeleteFile(path.c_str()));
    EXPECT_TRUE(FileExistsAt(path));
}

TEST_F(RemovalTest, FolderTreeWithReadOnlyEntriesIsRemoved)
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

    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), tree.c_str()));
    EXPECT_EQ(0, GetPathKind(tree.c_str()));
    EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(RemovalTest, FolderTreeResults)
{
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RemoveFolderTree(&log_.Data(), (scratch_ / "missing").c_str()));
    ASSERT_TRUE(WriteWholeFile(scratch_ / "file.txt", "x"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, RemoveFolderTree(&log_.Data(), (scratch_ / "file.txt").c_str()));
    EXPECT_TRUE(FileExistsAt(scratch_ / "file.txt"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, RemoveFolderTree(&log_.Data(), nullptr));

    // A file in use stays, and so does its folder; everything else goes.
    std::string tree = scratch_ / "Busy";
    ASSERT_TRUE(CreateFolderPath((tree + "\\sub").c_str()));
    ASSERT_TRUE(WriteWholeFile(tree + "\\sub\\held.log", "x"));
    ASSERT_TRUE(WriteWholeFile(tree + "\\free.txt", "x"));
    FileHolder holder(tree + "\\sub\\held.log");
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(ERROR_DIR_NOT_EMPTY, RemoveFolderTree(&log_.Data(), tree.c_str()));
    EXPECT_EQ((std::vector<std::string>{"sub"}), FolderEntries(tree));
    EXPECT_EQ((std::vector<std::string>{"held.log"}), FolderEntries(tree + "\\sub"));
    holder.Release();
    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), tree.c_str()));
}

TEST_F(RemovalTest, LinkedFoldersAreRemovedAsLinksNeverEntered)
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
    int result = RemoveFolderTree(&log_.Data(), tree.c_str());
    EXPECT_TRUE(result == 0 || result == ERROR_DIR_NOT_EMPTY) << result;
    EXPECT_FALSE(FileExistsAt(tree + "\\own.txt"));
    EXPECT_EQ((std::vector<std::string>{"precious.txt", "sub"}), FolderEntries(elsewhere));
    EXPECT_TRUE(FileExistsAt(elsewhere + "\\sub\\precious.txt"));

    // A link given as the tree itself is no tree: only the link goes (on Windows).
    std::string top = scratch_ / "TopLink";
    ASSERT_TRUE(LinkFolder(elsewhere, top));
    result = RemoveFolderTree(&log_.Data(), top.c_str());
    EXPECT_TRUE(result == 0 || GetPathKind(top.c_str()) == 1) << result;
    EXPECT_EQ((std::vector<std::string>{"precious.txt", "sub"}), FolderEntries(elsewhere));
    EXPECT_TRUE(FileExistsAt(elsewhere + "\\sub\\precious.txt"));
    EXPECT_TRUE(log_.Messages().empty());
}

TEST_F(RemovalTest, EntriesBeyondMaxPathAreLeftAndLogged)
{
    // Only the wide functions with the "\\?\" form reach such a path.
    std::string tree = scratch_ / "Long";
    std::string longName(MAX_PATH - tree.size(), 'l');
    ASSERT_TRUE(CreateDirectoryA(tree.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(tree + "\\short.txt", "x"));
    std::wstring longPath = L"\\\\?\\" + Wide(tree + "\\" + longName);
    HANDLE file = CreateFileW(longPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(file);

    EXPECT_EQ(ERROR_DIR_NOT_EMPTY, RemoveFolderTree(&log_.Data(), tree.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Path is too long: \"" + tree + "\\" + longName + "\"."}), log_.Messages());
    EXPECT_FALSE(FileExistsAt(tree + "\\short.txt"));
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(longPath.c_str()));
    DeleteFileW(longPath.c_str());
}

TEST_F(RemovalTest, SystemFoldersAndDriveRootsAreRefused)
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
        log_.ClearLog();
        EXPECT_EQ(kFolderRefused, RemoveFolderTree(&log_.Data(), path.c_str()));
        EXPECT_EQ((std::vector<std::string>{"Refusing to remove \"" + path + "\"."}), log_.Messages());
    }
    EXPECT_EQ(1, GetPathKind(system.c_str()));
    EXPECT_EQ(1, GetPathKind(ProgramFolderValue("ProgramFilesDir").c_str()));
    EXPECT_EQ(1, GetPathKind(otherUser.c_str()));
    ASSERT_TRUE(CreateFolderPath((otherUser + "\\Documents").c_str()));
    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), (otherUser + "\\Documents").c_str()));
    EXPECT_TRUE(RemoveDirectoryA(otherUser.c_str()));

    // Folders inside them, or merely named alike, are removed as usual.
    std::string company = ProgramFolderValue("ProgramFilesDir") + "\\Arvane";
    ASSERT_TRUE(CreateFolderPath((company + "\\I1").c_str()));
    ASSERT_TRUE(WriteWholeFile(company + "\\I1\\AgentCore.exe", "x"));
    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), (company + "\\I1").c_str()));
    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), company.c_str()));
    std::string alike = windows + "X";
    ASSERT_TRUE(CreateDirectoryA(alike.c_str(), nullptr));
    EXPECT_EQ(0, RemoveFolderTree(&log_.Data(), alike.c_str()));

    // A damaged agent folder reaches the refusal through the table's folder row.
    log_.ClearLog();
    log_.Data().DestFolder = DuplicateText(windows.c_str());
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$", nullptr));
    EXPECT_EQ((std::vector<std::string>{"Refusing to remove \"" + windows + "\".",
                                        "Failed to remove \"" + windows + "\". " + SystemMessage(ERROR_ACCESS_DENIED)}),
              log_.Messages());
}

TEST_F(RemovalTest, RemoveFileItemLogsEachOutcome)
{
    log_.Data().DestFolder = DuplicateText(scratch_.Path().c_str());
    std::string present = scratch_ / "present.exe";
    std::string held = scratch_ / "held.log";
    ASSERT_TRUE(WriteWholeFile(present, "x"));
    ASSERT_TRUE(WriteWholeFile(held, "x"));
    FileHolder holder(held);
    ASSERT_TRUE(holder.Holding());

    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$", "present.exe"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$", "present.exe"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$\\NoFolder", "x.exe"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$\\NoFolder", nullptr));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$", "held.log"));
    // A folder that cannot be opened for another reason than its absence keeps its code. (Windows
    // 9x only lists a folder, and Wine's listing takes "<" for a wildcard: nothing is found.)
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$TARGETDIR$\\Bad<Name", nullptr));
    std::string badName = scratch_.Path() + "\\Bad<Name";
    EXPECT_EQ((std::vector<std::string>{
                  "\"" + present + "\" is removed.",
                  "\"" + present + "\" is not found.",
                  "\"" + scratch_.Path() + "\\NoFolder\\x.exe\" is not found.",
                  "\"" + scratch_.Path() + "\\NoFolder\" is not found.",
                  "Failed to remove \"" + held + "\". " + SystemMessage(ERROR_SHARING_VIOLATION),
                  IsWin9xKind() ? "\"" + badName + "\" is not found."
                                : "Failed to remove \"" + badName + "\". " + SystemMessage(ERROR_INVALID_NAME),
              }),
              log_.Messages());
    EXPECT_FALSE(FileExistsAt(present));
    EXPECT_TRUE(FileExistsAt(held)) << "nothing is scheduled for a file in use";
}

TEST_F(RemovalTest, WildcardNamesRemoveMatchingFilesOnly)
{
    log_.Data().AgentWorkingFolder = DuplicateText(scratch_.Path().c_str());
    for (const char* name : {"a.dmp", "b.dmp", "c.txt", "scanAB12.tmp"})
        ASSERT_TRUE(WriteWholeFile(scratch_ / name, name));
    ASSERT_TRUE(SetFileAttributesA((scratch_ / "b.dmp").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CreateDirectoryA((scratch_ / "folder.dmp").c_str(), nullptr));

    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$AGENTTEMPDIR$", "*.dmp"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$AGENTTEMPDIR$", "scan????.tmp"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$AGENTTEMPDIR$", "*.none"));
    EXPECT_EQ(0, RemoveFileItem(installer_.Data, "$AGENTTEMPDIR$\\NoFolder", "*.dmp"));

    EXPECT_EQ((std::vector<std::string>{"c.txt", "folder.dmp"}), FolderEntries(scratch_.Path()));
    EXPECT_EQ((std::vector<std::string>{
                  "\"" + scratch_.Path() + "\\*.dmp\" is removed.",
                  "\"" + scratch_.Path() + "\\scan????.tmp\" is removed.",
                  "\"" + scratch_.Path() + "\\*.none\" is removed.",
                  "\"" + scratch_.Path() + "\\NoFolder\\*.dmp\" is removed.",
              }),
              log_.Messages());
}

TEST_F(RemovalTest, BuildItemPath)
{
    log_.Data().DestFolder = DuplicateText("C:\\Agent");
    struct Row {
        const char* Folder;
        const char* Name;
        const char* Path;
    };
    const Row rows[] = {
        {"$TARGETDIR$", "AgentCore.exe", "C:\\Agent\\AgentCore.exe"},
        {"$TARGETDIR$\\drivers", "XAPFA.sys", "C:\\Agent\\drivers\\XAPFA.sys"},
        {"$TARGETDIR$", nullptr, "C:\\Agent"},
        {"C:\\Plain", "x", "C:\\Plain\\x"},
        {"$AGENTTEMPDIR$", "x", nullptr},
        {nullptr, "x", nullptr},
        {"", nullptr, nullptr},
    };
    for (const Row& row : rows) {
        char* path = BuildItemPath(installer_.Data, row.Folder, row.Name);
        EXPECT_EQ(std::string(row.Path ? row.Path : "<null>"), path ? path : "<null>");
        FreeText(path);
    }
    EXPECT_TRUE(log_.Messages().empty());

    // One character too many for a path is refused, and said so.
    std::string folder = "C:\\" + std::string(MAX_PATH - 6, 'f');
    char* fits = BuildItemPath(installer_.Data, folder.c_str(), "x");
    ASSERT_NE(nullptr, fits);
    EXPECT_EQ(MAX_PATH - 1, strlen(fits));
    FreeText(fits);
    EXPECT_EQ(nullptr, BuildItemPath(installer_.Data, folder.c_str(), "xy"));
    EXPECT_EQ((std::vector<std::string>{"Path is too long: \"" + folder + "\\xy\"."}), log_.Messages());
    EXPECT_EQ(ERROR_OUTOFMEMORY, RemoveFileItem(installer_.Data, folder.c_str(), "xy"));
}
