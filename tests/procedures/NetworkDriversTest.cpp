// Driver ownership and the driver files, for real in the prefix's registry and folders: 32-bit
// Windows NT, Windows 98 and 64-bit Windows (WOW64 redirection included, checked on disk).
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "harness/FailingCalls.h"
#include "harness/TestSupport.h"
#include "network/DriverOwner.h"
#include "network/FakeCatalog.h"
#include "procedures/NetworkDrivers.h"
#include "procedures/ProcedureFixture.h"
#include "support/AgentNames.h"
#include "support/FolderRedirection.h"
#include "support/WindowsVersion.h"

using namespace xatest;

namespace {

bool Is64BitKind()
{
    return WineKind().rfind("win64-", 0) == 0;
}

std::string DriverOwner()
{
    return ReadMachineString(kAgentKey, kDriverControlValue);
}

void SetDriverOwner(const std::string& owner)
{
    if (owner.empty())
        SetDriverControl(nullptr);
    else
        ASSERT_EQ(0, SetDriverControl(owner.c_str()));
}

// A path inside the prefix, reached through its Unix location (drive Z:), past any redirection:
// what is really on disk. relative is like "windows\\system32\\drivers\\XAPFA.sys".
std::string OnDisk(const std::string& relative)
{
    const char* prefix = std::getenv("WINEPREFIX");
    std::string path = std::string("Z:") + (prefix ? prefix : "/no-prefix") + "/drive_c/" + relative;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Where each driver file ends up on this kind of system, as paths on disk.
struct Targets {
    std::string Filter;    // the filter driver (empty on Windows 98)
    std::string Virtual;   // the 9x virtual device driver (empty elsewhere)
    std::string Provider;  // the provider library
};

Targets ExpectedTargets()
{
    std::string system = SystemFolder();
    if (IsWin9xKind())
        return {"", system + "\\ArvaneD.VXD", system + "\\ArvaneSP.dll"};
    if (Is64BitKind())
        return {OnDisk("windows\\system32\\drivers\\XAPFA.sys"), "", OnDisk("windows\\syswow64\\ArvaneSP.dll")};
    return {system + "\\drivers\\XAPFA.sys", "", system + "\\ArvaneSP.dll"};
}

// Every place a driver file could be left in.
std::vector<std::string> AllTargets()
{
    std::string system = SystemFolder();
    std::vector<std::string> targets = {system + "\\drivers\\XAPFA.sys", system + "\\drivers\\XAPFA64.sys",
                                        system + "\\ArvaneD.VXD", system + "\\ArvaneSP.dll"};
    if (Is64BitKind()) {
        for (const char* native : {"drivers\\XAPFA.sys", "drivers\\XAPFA64.sys", "ArvaneD.VXD", "ArvaneSP.dll"})
            targets.push_back(OnDisk(std::string("windows\\system32\\") + native));
    }
    return targets;
}

class DriversTest : public testing::Test {
protected:
    DriversTest() : log_("drivers"), data_(log_.Data())
    {
        log_.SetInstance("I1");
        data_.DestFolder = DuplicateText(log_.Scratch().Path().c_str());
        std::string drivers = log_.Scratch() / "Drivers";
        CreateDirectoryA(drivers.c_str(), nullptr);
        WriteWholeFile(drivers + "\\XAPFA.sys", "filter driver, 32-bit");
        WriteWholeFile(drivers + "\\XAPFA64.sys", "filter driver, x64");
        WriteWholeFile(drivers + "\\ArvaneD.VXD", "virtual device driver");
        WriteWholeFile(drivers + "\\ArvaneSP.dll", "layered provider");
    }

    void SetUp() override
    {
        ASSERT_TRUE(CreateMachineKey(std::string(kAgentKey) + "\\I1"));
        ASSERT_TRUE(CreateMachineKey(std::string(kAgentKey) + "\\I2"));
    }

    void TearDown() override
    {
        SetFolderRedirectionFunctions(nullptr);
        for (const std::string& target : AllTargets())
            DeleteFileA(target.c_str());
        DeleteMachineTree(kAgentKey);
    }

    // The messages of the log so far, then the log is emptied.
    std::vector<std::string> TakeMessages()
    {
        std::vector<std::string> messages = log_.Messages();
        log_.ClearLog();
        return messages;
    }

    static bool Contains(const std::vector<std::string>& messages, const std::string& text)
    {
        for (const std::string& message : messages)
            if (message == text)
                return true;
        return false;
    }

    static bool StartsWithAny(const std::vector<std::string>& messages, const std::string& prefix)
    {
        for (const std::string& message : messages)
            if (message.rfind(prefix, 0) == 0)
                return true;
        return false;
    }

    // Puts the driver files where an installation leaves them.
    void PlaceDriverFiles()
    {
        Targets targets = ExpectedTargets();
        for (const std::string& path : {targets.Filter, targets.Virtual, targets.Provider})
            if (!path.empty()) {
                ASSERT_TRUE(WriteWholeFile(path, "installed")) << path;
            }
    }

    bool AllDriverFilesPresent()
    {
        Targets targets = ExpectedTargets();
        bool present = FileExistsAt(targets.Provider);
        if (!targets.Filter.empty())
            present = present && FileExistsAt(targets.Filter);
        if (!targets.Virtual.empty())
            present = present && FileExistsAt(targets.Virtual);
        return present;
    }

    bool AnyDriverFilePresent()
    {
        for (const std::string& target : AllTargets())
            if (FileExistsAt(target))
                return true;
        return false;
    }

    LoggedData log_;
    InstallationData& data_;
};

}  // namespace

TEST_F(DriversTest, CleanMachineInstallsAndTheOwnerRemovesAgain)
{
    ASSERT_NE(nullptr, std::getenv("WINEPREFIX")) << "the prefix is known";
    InstallDrivers(&data_);

    std::vector<std::string> messages = TakeMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("Agent installs drivers: Unknown.", messages[0]);
    EXPECT_EQ("Installing drivers...", messages[1]);
    EXPECT_EQ("I1", DriverOwner());
    EXPECT_EQ(SystemFolder() + "\\ArvaneSP.dll", ReadMachineString(std::string(kAgentKey) + "\\I1", kLspLibraryValue));

    Targets targets = ExpectedTargets();
    EXPECT_EQ("layered provider", ReadWholeFile(targets.Provider));
    if (!targets.Filter.empty()) {
        EXPECT_EQ(Is64BitKind() ? "filter driver, x64" : "filter driver, 32-bit", ReadWholeFile(targets.Filter));
    }
    if (!targets.Virtual.empty()) {
        EXPECT_EQ("virtual device driver", ReadWholeFile(targets.Virtual));
    }
    if (Is64BitKind()) {
        // The library is where the recorded path leads a 32-bit program, and nowhere else.
        EXPECT_EQ("layered provider", ReadWholeFile(SystemFolder() + "\\ArvaneSP.dll"));
        EXPECT_FALSE(FileExistsAt(OnDisk("windows\\system32\\ArvaneSP.dll")));
        EXPECT_FALSE(FileExistsAt(OnDisk("windows\\system32\\drivers\\XAPFA64.sys")));
    }
    if (IsWin9xKind()) {
        EXPECT_FALSE(FileExistsAt(SystemFolder() + "\\drivers\\XAPFA.sys"));
    }

    data_.IsRemove = 1;
    RemoveDrivers(&data_);
    messages = TakeMessages();
    ASSERT_GE(messages.size(), 2u);
    EXPECT_EQ("Agent owns drivers: I1", messages[0]);
    EXPECT_EQ("Removing drivers...", messages[1]);
    EXPECT_EQ("<missing>", DriverOwner());
    EXPECT_FALSE(AnyDriverFilePresent());
    EXPECT_FALSE(Contains(messages, "Failed to uninstall network layer driver."));
}

TEST_F(DriversTest, OwnershipDecidesTheInstallation)
{
    struct Row {
        int IsModify, LegacyAgentExists, UpdateLegacyAgent;
        const char* Owner;  // before ("" for no value)
        bool Installs;
        const char* OwnerAfter;
    };
    const Row rows[] = {
        {0, 0, 0, "", true, "I1"},
        {0, 1, 0, "", false, "Legacy"},
        {0, 0, 0, "Legacy", true, "I1"},
        {0, 0, 0, "LEGACY", true, "I1"},
        {0, 1, 0, "Legacy", false, "Legacy"},
        {0, 0, 0, "I2", false, "I2"},
        {0, 0, 0, "I1", false, "I1"},  // a new installation never takes them, even by its own name
        {1, 0, 0, "", true, "I1"},
        {1, 0, 0, "I1", true, "I1"},
        {1, 0, 0, "i1", true, "I1"},
        {1, 1, 1, "Legacy", true, "I1"},
        {1, 0, 0, "Legacy", true, "I1"},
        {1, 1, 0, "Legacy", false, "Legacy"},
        {1, 0, 0, "I2", false, "I2"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("IsModify ") + std::to_string(row.IsModify) + ", legacy " +
                     std::to_string(row.LegacyAgentExists) + ", update legacy " +
                     std::to_string(row.UpdateLegacyAgent) + ", owner \"" + row.Owner + "\"");
        ASSERT_TRUE(CreateMachineKey(kAgentKey));
        SetDriverOwner(row.Owner);
        data_.IsModify = row.IsModify;
        data_.LegacyAgentExists = row.LegacyAgentExists;
        data_.UpdateLegacyAgent = row.UpdateLegacyAgent;

        InstallDrivers(&data_);

        std::vector<std::string> messages = TakeMessages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(std::string("Agent installs drivers: ") + (*row.Owner ? row.Owner : "Unknown") + ".", messages[0]);
        EXPECT_EQ(!row.Installs,
                  Contains(messages, "Other agent has installed the drivers. Driver installation is skipped."));
        EXPECT_EQ(row.Installs, Contains(messages, "Installing drivers..."));
        EXPECT_EQ(row.Installs, AllDriverFilesPresent());
        EXPECT_EQ(row.Installs, AnyDriverFilePresent());
        EXPECT_EQ(row.OwnerAfter, DriverOwner());
        std::string recorded = ReadMachineString(std::string(kAgentKey) + "\\I1", kLspLibraryValue);
        EXPECT_EQ(row.Installs ? SystemFolder() + "\\ArvaneSP.dll" : "<missing>", recorded);
        TearDown();
        SetUp();
    }
}

// An owner that cannot be read (the first registry open fails) may be anybody: no run takes the
// drivers or removes them then, and the run's result is the error.
TEST_F(DriversTest, AnOwnerThatCannotBeReadKeepsEveryonesDrivers)
{
    for (const char* owner : {"I2", "I1"}) {
        bool removal = std::string(owner) == "I1";
        SCOPED_TRACE(removal ? "the owner's removal" : "another's drivers, a new installation");
        ASSERT_TRUE(CreateMachineKey(kAgentKey));
        SetDriverOwner(owner);
        ASSERT_NO_FATAL_FAILURE(PlaceDriverFiles());
        data_.IsRemove = removal;
        data_.PartFailure = data_.PartFailures = 0;
        {
            FailingCalls failing(1, "RegOpenKeyExA");
            if (removal)
                RemoveDrivers(&data_);
            else
                InstallDrivers(&data_);
            EXPECT_EQ("RegOpenKeyExA -> 5", failing.Failed());
        }
        std::vector<std::string> messages = TakeMessages();
        EXPECT_EQ(std::vector<std::string>{"Could not read DriverControl. " + SystemMessage(ERROR_ACCESS_DENIED)},
                  messages);
        EXPECT_EQ(ERROR_ACCESS_DENIED, data_.PartFailure);
        EXPECT_EQ(owner, DriverOwner());
        EXPECT_EQ("installed", ReadWholeFile(ExpectedTargets().Provider));
        TearDown();
        SetUp();
    }
    // A value that no owner's name could be (a number) is no "nobody" either.
    ASSERT_TRUE(SetMachineNumber(kAgentKey, "DriverControl", 1));
    ASSERT_NO_FATAL_FAILURE(PlaceDriverFiles());
    data_.IsRemove = 0;
    data_.PartFailure = data_.PartFailures = 0;
    InstallDrivers(&data_);
    EXPECT_EQ(std::vector<std::string>{"Could not read DriverControl. " + SystemMessage(ERROR_INVALID_DATA)},
              TakeMessages());
    EXPECT_EQ(ERROR_INVALID_DATA, data_.PartFailure);
    EXPECT_EQ("installed", ReadWholeFile(ExpectedTargets().Provider));
}

TEST_F(DriversTest, OnlyTheOwnersRemovalRemoves)
{
    struct Row {
        int IsRemove;
        const char* Owner;
        bool Removes;
    };
    const Row rows[] = {
        {1, "I1", true},
        {1, "i1", true},
        {0, "I1", false},  // the roll-back of a failed new installation
        {1, "I2", false},
        {1, "Legacy", false},
        {1, "", false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string("IsRemove ") + std::to_string(row.IsRemove) + ", owner \"" + row.Owner + "\"");
        ASSERT_TRUE(CreateMachineKey(kAgentKey));
        SetDriverOwner(row.Owner);
        PlaceDriverFiles();
        data_.IsRemove = row.IsRemove;

        RemoveDrivers(&data_);

        std::vector<std::string> messages = TakeMessages();
        ASSERT_FALSE(messages.empty());
        EXPECT_EQ(std::string("Agent owns drivers: ") + (*row.Owner ? row.Owner : "Unknown"), messages[0]);
        EXPECT_EQ(row.Removes, Contains(messages, "Removing drivers..."));
        if (!row.Removes) {
            EXPECT_EQ(1u, messages.size());
        }
        EXPECT_EQ(row.Removes, !AnyDriverFilePresent());
        EXPECT_EQ(!row.Removes, AllDriverFilesPresent());
        EXPECT_EQ(row.Removes ? "<missing>" : (*row.Owner ? row.Owner : "<missing>"), DriverOwner());
        TearDown();
        SetUp();
    }
}

TEST_F(DriversTest, ProviderThatCannotBeRemovedKeepsItsLibrary)
{
    ASSERT_TRUE(CreateMachineKey(kAgentKey));
    SetDriverOwner("I1");
    PlaceDriverFiles();
    data_.IsRemove = 1;
    {
        FakeCatalog catalog;
        catalog.FailEnumeration = true;
        RemoveDrivers(&data_);
    }
    std::vector<std::string> messages = TakeMessages();
    EXPECT_TRUE(Contains(messages, "Failed to uninstall network layer driver."));
    EXPECT_TRUE(FileExistsAt(ExpectedTargets().Provider));
    // The instance answers for what is left, and the run ends with the failure: its next removal
    // takes the rest.
    EXPECT_EQ("I1", DriverOwner());
    EXPECT_NE(0, data_.PartFailure);
    if (!ExpectedTargets().Filter.empty()) {
        EXPECT_FALSE(FileExistsAt(ExpectedTargets().Filter));
    }
}

TEST_F(DriversTest, MissingInstanceKeyIsLogged)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, (std::string(kAgentKey) + "\\I1").c_str());
    InstallDrivers(&data_);
    std::vector<std::string> messages = TakeMessages();
    EXPECT_TRUE(Contains(messages, std::string("Could not open key: ") + kAgentKey + "\\I1."));
    EXPECT_TRUE(AllDriverFilesPresent()) << "the files are copied all the same";
}

namespace {

BOOL WINAPI RefuseDisable(PVOID* state)
{
    *state = nullptr;
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
}

BOOL WINAPI RevertNothing(PVOID)
{
    return TRUE;
}

}  // namespace

TEST_F(DriversTest, RedirectionThatCannotBeDisabled)
{
    if (!Is64BitKind())
        GTEST_SKIP() << "only 64-bit Windows turns redirection off";
    const FolderRedirectionFunctions refusing = {RefuseDisable, RevertNothing};
    SetFolderRedirectionFunctions(&refusing);

    // Installation: the filter driver is left out without a line of its own; the rest goes on.
    InstallDrivers(&data_);
    std::vector<std::string> messages = TakeMessages();
    EXPECT_FALSE(FileExistsAt(ExpectedTargets().Filter));
    EXPECT_TRUE(FileExistsAt(ExpectedTargets().Provider));
    EXPECT_FALSE(StartsWithAny(messages, "Failed to disable folder redirection."));
    EXPECT_EQ("I1", DriverOwner());

    // Removal: the refusal is logged with the text of code 0, and nothing is removed.
    PlaceDriverFiles();
    data_.IsRemove = 1;
    RemoveDrivers(&data_);
    messages = TakeMessages();
    std::string codeText = SystemMessage(0).empty() ? "[Code: 0]" : SystemMessage(0);
    EXPECT_TRUE(Contains(messages, "Failed to disable folder redirection. " + codeText)) << Joined(messages);
    EXPECT_EQ("<missing>", DriverOwner());
    EXPECT_TRUE(AllDriverFilesPresent());

    // Without the functions at all: nothing removed, nothing logged.
    const FolderRedirectionFunctions missing = {nullptr, nullptr};
    SetFolderRedirectionFunctions(&missing);
    SetDriverOwner("I1");
    RemoveDrivers(&data_);
    messages = TakeMessages();
    EXPECT_EQ((std::vector<std::string>{"Agent owns drivers: I1", "Removing drivers..."}), messages);
    EXPECT_TRUE(AllDriverFilesPresent());
}
