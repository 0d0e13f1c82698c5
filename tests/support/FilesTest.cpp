// The file-system helpers for real on the prefix's file system: folders made on the way, kinds of
// paths, version resources of the versioned stand-ins, write times, short names and whether two
// paths name the same file.
#include <gtest/gtest.h>

#include "harness/OpenedResources.h"
#include "harness/TestSupport.h"
#include "support/AccessControl.h"
#include "support/Files.h"

using namespace xatest;

namespace {

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

std::string Upper(std::string text)
{
    CharUpperA(&text[0]);
    return text;
}

}  // namespace

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

// Read-only and hidden files go; one held open stays with the sharing error.
TEST(FileHelpers, ForceDeleteFile)
{
    ScratchFolder scratch("forcedelete");
    std::string path = scratch / "readonly.txt";
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

TEST(IsSameFileTest, ComparesPathsAndFiles)
{
    ScratchFolder scratch("samefile");
    std::string folder = scratch / "Some Long Folder";
    CreateDirectoryA(folder.c_str(), nullptr);
    std::string file = folder + "\\Some Long Name.txt";
    std::string other = folder + "\\Other File.txt";
    WriteWholeFile(file, "a");
    WriteWholeFile(other, "b");
    std::string missing = folder + "\\Missing.txt";
    std::string folderShort = ShortPath(folder);
    std::string fileShort = ShortPath(file);
    ASSERT_FALSE(fileShort.empty());
    ASSERT_NE(fileShort, file);

    struct Row {
        std::string A, B;
        bool Directory;
        bool Same;
    } rows[] = {
        // Equal but for letter case: the same without a look at the disk.
        {"C:\\Nowhere\\AgentCore.exe", "c:\\NOWHERE\\agentcore.EXE", false, true},
        {missing, missing, false, true},
        // Other forms of the same existing file.
        {file, fileShort, false, true},
        {file, Upper(folder) + "\\Some Long Name.txt", false, true},
        {fileShort, Upper(file), false, true},
        // Different files, and a missing path against anything else.
        {file, other, false, false},
        {missing, file, false, false},
        {file, missing, false, false},
        {missing, ShortPath(folder) + "\\MISSING.TXT", false, false},
        {"", file, false, false},
        // Folders: other forms of the same folder.
        {folder, folderShort, true, true},
        {folder, scratch.Path(), true, false},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.Same, IsSameFile(row.A.c_str(), row.B.c_str(), row.Directory)) << row.A << " / " << row.B;
        EXPECT_EQ(row.Same, IsSameFile(row.B.c_str(), row.A.c_str(), row.Directory)) << row.B << " / " << row.A;
    }
    EXPECT_FALSE(IsSameFile(nullptr, file.c_str(), false));

    BY_HANDLE_FILE_INFORMATION info;
    if (!IsWin9xKind()) {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetFileIdentity(missing.c_str(), &info, false));
        // A folder is opened only with the directory flag.
        EXPECT_EQ(0, GetFileIdentity(folder.c_str(), &info, true));
        EXPECT_FALSE(IsSameFile(folder.c_str(), folderShort.c_str(), false));
    }
}
