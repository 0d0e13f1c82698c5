// Installer::InstallFile and the file helpers, for real on the prefix's file system: version
// resources of the versioned stand-ins, write times, attributes, and a destination held open by
// another process.
#include <gtest/gtest.h>

#include "harness/OpenedResources.h"
#include "procedures/FileInstall.h"
#include "procedures/Installer.h"
#include "procedures/ProcedureTestSupport.h"
#include "support/AccessControl.h"
#include "support/Files.h"
#include "support/Text.h"

using namespace xatest;

namespace {

const char kDestinationTrailer[] = "<destination copy>";
const char kSource[] = "InstallFile: Source=";

// Counts this program's calls of GetFileAttributesA on one path, by pointing the program's
// import of it at a counter. An uninitialised read shows no other way under Wine.
class AttributeQueries {
public:
    explicit AttributeQueries(const char* path) : slots_(FindImports("kernel32.dll", "GetFileAttributesA"))
    {
        if (slots_.empty())
            return;
        path_ = path;
        count_ = 0;
        real_ = (Function)ReplaceImports(slots_, (void*)&CountingQuery);
    }
    ~AttributeQueries()
    {
        if (!slots_.empty())
            ReplaceImports(slots_, (void*)real_);
    }
    bool Counting() const { return !slots_.empty(); }
    int Count() const { return count_; }

private:
    typedef DWORD(WINAPI* Function)(LPCSTR);

    static DWORD WINAPI CountingQuery(LPCSTR path)
    {
        if (path && strcmp(path, path_) == 0)
            ++count_;
        return real_(path);
    }

    std::vector<void**> slots_;
    static Function real_;
    static const char* path_;
    static int count_;
};

AttributeQueries::Function AttributeQueries::real_ = nullptr;
const char* AttributeQueries::path_ = nullptr;
int AttributeQueries::count_ = 0;

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
    InstallFileTest()
        : scratch_("install"), source_(scratch_ / "Source"), destination_(scratch_ / "Dest"), installer_(&log_.Data())
    {
        CreateDirectoryA(source_.c_str(), nullptr);
        log_.Data().DestFolder = DuplicateText(destination_.c_str());
        log_.Data().SrcFolder = DuplicateText(source_.c_str());
    }

    ScratchFolder scratch_;
    std::string source_;
    std::string destination_;
    LoggedData log_;
    Installer installer_;
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

        EXPECT_EQ(row.Result, InstallFile(installer_.Data, source_.c_str(), name.c_str(), "$TARGETDIR$", nullptr,
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

const char kSessionManagerKey[] = "System\\CurrentControlSet\\Control\\Session Manager";

// The system's list of renames at the next restart, one entry per string.
std::vector<std::string> PendingRenames()
{
    std::vector<std::string> entries;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSessionManagerKey, 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return entries;
    DWORD size = 0;
    if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS) {
        std::string data(size, '\0');
        if (RegQueryValueExA(key, "PendingFileRenameOperations", nullptr, nullptr,
                             reinterpret_cast<BYTE*>(&data[0]), &size) == ERROR_SUCCESS) {
            data.resize(size);
            // Every entry ends with a NUL, the list with one more; a delete's target is empty.
            size_t start = 0;
            for (size_t end; (end = data.find('\0', start)) != std::string::npos && end + 1 < data.size();
                 start = end + 1)
                entries.push_back(data.substr(start, end - start));
        }
    }
    RegCloseKey(key);
    return entries;
}

std::string WinInitPath()
{
    return WindowsFolder() + "\\WinInit.ini";
}

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
    ASSERT_TRUE(WriteWholeFile(source_ + "\\Agent.ini", "whole configuration"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\Agent.ini";
    ASSERT_TRUE(WriteWholeFile(target + ".partial", "half"));

    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileKeepExisting));
    EXPECT_EQ("whole configuration", ReadWholeFile(target));
    EXPECT_EQ(std::vector<std::string>{"Agent.ini"}, FolderEntries(destination_));
    EXPECT_TRUE(log_.HasMessage("InstallFile: > File is copied."));

    ASSERT_TRUE(DeleteFileA(target.c_str()));
    ASSERT_TRUE(CreateDirectoryA((target + ".partial").c_str(), nullptr));
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileKeepExisting));
    EXPECT_EQ("whole configuration", ReadWholeFile(target));
    RemoveDirectoryA((target + ".partial").c_str());
    EXPECT_EQ(std::vector<std::string>{"Agent.ini"}, FolderEntries(destination_)) << "through a \"~\" name";

    // Where neither a part nor a temporary name fits beside it, it stays uncopied rather than
    // be written in place.
    std::string tight = scratch_.Path() + "\\" + std::string(251 - scratch_.Path().size() - 1, 't');
    ASSERT_TRUE(CreateDirectoryA(tight.c_str(), nullptr));
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.ini", "whole configuration"));
    log_.ClearLog();
    EXPECT_NE(0, InstallFile(installer_.Data, source_.c_str(), "A.ini", tight.c_str(), nullptr, FileKeepExisting));
    EXPECT_EQ(std::vector<std::string>{}, FolderEntries(tight));
    EXPECT_EQ(0u, log_.Messages().back().rfind("InstallFile: > Couldn't copy file.", 0)) << log_.Messages().back();
}

TEST_F(InstallFileTest, ReadOnlyDestinationIsOverwrittenOnTheSecondAttempt)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\Agent.ini", "new"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\Agent.ini";
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileForceCopy));

    EXPECT_EQ("new", ReadWholeFile(target));
    EXPECT_EQ(0u, Attributes(target) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(0, log_.Data().RebootRequired);
    EXPECT_EQ((std::vector<std::string>{
                  "InstallFile: > Force copying...",
                  "InstallFile: > Couldn't copy file. " + SystemMessage(ERROR_ACCESS_DENIED),
                  "InstallFile: > Try to reset file attribute.",
                  "InstallFile: > File is copied.",
              }),
              log_.MessagesFrom("InstallFile: > Force"));
}

TEST_F(InstallFileTest, HiddenDestinationIsOverwritten)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\Agent.ini", "new"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\Agent.ini";
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_HIDDEN));

    // Windows refuses the first copy over a hidden file and Wine does not, so only the outcome
    // is the same on both.
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "Agent.ini", "$TARGETDIR$", nullptr, FileForceCopy));
    EXPECT_EQ("new", ReadWholeFile(target));
    EXPECT_TRUE(log_.HasMessage("InstallFile: > File is copied."));
    EXPECT_EQ(0, log_.Data().RebootRequired);
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
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "AgentCore.exe", "$TARGETDIR$", nullptr, 0));

    EXPECT_EQ(1, log_.Data().RebootRequired);
    std::vector<std::string> temporary = FolderEntries(destination_, "~*.tmp");
    ASSERT_EQ(1u, temporary.size());
    std::string temporaryPath = destination_ + "\\" + temporary[0];
    EXPECT_TRUE(ReadWholeFile(source_ + "\\AgentCore.exe") == ReadWholeFile(temporaryPath));
    // The copy takes its place by a rename, which the system refuses over a file held open.
    std::string busy = SystemMessage(ERROR_ACCESS_DENIED);
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

TEST_F(InstallFileTest, ReplacementThatCannotBeScheduledFailsTheFile)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\AgentCore.exe", "new"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\AgentCore.exe";
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    // The restart list of Windows 9x, held by another program, cannot take the request.
    log_.Data().IsWin9x = 1;
    ASSERT_TRUE(WriteWholeFile(WinInitPath(), "[boot]\r\n"));
    FileHolder iniHolder(WinInitPath());
    FileHolder holder(target);
    ASSERT_TRUE(iniHolder.Holding() && holder.Holding());

    EXPECT_EQ(ERROR_SHARING_VIOLATION,
              InstallFile(installer_.Data, source_.c_str(), "AgentCore.exe", "$TARGETDIR$", nullptr, FileForceCopy));
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
    ASSERT_TRUE(WriteWholeFile(source_ + "\\AgtError.log", "new"));
    CreateDirectoryA(destination_.c_str(), nullptr);
    std::string target = destination_ + "\\AgtError.log";
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    const DWORD kept = FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE;
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), kept | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN));
    DWORD before = Attributes(target);
    ASSERT_EQ(FILE_ATTRIBUTE_READONLY, before & FILE_ATTRIBUTE_READONLY);

    // Held open, the file stays after the reset, so its attributes can be seen.
    FileHolder holder(target, "read");
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "AgtError.log", "$TARGETDIR$", nullptr, FileForceCopy));
    EXPECT_EQ(before & ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN), Attributes(target));
    EXPECT_EQ(1, log_.Data().RebootRequired);
}

TEST_F(InstallFileTest, UnusableArgumentsAndFolders)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.exe", "a"));
    EXPECT_EQ(-1, InstallFile(installer_.Data, source_.c_str(), nullptr, "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ(-1, InstallFile(installer_.Data, source_.c_str(), "A.exe", nullptr, nullptr, 0));
    EXPECT_TRUE(log_.Messages().empty());

    // The working folder is unknown on a new installation.
    EXPECT_EQ(-1, InstallFile(installer_.Data, source_.c_str(), "A.exe", "$AGENTTEMPDIR$", nullptr, 0));
    EXPECT_EQ(-1, InstallFile(installer_.Data, nullptr, "A.exe", "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Failed to resolve the path.",
                                        "InstallFile: > Failed to resolve the path."}),
              log_.Messages());

    log_.ClearLog();
    ASSERT_TRUE(WriteWholeFile(scratch_ / "Blocker", "a file where a folder should be"));
    std::string blocked = scratch_ / "Blocker\\Sub";
    EXPECT_EQ(-1, InstallFile(installer_.Data, source_.c_str(), "A.exe", blocked.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"Could not access or create folder \"" + blocked + "\"."}), log_.Messages());
}

TEST_F(InstallFileTest, PathsBeyondMaxPathAreRefusedWithoutCreatingAnything)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\A.exe", "a"));
    // The folder fits; the folder with the file name does not.
    std::string deep = scratch_.Path() + "\\" + std::string(MAX_PATH - 3 - scratch_.Path().size(), 'd');
    ASSERT_EQ(MAX_PATH - 2, deep.size());
    log_.ClearLog();
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE, InstallFile(installer_.Data, source_.c_str(), "A.exe", deep.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Path is too long: \"" + deep + "\\A.exe\"."}), log_.Messages());
    EXPECT_EQ(0, GetPathKind(deep.c_str()));

    log_.ClearLog();
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE,
              InstallFile(installer_.Data, deep.c_str(), "A.exe", destination_.c_str(), nullptr, 0));
    EXPECT_EQ((std::vector<std::string>{"InstallFile: > Path is too long: \"" + deep + "\\A.exe\"."}), log_.Messages());
    EXPECT_EQ(0, GetPathKind(destination_.c_str()));

    // A destination name makes the path too long just the same.
    std::string name(MAX_PATH, 'n');
    EXPECT_EQ(ERROR_FILENAME_EXCED_RANGE,
              InstallFile(installer_.Data, source_.c_str(), "A.exe", destination_.c_str(), name.c_str(), 0));
}

TEST_F(InstallFileTest, DestinationNameRenamesTheCopy)
{
    ASSERT_TRUE(WriteWholeFile(source_ + "\\ArvaneSP.dll", "provider"));
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "ArvaneSP.dll", "$TARGETDIR$\\sub", "XASP.dll", 0));
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
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "A.exe", "$TARGETDIR$", nullptr, 0));
    EXPECT_EQ("Copying " + destination_ + "\\A.exe", status.LastDetail());

    log_.Data().IsSilent = 1;
    EXPECT_EQ(0, InstallFile(installer_.Data, source_.c_str(), "A.exe", "$TARGETDIR$", "B.exe", 0));
    EXPECT_EQ("Copying " + destination_ + "\\B.exe", status.LastDetail());
}

TEST(FileHelpers, CreateFolderPathCreatesEveryMissingFolder)
{
    ScratchFolder scratch("folders");
    std::string deep = scratch / "a\\b\\c";
    EXPECT_TRUE(CreateFolderPath(deep.c_str()));
    EXPECT_EQ(1, GetPathKind((scratch / "a").c_str()));
    EXPECT_EQ(1, GetPathKind(deep.c_str()));
    EXPECT_TRUE(CreateFolderPath(deep.c_str())) << "existing folders are passed over";
    EXPECT_TRUE(CreateFolderPath((scratch / "a\\b\\d\\").c_str())) << "trailing backslash";
    EXPECT_EQ(1, GetPathKind((scratch / "a\\b\\d").c_str()));

    // A file in the way, as a parent or as the last part.
    ASSERT_TRUE(WriteWholeFile(scratch / "file", "x"));
    EXPECT_FALSE(CreateFolderPath((scratch / "file\\b").c_str()));
    EXPECT_EQ(-1, GetPathKind((scratch / "file").c_str()));
    EXPECT_FALSE(CreateFolderPath((scratch / "file").c_str()));

    // The drive root is taken as given.
    std::string root = SystemFolder().substr(0, 3);
    EXPECT_TRUE(CreateFolderPath(root.c_str()));
    EXPECT_FALSE(CreateFolderPath(nullptr));
    EXPECT_FALSE(CreateFolderPath((scratch.Path() + "\\" + std::string(MAX_PATH, 'x')).c_str()));
}

// A path shorter than a drive root is looked at as itself only. What a longer path left in the
// stack before it is no part of it: walked as folders, it would ask about "Z" once per stale
// backslash.
TEST(FileHelpers, CreateFolderPathOnAShortPath)
{
    ScratchFolder scratch("short");
    char current[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof(current), current));
    ASSERT_TRUE(SetCurrentDirectoryA(scratch.Path().c_str()));
    std::string deep = scratch / "a\\b\\c\\d\\e\\f\\g\\h";
    AttributeQueries queries("Z");
    ASSERT_TRUE(queries.Counting());
    // Back to back from the same frame, so that the second call's buffer holds the first path.
    bool deepResult = CreateFolderPath(deep.c_str());
    bool shortResult = CreateFolderPath("Z");
    int count = queries.Count();
    EXPECT_TRUE(deepResult);
    EXPECT_TRUE(shortResult);
    EXPECT_EQ(2, count) << "once for the whole path, once before creating it";
    EXPECT_EQ(1, GetPathKind((scratch / "Z").c_str()));
    EXPECT_FALSE(CreateFolderPath(""));
    SetCurrentDirectoryA(current);
}

// The access list of what setup makes for the agent: the one a folder under Program Files has,
// taking nothing from its parent and handed down to what the folder holds. (Wine keeps no
// access lists on files, so the list is read back from the descriptor itself.)
TEST(FileHelpers, AgentFoldersAreOnlyForAdministratorsToChange)
{
    ProtectedSecurity security;
    SECURITY_ATTRIBUTES* attributes = MakeProtectedSecurity(&security, kFolderFullAccess, kFolderReadExecute, true);
    if (IsWin9xKind()) {
        EXPECT_EQ(nullptr, attributes) << "Windows 9x has no access lists";
        return;
    }
    ASSERT_NE(nullptr, attributes);
    EXPECT_FALSE(attributes->bInheritHandle);
    std::string system = AllowEntry(kSystemSid, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    std::string administrators =
        AllowEntry(kAdministratorsSid, FILE_ALL_ACCESS, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_EQ((std::vector<std::string>{"protected", system, administrators,
                                        AllowEntry(kUsersSid, FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
                                                   OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE)}),
              AccessEntries(attributes->lpSecurityDescriptor));
    // The removal's own copy: nobody but SYSTEM and Administrators.
    attributes = MakeProtectedSecurity(&security, kFolderFullAccess, 0, true);
    ASSERT_NE(nullptr, attributes);
    EXPECT_EQ((std::vector<std::string>{"protected", system, administrators}),
              AccessEntries(attributes->lpSecurityDescriptor));

    ScratchFolder scratch("protected");
    EXPECT_TRUE(CreateFolderPath((scratch / "a\\b").c_str(), attributes));
    EXPECT_EQ(1, GetPathKind((scratch / "a\\b").c_str()));
}

TEST(FileHelpers, PathKindAndExistence)
{
    ScratchFolder scratch("kinds");
    ASSERT_TRUE(WriteWholeFile(scratch / "file.txt", "x"));
    EXPECT_EQ(-1, GetPathKind((scratch / "file.txt").c_str()));
    EXPECT_EQ(1, GetPathKind(scratch.Path().c_str()));
    EXPECT_EQ(0, GetPathKind((scratch / "missing").c_str()));
    EXPECT_EQ(0, GetPathKind(nullptr));
    EXPECT_TRUE(FileExists((scratch / "file.txt").c_str()));
    EXPECT_FALSE(FileExists(scratch.Path().c_str()));
    EXPECT_FALSE(FileExists((scratch / "missing").c_str()));
    EXPECT_FALSE(FileExists(nullptr));
}

TEST(FileHelpers, GetFileVersionReadsTheFixedVersionInformation)
{
    DWORD ms = 0, ls = 0;
    EXPECT_EQ(0, GetFileVersion(FixturePath("versioned-1.2.40000.0.exe").c_str(), &ms, &ls));
    EXPECT_EQ(0x00010002u, ms);
    EXPECT_EQ(0x9C400000u, ls);
    EXPECT_EQ(0, GetFileVersion(FixturePath("versioned-40000.0.0.0.exe").c_str(), &ms, nullptr));
    EXPECT_EQ(0x9C400000u, ms);
    EXPECT_EQ(0, GetFileVersion(FixturePath("versioned-2.0.0.0.exe").c_str(), nullptr, nullptr));

    ms = ls = 7;
    EXPECT_NE(0, GetFileVersion(FixturePath("exitwith.exe").c_str(), &ms, &ls)) << "no version resource";
    EXPECT_EQ(7u, ms);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetFileVersion(FixturePath("missing.exe").c_str(), &ms, &ls));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetFileVersion(nullptr, &ms, &ls));
}

TEST(FileHelpers, GetFileWriteTime)
{
    ScratchFolder scratch("times");
    std::string path = scratch / "file.txt";
    ASSERT_TRUE(WriteWholeFile(path, "x"));
    FILETIME expected = TimeFromNow(-30);
    ASSERT_TRUE(SetWriteTime(path, expected));
    FILETIME time = {};
    EXPECT_EQ(0, GetFileWriteTime(path.c_str(), &time));
    EXPECT_EQ(0, CompareFileTime(&expected, &time));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetFileWriteTime((scratch / "missing").c_str(), &time));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetFileWriteTime(nullptr, &time));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, GetFileWriteTime(path.c_str(), nullptr));
}

// The short form is what WinInit.ini and the Windows 9x same-file test compare; a path that
// cannot be shortened must never leave a usable-looking buffer behind a result of 0.
TEST(FileHelpers, GetShortPath)
{
    ScratchFolder scratch("shortpath");
    std::string path = scratch / "A Rather Long File Name.text";
    ASSERT_TRUE(WriteWholeFile(path, "x"));
    char shortPath[MAX_PATH];
    ASSERT_EQ(0, GetShortPath(path.c_str(), shortPath));
    std::string name = std::string(shortPath).substr(std::string(shortPath).rfind('\\') + 1);
    EXPECT_NE(std::string::npos, name.find('~')) << shortPath;
    EXPECT_LE(name.size(), 12u) << shortPath;
    EXPECT_TRUE(FileExists(shortPath));

    int missing = GetShortPath((scratch / "missing\\file.txt").c_str(), shortPath);
    EXPECT_TRUE(missing == ERROR_PATH_NOT_FOUND || missing == ERROR_FILE_NOT_FOUND) << missing;
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetShortPath((scratch / "missing.txt").c_str(), shortPath));
}
