// Replacement and deletion at the next restart: the system's pending rename list on the NT
// family, WinInit.ini in the Windows 9x version mode, and the placement of WinInit.ini lines
// among the sections an existing file already has.
#include <gtest/gtest.h>

#include <algorithm>

#include "procedures/Installer.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/RestartOperations.h"
#include "support/Files.h"
#include "support/WindowsVersion.h"

using namespace xatest;

namespace {

// Keeps any WinInit.ini of the prefix out of the way and puts it back afterwards.
class WinInitTest : public testing::Test {
protected:
    WinInitTest() : scratch_("wininit"), target_(scratch_ / "Target.exe"), newFile_(scratch_ / "~new.tmp")
    {
        saved_ = FileExistsAt(WinInitPath());
        if (saved_)
            saved_ = MoveFileA(WinInitPath().c_str(), (WinInitPath() + ".saved").c_str()) != 0;
        WriteWholeFile(target_, "target");
        WriteWholeFile(newFile_, "new");
    }

    ~WinInitTest() override
    {
        DeleteFileA(WinInitPath().c_str());
        if (saved_)
            MoveFileA((WinInitPath() + ".saved").c_str(), WinInitPath().c_str());
    }

    std::string Replacement() const
    {
        return "NUL=" + ShortPath(target_) + "\r\n" + ShortPath(target_) + "=" + ShortPath(newFile_) + "\r\n";
    }
    std::string Deletion() const { return "NUL=" + ShortPath(target_) + "\r\n"; }

    ScratchFolder scratch_;
    std::string target_;
    std::string newFile_;
    bool saved_ = false;
};

}  // namespace

TEST_F(WinInitTest, LinesArePlacedInTheRenameSection)
{
    ASSERT_NE("", ShortPath(target_));
    struct Row {
        const char* Case;
        std::string Before;
        bool Replace;
        std::string After;
    };
    const std::string replace = Replacement();
    const std::string remove = Deletion();
    const std::vector<Row> rows = {
        {"empty file", "", true, "[rename]\r\n" + replace},
        {"no rename section", "[boot]\r\nx=1\r\n", false, "[boot]\r\nx=1\r\n[rename]\r\n" + remove},
        {"rename section last", "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\OLD\r\n", true,
         "[boot]\r\nx=1\r\n[rename]\r\nNUL=C:\\OLD\r\n" + replace},
        {"header in capitals", "[RENAME]\r\nNUL=C:\\OLD\r\n", false, "[RENAME]\r\nNUL=C:\\OLD\r\n" + remove},
        {"section followed by another", "[Rename]\r\nNUL=C:\\OLD\r\n[boot]\r\nx=1\r\n[more]\r\n", true,
         "[Rename]\r\nNUL=C:\\OLD\r\n" + replace + "[boot]\r\nx=1\r\n[more]\r\n"},
        {"empty section followed by another", "[rename]\r\n[boot]\r\n", false, "[rename]\r\n" + remove + "[boot]\r\n"},
        {"last line without its line break", "[boot]\r\nx=1", false, "[boot]\r\nx=1\r\n[rename]\r\n" + remove},
        {"section last, last line without its line break", "[rename]\r\nNUL=C:\\OLD", true,
         "[rename]\r\nNUL=C:\\OLD\r\n" + replace},
        // Headers begin a line (blanks before them allowed): a bracket inside a line starts no
        // section, and the lines never split one.
        {"bracket inside a line of the section", "[rename]\r\nNUL=C:\\A[1]\r\n; [old]\r\n[boot]\r\n", true,
         "[rename]\r\nNUL=C:\\A[1]\r\n; [old]\r\n" + replace + "[boot]\r\n"},
        {"header text inside a value", "[boot]\r\nshell=[rename]\r\n", false,
         "[boot]\r\nshell=[rename]\r\n[rename]\r\n" + remove},
        {"headers after blanks", "  [rename]\r\nNUL=C:\\OLD\r\n\t[boot]\r\n", false,
         "  [rename]\r\nNUL=C:\\OLD\r\n" + remove + "\t[boot]\r\n"},
        {"NUL bytes kept", std::string("[boot]\r\nx=\0\r\n[rename]\r\n\0[x]\r\n", 29), false,
         std::string("[boot]\r\nx=\0\r\n[rename]\r\n\0[x]\r\n", 29) + remove},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        ASSERT_TRUE(WriteWholeFile(WinInitPath(), row.Before));
        EXPECT_EQ(0, AddWinInitRename(row.Replace ? newFile_.c_str() : nullptr, target_.c_str()));
        EXPECT_EQ(row.After, ReadWholeFile(WinInitPath()));
    }
}

TEST_F(WinInitTest, MissingFileIsCreatedWithTheSectionHeader)
{
    ASSERT_FALSE(FileExistsAt(WinInitPath()));
    EXPECT_EQ(0, AddWinInitRename(nullptr, target_.c_str()));
    EXPECT_EQ("[rename]\r\n" + Deletion(), ReadWholeFile(WinInitPath()));
    EXPECT_EQ(0, AddWinInitRename(newFile_.c_str(), target_.c_str()));
    EXPECT_EQ("[rename]\r\n" + Deletion() + Replacement(), ReadWholeFile(WinInitPath()));
}

TEST_F(WinInitTest, NamesWithoutShortFormsAreRefused)
{
    // Without a short name the line would name nothing, and the restart would act on it blindly.
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, AddWinInitRename(nullptr, (scratch_ / "missing.exe").c_str()));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, AddWinInitRename((scratch_ / "missing.tmp").c_str(), target_.c_str()));
    EXPECT_FALSE(FileExistsAt(WinInitPath()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, AddWinInitRename(newFile_.c_str(), nullptr));
}

TEST_F(WinInitTest, FileHeldByAnotherProgramIsReported)
{
    ASSERT_TRUE(WriteWholeFile(WinInitPath(), "[boot]\r\n"));
    FileHolder holder(WinInitPath());
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(ERROR_SHARING_VIOLATION, AddWinInitRename(nullptr, target_.c_str()));
    holder.Release();
    EXPECT_EQ("[boot]\r\n", ReadWholeFile(WinInitPath()));
}

TEST_F(WinInitTest, DeleteFileAtRestart)
{
    LoggedData log;
    Installer installer(&log.Data());
    std::vector<std::string> before;
    EXPECT_EQ(ERROR_INVALID_PARAMETER, DeleteFileAtRestart(installer.Data, nullptr));
    EXPECT_EQ(0, DeleteFileAtRestart(installer.Data, target_.c_str()));
    if (log.Data().IsWin9x) {
        EXPECT_EQ("[rename]\r\n" + Deletion(), ReadWholeFile(WinInitPath()));
    } else {
        EXPECT_FALSE(FileExistsAt(WinInitPath()));
    }
    EXPECT_TRUE(FileExistsAt(target_)) << "nothing happens before the restart";
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_FALSE(FileExistsAt(target_));
    EXPECT_TRUE(log.Messages().empty());
}

TEST_F(WinInitTest, ReplaceFileAtRestartPutsTheCopyBesideTheTarget)
{
    LoggedData log;
    Installer installer(&log.Data());
    std::string source = scratch_ / "Source.exe";
    ASSERT_TRUE(WriteWholeFile(source, "replacement"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ReplaceFileAtRestart(installer.Data, nullptr, target_.c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, ReplaceFileAtRestart(installer.Data, source.c_str(), nullptr));

    EXPECT_EQ(0, ReplaceFileAtRestart(installer.Data, source.c_str(), target_.c_str()));
    std::vector<std::string> temporary = FolderEntries(scratch_.Path(), "~*.tmp");
    temporary.erase(std::remove(temporary.begin(), temporary.end(), "~new.tmp"), temporary.end());
    ASSERT_EQ(1u, temporary.size());
    EXPECT_EQ("replacement", ReadWholeFile(scratch_ / temporary[0]));
    EXPECT_EQ("target", ReadWholeFile(target_));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Setup move file. (0)"}), log.Messages());

    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_EQ("replacement", ReadWholeFile(target_));
    EXPECT_FALSE(FileExistsAt(scratch_ / temporary[0]));
}

TEST_F(WinInitTest, ReplaceFileAtRestartLeavesNothingWhenTheSourceCannotBeCopied)
{
    LoggedData log;
    Installer installer(&log.Data());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReplaceFileAtRestart(installer.Data, (scratch_ / "missing.exe").c_str(), target_.c_str()));
    EXPECT_EQ((std::vector<std::string>{"~new.tmp"}), FolderEntries(scratch_.Path(), "~*.tmp"))
        << "the temporary file is deleted again";
    EXPECT_FALSE(FileExistsAt(WinInitPath()));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Setup move file. (2)"}), log.Messages());

    // A folder that cannot hold a temporary file.
    log.ClearLog();
    EXPECT_NE(0, ReplaceFileAtRestart(installer.Data, target_.c_str(), (scratch_ / "nofolder\\x.exe").c_str()));
    EXPECT_EQ(1u, log.Messages().size());
}

TEST_F(WinInitTest, ReplaceFileAtRestartInADriveRoot)
{
    LoggedData log;
    Installer installer(&log.Data());
    std::string root = WindowsFolder().substr(0, 3);
    std::string target = root + "xatest-root.exe";
    ASSERT_TRUE(WriteWholeFile(target, "target"));
    std::vector<std::string> before = FolderEntries(root, "~*.tmp");

    EXPECT_EQ(0, ReplaceFileAtRestart(installer.Data, target_.c_str(), target.c_str()));
    std::vector<std::string> after = FolderEntries(root, "~*.tmp");
    EXPECT_EQ(before.size() + 1, after.size()) << "the temporary file lies in the root beside the target";
    for (const std::string& name : after)
        if (std::find(before.begin(), before.end(), name) == before.end())
            DeleteFileA((root + name).c_str());
    DeleteFileA(target.c_str());
}

namespace {

// The system's pending renames, read as UTF-16 as they are stored.
std::wstring PendingRenamesW()
{
    HKEY key = nullptr;
    std::wstring list(32768, L'\0');
    DWORD size = (DWORD)(list.size() * sizeof(wchar_t));
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS ||
        RegQueryValueExW(key, L"PendingFileRenameOperations", nullptr, nullptr, (BYTE*)&list[0], &size) !=
            ERROR_SUCCESS)
        size = 0;
    if (key)
        RegCloseKey(key);
    list.resize(size / sizeof(wchar_t));
    return list;
}

// Writes the list as another program (or an earlier version) would.
bool SetPendingRenamesW(const std::wstring& list)
{
    HKEY key = nullptr;
    bool written = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\Session Manager", 0,
                                 KEY_SET_VALUE, &key) == ERROR_SUCCESS &&
                   RegSetValueExW(key, L"PendingFileRenameOperations", 0, REG_MULTI_SZ, (const BYTE*)list.data(),
                                  (DWORD)(list.size() * sizeof(wchar_t))) == ERROR_SUCCESS;
    if (key)
        RegCloseKey(key);
    return written;
}

}  // namespace

// A replacement taken back goes with its temporary file; what other programs left for the
// restart stays as it was, a name beyond the ANSI code page included, and the restart leaves the
// target alone. The target is found in the list whatever spelling of it the run holds (a doubled
// separator, a "."), and so is a deletion that a copy into its place takes back.
TEST_F(WinInitTest, CancelAtRestartTakesBackOnlyThatTargetsEntriesInAnySpelling)
{
    LoggedData log;
    Installer installer(&log.Data());
    const wchar_t other[] = L"C:\\xatest\\\x65e5\x672c-other.tmp";
    if (log.Data().IsWin9x)
        ASSERT_TRUE(WriteWholeFile(WinInitPath(), "[rename]\r\nNUL=C:\\OTHER.EXE\r\n"));
    else
        ASSERT_TRUE(MoveFileExW(other, nullptr, MOVEFILE_DELAY_UNTIL_REBOOT));
    std::wstring pending = PendingRenamesW();
    std::string winInit = ReadWholeFile(WinInitPath());
    std::string source = scratch_ / "Source.exe";
    ASSERT_TRUE(WriteWholeFile(source, "replacement"));
    const std::string folder = target_.substr(0, target_.rfind('\\'));
    for (const std::string& spelled : {target_, folder + "\\\\Target.exe", folder + "\\.\\Target.exe"}) {
        SCOPED_TRACE(spelled);
        ASSERT_EQ(0, ReplaceFileAtRestart(installer.Data, source.c_str(), spelled.c_str()));
        ASSERT_EQ(2u, FolderEntries(scratch_.Path(), "~*.tmp").size());
        EXPECT_EQ(0, CancelReplacementAtRestart(installer.Data, spelled.c_str()));
        EXPECT_EQ((std::vector<std::string>{"~new.tmp"}), FolderEntries(scratch_.Path(), "~*.tmp"));
        EXPECT_TRUE(pending == PendingRenamesW());
        EXPECT_EQ(winInit, ReadWholeFile(WinInitPath()));
        EXPECT_EQ(0, CancelReplacementAtRestart(installer.Data, spelled.c_str())) << "nothing left to take back";

        ASSERT_EQ(0, DeleteFileAtRestart(installer.Data, spelled.c_str()));
        EXPECT_FALSE(pending == PendingRenamesW() && winInit == ReadWholeFile(WinInitPath()));
        EXPECT_EQ(0, CancelDeletionAtRestart(installer.Data, spelled.c_str()));
        EXPECT_TRUE(pending == PendingRenamesW());
        EXPECT_EQ(winInit, ReadWholeFile(WinInitPath()));
    }
    // An entry that another program (or an earlier version) wrote in another spelling is found too.
    if (!log.Data().IsWin9x) {
        std::wstring odd = L"\\??\\" + std::wstring(folder.begin(), folder.end()) + L"\\\\.\\Target.exe";
        // A deletion is the path and an empty target; the list ends with one more terminator.
        std::wstring list = pending.substr(0, pending.empty() ? 0 : pending.size() - 1) + odd + std::wstring(3, L'\0');
        ASSERT_TRUE(SetPendingRenamesW(list));
        EXPECT_EQ(0, CancelDeletionAtRestart(installer.Data, target_.c_str()));
        EXPECT_TRUE(pending == PendingRenamesW());
    }
    // A deletion is no replacement, nor the other way round.
    for (bool deletion : {true, false}) {
        ASSERT_EQ(0, deletion ? DeleteFileAtRestart(installer.Data, target_.c_str())
                              : ReplaceFileAtRestart(installer.Data, source.c_str(), target_.c_str()));
        std::wstring scheduled = PendingRenamesW();
        std::string winInitScheduled = ReadWholeFile(WinInitPath());
        EXPECT_EQ(0, deletion ? CancelReplacementAtRestart(installer.Data, target_.c_str())
                              : CancelDeletionAtRestart(installer.Data, target_.c_str()));
        EXPECT_TRUE(scheduled == PendingRenamesW()) << deletion;
        EXPECT_EQ(winInitScheduled, ReadWholeFile(WinInitPath())) << deletion;
        EXPECT_EQ(0, deletion ? CancelDeletionAtRestart(installer.Data, target_.c_str())
                              : CancelReplacementAtRestart(installer.Data, target_.c_str()));
    }
    // Nor is another program's move of the target elsewhere.
    if (!log.Data().IsWin9x) {
        std::wstring withoutMove = PendingRenamesW();
        ASSERT_TRUE(MoveFileExA(target_.c_str(), (scratch_ / "Moved.exe").c_str(), MOVEFILE_DELAY_UNTIL_REBOOT));
        std::wstring withMove = PendingRenamesW();
        EXPECT_EQ(0, CancelDeletionAtRestart(installer.Data, target_.c_str()));
        EXPECT_TRUE(withMove == PendingRenamesW());
        ASSERT_TRUE(SetPendingRenamesW(withoutMove));
    }
    ASSERT_EQ(0, RunProcess("wineboot.exe -r", 120000));
    EXPECT_EQ("target", ReadWholeFile(target_));
}

namespace {

// Another program that adds its own entry to the pending list right when a setup run has read
// it and is about to write it back: the run must start again and keep that entry. A take-back
// reads the list (its size, then the list) for the edit, and once more right before it writes:
// the entry comes at that second look.
struct CompetingProgram {
    static int queries;
    static LONG WINAPI Query(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data, LPDWORD size)
    {
        if (++queries == 3)
            MoveFileExW(L"C:\\xatest\\competing.tmp", nullptr, MOVEFILE_DELAY_UNTIL_REBOOT);
        return RegQueryValueExW(key, name, reserved, type, data, size);
    }
};
int CompetingProgram::queries = 0;

}  // namespace

static DWORD WINAPI CancelDeletion(void* context)
{
    const std::string* path = static_cast<const std::string*>(static_cast<void**>(context)[1]);
    return (DWORD)CancelDeletionAtRestart(static_cast<Installer*>(static_cast<void**>(context)[0])->Data,
                                          path->c_str());
}

// Setup runs change the list under their machine-wide lock, one after the other; another program
// that changes it meanwhile loses nothing either.
TEST_F(WinInitTest, TheListIsEditedUnderTheSetupLockAndAnEntryAddedMeanwhileIsKept)
{
    LoggedData log;
    if (log.Data().IsWin9x)
        GTEST_SKIP() << "WinInit.ini is edited through one handle that shuts out other writers";
    Installer installer(&log.Data());
    ASSERT_EQ(0, DeleteFileAtRestart(installer.Data, target_.c_str()));
    {
        FileHolder otherRun(HasGlobalNamespace() ? "Global\\ArvaneAgents" : "ArvaneAgents", "mutex");
        ASSERT_TRUE(otherRun.Holding());
        void* context[] = {&installer, &target_};
        HANDLE thread = CreateThread(nullptr, 0, CancelDeletion, context, 0, nullptr);
        ASSERT_NE(nullptr, thread);
        EXPECT_EQ((DWORD)WAIT_TIMEOUT, WaitForSingleObject(thread, 1500)) << "it waits for the other run";
        EXPECT_NE(std::wstring::npos, PendingRenamesW().find(L"Target.exe"));
        otherRun.Release();
        EXPECT_EQ((DWORD)WAIT_OBJECT_0, WaitForSingleObject(thread, 30000));
        DWORD result = 1;
        EXPECT_TRUE(GetExitCodeThread(thread, &result) && result == 0);
        CloseHandle(thread);
    }
    EXPECT_EQ(std::wstring::npos, PendingRenamesW().find(L"Target.exe"));

    ASSERT_EQ(0, DeleteFileAtRestart(installer.Data, target_.c_str()));
    const PendingListCalls competing = {CompetingProgram::Query, RegSetValueExW};
    SetPendingListCalls(&competing);
    EXPECT_EQ(0, CancelDeletionAtRestart(installer.Data, target_.c_str()));
    SetPendingListCalls(nullptr);
    std::wstring pending = PendingRenamesW();
    EXPECT_NE(std::wstring::npos, pending.find(L"\\??\\C:\\xatest\\competing.tmp"));
    EXPECT_EQ(std::wstring::npos, pending.find(L"Target.exe"));
    EXPECT_GE(CompetingProgram::queries, 8) << "the edit started again after the other program's change";
}
