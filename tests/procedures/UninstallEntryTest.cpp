// The uninstall entry written and removed against the real registry, with the agent's version
// read from real versioned programs placed in a scratch agent folder.
#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "procedures/Installer.h"
#include "procedures/UninstallEntry.h"

using namespace xatest;

namespace {

const std::string kUninstallRoot = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";
const std::string kEntry = kUninstallRoot + "\\XAI1";

class UninstallEntryTest : public testing::Test {
protected:
    UninstallEntryTest() : dest_("agent"), installer_(&data_)
    {
        DeleteMachineTree(kEntry);
        data_.Instance = DuplicateText("I1");
        data_.DestFolder = DuplicateText(dest_.Path().c_str());
        data_.Title = DuplicateText("Arvane Agent");
        data_.Company = DuplicateText("Arvane");
        data_.Publisher = DuplicateText("Arvane Inc.");
    }
    ~UninstallEntryTest() override { DeleteMachineTree(kEntry); }

    void PlaceAgent(const std::string& fixture)
    {
        ASSERT_TRUE(CopyFileA(FixturePath(fixture).c_str(), (dest_ / "AgentCore.exe").c_str(), FALSE)) << fixture;
    }
    RegistryValue Value(const std::string& name) const { return ReadMachineValue(kEntry, name.c_str()); }
    void ExpectString(const std::string& name, const std::string& text) const
    {
        RegistryValue value = Value(name);
        EXPECT_EQ(DWORD(REG_SZ), value.Type) << name;
        EXPECT_EQ(StringBytes(text), value.Data) << name;
    }
    void ExpectNumber(const std::string& name, DWORD number) const
    {
        RegistryValue value = Value(name);
        EXPECT_EQ(DWORD(REG_DWORD), value.Type) << name;
        EXPECT_EQ(NumberBytes(number), value.Data) << name;
    }
    void ExpectMissing(const std::string& name) const
    {
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, Value(name).Result) << name << " should not exist";
    }

    ScratchFolder dest_;
    InstallationData data_;
    Installer installer_;
};

std::string Today()
{
    SYSTEMTIME now;
    GetLocalTime(&now);
    char text[16];
    std::snprintf(text, sizeof(text), "%d%02d%02d", now.wYear, now.wMonth, now.wDay);
    return text;
}

}  // namespace

TEST_F(UninstallEntryTest, NewInstallationWritesEveryValue)
{
    PlaceAgent("versioned-1.2.40000.0.exe");
    data_.AboutLink = DuplicateText("http://about");
    data_.Comments = DuplicateText("Remote management");
    data_.Contact = DuplicateText("Support desk");
    data_.HelpLink = DuplicateText("http://help");
    std::string before = Today();
    WriteUninstallEntry(installer_.Data, 0);
    std::string after = Today();

    // Quoted: an unquoted path under Program Files lets Windows try C:\Program.exe first.
    ExpectString("UninstallString",
                 "\"" + dest_.Path() + "\\XASetup.exe\" /r /g I1 /l \"%TEMP%\\xasetup.log\"");
    // Fleet tools run the same command without its question.
    ExpectString("QuietUninstallString",
                 "\"" + dest_.Path() + "\\XASetup.exe\" /r /g I1 /l \"%TEMP%\\xasetup.log\" /s");
    ExpectString("DisplayName", "Arvane Agent");
    ExpectNumber("NoModify", 1);
    ExpectNumber("NoRepair", 1);
    ExpectString("InstallLocation", dest_.Path());
    ExpectString("DisplayVersion", "1.2.40000.0");
    ExpectNumber("VersionMajor", 1);
    ExpectNumber("VersionMinor", 2);
    RegistryValue date = Value("InstallDate");
    EXPECT_EQ(DWORD(REG_SZ), date.Type);
    EXPECT_TRUE(date.Data == StringBytes(before) || date.Data == StringBytes(after)) << date.Data;
    EXPECT_EQ(9u, date.Data.size());
    ExpectString("DisplayIcon", dest_.Path() + "\\XASetup.exe");
    ExpectString("Publisher", "Arvane Inc.");
    ExpectString("URLInfoAbout", "http://about");
    ExpectString("Comments", "Remote management");
    ExpectString("Contact", "Support desk");
    ExpectString("HelpLink", "http://help");
    ExpectMissing("Provider");
    ExpectMissing("Company");
}

TEST_F(UninstallEntryTest, VersionValuesOnlyWhenTheAgentVersionCanBeRead)
{
    struct Row {
        const char* Case;
        const char* Fixture;  // null: no AgentCore.exe; "": a file without version information
        const char* Version;  // null: no version values
        DWORD Major, Minor;
    };
    const Row rows[] = {
        {"high major word", "versioned-40000.0.0.0.exe", "40000.0.0.0", 40000, 0},
        {"build and revision", "versioned-1.2.0.5.exe", "1.2.0.5", 1, 2},
        {"no agent program", nullptr, nullptr, 0, 0},
        {"no version information", "", nullptr, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        DeleteMachineTree(kEntry);
        DeleteFileA((dest_ / "AgentCore.exe").c_str());
        if (row.Fixture && *row.Fixture)
            PlaceAgent(row.Fixture);
        else if (row.Fixture)
            WriteWholeFile(dest_ / "AgentCore.exe", "not a program");
        WriteUninstallEntry(installer_.Data, 0);
        if (row.Version) {
            ExpectString("DisplayVersion", row.Version);
            ExpectNumber("VersionMajor", row.Major);
            ExpectNumber("VersionMinor", row.Minor);
        } else {
            ExpectMissing("DisplayVersion");
            ExpectMissing("VersionMajor");
            ExpectMissing("VersionMinor");
        }
        ExpectString("DisplayIcon", dest_.Path() + "\\XASetup.exe");
    }
}

TEST_F(UninstallEntryTest, NullFieldsGiveNoValueAndEmptyOnesAnEmptyValue)
{
    struct Row {
        char* InstallationData::*Field;
        const char* Name;
    };
    const Row rows[] = {
        {&InstallationData::Publisher, "Publisher"}, {&InstallationData::AboutLink, "URLInfoAbout"},
        {&InstallationData::Comments, "Comments"},   {&InstallationData::Contact, "Contact"},
        {&InstallationData::HelpLink, "HelpLink"},
    };
    for (const Row& row : rows)
        ReplaceText(data_.*row.Field, nullptr);
    WriteUninstallEntry(installer_.Data, 0);
    for (const Row& row : rows)
        ExpectMissing(row.Name);

    for (const Row& row : rows)
        ReplaceText(data_.*row.Field, DuplicateText(""));
    WriteUninstallEntry(installer_.Data, 1);
    for (const Row& row : rows)
        ExpectString(row.Name, "");
}

// An update keeps a display name an administrator set, and only such a name.
TEST_F(UninstallEntryTest, UpdateKeepsOnlyANonEmptyStringDisplayName)
{
    struct Row {
        const char* Case;
        int IsUpdate;
        DWORD Type;  // REG_NONE: no DisplayName before
        std::string Before;
        bool Kept;
    };
    const Row rows[] = {
        {"set by an administrator", 1, REG_SZ, StringBytes("Remote Agent (Site 4)"), true},
        {"empty", 1, REG_SZ, StringBytes(""), false},
        {"expandable string", 1, REG_EXPAND_SZ, StringBytes("Remote Agent"), false},
        {"number", 1, REG_DWORD, NumberBytes(5), false},
        {"missing", 1, REG_NONE, "", false},
        {"new installation", 0, REG_SZ, StringBytes("Remote Agent (Site 4)"), false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        DeleteMachineTree(kEntry);
        SetMachineText(kEntry, "UninstallString", "C:\\old\\XASetup.exe /r");
        if (row.Type != REG_NONE)
            SetMachineValue(kEntry, "DisplayName", row.Type, row.Before);
        WriteUninstallEntry(installer_.Data, row.IsUpdate);
        RegistryValue name = Value("DisplayName");
        if (row.Kept) {
            EXPECT_EQ(row.Type, name.Type);
            EXPECT_EQ(row.Before, name.Data);
        } else {
            ExpectString("DisplayName", "Arvane Agent");
        }
        ExpectString("UninstallString",
                     "\"" + dest_.Path() + "\\XASetup.exe\" /r /g I1 /l \"%TEMP%\\xasetup.log\"");
    }
}

// EstimatedSize: the agent folder's files in KiB, subfolders included, the sum rounded up; an
// update writes it again.
TEST_F(UninstallEntryTest, EstimatedSizeIsTheFolderSizeInKiB)
{
    struct Row {
        const char* File;  // under the agent folder
        DWORD Bytes;
        DWORD KiB;         // the whole folder's size after this row
    };
    const Row rows[] = {
        {nullptr, 0, 0},            // empty folder
        {"a.dll", 1, 1},            // a started KiB counts
        {"b.dll", 1023, 1},         // the sum is rounded, not each file
        {"b.dll", 1024, 2},         // replaced: 1 + 1024 bytes
        {"sub\\c.dat", 3072, 5},   // subfolders count
        {"sub\\deep\\d.dat", 10240, 15},
    };
    CreateDirectoryA((dest_ / "sub").c_str(), nullptr);
    CreateDirectoryA((dest_ / "sub\\deep").c_str(), nullptr);
    int isUpdate = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.File ? row.File : "empty");
        if (row.File)
            WriteWholeFile(dest_ / row.File, std::string(row.Bytes, 'x'));
        WriteUninstallEntry(installer_.Data, isUpdate);
        ExpectNumber("EstimatedSize", row.KiB);
        isUpdate = 1;
    }

    // Sizes past 4 GiB are added in 64 bits (a sparse file).
    HANDLE file = CreateFileA((dest_ / "huge.bin").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    LARGE_INTEGER size;
    size.QuadPart = 0x100000000LL;
    bool sized = SetFilePointerEx(file, size, nullptr, FILE_BEGIN) && SetEndOfFile(file);
    CloseHandle(file);
    if (!sized)
        GTEST_SKIP() << "no room for a sparse 4 GiB file";
    WriteUninstallEntry(installer_.Data, 1);
    ExpectNumber("EstimatedSize", 4 * 1024 * 1024 + 15);
    DeleteFileA((dest_ / "huge.bin").c_str());
}

// The removal started from the entry reads the whole id back (tests/setup/CommandLineTest.cpp).
TEST_F(UninstallEntryTest, AnIdWithABlankIsQuoted)
{
    const std::string entry = kUninstallRoot + "\\XAA B";
    DeleteMachineTree(entry);
    ReplaceText(data_.Instance, DuplicateText("A B"));
    WriteUninstallEntry(installer_.Data, 0);
    RegistryValue command = ReadMachineValue(entry, "UninstallString");
    RegistryValue quiet = ReadMachineValue(entry, "QuietUninstallString");
    DeleteMachineTree(entry);
    ASSERT_EQ(DWORD(REG_SZ), command.Type);
    std::string text(command.Data.begin(), command.Data.end() - 1);
    std::string program = "\"" + dest_.Path() + "\\XASetup.exe\" ";
    ASSERT_EQ(program, text.substr(0, program.size()));
    EXPECT_EQ("/r /g \"A B\" /l \"%TEMP%\\xasetup.log\"", text.substr(program.size()));
    ASSERT_EQ(DWORD(REG_SZ), quiet.Type);
    EXPECT_EQ(text + " /s", std::string(quiet.Data.begin(), quiet.Data.end() - 1));
}

TEST_F(UninstallEntryTest, RemovalDeletesOnlyThisInstancesEntry)
{
    WriteUninstallEntry(installer_.Data, 0);
    ASSERT_EQ(DWORD(REG_SZ), Value("QuietUninstallString").Type);
    ASSERT_EQ(DWORD(REG_DWORD), Value("EstimatedSize").Type);
    SetMachineText(kEntry + "\\Extra", "V", "1");
    SetMachineText(kUninstallRoot + "\\XAI2", "DisplayName", "Arvane Agent #2");

    EXPECT_EQ(0, RemoveUninstallEntry(installer_.Data));
    EXPECT_FALSE(MachineKeyExists(kEntry));
    EXPECT_TRUE(MachineKeyExists(kUninstallRoot + "\\XAI2"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RemoveUninstallEntry(installer_.Data));
    DeleteMachineTree(kUninstallRoot + "\\XAI2");
}
