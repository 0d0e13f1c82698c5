// Building the installation data against the prefix's real registry, service manager and files.
// The program runs in a win7 and a win98 prefix; cases for one family skip on the other.
#include <gtest/gtest.h>

#include <regex>

#include <windows.h>

#include <sddl.h>

#include "harness/TestSupport.h"
#include "harness/VirtualClock.h"
#include "setup/BuildInstallationData.h"
#include "setup/InstanceLock.h"
#include "support/AccessControl.h"
#include "support/PathMacros.h"

using namespace xatest;

namespace {

const char kAgentKeyPath[] = "SOFTWARE\\Arvane\\Agent";
const char kRunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";

std::string Text(const char* value)
{
    return value ? value : "<null>";
}

std::string InstanceKey(const std::string& instance)
{
    return std::string(kAgentKeyPath) + "\\" + instance;
}

// Each case starts from a machine without agents.
class InstallationDataTest : public testing::Test {
protected:
    InstallationDataTest() : scratch_("data"), log_(scratch_ / "setup.log") {}

    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }

    static void Clean()
    {
        DeleteMachineTree("SOFTWARE\\Arvane");
        DeleteMachineTree("SYSTEM\\CurrentControlSet\\Services\\ArvaneAgent");
        DeleteMachineValue(kRunServices, "ArvaneAgent");
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager ? OpenServiceA(manager, "ArvaneAgent", DELETE) : nullptr;
        if (service) {
            DeleteService(service);
            CloseServiceHandle(service);
        }
        if (manager)
            CloseServiceHandle(manager);
    }

    // InitInstallationData with the log in the scratch folder.
    int Init(InstallationData& data, const std::string& commandLine)
    {
        return InitInstallationData(&data, (commandLine + " /l " + log_).c_str());
    }

    // The messages of the log, without time stamps.
    // Each message whole, a system text with its line break included.
    std::vector<std::string> Messages() const { return LogMessages(log_); }

    bool Logged(const std::string& message) const
    {
        std::vector<std::string> messages = Messages();
        return std::find(messages.begin(), messages.end(), message) != messages.end();
    }

    // A package file; the reader takes only files that start with an XML declaration.
    std::string WritePackage(const std::string& content)
    {
        std::string path = scratch_ / "Package.xml";
        WriteWholeFile(path, content.rfind("<?xml", 0) == 0 ? content : "<?xml version=\"1.0\"?>" + content);
        return path;
    }

    static std::string Expanded(const std::string& path)
    {
        char buffer[MAX_PATH];
        return ExpandPath(path.c_str(), buffer, sizeof(buffer)) ? buffer : "<failed>";
    }

    ScratchFolder scratch_;
    std::string log_;
};

}  // namespace

TEST_F(InstallationDataTest, DestinationFromBaseOrProgramFiles)
{
    InstallationData base, standard;
    ASSERT_EQ(0, Init(base, "/d C:\\Base /g I1"));
    EXPECT_EQ("C:\\Base\\I1", Text(base.DestFolder));
    // One spelling of the folder, whatever the base looked like: the restart list, the registry
    // and later runs compare it as text. Device paths name no folder that a root can be told of.
    const std::pair<const char*, const char*> kBases[] = {
        {"C:\\", "C:\\I1"},
        {"C:\\\\Base\\\\", "C:\\Base\\I1"},
        {"C:\\Base\\.\\Sub\\..", "C:\\Base\\I1"},
        {"C:/Base/", "C:\\Base\\I1"},
        {"\\\\?\\C:\\Base", "\\\\?\\C:\\Base\\I1"},
        {"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}", nullptr},
        {"\\\\.\\C:", nullptr},
        {"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", nullptr},
    };
    for (const auto& row : kBases) {
        SCOPED_TRACE(row.first);
        InstallationData spelled;
        EXPECT_EQ(row.second ? 0 : -1, Init(spelled, std::string("/g I1 /d ") + row.first));
        EXPECT_EQ(row.second ? row.second : "<null>", Text(spelled.DestFolder));
    }
    ASSERT_EQ(0, Init(standard, "/g I1"));
    EXPECT_EQ(Expanded("%ProgramFiles%\\Arvane\\I1"), Text(standard.DestFolder));
    EXPECT_EQ("Arvane", Text(standard.Company));
    EXPECT_EQ("Arvane", Text(standard.Publisher));
    EXPECT_EQ("Arvane Agent", Text(standard.Title));
    char module[MAX_PATH];
    GetModuleFileNameA(nullptr, module, sizeof(module));
    std::string folder = module;
    EXPECT_EQ(folder.substr(0, folder.rfind('\\')), Text(standard.SrcFolder));
    EXPECT_EQ(IsWin9xKind() ? 1 : 0, standard.IsWin9x);
    EXPECT_TRUE(Logged(IsWin9xKind() ? "OS is Win98 platform." : "OS is WinNT platform."));
}

TEST_F(InstallationDataTest, MissingInvalidAndUnexpandableIdsAndFolders)
{
    InstallationData missing;
    EXPECT_EQ(-1, Init(missing, "/s"));
    EXPECT_TRUE(Logged("Product instance GUID is missing. Setup aborted."));

    for (const char* id : {"..\\..", "\".\"", "..", "C:", "a/b", "a*", "a?", "\"<x\"", "\"x>\"", "\"a|b\"", "\"a\tb\"",
                           "a\x01", "I1.", "%X%", "a%b"}) {
        DeleteFileA(log_.c_str());
        InstallationData data;
        EXPECT_EQ(-1, Init(data, std::string("/g ") + id)) << id;
        EXPECT_TRUE(Logged("Product instance GUID is invalid. Setup aborted.")) << id;
        EXPECT_FALSE(Logged("> Instance = " + Text(data.Instance))) << "no dump for " << id;
    }
    // An empty GUID attribute would name the company folder itself.
    DeleteFileA(log_.c_str());
    InstallationData empty;
    EXPECT_EQ(-1, Init(empty, "/f " + WritePackage("<Package GUID=\"\"/>")));
    EXPECT_EQ("", Text(empty.Instance));
    EXPECT_TRUE(Logged("Product instance GUID is invalid. Setup aborted."));

    DeleteFileA(log_.c_str());
    InstallationData tooLong;
    EXPECT_EQ(-1, Init(tooLong, "/g I1 /d C:\\" + std::string(260, 'd')));
    EXPECT_EQ(nullptr, tooLong.DestFolder);
    std::vector<std::string> messages = Messages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("Invalid destination folder!", messages[messages.size() - 2]);
    EXPECT_EQ("Failed initializing installation data", messages.back());
}

TEST_F(InstallationDataTest, PackageFileFillsOnlyWhatTheCommandLineLeftEmpty)
{
    std::string package = WritePackage(
        "<?xml version=\"1.0\"?>\r\n<Package GUID=\"0123456789ABCDEF0123\" "
        "PartitionId=\"abcdefghijklmnopqrstuvwxyz\">\r\n"
        "  <Company>Other</Company><Comments></Comments><Contact>Someone</Contact>\r\n"
        "  <HelpLink>http://help</HelpLink><Publisher>Pub</Publisher><AboutLink>http://about</AboutLink>\r\n"
        "  <DestFolder>C:\\Pkg</DestFolder><Contact>Second</Contact>\r\n"
        "</Package>\r\n");
    InstallationData fromFile, overridden;
    ASSERT_EQ(0, Init(fromFile, "/f " + package));
    EXPECT_EQ("0123456789ABCDEF0123", Text(fromFile.Instance));
    EXPECT_EQ("abcdefghijklmnopqrstuvwxyz", Text(fromFile.PartitionId));
    EXPECT_EQ("Other", Text(fromFile.Company));
    EXPECT_EQ("Other Agent", Text(fromFile.Title));
    EXPECT_EQ(nullptr, fromFile.Comments) << "an empty element counts as absent";
    EXPECT_EQ("Someone", Text(fromFile.Contact)) << "the first element of a name counts";
    EXPECT_EQ("http://help", Text(fromFile.HelpLink));
    EXPECT_EQ("Pub", Text(fromFile.Publisher));
    EXPECT_EQ("http://about", Text(fromFile.AboutLink));
    EXPECT_EQ("C:\\Pkg\\0123456789ABCDEF0123", Text(fromFile.DestFolder));

    ASSERT_EQ(0, Init(overridden, "/g I1 /o Acme /v P1 /f " + package));
    EXPECT_EQ("I1", Text(overridden.Instance));
    EXPECT_EQ("Acme", Text(overridden.Company));
    EXPECT_EQ("P1", Text(overridden.PartitionId));

    // Another root element leaves the command line alone.
    InstallationData otherRoot;
    ASSERT_EQ(0, Init(otherRoot, "/g I1 /f " + WritePackage("<Packages GUID=\"X\"><Company>C</Company></Packages>")));
    EXPECT_EQ("Arvane", Text(otherRoot.Company));
}

// A command line with a mistake in it: what the run does (its result), and the line that tells
// the administrator why.
TEST_F(InstallationDataTest, MistakesInTheCommandLineAreToldNotGuessed)
{
    const std::string missing = scratch_ / "missing.xml";
    const std::string missingFolder = scratch_ / "missing\\Package.xml";
    struct Row {
        std::string CommandLine;
        int Result;
        std::string Line;
    } rows[] = {
        {"/G I1 /S", 0, "> IsSilent = Yes"},
        {"/g I1 /z /silently -Q /", 0, "Unknown option \"/z\" is ignored."},
        {"/g I1 /z /silently -Q /", 0, "Unknown option \"-Q\" is ignored."},
        {"/g I1 /z /silently -Q /", 0, "Unknown option \"/\" is ignored."},
        {"/g BRANCH-OFFICE-NORTH-EAST-1", -1, "Product instance GUID is longer than 20 characters. Setup aborted."},
        {"/f " + WritePackage("<Package GUID=\"BRANCH-OFFICE-NORTH-WEST-2\"/>"), -1,
         "Product instance GUID is longer than 20 characters. Setup aborted."},
        {"/g I1 /v abcdefghijklmnopqrstuvwxyz0", -1, "Partition ID is longer than 26 characters. Setup aborted."},
        {"/g I1 /f " + missing, ERROR_FILE_NOT_FOUND,
         "Package file \"" + missing + "\" cannot be read. " + SystemMessage(ERROR_FILE_NOT_FOUND)},
        // A folder that is not there either: the manual's exit-code table names both codes.
        {"/g I1 /f " + missingFolder, ERROR_PATH_NOT_FOUND,
         "Package file \"" + missingFolder + "\" cannot be read. " + SystemMessage(ERROR_PATH_NOT_FOUND)},
        // A value option followed by an option: neither guess (the word as the value, or the
        // option without one) is what was meant.
        {"/g I1 /v /VERYSILENT", -1, "Option /v needs a value; \"/VERYSILENT\" is an option. Setup aborted."},
        {"-G -s /d -x", -1, "Option /G needs a value; \"-s\" is an option. Setup aborted."},
        {"/g I1 /o /z", -1, "Option /o needs a value; \"/z\" is an option. Setup aborted."},
        {"/g I1 /m -5% /c /", 0, "> Comments = -5%"},
        {"/g I1 /m -5% /c /", 0, "> Contact = /"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.CommandLine);
        DeleteFileA(log_.c_str());
        InstallationData data;
        EXPECT_EQ(row.Result, InitInstallationData(&data, (row.CommandLine + " /l " + log_).c_str()));
        EXPECT_TRUE(Logged(row.Line));
        EXPECT_FALSE(Logged("Unknown option \"/silently\" is ignored.")) << "it is /s";
    }

    // The log asked for is written, in folders made for it.
    std::string deep = scratch_ / "new\\deeper\\setup.log";
    InstallationData logged;
    ASSERT_EQ(0, InitInstallationData(&logged, ("/g I1 /l " + deep).c_str()));
    std::vector<std::string> lines = SplitLines(ReadWholeFile(deep));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_NE(std::string::npos, lines[1].find("]: Agent setup started!"));
}

// A log that was asked for must be written: when it cannot be (a folder in its place, a path
// that does not fit), the run ends with 1622 before it reads or locks anything.
TEST_F(InstallationDataTest, ALogThatCannotBeWrittenEndsTheRun)
{
    const std::string tooLong = "C:\\" + std::string(300, 'l') + ".log";
    // The last /l counts, also when an earlier one named a log that could be written. A path that
    // only its folder macros make too long is no log either, though its text would name a file.
    std::string macros;
    for (int i = 0; i < 14; ++i)
        macros += "%SystemDir%";
    for (const std::string& path : {scratch_.Path(), tooLong, log_ + " /l " + tooLong, scratch_ / (macros + ".log")}) {
        SCOPED_TRACE(path);
        InstallationData data;
        EXPECT_EQ(ERROR_INSTALL_LOG_FAILURE, InitInstallationData(&data, ("/g I1 /l " + path).c_str()));
        EXPECT_EQ(nullptr, data.SrcFolder) << "nothing read after the refusal";
    }
    InstallationData written;
    EXPECT_EQ(0, Init(written, "/g I1"));
    EXPECT_TRUE(Logged("Agent setup started!"));
}

TEST_F(InstallationDataTest, RegisteredInstanceOverridesTheCommandLine)
{
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Title", "Registered Agent"));
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", "C:\\Registered\\I1"));
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Provider", "RegCorp"));
    ASSERT_TRUE(SetMachineNumber(InstanceKey("I1"), "NoShortCut", 0));
    ASSERT_TRUE(SetMachineNumber(InstanceKey("I1"), "NoAddRemove", 1));

    InstallationData update;
    ASSERT_EQ(0, Init(update, "/g I1 /d C:\\Other /o CmdCorp /j"));
    EXPECT_EQ("Registered Agent", Text(update.Title));
    EXPECT_EQ("C:\\Registered\\I1", Text(update.DestFolder));
    EXPECT_EQ("RegCorp", Text(update.Company));
    EXPECT_EQ(0, update.bNoShortcut) << "NoShortCut 0 clears /j";
    EXPECT_EQ(1, update.bNoAddRemove);
    EXPECT_EQ(1, update.IsModify);
    EXPECT_EQ(0, update.IsRemove);

    InstallationData removal;
    ASSERT_EQ(0, Init(removal, "/g I1 /r"));
    EXPECT_EQ(0, removal.IsModify);
    EXPECT_EQ(1, removal.IsRemove);

    // A folder an earlier version wrote with a doubled or trailing separator is taken as one
    // spelling.
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", "C:\\\\Registered\\I1\\"));
    InstallationData spelled;
    ASSERT_EQ(0, Init(spelled, "/g I1"));
    EXPECT_EQ("C:\\Registered\\I1", Text(spelled.DestFolder));

    // Values of the wrong type or size do not count.
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "NoAddRemove", "1"));
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", "C:\\NotUsed", REG_BINARY));
    InstallationData wrongTypes;
    ASSERT_EQ(0, Init(wrongTypes, "/g I1 /d C:\\Other"));
    EXPECT_EQ(0, wrongTypes.bNoAddRemove);
    EXPECT_EQ("C:\\Other\\I1", Text(wrongTypes.DestFolder));
}

TEST_F(InstallationDataTest, NewTitlesAreNumberedAfterTheHighestInUse)
{
    ASSERT_TRUE(SetMachineText(InstanceKey("A"), "Title", "Acme Agent"));
    ASSERT_TRUE(SetMachineText(InstanceKey("B"), "Title", "Acme Agent #3"));
    ASSERT_TRUE(SetMachineText(InstanceKey("C"), "Title", "Other Agent #9"));
    InstallationData fourth;
    ASSERT_EQ(0, Init(fourth, "/g NEW /o Acme"));
    EXPECT_EQ("Acme Agent #4", Text(fourth.Title));

    Clean();
    ASSERT_TRUE(SetMachineText(InstanceKey("A"), "Title", "acme agent"));
    ASSERT_TRUE(SetMachineText(InstanceKey("B"), "Title", "Acme Agent Pro", REG_EXPAND_SZ));  // only REG_SZ counts
    InstallationData second;
    ASSERT_EQ(0, Init(second, "/g NEW /o Acme"));
    EXPECT_EQ("Acme Agent #2", Text(second.Title));

    Clean();
    ASSERT_TRUE(SetMachineText("SYSTEM\\CurrentControlSet\\Services\\ArvaneAgent", "DisplayName", "ACME AGENT (legacy)"));
    InstallationData afterLegacy;
    ASSERT_EQ(0, Init(afterLegacy, "/g NEW /o Acme"));
    EXPECT_EQ("Acme Agent #2", Text(afterLegacy.Title));

    Clean();
    InstallationData first;
    ASSERT_EQ(0, Init(first, "/g NEW /o Acme"));
    EXPECT_EQ("Acme Agent", Text(first.Title));

    // The numbers end at the largest; past it the title stays plain rather than wrapping.
    const std::pair<const char*, const char*> largest[] = {
        {"Acme Agent #2147483646", "Acme Agent #2147483647"},
        {"Acme Agent #2147483647", "Acme Agent"},
        {"Acme Agent #99999999999", "Acme Agent"},
        {"Acme Agent #-7", "Acme Agent"},
    };
    for (const auto& row : largest) {
        Clean();
        ASSERT_TRUE(SetMachineText(InstanceKey("A"), "Title", row.first));
        InstallationData numbered;
        ASSERT_EQ(0, Init(numbered, "/g NEW /o Acme"));
        EXPECT_EQ(row.second, Text(numbered.Title)) << row.first;
    }
}

TEST_F(InstallationDataTest, WorkingFolderFromTheAgentsConfigurationFile)
{
    char systemFolders[2][MAX_PATH];
    ASSERT_NE(0u, GetWindowsDirectoryA(systemFolders[0], MAX_PATH));
    ASSERT_NE(0u, GetSystemDirectoryA(systemFolders[1], MAX_PATH));
    const std::string windows = systemFolders[0];
    const char* const kUsable = "<usable>";
    // A link (Windows 9x has none) as the folder or on the way to it.
    const std::string linked = scratch_ / "LinkedWork";
    if (!IsWin9xKind()) {
        ASSERT_TRUE(CreateDirectoryA((scratch_ / "Elsewhere").c_str(), nullptr));
        ASSERT_TRUE(LinkFolder(scratch_ / "Elsewhere", linked));
    }
    // The value read, and the folder taken from it: a folder that is blank, not absolute, a
    // root or one that removal refuses is no working folder.
    struct Row {
        std::string Content;
        std::string Value;
        std::string Expected;
    } rows[] = {
        {"[Agent]\r\nAgent_Temp_Dir   C:\\work\\dir\r\nOther=1\r\n", "C:\\work\\dir", kUsable},
        {"agent_temp_dir C:\\lower\r\nAgent_Temp_Dir \t C:\\tab\nnext", "C:\\tab", kUsable},
        {"Agent_Temp_Dir C:\\" + std::string(300, 'w'), "C:\\" + std::string(256, 'w'), kUsable},
        {"Agent_Temp_Dir \\\\server\\share\\work", "\\\\server\\share\\work", kUsable},
        {std::string("Agent_Temp_Dir C:\\before\0after\r\n", 32), "C:\\before", kUsable},
        {"[Agent]\r\nAgent_Temp_Dir", "", "<null>"},
        {"Agent_Temp_Dir\r\n", "", "<null>"},
        {"Agent_Temp_Dir \t \r\n", "", "<null>"},
        {"Agent_Temp_Dir=C:\\x", "=C:\\x", "<null>"},
        {"Agent_Temp_Dir " + std::string(300, 'w'), std::string(259, 'w'), "<null>"},
        {"Agent_Temp_Dir Work", "Work", "<null>"},
        {"Agent_Temp_Dir \\Work", "\\Work", "<null>"},
        {"Agent_Temp_Dir C:Work", "C:Work", "<null>"},
        {"Agent_Temp_Dir C:\\", "C:\\", "<null>"},
        {"Agent_Temp_Dir \\\\server\\share\\", "\\\\server\\share\\", "<null>"},
        {"Agent_Temp_Dir \\\\server\\", "\\\\server\\", "<null>"},
        {"Agent_Temp_Dir " + windows, windows, "<null>"},
        {"Agent_Temp_Dir " + windows + "\\..", windows + "\\..", "<null>"},
        {"Agent_Temp_Dir " + std::string(systemFolders[1]), systemFolders[1], "<null>"},
        {"nothing here", "", "<null>"},
        {"Agent_Temp_Dir " + linked, linked, IsWin9xKind() ? kUsable : "<null>"},
        {"Agent_Temp_Dir " + linked + "\\work", linked + "\\work", IsWin9xKind() ? kUsable : "<null>"},
    };
    std::string folder = scratch_ / "I1";
    CreateDirectoryA(folder.c_str(), nullptr);
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", folder));
    for (const Row& row : rows) {
        WriteWholeFile(folder + "\\ArvaneD.ini", row.Content);
        InstallationData data;
        size_t before = Messages().size();
        ASSERT_EQ(0, Init(data, "/g I1"));
        bool usable = row.Expected == kUsable;
        EXPECT_EQ(usable ? row.Value : row.Expected, Text(data.AgentWorkingFolder)) << row.Content;
        std::vector<std::string> messages = Messages();
        bool refused = std::find(messages.begin() + before, messages.end(),
                                 "Agent working folder \"" + row.Value + "\" is not usable; its files are left alone.") !=
                       messages.end();
        EXPECT_EQ(!usable && row.Content != "nothing here", refused) << row.Content;
        EXPECT_TRUE(std::find(messages.begin() + before, messages.end(), "> AgentWorkingFolder = " +
                              (usable ? row.Value : std::string())) != messages.end()) << row.Content;
    }

    // Only updates and removals read it.
    Clean();
    InstallationData fresh;
    ASSERT_EQ(0, Init(fresh, "/g I1 /d " + scratch_.Path()));
    EXPECT_EQ(folder, Text(fresh.DestFolder));
    EXPECT_EQ(nullptr, fresh.AgentWorkingFolder);
}

TEST_F(InstallationDataTest, NothingIsLoggedWithoutTheLogOption)
{
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    InstallationData good, bad;
    EXPECT_EQ(0, InitInstallationData(&good, "/g I1 /d C:\\Base"));
    EXPECT_EQ(-1, InitInstallationData(&bad, "/s"));
    EXPECT_FALSE(FileExistsAt(std::string(temp) + "XASetup.log"));
    EXPECT_FALSE(FileExistsAt(log_));
    EXPECT_EQ(nullptr, good.Log.Mutex);
}

TEST_F(InstallationDataTest, LegacyServiceIsTakenOverOrUpdatedInPlace)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "services exist on Windows NT only";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(nullptr, manager);
    SC_HANDLE service = CreateServiceA(manager, "ArvaneAgent", "Arvane Agent", SERVICE_ALL_ACCESS,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                                       "\"C:\\Legacy Agent\\Bin\\AgentCore.exe\" -service", nullptr, nullptr,
                                       nullptr, nullptr, nullptr);
    ASSERT_NE(nullptr, service) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);

    InstallationData takeOver;
    ASSERT_EQ(0, Init(takeOver, "/g I1 /u"));
    EXPECT_EQ(1, takeOver.LegacyAgentExists);
    EXPECT_EQ(1, takeOver.UpdateLegacyAgent);
    EXPECT_EQ(1, takeOver.IsModify);
    EXPECT_EQ("C:\\Legacy Agent\\Bin", Text(takeOver.DestFolder));

    InstallationData notAsked;
    ASSERT_EQ(0, Init(notAsked, "/g I1"));
    EXPECT_EQ(1, notAsked.LegacyAgentExists);
    EXPECT_EQ(0, notAsked.UpdateLegacyAgent);
    EXPECT_EQ(0, notAsked.IsModify);
    EXPECT_EQ("Arvane Agent #2", Text(notAsked.Title)) << "the legacy service's display name is in use";

    // An instance key whose folder is the legacy agent's (any case): updated in place.
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", "c:\\legacy agent\\BIN"));
    InstallationData inPlace;
    ASSERT_EQ(0, Init(inPlace, "/g I1 /u"));
    EXPECT_EQ(1, inPlace.UpdateLegacyAgent);
    EXPECT_EQ(1, inPlace.IsModify);
    EXPECT_EQ("c:\\legacy agent\\BIN", Text(inPlace.DestFolder));

    // Elsewhere: a plain update; and a removal never takes over.
    ASSERT_TRUE(SetMachineText(InstanceKey("I1"), "Path", "C:\\Elsewhere"));
    InstallationData elsewhere, removal;
    ASSERT_EQ(0, Init(elsewhere, "/g I1 /u"));
    EXPECT_EQ(0, elsewhere.UpdateLegacyAgent);
    EXPECT_EQ(1, elsewhere.IsModify);
    ASSERT_EQ(0, Init(removal, "/g OTHER /u /r"));
    EXPECT_EQ(0, removal.UpdateLegacyAgent);
    EXPECT_EQ(0, removal.IsModify);
}

TEST_F(InstallationDataTest, LegacyRunServicesValueOnWindows9x)
{
    if (!IsWin9xKind())
        GTEST_SKIP() << "the RunServices registration is the Windows 9x form";
    ASSERT_TRUE(SetMachineText(kRunServices, "ArvaneAgent", "C:\\LEGACY98\\AGENTCORE.EXE"));
    InstallationData data;
    ASSERT_EQ(0, Init(data, "/g I1 /u"));
    EXPECT_EQ(1, data.IsWin9x);
    EXPECT_EQ(1, data.LegacyAgentExists);
    EXPECT_EQ(1, data.UpdateLegacyAgent);
    EXPECT_EQ(1, data.IsModify);
    EXPECT_EQ("C:\\LEGACY98", Text(data.DestFolder));

    char* folder = nullptr;
    EXPECT_TRUE(GetLegacyAgentFolder(&data, &folder));
    EXPECT_EQ("C:\\LEGACY98", Text(folder));
    FreeText(folder);
}

TEST_F(InstallationDataTest, DumpOfARepresentativeRun)
{
    InstallationData data;
    ASSERT_EQ(0, Init(data, "/g I1 /s /e /d C:\\Agents /m \"A comment\" /v PART1"));
    char user[256] = "";
    DWORD userSize = sizeof(user);
    ASSERT_TRUE(GetUserNameA(user, &userSize));
    std::vector<std::string> expected = {
        std::string(64, '='),
        "Agent setup started!",
        "Command line parsing completed. Result: Succeeded",
        "Command line: /g I1 /s /e /d C:\\Agents /m \"A comment\" /v PART1 /l " + log_,
        "<account>",
        IsWin9xKind() ? "OS is Win98 platform." : "OS is WinNT platform.",
        "<os name>",
        "> Instance = I1",
        "> Partition ID = PART1",
        "> SrcFolder = " + Text(data.SrcFolder),
        "> DestFolder = C:\\Agents\\I1",
        "> IsSilent = Yes",
        "> IsRemove = No",
        "> UpdateLegacyAgent = No",
        "> RunProgram = Yes",
        "> NoInteract = No",
        "> ShowProgress = No",
        "> IsModify = No",
        "> bNoDriver = No",
        "> Company = Arvane",
        "> Comments = A comment",
        "> Contact = ",
        "> HelpLink = ",
        "> Publisher = Arvane",
        "> AboutLink = ",
        "> Title = Arvane Agent",
        "> DestRegKey = SOFTWARE\\Arvane\\Agent\\I1",
        "> AgentWorkingFolder = ",
        "> LegacyAgentExists = No",
        "> RunAsTemp = No",
        "> bNoShortcut = No",
        "> bNoAddRemove = No",
        "> bDontStartAgent = No",
    };
    std::vector<std::string> messages = Messages();
    ASSERT_EQ(expected.size(), messages.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        if (expected[i] == "<os name>")
            EXPECT_TRUE(std::regex_match(messages[i], std::regex("OS is Windows .+\\.|Failed to retrieve OS name\\.")))
                << messages[i];
        else if (expected[i] == "<account>")
            // The domain (or the computer) and the name of the account the process runs as.
            EXPECT_TRUE(messages[i].size() > 10 && messages[i].compare(0, 9, "Account: ") == 0 &&
                        messages[i].find('\\') != std::string::npos &&
                        messages[i].substr(messages[i].find('\\') + 1) == user)
                << messages[i];
        else
            EXPECT_EQ(expected[i], messages[i]) << "line " << i;
    }
}

namespace {

// Holds a named mutex as another setup process does, on a thread of its own: a mutex belongs to
// the thread that took it, so this thread's waits on it time out.
class MutexHolder {
public:
    // With a descriptor (SDDL), the mutex is made with it as a user of the machine could.
    explicit MutexHolder(const std::string& name, const std::string& descriptor = "") : name_(name), sddl_(descriptor)
    {
        held_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        release_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        thread_ = CreateThread(nullptr, 0, Hold, this, 0, nullptr);
        holding_ = thread_ && WaitForSingleObject(held_, 10000) == WAIT_OBJECT_0 && taken_;
    }
    ~MutexHolder()
    {
        SetEvent(release_);
        if (thread_) {
            WaitForSingleObject(thread_, 10000);
            CloseHandle(thread_);
        }
        CloseHandle(held_);
        CloseHandle(release_);
    }
    bool Holding() const { return holding_; }

private:
    static DWORD WINAPI Hold(void* parameter)
    {
        MutexHolder* self = static_cast<MutexHolder*>(parameter);
        bool foreign = false;
        PSECURITY_DESCRIPTOR descriptor = nullptr;
        HANDLE mutex = nullptr;
        if (self->sddl_.empty()) {
            mutex = CreateProtectedMutex(self->name_.c_str(), &foreign);
        } else if (ConvertStringSecurityDescriptorToSecurityDescriptorA(self->sddl_.c_str(), SDDL_REVISION_1,
                                                                        &descriptor, nullptr)) {
            SECURITY_ATTRIBUTES attributes = {sizeof(attributes), descriptor, FALSE};
            mutex = CreateMutexA(&attributes, FALSE, self->name_.c_str());
            LocalFree(descriptor);
        }
        self->taken_ = mutex && WaitForSingleObject(mutex, 0) == WAIT_OBJECT_0;
        SetEvent(self->held_);
        WaitForSingleObject(self->release_, INFINITE);
        if (self->taken_)
            ReleaseMutex(mutex);
        if (mutex)
            CloseHandle(mutex);
        return 0;
    }
    std::string name_;
    std::string sddl_;
    HANDLE held_ = nullptr;
    HANDLE release_ = nullptr;
    HANDLE thread_ = nullptr;
    bool taken_ = false;
    bool holding_ = false;
};

// The run's instance lock comes before its first line and before the machine is read: while
// another run holds it nothing is logged, and after a minute the run ends with 1618, logging
// only its start and why. Once the lock is free it is the run's, and the lines follow.
TEST_F(InstallationDataTest, InstanceLockComesBeforeTheFirstLine)
{
    VirtualClock clock;
    std::string name = std::string(IsWin9xKind() || IsNt4Kind() ? "" : "Global\\") + "ArvaneSetup_i1";
    std::string commandLine = "/g I1 /s /l " + log_;
    {
        MutexHolder otherRun(name);
        ASSERT_TRUE(otherRun.Holding());
        bool loggedWhileWaiting = false;
        // The log may be there (its file is opened once to see that it can be written), but empty.
        clock.OnSleep = [&](DWORD) { loggedWhileWaiting = loggedWhileWaiting || !ReadWholeFile(log_).empty(); };
        InstallationData data;
        HANDLE lock = nullptr;
        EXPECT_EQ(ERROR_INSTALL_ALREADY_RUNNING, InitInstallationData(&data, commandLine.c_str(), &lock));
        clock.OnSleep = nullptr;
        EXPECT_FALSE(loggedWhileWaiting);
        EXPECT_GE(clock.Elapsed(), (DWORD)kInstanceLockWaitMs);
        EXPECT_EQ(nullptr, lock);
        std::vector<std::string> messages = Messages();
        ASSERT_EQ(6u, messages.size());
        EXPECT_EQ("Command line: " + commandLine, messages[3]);
        messages.erase(messages.begin() + 3, messages.begin() + 5);  // the command line and the account
        EXPECT_EQ((std::vector<std::string>{std::string(64, '='), "Agent setup started!",
                                            "Command line parsing completed. Result: Succeeded",
                                            "Another setup of this agent instance is running."}),
                  messages);
    }
    DeleteFileA(log_.c_str());
    InstallationData data;
    HANDLE lock = nullptr;
    EXPECT_EQ(0, InitInstallationData(&data, commandLine.c_str(), &lock));
    EXPECT_NE(nullptr, lock);
    EXPECT_EQ("Agent setup started!", Messages().at(1));
    EXPECT_TRUE(Logged("> Instance = I1"));
    {
        MutexHolder otherRun(name);
        EXPECT_FALSE(otherRun.Holding()) << "the lock is not the run's";
    }
    ReleaseInstanceLock(&lock);

    // Letters beyond ASCII fold as the instance's key and folder do: one instance, one lock.
    MutexHolder otherCase(name.substr(0, name.size() - 2) + "b\xFCro");
    ASSERT_TRUE(otherCase.Holding());
    InstallationData upper;
    EXPECT_EQ(ERROR_INSTALL_ALREADY_RUNNING, InitInstallationData(&upper, "/g B\xDCRO /s", &lock));

    // A lock with the right list that a user made and keeps is not honoured: the run goes on
    // without one, at once.
    if (!IsWin9xKind()) {
        MutexHolder squatter(name.substr(0, name.size() - 2) + "i2", "O:S-1-5-21-1-2-3-1001D:P(A;;GA;;;SY)(A;;GA;;;BA)");
        ASSERT_TRUE(squatter.Holding());
        InstallationData squatted;
        DWORD before = clock.Elapsed();
        EXPECT_EQ(0, InitInstallationData(&squatted, "/g I2 /s", &lock));
        EXPECT_EQ(nullptr, lock);
        EXPECT_EQ(before, clock.Elapsed());
    }
}

}  // namespace
