// The registry side of the service control, on the prefix's real registry: the Windows 9x
// RunServices values and starting their command.
#include <gtest/gtest.h>

#include "control/ServiceTestSupport.h"
#include "support/Registry.h"

using namespace xatest;

namespace {

bool WaitForEvent(const StandIn& standIn, const std::string& event, DWORD timeoutMs = 10000)
{
    DWORD start = GetTickCount();
    do {
        for (const std::string& line : standIn.Events()) {
            if (line == event)
                return true;
        }
        Sleep(50);
    } while (GetTickCount() - start < timeoutMs);
    return false;
}

}  // namespace

TEST(RunServices, ValueIsWrittenStartedAndDeleted)
{
    StandIn agent("runservices", "LifetimeMs=0", "Run Services");
    ASSERT_EQ(0, SetRunServicesValue("XArs_one", agent.Exe().c_str()));
    EXPECT_EQ(agent.Exe(), ReadMachineString(kRunServicesKey, "XArs_one"));

    EXPECT_EQ(0, StartAgentFromRunServices("XArs_one"));
    EXPECT_TRUE(WaitForEvent(agent, "process launched"));

    EXPECT_EQ(0, DeleteRunServicesValue("XArs_one"));
    EXPECT_EQ("<missing>", ReadMachineString(kRunServicesKey, "XArs_one"));
    EXPECT_EQ(0, DeleteRunServicesValue("XArs_one"));  // already gone
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, StartAgentFromRunServices("XArs_one"));
}

TEST(RunServices, ValueThatNamesNothingToStart)
{
    ASSERT_TRUE(SetMachineNumber(kRunServicesKey, "XArs_number", 1));
    ASSERT_TRUE(SetMachineText(kRunServicesKey, "XArs_empty", ""));

    // Nothing was started: never success, whatever the thread's last error says.
    for (const char* name : {"XArs_number", "XArs_empty"}) {
        SetLastError(0);
        EXPECT_EQ(-1, StartAgentFromRunServices(name)) << name;
    }
    EXPECT_EQ(0, DeleteRunServicesValue("XArs_number"));
    EXPECT_EQ(0, DeleteRunServicesValue("XArs_empty"));
}

TEST(RunServices, MissingKeyIsAFailure)
{
    // Windows 9x always has the key; without it nothing can be registered.
    ASSERT_EQ(0, DeleteRegistryTree(HKEY_LOCAL_MACHINE, kRunServicesKey));
    SetLastError(0);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, SetRunServicesValue("XArs_two", "C:\\x\\AgentCore.exe"));
    EXPECT_EQ(-1, DeleteRunServicesValue("XArs_two"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, StartAgentFromRunServices("XArs_two"));
    ASSERT_TRUE(CreateMachineKey(kRunServicesKey));
}

TEST(LaunchProcess, StartsWithoutWaiting)
{
    ScratchFolder scratch("launch");
    std::string record = scratch / "record.txt";
    std::string command = "\"" + FixturePath("exitwith.exe") + "\" 0 --sleep 300 --record \"" + record + "\"";
    DWORD start = GetTickCount();
    EXPECT_EQ(0, LaunchProcess(command.c_str()));
    EXPECT_LT(GetTickCount() - start, 300u);
    for (int i = 0; i < 200 && !FileExistsAt(record); ++i)
        Sleep(50);
    EXPECT_NE(std::string::npos, ReadWholeFile(record).find("--record"));

    EXPECT_EQ(ERROR_FILE_NOT_FOUND, LaunchProcess((scratch / "nosuch.exe").c_str()));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, LaunchProcess(nullptr));
}
