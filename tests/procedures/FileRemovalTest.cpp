// Removing files, patterns and folder trees for real and the log line of each outcome, the
// refusal of a folder that is no agent's among them.
#include <windows.h>

#include <gtest/gtest.h>

#include "procedures/FileRemoval.h"
#include "procedures/Installer.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RemovalLeftovers.h"
#include "support/Files.h"
#include "support/Text.h"

using namespace xatest;

namespace {

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

    // A tree whose own path does not fit is not looked at.
    log_.ClearLog();
    std::string tooLong = tree + "\\" + longName;
    EXPECT_EQ(kPathTooLong, RemoveFolderTree(&log_.Data(), tooLong.c_str()));
    EXPECT_EQ((std::vector<std::string>{"Path is too long: \"" + tooLong + "\"."}), log_.Messages());
}

// The refusal reaches the log through the table's folder row: a damaged agent folder.
TEST_F(RemovalTest, DamagedAgentFolderIsRefusedAndLogged)
{
    std::string windows = WindowsFolder();
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

// What the removal says it left: one item is one item, and one the restart takes is said so.
TEST_F(RemovalTest, TheRemovalsAccountOfWhatItLeft)
{
    std::string held = scratch_ / "held.log";
    ASSERT_TRUE(WriteWholeFile(held, "x"));
    FileHolder holder(held);
    ASSERT_TRUE(holder.Holding());
    for (LeftoverPlace place : {kLeftAsIs, kLeftForRestart}) {
        log_.ClearLog();
        RemovalLeftovers leftovers;
        InitRemovalLeftovers(&leftovers);
        LeaveItem(&log_.Data(), &leftovers, place, held.c_str(), ERROR_SHARING_VIOLATION, kLeftFile);
        EXPECT_EQ(place == kLeftAsIs ? ERROR_SHARING_VIOLATION : 0, ReportRemovalLeftovers(&log_.Data(), &leftovers));
        EXPECT_EQ(place == kLeftAsIs ? "The removal left 1 item." : "The removal left 1 item; it is deleted at the next restart.",
                  log_.Messages().back());
        FreeRemovalLeftovers(&leftovers);
    }
    log_.Data().RebootRequired = 0;
}
