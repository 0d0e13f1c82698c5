// InstallFile for real on the prefix's file system: version resources of the versioned
// stand-ins, write times, attributes, and a destination held open by another process.
#include <gtest/gtest.h>

#include "harness/DiskCalls.h"
#include "procedures/FileInstall.h"
#include "procedures/ProcedureFixture.h"
#include "support/Files.h"

using namespace xatest;

namespace {

const char kDestinationTrailer[] = "<destination copy>";
const char kSource[] = "InstallFile: Source=";

// What a file of a test row starts as.
struct FileSpec {
    const char* Fixture;  // versioned stand-in, or null for a plain text file, or "" for no file
    int Hours;            // write time relative to now
};

struct DecisionRow {
    const char* Case;
    FileSpec Source;
    FileSpec Destination;
    DWORD Flags;
    int Result;
    bool Copied;
    std::vector<std::string> Messages;  // after the "Source=" line
};

// Places a file as the row asks; a destination gets a trailer so that a copy shows.
bool PlaceFile(const FileSpec& spec, const std::string& path, const std::string& trailer)
{
    if (spec.Fixture && !*spec.Fixture)
        return true;
    bool ok = spec.Fixture ? CopyFixture(spec.Fixture, path) && AppendToFile(path, trailer)
                           : WriteWholeFile(path, "plain text" + trailer);
    return ok && SetWriteTime(path, TimeFromNow(spec.Hours));
}

class InstallFileTest : public testing::Test {
protected:
    InstallFileTest() : scratch_("install"), source_(scratch_ / "Source"), destination_(scratch_ / "Dest")
    {
        CreateDirectoryA(source_.c_str(), nullptr);
        log_.Data().DestFolder = DuplicateText(destination_.c_str());
        log_.Data().SrcFolder = DuplicateText(source_.c_str());
    }

    // name in the source folder with content and, unless old is null, in the destination folder
    // with old; the destination's path.
    std::string Place(const std::string& name, const std::string& content, const char* old)
    {
        EXPECT_TRUE(WriteWholeFile(source_ + "\\" + name, content));
        CreateDirectoryA(destination_.c_str(), nullptr);
        std::string target = destination_ + "\\" + name;
        if (old) {
            EXPECT_TRUE(WriteWholeFile(target, old));
        }
        return target;
    }

    ScratchFolder scratch_;
    std::string source_;
    std::string destination_;
    LoggedData log_;
};

}  // namespace

TEST_F(InstallFileTest, DecidesByFlagsThenVersionsThenTimes)
{
    const std::string copied = "InstallFile: > File is copied.";
    const std::string notCopied = "InstallFile: > File is not copied.";
    const std::string upToDate = "InstallFile: > Destination is up-to-date.";
    const std::string newer = "InstallFile: > Source is newer.";
    const std::string force = "InstallFile: > Force copying...";
    auto dest = [](const char* version) { return "InstallFile: > Destination version " + std::string(version) + "."; };
    auto src = [](const char* version) { return "InstallFile: > Source version " + std::string(version) + "."; };
    const char* v100 = "versioned-1.0.0.0.exe";
    const char* v120 = "versioned-1.2.0.0.exe";
    const char* v125 = "versioned-1.2.0.5.exe";
    const char* v12x = "versioned-1.2.40000.0.exe";
    const char* v200 = "versioned-2.0.0.0.exe";
    const char* vBig = "versioned-40000.0.0.0.exe";

    // The comparison of versions, then of write times, is reached only from these rows: every
    // caller in the product copies by force (the program files of the agent's file table, the
    // drivers, the provider library) or keeps what is there (the settings and logs), so no
    // installation, update or removal run ever compares. A fault in the comparison shows here or
    // nowhere.
    const std::vector<DecisionRow> rows = {
        {"no destination", {v120, 0}, {"", 0}, 0, 0, true, {copied}},
        {"equal versions, older destination", {v120, 0}, {v120, -5}, 0, 0, false,
         {dest("1.2.0.0"), src("1.2.0.0"), upToDate, notCopied}},
        {"higher destination version, older destination", {v125, 0}, {v200, -5}, 0, 0, false,
         {dest("2.0.0.0"), src("1.2.0.5"), upToDate, notCopied}},
        {"first word decides", {v200, -5}, {v125, 0}, 0, 0, true, {dest("1.2.0.5"), src("2.0.0.0"), newer, copied}},
        {"last word decides", {v125, -5}, {v120, 0}, 0, 0, true, {dest("1.2.0.0"), src("1.2.0.5"), newer, copied}},
        {"third word compares unsigned", {v12x, 0}, {v125, 0}, 0, 0, true,
         {dest("1.2.0.5"), src("1.2.40000.0"), newer, copied}},
        {"third word compares unsigned, kept", {v125, 0}, {v12x, 0}, 0, 0, false,
         {dest("1.2.40000.0"), src("1.2.0.5"), upToDate, notCopied}},
        {"first word compares unsigned", {vBig, 0}, {v200, 0}, 0, 0, true,
         {dest("2.0.0.0"), src("40000.0.0.0"), newer, copied}},
        {"first word compares unsigned, kept", {v100, 0}, {vBig, 0}, 0, 0, false,
         {dest("40000.0.0.0"), src("1.0.0.0"), upToDate, notCopied}},
        {"versioned source over unversioned, newer destination", {v100, -5}, {nullptr, 0}, 0, 0, true,
         {src("1.0.0.0"), newer, copied}},
        {"unversioned source, older versioned destination", {nullptr, 0}, {v200, -5}, 0, 0, true,
         {dest("2.0.0.0"), newer, copied}},
        {"unversioned source, versioned destination, equal times", {nullptr, 0}, {v200, 0}, 0, 0, false,
         {dest("2.0.0.0"), upToDate, notCopied}},
        {"unversioned source, newer versioned destination", {nullptr, -5}, {v200, 0}, 0, 0, false,
         {dest("2.0.0.0"), upToDate, notCopied}},
        {"no versions, older destination", {nullptr, 0}, {nullptr, -5}, 0, 0, true, {newer, copied}},
        {"no versions, newer destination", {nullptr, -5}, {nullptr, 0}, 0, 0, false, {upToDate, notCopied}},
        {"keep existing", {v200, 0}, {v100, -5}, FileKeepExisting, 0, false, {notCopied}},
        {"keep existing, no destination", {v100, 0}, {"", 0}, FileKeepExisting, 0, true, {copied}},
        {"force over a newer version", {v100, -5}, {v200, 0}, FileForceCopy, 0, true, {force, copied}},
        {"force wins over keep existing", {v100, -5}, {v200, 0}, FileForceCopy | FileKeepExisting, 0, true,
         {force, copied}},
        {"missing source", {"", 0}, {v100, 0}, 0, kSourceFileMissing, false,
         {"InstallFile: > Source file is missing!"}},
        {"missing source, forced", {"", 0}, {v100, 0}, FileForceCopy, kSourceFileMissing, false,
         {"InstallFile: > Source file is missing!"}},
    };

    int index = 0;
    for (const DecisionRow& row : rows) {
        SCOPED_TRACE(row.Case);
        std::string name = "File" + std::to_string(++index) + ".exe";
        std::string sourcePath = source_ + "\\" + name;
        std::string destinationPath = destination_ + "\\" + name;
        CreateDirectoryA(destination_.c_str(), nullptr);
        ASSERT_TRUE(PlaceFile(row.Source, sourcePath, ""));
        ASSERT_TRUE(PlaceFile(row.Destination, destinationPath, kDestinationTrailer));
        std::string before = ReadWholeFile(destinationPath);
        log_.ClearLog();

        EXPECT_EQ(row.Result, InstallFile(&log_.Data(), source_.c_str(), name.c_str(), "$TARGETDIR$", nullptr,
                                                     row.Flags));

        std::string after = ReadWholeFile(destinationPath);
        if (row.Copied)
            EXPECT_TRUE(ReadWholeFile(sourcePath) == after) << "copied";
        else
            EXPECT_TRUE(before == after) << "left as it was";
        std::vector<std::string> messages = log_.MessagesFrom(kSource);
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ("InstallFile: Source=\"" + sourcePath + "\" Destination=\"" + destinationPath + "\"", messages[0]);
        EXPECT_EQ(row.Messages, std::vector<std::string>(messages.begin() + 1, messages.end()));
    }
    EXPECT_EQ(0, log_.Data().RebootRequired);
}

namespace {

// Runs what the system does at a restart: the pending renames and WinInit.ini.
bool Restart()
{
    return RunProcess("wineboot.exe -r", 120000) == 0;
}

}  // namespace

// A file kept once it is there (the configuration) appears whole or not at all: it is written as
// a part beside it and then renamed, so that a run killed during the copy leaves no half file for
// the next run to keep. A part left by such a run is written over; where that name cannot be
// written, another one beside it is taken.
TEST_F(InstallFileTest, KeptFileAppearsWhole)
{
    std::string target = Place("Agent.ini", "whole configuration", nullptr);
    ASSERT_TRUE(WriteWholeFile(target + ".partial", "half"));

    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileKeepExisting));
    EXPECT_EQ("whole configuration", ReadWholeFile(target));
    EXPECT_EQ(std::vector<std::string>{"Agent.ini"}, FolderEntries(destination_));
    EXPECT_TRUE(log_.HasMessage("InstallFile: > File is copied."));

    ASSERT_TRUE(DeleteFileA(target.c_str()));
    ASSERT_TRUE(CreateDirectoryA((target + ".partial").c_str(), nullptr));
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileKeepExisting));
    EXPECT_EQ("whole configuration", ReadWholeFile(target));
    RemoveDirectoryA((target + ".partial").c_str());
    EXPECT_EQ(std::vector<std::string>{"Agent.ini"}, FolderEntries(destination_)) << "through a \"~\" name";

    // Where neither a part nor a temporary name fits beside it, it stays uncopied rather than
    // be written in place.
    std::string tight = scratch_.Path() + "\\" + std::string(251 - scratch_.Path().size() - 1, 't');
    ASSERT_TRUE(CreateDirectoryA(tight.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.ini", "whole configuration"));
    log_.ClearLog();
    EXPECT_NE(0, InstallFile(&log_.Data(), source_.c_str(), "A.ini", tight.c_str(), nullptr, FileKeepExisting));
    EXPECT_EQ(std::vector<std::string>{}, FolderEntries(tight));
    EXPECT_EQ(0u, log_.Messages().back().rfind("InstallFile: > Couldn't copy file.", 0)) << log_.Messages().back();
}

// A read-only destination is overwritten on the second attempt, a hidden one too. (Windows
// refuses the first copy over a hidden file and Wine does not, so only the outcome is the same on
// both.)
TEST_F(InstallFileTest, ReadOnlyAndHiddenDestinationsAreOverwritten)
{
    for (DWORD attribute : {FILE_ATTRIBUTE_READONLY, FILE_ATTRIBUTE_HIDDEN}) {
        SCOPED_TRACE(attribute);
        std::string target = Place("Agent.ini", "new", "old");
        ASSERT_TRUE(SetFileAttributesA(target.c_str(), attribute));
        log_.ClearLog();

        EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileForceCopy));

        EXPECT_EQ("new", ReadWholeFile(target));
        EXPECT_EQ(0u, GetFileAttributesA(target.c_str()) & FILE_ATTRIBUTE_READONLY);
        EXPECT_EQ(0, log_.Data().RebootRequired);
        EXPECT_TRUE(log_.HasMessage("InstallFile: > File is copied."));
        if (attribute == FILE_ATTRIBUTE_READONLY) {
            EXPECT_EQ((std::vector<std::string>{
                          "InstallFile: > Force copying...",
                          "InstallFile: > Couldn't copy file. " + SystemMessage(ERROR_ACCESS_DENIED),
                          "InstallFile: > Try to reset file attribute.",
                          "InstallFile: > File is copied.",
                      }),
                      log_.MessagesFrom("InstallFile: > Force"));
        }
    }
}

namespace {

struct DiskRow {
    const char* Case;
    DWORD SourceAttributes;
    DWORD FlushError;   // every flush fails with it
    DWORD OpenError;    // every opening of an existing file for writing fails with it
    DWORD MoveExError;  // every MoveFileExA fails with it
    bool OldFile;       // the destination is there before the copy
    int Result;
    const char* Fault;  // what DiskCalls finds in the rename of the part, if anything
};

}  // namespace

// The copy reaches the disk before its name does (EveryFileReachesTheDiskBeforeItsName), and what
// the system answers on the way decides: a copy of a read-only file is flushed as well and stays
// read-only; a drive that flushes nothing takes the copy as it is; a flush that fails (a full
// disk), or a copy that cannot be opened for it, fails the copy with its error and leaves the old
// file and nothing beside it; a system without MoveFileExA (Windows 9x) renames as before.
TEST_F(InstallFileTest, WhatTheDiskAnswersDecidesTheCopy)
{
    const std::vector<DiskRow> rows = {
        {"plain", 0, 0, 0, 0, true, 0, nullptr},
        {"read-only source, as on a CD", FILE_ATTRIBUTE_READONLY, 0, 0, 0, true, 0, nullptr},
        {"a drive that flushes nothing", 0, ERROR_INVALID_FUNCTION, 0, 0, true, 0, "renamed before its flush"},
        {"a full disk at the flush", 0, ERROR_DISK_FULL, 0, 0, true, ERROR_DISK_FULL, nullptr},
        {"the copy held by a scanner", 0, 0, ERROR_SHARING_VIOLATION, 0, true, ERROR_SHARING_VIOLATION, nullptr},
        {"no MoveFileExA, a new file", 0, 0, 0, ERROR_CALL_NOT_IMPLEMENTED, false, 0, "renamed without write-through"},
        {"no MoveFileExA, over the old file", 0, 0, 0, ERROR_CALL_NOT_IMPLEMENTED, true, 0,
         "renamed without write-through"},
    };
    int index = 0;
    for (const DiskRow& row : rows) {
        SCOPED_TRACE(row.Case);
        std::string name = "Disk" + std::to_string(++index) + ".exe";
        std::string target = Place(name, "new", row.OldFile ? "old" : nullptr);
        ASSERT_TRUE(SetFileAttributesA((source_ + "\\" + name).c_str(), row.SourceAttributes | FILE_ATTRIBUTE_ARCHIVE));
        std::vector<std::string> renamesBefore = PendingRenames();
        DeleteFileA(WinInitPath().c_str());

        DiskCalls calls;
        calls.FailFlushes(row.FlushError);
        calls.FailOpensForWriting(row.OpenError);
        calls.FailMoveFileEx(row.MoveExError);
        EXPECT_EQ(row.Result, InstallFile(&log_.Data(), source_.c_str(), name.c_str(), "$TARGETDIR$", nullptr,
                                          FileForceCopy));

        bool copied = row.Result == 0;
        EXPECT_EQ(copied ? "new" : "old", ReadWholeFile(target));
        std::vector<std::string> entries = FolderEntries(destination_, "Disk" + std::to_string(index) + ".*");
        std::vector<std::string> temporary = FolderEntries(destination_, "~*");
        entries.insert(entries.end(), temporary.begin(), temporary.end());
        EXPECT_EQ(std::vector<std::string>{name}, entries) << "nothing beside it";
        EXPECT_EQ(renamesBefore, PendingRenames());
        EXPECT_FALSE(FileExistsAt(WinInitPath()));
        EXPECT_EQ(0, log_.Data().RebootRequired);
        DWORD attributes = GetFileAttributesA(target.c_str());
        EXPECT_EQ(copied ? row.SourceAttributes : 0u, attributes & FILE_ATTRIBUTE_READONLY);
        std::vector<std::string> fault;
        if (row.Fault)
            fault.push_back(row.Fault + (": " + target + ".partial"));
        EXPECT_EQ(fault, calls.Faults());
        SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_NORMAL);
        SetFileAttributesA((source_ + "\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
    }
}

TEST_F(InstallFileTest, LockedDestinationIsReplacedAtTheNextRestart)
{
    ASSERT_TRUE(CopyFixture("versioned-2.0.0.0.exe", source_ + "\\AgentCore.exe"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\AgentCore.exe";
    ASSERT_TRUE(CopyFixture("versioned-1.0.0.0.exe", target));
    std::string oldContent = ReadWholeFile(target);
    DeleteFileA(WinInitPath().c_str());
    std::vector<std::string> renamesBefore = PendingRenames();

    FileHolder holder(target);
    ASSERT_TRUE(holder.Holding());
    DiskCalls calls;
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "AgentCore.exe", "$TARGETDIR$", nullptr, 0));

    EXPECT_EQ(1, log_.Data().RebootRequired);
    std::vector<std::string> temporary = FolderEntries(destination_, "~*.tmp");
    ASSERT_EQ(1u, temporary.size());
    std::string temporaryPath = destination_ + "\\" + temporary[0];
    EXPECT_TRUE(ReadWholeFile(source_ + "\\AgentCore.exe") == ReadWholeFile(temporaryPath));
    // On the disk before the restart renames it into place, whatever happens meanwhile.
    EXPECT_TRUE(calls.FlushedSinceWritten(temporaryPath));
    EXPECT_EQ(std::vector<std::string>{}, calls.Faults());
    // The copy takes its place by a rename, which the system refuses over a file held open with
    // "access denied"; the log gives the reason that a copy over it gives.
    std::string busy = SystemMessage(ERROR_SHARING_VIOLATION);
    EXPECT_EQ((std::vector<std::string>{
                  "InstallFile: > Source is newer.",
                  "InstallFile: > Couldn't copy file. " + busy,
                  "InstallFile: > Try to reset file attribute.",
                  "InstallFile: > Couldn't copy file. " + busy,
                  "InstallFile: > Setup move file. (0)",
                  "InstallFile: > File is copied.",
              }),
              log_.MessagesFrom("InstallFile: > Source is newer."));

    if (log_.Data().IsWin9x) {
        EXPECT_EQ("[rename]\r\nNUL=" + ShortPath(target) + "\r\n" + ShortPath(target) + "=" +
                      ShortPath(temporaryPath) + "\r\n",
                  ReadWholeFile(WinInitPath()));
        EXPECT_EQ(renamesBefore, PendingRenames());
    } else {
        std::vector<std::string> renames = PendingRenames();
        ASSERT_EQ(renamesBefore.size() + 2, renames.size());
        EXPECT_EQ("\\??\\" + temporaryPath, renames[renames.size() - 2]);
        EXPECT_EQ("!\\??\\" + target, renames.back());
        EXPECT_FALSE(FileExistsAt(WinInitPath()));
    }

    holder.Release();
    EXPECT_TRUE(oldContent == ReadWholeFile(target)) << "replaced only at the restart";
    std::string shortTarget = ShortPath(target);
    ASSERT_TRUE(Restart());
    EXPECT_FALSE(FileExistsAt(temporaryPath));
    if (log_.Data().IsWin9x) {
        // The restart program of Windows 9x knows only short names: the new file keeps the
        // target's short name and the long one is gone, as on Windows 98 itself.
        EXPECT_TRUE(ReadWholeFile(source_ + "\\AgentCore.exe") == ReadWholeFile(shortTarget));
        EXPECT_EQ(0, GetPathKind(target.c_str()));
    } else {
        EXPECT_TRUE(ReadWholeFile(source_ + "\\AgentCore.exe") == ReadWholeFile(target));
    }
}

// However another program holds the destination (open for reading, or mapped as a running
// program), both failed attempts log the sharing violation; a read-only file that nobody holds
// keeps its "access denied" (ReadOnlyAndHiddenDestinationsAreOverwritten).
TEST_F(InstallFileTest, HeldDestinationLogsTheSharingViolation)
{
    ASSERT_TRUE(CopyFixture("versioned-2.0.0.0.exe", source_ + "\\Agent.exe"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    for (const char* share : {"read", "image"}) {
        SCOPED_TRACE(share);
        std::string name = std::string("Held-") + share + ".exe";
        std::string target = destination_ + "\\" + name;
        ASSERT_TRUE(CopyFixture("versioned-1.0.0.0.exe", target));
        ASSERT_TRUE(CopyFileA((source_ + "\\Agent.exe").c_str(), (source_ + "\\" + name).c_str(), FALSE));
        FileHolder holder(target, share);
        ASSERT_TRUE(holder.Holding());
        log_.ClearLog();

        EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), name.c_str(), "$TARGETDIR$", nullptr, FileForceCopy));

        std::string busy = "InstallFile: > Couldn't copy file. " + SystemMessage(ERROR_SHARING_VIOLATION);
        EXPECT_EQ((std::vector<std::string>{"InstallFile: > Force copying...", busy,
                                            "InstallFile: > Try to reset file attribute.", busy,
                                            "InstallFile: > Setup move file. (0)", "InstallFile: > File is copied."}),
                  log_.MessagesFrom("InstallFile: > Force"));
        EXPECT_EQ(1, log_.Data().RebootRequired);
    }
    DeleteFileA(WinInitPath().c_str());
}

TEST_F(InstallFileTest, ReplacementThatCannotBeScheduledFailsTheFile)
{
    std::string target = Place("AgentCore.exe", "new", "old");
    // The restart list of Windows 9x, held by another program, cannot take the request.
    log_.Data().IsWin9x = 1;
    ASSERT_TRUE(WriteWholeFile(WinInitPath(), "[boot]\r\n"));
    FileHolder iniHolder(WinInitPath());
    FileHolder holder(target);
    ASSERT_TRUE(iniHolder.Holding() && holder.Holding());

    EXPECT_EQ(ERROR_SHARING_VIOLATION,
              InstallFile(&log_.Data(), source_.c_str(), "AgentCore.exe", "$TARGETDIR$", nullptr, FileForceCopy));
    EXPECT_EQ(0, log_.Data().RebootRequired);
    EXPECT_TRUE(FolderEntries(destination_, "~*.tmp").empty()) << "the temporary file is deleted again";
    std::vector<std::string> messages = log_.Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("InstallFile: > Setup move file. (32)", messages[messages.size() - 2]);
    EXPECT_EQ("InstallFile: > Failed to copy file. " + SystemMessage(ERROR_SHARING_VIOLATION), messages.back());
    iniHolder.Release();
    DeleteFileA(WinInitPath().c_str());
}

TEST_F(InstallFileTest, AttributeResetClearsOnlyReadOnlyAndHidden)
{
    std::string target = Place("AgtError.log", "new", "old");
    const DWORD kept = FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), kept | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    DWORD before = GetFileAttributesA(target.c_str());
    ASSERT_EQ(FILE_ATTRIBUTE_READONLY, before & FILE_ATTRIBUTE_READONLY);

    // Held open, the file stays after the reset, so its attributes can be seen.
    FileHolder holder(target, "read");
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "AgtError.log", "$TARGETDIR$", nullptr, FileForceCopy));
    EXPECT_EQ(before & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), GetFileAttributesA(target.c_str()));
    EXPECT_EQ(1, log_.Data().RebootRequired);
}

TEST_F(InstallFileTest, UnusableArgumentsAndFolders)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.exe", "a"));
    EXPECT_EQ(-1, InstallFile(&log_.Data(), source_.c_str(), nullptr, "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ(-1, InstallFile(&log_.Data(), source_.c_str(), "A.exe", nullptr, nullptr, 0));
    EXPECT_TRUE(log_.Messages().empty());

    // The working folder is unknown on a new installation.
    EXPECT_EQ(-1, InstallFile(&log_.Data(), source_.c_str(), "A.exe", "$AGENTTEMPDIR$", nullptr, 0));
    EXPECT_EQ(-1, InstallFile(&log_.Data(), nullptr, "A.exe", "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Failed to resolve the path.",
                                        "InstallFile: > Failed to resolve the path."}),
              log_.Messages());

    log_.ClearLog();
    ASSERT_TRUE(WriteWholeFile(scratch_ / "Blocker", "a file where a folder should be"));
    std::string blocked = scratch_ / "Blocker\\Sub";
    EXPECT_EQ(-1, InstallFile(&log_.Data(), source_.c_str(), "A.exe", blocked.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"Could not access or create folder \"" + blocked + "\"."}), log_.Messages());
}

TEST_F(InstallFileTest, PathsBeyondMaxPathAreRefusedWithoutCreatingAnything)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.exe", "a"));
    // The folder fits; the folder with the file name does not.
    std::string deep = scratch_.Path() + "\\" + std::string(MAX_PATH - 3 - scratch_.Path().size(), 'd');
    ASSERT_EQ(MAX_PATH - 2, deep.size());
    log_.ClearLog();
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, InstallFile(&log_.Data(), source_.c_str(), "A.exe", deep.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Path is too long: \"" + deep + "\\A.exe\"."}), log_.Messages());
    EXPECT_EQ(0, GetPathKind(deep.c_str()));

    log_.ClearLog();
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE,
              InstallFile(&log_.Data(), deep.c_str(), "A.exe", destination_.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Path is too long: \"" + deep + "\\A.exe\"."}), log_.Messages());
    EXPECT_EQ(0, GetPathKind(destination_.c_str()));

    // A destination name makes the path too long just the same.
    std::string name(MAX_PATH, 'n');
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE,
              InstallFile(&log_.Data(), source_.c_str(), "A.exe", destination_.c_str(), name.c_str(), 0));
}

TEST_F(InstallFileTest, DestinationNameRenamesTheCopy)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\ArvaneSP.dll", "provider"));
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "ArvaneSP.dll", "$TARGETDIR$\\sub", "XASP.dll", 0));
    EXPECT_EQ("provider", ReadWholeFile(destination_ + "\\sub\\XASP.dll"));
    EXPECT_FALSE(FileExistsAt(destination_ + "\\sub\\ArvaneSP.dll"));
}

// The file shown is the one copied, under its new name; silent or not (the window decides what
// it shows).
TEST_F(InstallFileTest, ShowsTheFileItCopies)
{
    StatusRecorder status;
    log_.Data().Status = &status;
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.exe", "a"));
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "A.exe", "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ("Copying " + destination_ + "\\A.exe", status.LastDetail());

    log_.Data().IsSilent = 1;
    EXPECT_EQ(0, InstallFile(&log_.Data(), source_.c_str(), "A.exe", "$TARGETDIR$", "B.exe", 0));
    EXPECT_EQ("Copying " + destination_ + "\\B.exe", status.LastDetail());
}
