// The agent service of an installation, in Windows 7, NT 4 and Windows 98 prefixes: what the
// Installer's three service operations leave in the real service manager and registry. The
// program carries string 127, the agent's service description, as the setup program does.
#include <gtest/gtest.h>

#include <algorithm>

#include "procedures/AgentService.h"
#include "procedures/ProcedureFixture.h"

using namespace xatest;

namespace {

const char kMinimal[] = "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Minimal\\";
const char kNetwork[] = "SYSTEM\\CurrentControlSet\\Control\\SafeBoot\\Network\\";

// GTEST_SKIP returns only from the function it is written in.
#define SKIP_ON_WINDOWS_9X()     \
    if (IsWin9xKind())           \
    GTEST_SKIP() << "Windows 9x has no service manager"

void CreateSafeBootKeys(const std::string& name)
{
    for (const char* folder : {kMinimal, kNetwork}) {
        SetMachineText(folder + name, nullptr, "Service");
        SetMachineText(folder + name + "\\Nested", "x", "y");
    }
}

class AgentServiceTest : public testing::Test {
protected:
    AgentServiceTest() : log_("agentlog"), data_(log_.Data()) {}

    void Use(const std::string& instance, const std::string& title, const std::string& folder)
    {
        ReplaceText(data_.Instance, DuplicateText(instance.c_str()));
        ReplaceText(data_.Title, DuplicateText(title.c_str()));
        ReplaceText(data_.DestFolder, DuplicateText(folder.c_str()));
    }

    std::vector<std::string> Log() const { return log_.Messages(); }

    LoggedData log_;
    InstallationData& data_;
};

// What the agent's configuration on this system must be: description and failure actions only
// from Windows 2000 on.
void ExpectAgentExtras(const FakeServiceManager& manager, const std::string& name)
{
    ServiceConfig config = ReadServiceConfig(name);
    if (IsNt4Kind()) {
        EXPECT_EQ("", config.Description);
        EXPECT_TRUE(manager.Config2Calls.empty());
        return;
    }
    EXPECT_EQ("Halvern Agent", config.Description);
    const FakeServiceManager::Config2Call* actions = nullptr;
    for (const auto& call : manager.Config2Calls) {
        if (call.Level == SERVICE_CONFIG_FAILURE_ACTIONS)
            actions = &call;
    }
    ASSERT_NE(nullptr, actions);
    EXPECT_EQ(86400u, actions->Actions.dwResetPeriod);
    EXPECT_EQ(nullptr, actions->Actions.lpRebootMsg);
    EXPECT_EQ(nullptr, actions->Actions.lpCommand);
    ASSERT_EQ(3u, actions->ActionList.size());
    EXPECT_EQ(SC_ACTION_RESTART, actions->ActionList[0].Type);
    EXPECT_EQ(60000u, actions->ActionList[0].Delay);
    EXPECT_EQ(SC_ACTION_RESTART, actions->ActionList[1].Type);
    EXPECT_EQ(60000u, actions->ActionList[1].Delay);
    EXPECT_EQ(SC_ACTION_NONE, actions->ActionList[2].Type);
    EXPECT_EQ(0u, actions->ActionList[2].Delay);
}

void ExpectSafeBootKeys(const std::string& name, bool present)
{
    for (const char* folder : {kMinimal, kNetwork}) {
        if (present)
            EXPECT_EQ("Service", ReadMachineString(folder + name, nullptr)) << folder;
        else
            EXPECT_FALSE(MachineKeyExists(folder + name)) << folder;
    }
}

}  // namespace

TEST_F(AgentServiceTest, InstallStartStopAndRemove)
{
    SKIP_ON_WINDOWS_9X();
    StandIn agent("install", "", "Agent Folder");
    Use("I1", "Agent Install Test", agent.Folder());
    ServiceCleanup cleanup("XAI1");
    FakeServiceManager manager;

    ASSERT_EQ(0, InstallAgentService(&data_));
    ServiceConfig config = ReadServiceConfig("XAI1");
    ASSERT_TRUE(config.Exists);
    EXPECT_EQ(agent.QuotedExe(), config.ImagePath);
    EXPECT_EQ((DWORD)SERVICE_WIN32_OWN_PROCESS, config.Type);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, config.StartType);
    EXPECT_EQ((DWORD)SERVICE_ERROR_NORMAL, config.ErrorControl);
    EXPECT_EQ("Agent Install Test", config.DisplayName);
    EXPECT_EQ("LocalSystem", config.Account);
    EXPECT_EQ("", config.Dependencies);
    ExpectAgentExtras(manager, "XAI1");
    ExpectSafeBootKeys("XAI1", true);

    {
        VirtualClock clock(0xFFFF0000u, 50);
        EXPECT_EQ(0, StartServiceAndWait("XAI1"));
        EXPECT_EQ(0, StopServiceAndWait("XAI1"));
    }
    EXPECT_EQ((std::vector<std::string>{"XAI1 started", "XAI1 stop-request", "XAI1 stopped"}), agent.Events());

    EXPECT_EQ(0, RemoveAgentService(&data_));
    EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, ReadServiceConfig("XAI1").Error);
    ExpectSafeBootKeys("XAI1", false);
    EXPECT_EQ(std::vector<std::string>{}, Log());
}

TEST_F(AgentServiceTest, InstallOverAnExistingServiceChangesNothing)
{
    SKIP_ON_WINDOWS_9X();
    TestService existing("XAI2", "Old Title 2", "\"C:\\Old\\AgentCore.exe\"");
    ASSERT_TRUE(existing.Created());
    Use("I2", "New Title 2", "C:\\New");
    FakeServiceManager manager;

    EXPECT_EQ(ERROR_SERVICE_EXISTS, InstallAgentService(&data_));
    ServiceConfig config = ReadServiceConfig("XAI2");
    EXPECT_EQ("\"C:\\Old\\AgentCore.exe\"", config.ImagePath);
    EXPECT_EQ("Old Title 2", config.DisplayName);
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, config.StartType);
    EXPECT_TRUE(manager.Config2Calls.empty());
    ExpectSafeBootKeys("XAI2", false);
}

TEST_F(AgentServiceTest, ConfigureRepointsOnlyTheImagePath)
{
    SKIP_ON_WINDOWS_9X();
    TestService existing("XAI3", "Old Title 3", "\"C:\\Old Place\\AgentCore.exe\"");
    ASSERT_TRUE(existing.Created());
    if (!IsNt4Kind()) {
        SERVICE_DESCRIPTIONA description = {const_cast<char*>("Old description")};
        ASSERT_EQ(0, SetServiceConfig2("XAI3", SERVICE_CONFIG_DESCRIPTION, &description));
    }
    Use("I3", "New Title 3", "C:\\New Place");
    FakeServiceManager manager;

    EXPECT_EQ(0, ConfigureAgentService(&data_));
    ServiceConfig config = ReadServiceConfig("XAI3");
    EXPECT_EQ("\"C:\\New Place\\AgentCore.exe\"", config.ImagePath);
    EXPECT_EQ("Old Title 3", config.DisplayName);
    EXPECT_EQ((DWORD)SERVICE_DEMAND_START, config.StartType);
    EXPECT_EQ((DWORD)SERVICE_ERROR_IGNORE, config.ErrorControl);
    EXPECT_EQ(IsNt4Kind() ? "" : "Old description", config.Description);
    // Only the failure actions are set again, never the description.
    EXPECT_EQ(IsNt4Kind() ? 0u : 1u, manager.Config2Calls.size());
    if (!IsNt4Kind()) {
        EXPECT_EQ((DWORD)SERVICE_CONFIG_FAILURE_ACTIONS, manager.Config2Calls[0].Level);
    }
    ExpectSafeBootKeys("XAI3", true);

    // A path that differs only in letter case is left as it is.
    Use("I3", "New Title 3", "c:\\NEW PLACE");
    EXPECT_EQ(0, ConfigureAgentService(&data_));
    EXPECT_EQ("\"C:\\New Place\\AgentCore.exe\"", ReadServiceConfig("XAI3").ImagePath);
}

TEST_F(AgentServiceTest, ConfigureCreatesAMissingService)
{
    SKIP_ON_WINDOWS_9X();
    Use("I4", "Agent Configure Test", "C:\\Agent Four");
    ServiceCleanup cleanup("XAI4");
    FakeServiceManager manager;

    EXPECT_EQ(0, ConfigureAgentService(&data_));
    ServiceConfig config = ReadServiceConfig("XAI4");
    ASSERT_TRUE(config.Exists);
    EXPECT_EQ("\"C:\\Agent Four\\AgentCore.exe\"", config.ImagePath);
    EXPECT_EQ("Agent Configure Test", config.DisplayName);
    EXPECT_EQ((DWORD)SERVICE_AUTO_START, config.StartType);
    ExpectAgentExtras(manager, "XAI4");
    ExpectSafeBootKeys("XAI4", true);
}

TEST_F(AgentServiceTest, RemoveOfAMissingServiceStillRemovesTheSafeModeKeys)
{
    Use("I5", "Agent Remove Test", "C:\\Agent Five");
    CreateSafeBootKeys("XAI5");

    EXPECT_EQ(0, RemoveAgentService(&data_));
    ExpectSafeBootKeys("XAI5", false);
    EXPECT_EQ(std::vector<std::string>{}, Log());
}

TEST_F(AgentServiceTest, RemoveFailureIsLoggedAndReturned)
{
    SKIP_ON_WINDOWS_9X();
    TestService existing("XAI6", "Agent Remove Failure", "\"C:\\Six\\AgentCore.exe\"");
    ASSERT_TRUE(existing.Created());
    Use("I6", "Agent Remove Failure", "C:\\Six");
    // An open handle keeps the service, marked for deletion, until it is closed.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE held = OpenServiceA(manager, "XAI6", SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, held);

    EXPECT_EQ(0, RemoveAgentService(&data_));
    CreateSafeBootKeys("XAI6");
    EXPECT_EQ(ERROR_SERVICE_MARKED_FOR_DELETE, RemoveAgentService(&data_));
    ExpectSafeBootKeys("XAI6", false);
    std::string text = SystemMessage(ERROR_SERVICE_MARKED_FOR_DELETE);
    std::string expected = text.empty() ? "Failed to remove agent service: XAI6. [Code: 1072]"
                                        : "Failed to remove agent service: XAI6. " + text;
    std::vector<std::string> lines = Log();
    EXPECT_NE(lines.end(), std::find(lines.begin(), lines.end(), expected)) << Joined(lines);

    CloseServiceHandle(held);
    CloseServiceHandle(manager);
}

TEST_F(AgentServiceTest, RemoveOfTheLegacyService)
{
    SKIP_ON_WINDOWS_9X();
    TestService legacy("ArvaneAgent", "Legacy Agent", "\"C:\\Legacy\\Agent.exe\"");
    TestService current("XAI7", "Agent Seven", "\"C:\\Seven\\AgentCore.exe\"");
    ASSERT_TRUE(legacy.Created());
    Use("I7", "Agent Seven", "C:\\Seven");
    data_.UpdateLegacyAgent = 1;
    CreateSafeBootKeys("ArvaneAgent");

    EXPECT_EQ(0, RemoveAgentService(&data_));
    EXPECT_EQ((DWORD)ERROR_SERVICE_DOES_NOT_EXIST, ReadServiceConfig("ArvaneAgent").Error);
    EXPECT_TRUE(ReadServiceConfig("XAI7").Exists);
    ExpectSafeBootKeys("ArvaneAgent", true);
}

TEST_F(AgentServiceTest, Windows9xUsesOnlyTheRunServicesValue)
{
    if (!IsWin9xKind())
        GTEST_SKIP() << "the RunServices branch is taken on Windows 9x";
    StandIn agent("win9x", "", "Agent Folder");
    Use("N1", "Agent Nine", "C:\\Somewhere Else");
    CreateSafeBootKeys("XAN1");

    EXPECT_EQ(0, InstallAgentService(&data_));
    EXPECT_EQ("C:\\Somewhere Else\\AgentCore.exe", ReadMachineString(kRunServicesKey, "XAN1"));
    EXPECT_FALSE(ReadServiceConfig("XAN1").Exists);

    Use("N1", "Agent Nine", agent.Folder());
    EXPECT_EQ(0, ConfigureAgentService(&data_));
    EXPECT_EQ(agent.Exe(), ReadMachineString(kRunServicesKey, "XAN1"));  // no quotes
    EXPECT_FALSE(ReadServiceConfig("XAN1").Exists);

    EXPECT_EQ(0, StartAgentFromRunServices("XAN1"));
    bool launched = false;
    for (int i = 0; i < 200 && !launched; ++i) {
        std::vector<std::string> events = agent.Events();
        launched = !events.empty() && events[0] == "process launched";
        Sleep(50);
    }
    EXPECT_TRUE(launched);

    EXPECT_EQ(0, RemoveAgentService(&data_));
    EXPECT_EQ("<missing>", ReadMachineString(kRunServicesKey, "XAN1"));
    ExpectSafeBootKeys("XAN1", false);
    EXPECT_EQ(0, RemoveAgentService(&data_));
    EXPECT_EQ(std::vector<std::string>{}, Log());
}
