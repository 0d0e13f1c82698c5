// The agent's registry settings written and removed against the real registry of the prefix,
// read back value by value (type and exact bytes); the setup log is read back from its file.
#include <gtest/gtest.h>

#include <functional>

#include "procedures/AgentRegistry.h"
#include "procedures/ProcedureFixture.h"
#include "support/Registry.h"

using namespace xatest;

namespace {

const std::string kMakerKey = "SOFTWARE\\Arvane";
const std::string kAgentKeyPath = "SOFTWARE\\Arvane\\Agent";
const std::string kInstanceKey = "SOFTWARE\\Arvane\\Agent\\I1";
const std::string kLegacyKey = "System\\CurrentControlSet\\Services\\VxD\\Arvane";
const std::string kLegacyServiceKey = "System\\CurrentControlSet\\Services\\ArvaneAgent";
const std::string kRunKey = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const std::string kLegacyRunValue = "Arvane Agent Service Helper";
const std::string kDest = "C:\\Program Files\\Arvane\\I1";
const std::string kUserTask = "\"" + kDest + "\\UserTray.exe\"";

// Makes one named value write fail with a given code; every other write reaches the registry.
class RefusedWrite {
public:
    RefusedWrite(const std::string& name, LONG code)
    {
        refusedName_ = name;
        refusedCode_ = code;
        g_RegistryValueBinding.SetValue = Refuse;
    }
    ~RefusedWrite() { g_RegistryValueBinding.SetValue = RegSetValueExA; }

private:
    static LONG WINAPI Refuse(HKEY key, LPCSTR name, DWORD reserved, DWORD type, const BYTE* data, DWORD size)
    {
        if (name && refusedName_ == name)
            return refusedCode_;
        return RegSetValueExA(key, name, reserved, type, data, size);
    }
    static std::string refusedName_;
    static LONG refusedCode_;
};
std::string RefusedWrite::refusedName_;
LONG RefusedWrite::refusedCode_;

class AgentRegistryTest : public testing::Test {
protected:
    AgentRegistryTest() : log_("registry"), data_(log_.Data())
    {
        Clean();
        // The settings of Windows NT unless a test says otherwise.
        data_.IsWin9x = 0;
        data_.Instance = DuplicateText("I1");
        data_.DestFolder = DuplicateText(kDest.c_str());
        data_.Title = DuplicateText("Arvane Agent");
        data_.Company = DuplicateText("Arvane");
    }
    ~AgentRegistryTest() override { Clean(); }

    static void Clean()
    {
        DeleteMachineTree(kMakerKey);
        DeleteMachineTree(kLegacyKey);
        for (const char* name : {"XASHI1", "XASHI2", "Arvane Agent Service Helper"})
            DeleteMachineValue(kRunKey, name);
    }

    RegistryValue Instance(const std::string& name) const { return ReadMachineValue(kInstanceKey, name.c_str()); }
    RegistryValue RunValue() const { return ReadMachineValue(kRunKey, "XASHI1"); }
    std::vector<std::string> Messages() const { return log_.Messages(); }

    LoggedData log_;
    InstallationData& data_;
};

struct ExpectedValue {
    std::string Name;
    DWORD Type;
    std::string Data;
};

void ExpectValues(const std::string& key, const std::vector<ExpectedValue>& rows)
{
    for (const ExpectedValue& row : rows) {
        RegistryValue value = ReadMachineValue(key, row.Name.c_str());
        EXPECT_EQ(ERROR_SUCCESS, value.Result) << row.Name;
        EXPECT_EQ(row.Type, value.Type) << row.Name;
        EXPECT_EQ(row.Data, value.Data) << row.Name;
    }
}

void ExpectMissing(const std::string& key, const std::vector<std::string>& names)
{
    for (const std::string& name : names)
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadMachineValue(key, name.c_str()).Result) << name << " should not exist";
}

// A value's bytes as the registry stores them, read through the UTF-16 function: the 8-bit one of
// Windows 9x gives a string value back only up to its first zero.
std::string WideValueBytes(const std::string& keyPath, const std::string& name)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return "<no key>";
    std::wstring wideName(name.begin(), name.end());
    std::vector<BYTE> data(4096);
    DWORD size = (DWORD)data.size();
    LONG result = RegQueryValueExW(key, wideName.c_str(), nullptr, nullptr, data.data(), &size);
    RegCloseKey(key);
    return result == ERROR_SUCCESS ? std::string(reinterpret_cast<char*>(data.data()), size) : "<missing>";
}

// A REG_SZ value holding exactly the raw bytes given. The 8-bit read of Windows 9x stops at the
// first zero, so the value is also compared, in both readings, with a reference value that the
// test writes with those bytes itself.
void ExpectRawStringValue(const std::string& key, const std::string& name, const std::string& bytes)
{
    const std::string referenceKey = "SOFTWARE\\XATest\\Reference";
    ASSERT_TRUE(SetMachineValue(referenceKey, "Reference", REG_SZ, bytes));
    RegistryValue value = ReadMachineValue(key, name.c_str());
    RegistryValue reference = ReadMachineValue(referenceKey, "Reference");
    EXPECT_EQ(DWORD(REG_SZ), value.Type) << name;
    EXPECT_EQ(reference.Data, value.Data) << name;
    EXPECT_EQ(WideValueBytes(referenceKey, "Reference"), WideValueBytes(key, name)) << name;
    if (WineKind().find("win98") == std::string::npos) {
        EXPECT_EQ(bytes, value.Data) << name;
    }
    DeleteMachineTree("SOFTWARE\\XATest");
}

}  // namespace

TEST_F(AgentRegistryTest, NewInstallationWritesEveryValueWithItsTypeAndSize)
{
    data_.PartitionId = DuplicateText("P-42");
    data_.bNoShortcut = 1;
    EXPECT_EQ(0, WriteAgentRegistry(&data_));

    ExpectValues(kInstanceKey, {
                                   {"Title", REG_SZ, StringBytes("Arvane Agent")},
                                   {"Path", REG_SZ, StringBytes(kDest)},
                                   {"Provider", REG_SZ, StringBytes("Arvane")},
                                   {"ConfigChangeLogFile", REG_SZ, StringBytes(kDest + "\\AgtAgent.log")},
                                   {"ConfigurationFile", REG_SZ, StringBytes(kDest + "\\ArvaneD.ini")},
                                   {"ErrorLogFile", REG_SZ, StringBytes(kDest + "\\AgtError.log")},
                                   {"FirewallLogFile", REG_SZ, StringBytes(kDest + "\\AgtFirewall.log")},
                                   {"FirewallSettingsFile", REG_SZ, StringBytes(kDest + "\\ArvaneFW.ini")},
                                   {"NetStatsLogFile", REG_SZ, StringBytes(kDest + "\\AgtStats.log")},
                                   {"PartitionId", REG_SZ, StringBytes("P-42")},
                                   {"NewAgent", REG_DWORD, NumberBytes(1)},
                                   {"NoShortCut", REG_DWORD, NumberBytes(1)},
                                   {"NoAddRemove", REG_DWORD, NumberBytes(0)},
                               });
    ExpectMissing(kInstanceKey, {"AvLogFile", "avServiceConfigFile", "AVServiceEnabled", "EnableRemoteControl"});
    ExpectMissing(kAgentKeyPath, {"XES_Owned_By"});
    ExpectValues(kRunKey, {{"XASHI1", REG_SZ, StringBytes(kUserTask)}});
    EXPECT_EQ(std::vector<std::string>{"Create registry function returns 0."}, Messages());
}

TEST_F(AgentRegistryTest, UpdateMarksTheKeyAndNullOrEmptyPartitionIdWritesNoValue)
{
    for (const char* partition : {(const char*)nullptr, ""}) {
        Clean();
        ReplaceText(data_.PartitionId, DuplicateText(partition));
        data_.IsModify = 1;
        data_.bNoAddRemove = 1;
        EXPECT_EQ(0, WriteAgentRegistry(&data_));
        ExpectMissing(kInstanceKey, {"PartitionId"});
        ExpectValues(kInstanceKey, {{"NewAgent", REG_DWORD, NumberBytes(2)},
                                    {"NoShortCut", REG_DWORD, NumberBytes(0)},
                                    {"NoAddRemove", REG_DWORD, NumberBytes(1)}});
    }
}

TEST_F(AgentRegistryTest, Windows9xWritesTheInstanceKeyButNoRunValue)
{
    data_.IsWin9x = 1;
    EXPECT_EQ(0, WriteAgentRegistry(&data_));
    ExpectValues(kInstanceKey, {{"Title", REG_SZ, StringBytes("Arvane Agent")}, {"NewAgent", REG_DWORD, NumberBytes(1)}});
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunValue().Result);
    EXPECT_EQ(std::vector<std::string>{"Create registry function returns 0."}, Messages());
}

// The settings an older-generation agent hands over when it is updated in place.
TEST_F(AgentRegistryTest, LegacySettingsAreTakenOver)
{
    struct Row {
        const char* Case;
        int IsModify, UpdateLegacy;
        const char* AvLogFile;   // null: absent
        const char* ConfigFile;  // null: absent
        const char* Enabled;     // raw REG_BINARY bytes; null: absent
        bool HasRemote;
        bool SecurityTakenOver;  // expected
        bool RemoteTakenOver;    // expected
        std::string ExpectedEnabled;
    };
    const std::string zeros(4, '\0');
    const Row rows[] = {
        {"all values", 1, 1, "C:\\Av\\av.log", "C:\\Av\\svc.cfg", "\x01\x00\x00\x00", true, true, true,
         std::string("\x01\x00\x00\x00", 4)},
        {"raw text bytes", 1, 1, "C:\\Av\\av.log", "C:\\Av\\svc.cfg", "Yes\0", false, true, false,
         std::string("Yes\0", 4)},
        {"no config, no flag", 1, 1, "C:\\Av\\av.log", nullptr, nullptr, true, true, true, zeros},
        {"empty AvLogFile", 1, 1, "", "C:\\Av\\svc.cfg", "\x01\x00\x00\x00", true, false, true, ""},
        {"no AvLogFile", 1, 1, nullptr, "C:\\Av\\svc.cfg", nullptr, false, false, false, ""},
        {"not a legacy update", 1, 0, "C:\\Av\\av.log", "C:\\Av\\svc.cfg", nullptr, true, false, false, ""},
        {"new installation", 0, 1, "C:\\Av\\av.log", "C:\\Av\\svc.cfg", nullptr, true, false, false, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        Clean();
        if (row.AvLogFile)
            SetMachineText(kLegacyKey, "AvLogFile", row.AvLogFile);
        if (row.ConfigFile)
            SetMachineText(kLegacyKey, "avServiceConfigFile", row.ConfigFile);
        if (row.Enabled)
            SetMachineValue(kLegacyKey, "AVServiceEnabled", REG_BINARY, std::string(row.Enabled, 4));
        if (row.HasRemote)
            SetMachineNumber(kLegacyKey, "EnableRemoteControl", 7);
        SetMachineText(kLegacyKey, "Other", "x");  // keeps the key even when it has nothing to give
        data_.IsModify = row.IsModify;
        data_.UpdateLegacyAgent = row.UpdateLegacy;

        EXPECT_EQ(0, WriteAgentRegistry(&data_));
        if (row.SecurityTakenOver) {
            ExpectValues(kAgentKeyPath, {{"XES_Owned_By", REG_SZ, StringBytes("I1")}});
            ExpectValues(kInstanceKey, {{"AvLogFile", REG_SZ, StringBytes(row.AvLogFile)},
                                        {"avServiceConfigFile", REG_SZ, StringBytes(row.ConfigFile ? row.ConfigFile : "")}});
            ExpectRawStringValue(kInstanceKey, "AVServiceEnabled", row.ExpectedEnabled);
        } else {
            ExpectMissing(kAgentKeyPath, {"XES_Owned_By"});
            ExpectMissing(kInstanceKey, {"AvLogFile", "avServiceConfigFile", "AVServiceEnabled"});
        }
        if (row.RemoteTakenOver)
            ExpectValues(kInstanceKey, {{"EnableRemoteControl", REG_DWORD, NumberBytes(7)}});
        else
            ExpectMissing(kInstanceKey, {"EnableRemoteControl"});
        ExpectValues(kInstanceKey, {{"Title", REG_SZ, StringBytes("Arvane Agent")}});
    }
}

// The options of the user task's previous Run command are kept across an update.
TEST_F(AgentRegistryTest, RunCommandCarriesOverArgumentsOfThePreviousValue)
{
    struct Row {
        const char* Case;
        int IsModify, UpdateLegacy;
        const char* OwnPrevious;     // the instance's Run value before; null: absent
        const char* LegacyPrevious;  // "Arvane Agent Service Helper" before; null: absent
        std::string Expected;
    };
    const Row rows[] = {
        {"quoted path and two words", 1, 0, "\"C:\\Old\\UserTray.exe\" /a /b", nullptr, kUserTask + " /a /b"},
        {"tabs and blanks", 1, 0, "\"C:\\Old\\UserTray.exe\"\t \t-q", nullptr, kUserTask + " -q"},
        {"unquoted legacy value", 1, 1, "\"C:\\Old\\UserTray.exe\" /own", "C:\\Old\\UserTray.exe -x y", kUserTask + " -x y"},
        {"legacy update reads only the legacy value", 1, 1, "\"C:\\Old\\UserTray.exe\" /own", nullptr, kUserTask},
        {"nothing behind the program", 1, 0, "\"C:\\Old\\UserTray.exe\"   ", nullptr, kUserTask},
        {"another program", 1, 0, "\"C:\\Old\\Other.exe\" /a", nullptr, kUserTask},
        {"case differs", 1, 0, "\"C:\\Old\\usertray.exe\" /a", nullptr, kUserTask},
        {"new installation never reads", 0, 0, "\"C:\\Old\\UserTray.exe\" /a", nullptr, kUserTask},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        Clean();
        if (row.OwnPrevious)
            SetMachineText(kRunKey, "XASHI1", row.OwnPrevious);
        if (row.LegacyPrevious)
            SetMachineText(kRunKey, kLegacyRunValue.c_str(), row.LegacyPrevious);
        data_.IsModify = row.IsModify;
        data_.UpdateLegacyAgent = row.UpdateLegacy;

        EXPECT_EQ(0, WriteAgentRegistry(&data_));
        ExpectValues(kRunKey, {{"XASHI1", REG_SZ, StringBytes(row.Expected)}});
        if (row.LegacyPrevious)  // the update procedure deletes it, not this step
            ExpectValues(kRunKey, {{kLegacyRunValue, REG_SZ, StringBytes(row.LegacyPrevious)}});
    }
}

// The first instance value that cannot be set stops the sequence with its own message and code.
TEST_F(AgentRegistryTest, RefusedInstanceValueStopsTheSequence)
{
    struct Row {
        std::string Refused;
        std::string Data;
        LONG Code;
        std::vector<std::string> Written;
        std::vector<std::string> NotWritten;
    };
    const std::vector<Row> rows = {
        {"Title", "Arvane Agent", 5, {}, {"Title", "Path", "NewAgent"}},
        {"Provider", "Arvane", 1018, {"Title", "Path"}, {"Provider", "ConfigChangeLogFile"}},
        {"ConfigurationFile", kDest + "\\ArvaneD.ini", 5, {"ConfigChangeLogFile"}, {"ConfigurationFile", "ErrorLogFile"}},
        {"NetStatsLogFile", kDest + "\\AgtStats.log", 14, {"FirewallSettingsFile"}, {"NetStatsLogFile", "PartitionId"}},
        {"PartitionId", "P-1", 5, {"NetStatsLogFile"}, {"PartitionId", "NewAgent", "NoShortCut", "NoAddRemove"}},
    };
    ReplaceText(data_.PartitionId, DuplicateText("P-1"));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Refused);
        Clean();
        log_.ClearLog();
        {
            RefusedWrite refused(row.Refused, row.Code);
            EXPECT_EQ(row.Code, WriteAgentRegistry(&data_));
        }
        for (const std::string& name : row.Written)
            EXPECT_EQ(ERROR_SUCCESS, Instance(name).Result) << name;
        ExpectMissing(kInstanceKey, row.NotWritten);
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunValue().Result);
        std::vector<std::string> expected = {
            "Failed to set registry value \"" + row.Refused + "\" to \"" + row.Data + "\". Code: " +
                std::to_string(row.Code) + ".",
            "Create registry function returns " + std::to_string(row.Code) + "."};
        EXPECT_EQ(expected, Messages());
    }
}

TEST_F(AgentRegistryTest, MissingCompanyStopsTheSequenceAtProvider)
{
    FreeText(data_.Company);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, WriteAgentRegistry(&data_));
    EXPECT_EQ(ERROR_SUCCESS, Instance("Path").Result);
    ExpectMissing(kInstanceKey, {"Provider", "ConfigChangeLogFile", "NewAgent"});
    EXPECT_EQ((std::vector<std::string>{"Failed to set registry value \"Provider\" to \"\". Code: 87.",
                                        "Create registry function returns 87."}),
              Messages());
}

TEST_F(AgentRegistryTest, LaterValueFailuresAreIgnoredButTheRunValueFailureIsReturned)
{
    {
        RefusedWrite refused("NoShortCut", 5);
        EXPECT_EQ(0, WriteAgentRegistry(&data_));
    }
    ExpectMissing(kInstanceKey, {"NoShortCut"});
    ExpectValues(kInstanceKey, {{"NoAddRemove", REG_DWORD, NumberBytes(0)}});
    ExpectValues(kRunKey, {{"XASHI1", REG_SZ, StringBytes(kUserTask)}});

    Clean();
    log_.ClearLog();
    {
        RefusedWrite refused("XASHI1", 5);
        EXPECT_EQ(5, WriteAgentRegistry(&data_));
    }
    ExpectValues(kInstanceKey, {{"NoAddRemove", REG_DWORD, NumberBytes(0)}});
    EXPECT_EQ((std::vector<std::string>{"Failed to create the link for Agent Service Helper. Code: 5.",
                                        "Create registry function returns 5."}),
              Messages());
}

TEST_F(AgentRegistryTest, InstanceKeyThatCannotBeCreatedIsReported)
{
    // A volatile parent refuses a lasting child, as the registry of any Windows does.
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kAgentKeyPath.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                             KEY_WRITE, nullptr, &key, nullptr));
    RegCloseKey(key);
    EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, WriteAgentRegistry(&data_));
    EXPECT_FALSE(MachineKeyExists(kInstanceKey));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunValue().Result);
    EXPECT_EQ(std::vector<std::string>{"Create registry function returns 1021."}, Messages());
}

// The common keys disappear with the last instance, whatever common values they still hold.
TEST_F(AgentRegistryTest, RemovalDeletesTheCommonKeysOnlyWithTheLastInstance)
{
    struct Row {
        const char* Case;
        bool InstanceExists;
        bool OtherInstance;
        const char* MakerHolds;  // "value", "key" or null
        int ExpectedResult;
        bool AgentKeyStays;
        bool MakerKeyStays;
    };
    const Row rows[] = {
        {"last instance", true, false, nullptr, 0, false, false},
        {"another instance stays", true, true, nullptr, 0, true, true},
        {"maker key holds a value", true, false, "value", 0, false, true},
        {"maker key holds another product", true, false, "key", 0, false, true},
        {"instance key already gone", false, false, nullptr, -1, false, false},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Case);
        Clean();
        SetMachineText(kAgentKeyPath, "DriverControl", "I1");
        SetMachineText(kAgentKeyPath, "XES_Owned_By", "I1");
        if (row.InstanceExists) {
            SetMachineText(kInstanceKey, "Title", "Arvane Agent");
            SetMachineText(kInstanceKey + "\\AddOn", "Scanner", "C:\\scan.exe");
        }
        if (row.OtherInstance)
            SetMachineText(kAgentKeyPath + "\\I2", "Title", "Arvane Agent #2");
        if (row.MakerHolds && std::string(row.MakerHolds) == "value")
            SetMachineText(kMakerKey, "Keep", "1");
        if (row.MakerHolds && std::string(row.MakerHolds) == "key")
            SetMachineText(kMakerKey + "\\Viewer", "Keep", "1");
        SetMachineText(kRunKey, "XASHI1", kUserTask);
        SetMachineText(kRunKey, "XASHI2", "\"C:\\I2\\UserTray.exe\"");

        EXPECT_EQ(row.ExpectedResult, RemoveAgentRegistry(&data_));
        EXPECT_FALSE(MachineKeyExists(kInstanceKey));
        EXPECT_EQ(row.AgentKeyStays, MachineKeyExists(kAgentKeyPath));
        EXPECT_EQ(row.MakerKeyStays, MachineKeyExists(kMakerKey));
        if (row.AgentKeyStays)
            ExpectValues(kAgentKeyPath, {{"DriverControl", REG_SZ, StringBytes("I1")}});
        if (row.OtherInstance) {
            EXPECT_TRUE(MachineKeyExists(kAgentKeyPath + "\\I2"));
        }
        EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunValue().Result);
        EXPECT_TRUE(MachineValueExists(kRunKey, "XASHI2"));
    }
    EXPECT_TRUE(Messages().empty()) << "removal logs nothing";
}

TEST(CountInstalledAgents, CountsTheLegacyServiceAndEveryInstanceWithAPath)
{
    struct Row {
        const char* Machine;
        std::function<void()> Prepare;
        int Expected;
    };
    const std::string longPath = "C:\\" + std::string(300, 'p');
    const Row rows[] = {
        {"nothing", [] {}, 0},
        {"agents key without instances", [] { CreateMachineKey(kAgentKeyPath); }, 0},
        {"legacy service key alone", [] { CreateMachineKey(kLegacyServiceKey); }, 1},
        {"one instance", [] { SetMachineText(kAgentKeyPath + "\\I2", "Path", "C:\\Agent"); }, 1},
        {"instance without Path", [] { SetMachineText(kAgentKeyPath + "\\I2", "Title", "Agent"); }, 0},
        {"Path of another type", [] { SetMachineText(kAgentKeyPath + "\\I2", "Path", "C:\\A", REG_EXPAND_SZ); }, 0},
        {"Path longer than a buffer", [&] { SetMachineText(kAgentKeyPath + "\\I2", "Path", longPath); }, 1},
        {"legacy and two of three instances",
         [] {
             CreateMachineKey(kLegacyServiceKey);
             SetMachineText(kAgentKeyPath + "\\I2", "Path", "C:\\Agent2");
             CreateMachineKey(kAgentKeyPath + "\\I3");
             SetMachineText(kAgentKeyPath + "\\I4", "Path", "C:\\Agent4");
         },
         3},
    };
    for (const Row& row : rows) {
        DeleteMachineTree(kLegacyServiceKey);
        DeleteMachineTree("SOFTWARE\\Arvane");
        row.Prepare();
        EXPECT_EQ(row.Expected, CountInstalledAgents()) << row.Machine;
    }
    DeleteMachineTree(kLegacyServiceKey);
    DeleteMachineTree("SOFTWARE\\Arvane");
}
