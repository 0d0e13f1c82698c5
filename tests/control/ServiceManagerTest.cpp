// The service operations by name against the prefix's real service manager, with the agent's
// service stand-in as the service. Waits run on a virtual clock; the dependents that Wine never
// reports come from a fake enumeration, but are real services that are really stopped.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <regex>

#include "control/ServiceTestSupport.h"
#include "harness/VirtualClock.h"
#include "support/Clock.h"

using namespace xatest;

namespace {

// A copy of the stand-in installed as a service of the same name, removed with the object.
struct InstalledStandIn {
    InstalledStandIn(const std::string& name, const std::string& behaviour)
        : standIn(name, behaviour), service(name, name + " display", standIn.QuotedExe())
    {
    }
    StandIn standIn;
    TestService service;
};

DWORD Longest(const std::vector<DWORD>& sleeps)
{
    return sleeps.empty() ? 0 : *std::max_element(sleeps.begin(), sleeps.end());
}

std::vector<std::string> EventsWith(const StandIn& standIn, const std::string& word)
{
    std::vector<std::string> found;
    for (const std::string& event : standIn.Events()) {
        if (event.find(word) != std::string::npos)
            found.push_back(event);
    }
    return found;
}

// Opens the manager and a service for the direct calls of StopDependentServices.
struct OpenedService {
    explicit OpenedService(const std::string& name)
    {
        manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        service = manager ? OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS) : nullptr;
    }
    ~OpenedService()
    {
        if (service)
            CloseServiceHandle(service);
        if (manager)
            CloseServiceHandle(manager);
    }
    SC_HANDLE manager;
    SC_HANDLE service;
};

}  // namespace

TEST(StartServiceAndWait, StartsTheServiceAndWaitsUntilItRuns)
{
    InstalledStandIn agent("XAsm_start", "StartPendingMs=300\nCheckpointEveryMs=30\nStartWaitHint=2000");
    ASSERT_TRUE(agent.service.Created());
    VirtualClock clock(0xFFFF0000u, 100);

    EXPECT_EQ(0, StartServiceAndWait("XAsm_start"));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAsm_start").dwCurrentState);
    EXPECT_FALSE(clock.Sleeps().empty());
    for (DWORD sleep : clock.Sleeps())
        EXPECT_EQ(kServicePollMaxMs, sleep);
    EXPECT_EQ(std::vector<std::string>{"XAsm_start started"}, EventsWith(agent.standIn, "started"));

    EXPECT_EQ(ERROR_SERVICE_ALREADY_RUNNING, StartServiceAndWait("XAsm_start"));
    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, StartServiceAndWait("XAsm_nosuch"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, StartServiceAndWait(nullptr));
}

// A service whose checkpoint never moves: looked at every quarter second (within a shorter hint)
// until its wait hint has passed, or the start's own limit.
TEST(StartServiceAndWait, LooksEveryQuarterSecondAndTimesOut)
{
    struct Row {
        DWORD WaitHint;
        size_t Polls;
        DWORD Poll;
    };
    const Row rows[] = {
        {30000, 121, kServicePollMaxMs}, {200000, 480, kServicePollMaxMs}, {0, 1, kWaitPollMs},
        {9999, 40, kServicePollMaxMs},   {10000, 41, kServicePollMaxMs},   {100000, 401, kServicePollMaxMs},
        {150, 2, 150},
    };
    int index = 0;
    for (const Row& row : rows) {
        std::string name = "XAsm_cadence" + std::to_string(index++);
        SCOPED_TRACE(name + " hint " + std::to_string(row.WaitHint));
        InstalledStandIn agent(name, "StartPendingMs=-1\nStartWaitHint=" + std::to_string(row.WaitHint));
        ASSERT_TRUE(agent.service.Created());
        VirtualClock clock;

        EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StartServiceAndWait(name.c_str()));
        EXPECT_EQ(std::vector<DWORD>(row.Polls, row.Poll), clock.Sleeps());
        EXPECT_EQ((DWORD)SERVICE_START_PENDING, ReadServiceStatus(name).dwCurrentState);
    }
}

TEST(StartServiceAndWait, CheckpointProgressRestartsTheWait)
{
    // Each look (200 ms on the virtual clock, within the wait hint; 60 ms for real) sees a new
    // checkpoint; the 200 ms wait hint alone would have run out at the second look.
    InstalledStandIn agent("XAsm_progress", "StartPendingMs=1500\nCheckpointEveryMs=25\nStartWaitHint=200");
    ASSERT_TRUE(agent.service.Created());
    {
        VirtualClock clock(0xFFFF0000u, 60);
        EXPECT_EQ(0, StartServiceAndWait("XAsm_progress"));
        EXPECT_GE(clock.Sleeps().size(), 3u);
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAsm_progress").dwCurrentState);
    }

    // Progress for ever still ends at the start's limit. (Should the limit fail, the service's
    // process is ended after a while, so that the start comes back to report it.)
    InstalledStandIn endless("XAsm_endless", "StartPendingMs=-1\nCheckpointEveryMs=5\nStartWaitHint=2000");
    ASSERT_TRUE(endless.service.Created());
    VirtualClock endlessClock(0xFFFF0000u, 10);
    bool ended = false;
    endlessClock.OnSleep = [&](DWORD) {
        if (!ended && endlessClock.Elapsed() > 2 * kServiceStartLimitMs)
            ended = ForceRemoveService("XAsm_endless");
    };
    EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StartServiceAndWait("XAsm_endless"));
    EXPECT_EQ(kServiceStartLimitMs, endlessClock.Elapsed());
    EXPECT_EQ(std::vector<DWORD>(kServiceStartLimitMs / kServicePollMaxMs, kServicePollMaxMs), endlessClock.Sleeps());
}

TEST(StartServiceAndWait, ServiceThatStopsWhileStarting)
{
    InstalledStandIn agent("XAsm_fails", "StartPendingMs=200\nCheckpointEveryMs=20\nStartOutcome=stopped");
    ASSERT_TRUE(agent.service.Created());
    VirtualClock clock(0xFFFF0000u, 100);

    EXPECT_EQ(0xFFFFFFFFu, (DWORD)StartServiceAndWait("XAsm_fails"));
    SERVICE_STATUS status = ReadServiceStatus("XAsm_fails");
    EXPECT_EQ((DWORD)SERVICE_STOPPED, status.dwCurrentState);
    EXPECT_EQ((DWORD)ERROR_SERVICE_SPECIFIC_ERROR, status.dwWin32ExitCode);
}

TEST(StopServiceAndWait, StoppedOrMissingService)
{
    InstalledStandIn agent("XAsm_idle", "");
    ASSERT_TRUE(agent.service.Created());
    VirtualClock clock;

    // Sending a control to a stopped service would fail with 1062.
    EXPECT_EQ(0, StopServiceAndWait("XAsm_idle"));
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, StopServiceAndWait("XAsm_nosuch"));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, StopServiceAndWait(nullptr));
}

TEST(StopServiceAndWait, StopsARunningService)
{
    InstalledStandIn agent("XAsm_halt", "StopPendingMs=100\nStopWaitHint=500");
    ASSERT_TRUE(StartForReal("XAsm_halt"));
    VirtualClock clock(0xFFFF0000u, 100);

    EXPECT_EQ(0, StopServiceAndWait("XAsm_halt"));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAsm_halt").dwCurrentState);
    EXPECT_EQ((std::vector<std::string>{"XAsm_halt stop-request", "XAsm_halt stopped"}),
              EventsWith(agent.standIn, "stop"));
    ASSERT_FALSE(clock.Sleeps().empty());
    // Looked at again within its 500 ms hint, at least every 250 ms.
    for (DWORD sleep : clock.Sleeps())
        EXPECT_LE(sleep, (DWORD)kServicePollMaxMs);
}

// A service already stop-pending is polled at its wait hint, but at least every 250 ms (every
// 100 ms without a hint), until 60 s have passed since the call began, and never past that.
TEST(StopServiceAndWait, StopPendingServiceTimesOutAtTheLimit)
{
    struct Row {
        DWORD WaitHint;
        std::vector<DWORD> Sleeps;
    };
    const Row rows[] = {
        {3000, std::vector<DWORD>(240, 250)},
        {3600000, std::vector<DWORD>(240, 250)},
        {160, std::vector<DWORD>(375, 160)},
        {0, std::vector<DWORD>(600, 100)},
    };
    int index = 0;
    for (const Row& row : rows) {
        std::string name = "XAsm_pending" + std::to_string(index++);
        SCOPED_TRACE(name + " hint " + std::to_string(row.WaitHint));
        InstalledStandIn agent(name, "StopPendingMs=-1\nStopWaitHint=" + std::to_string(row.WaitHint));
        ASSERT_TRUE(StartForReal(name));
        SendStop(name);
        ASSERT_TRUE(WaitForServiceState(name, SERVICE_STOP_PENDING));
        VirtualClock clock;

        EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StopServiceAndWait(name.c_str()));
        EXPECT_EQ(row.Sleeps, clock.Sleeps());
        EXPECT_EQ(kServiceStopLimitMs, clock.Elapsed());
        EXPECT_EQ(1u, EventsWith(agent.standIn, "stop-request").size());  // no second control
    }
}

TEST(StopServiceAndWait, ServiceThatNeverStopsAfterTheControl)
{
    InstalledStandIn agent("XAsm_stuck", "StopPendingMs=-1\nStopWaitHint=3600000");
    ASSERT_TRUE(StartForReal("XAsm_stuck"));
    VirtualClock clock(0xFFFF0000u, 20);

    EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StopServiceAndWait("XAsm_stuck"));
    EXPECT_EQ(kServiceStopLimitMs, clock.Elapsed());
    EXPECT_EQ(1u, EventsWith(agent.standIn, "stop-request").size());
    EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, ReadServiceStatus("XAsm_stuck").dwCurrentState);
}

TEST(StopServiceAndWait, StopsTheActiveDependentsFirst)
{
    InstalledStandIn main("XAsm_main", "");
    std::string record = "Record=" + main.standIn.RecordFile();
    InstalledStandIn first("XAsm_depA", record + "\nStopPendingMs=50\nStopWaitHint=100");
    InstalledStandIn second("XAsm_depB", record);
    for (const char* name : {"XAsm_main", "XAsm_depA", "XAsm_depB"})
        ASSERT_TRUE(StartForReal(name)) << name;
    FakeServiceManager manager;
    manager.Dependents = {"XAsm_depA", "XAsm_depB"};
    VirtualClock clock(0xFFFF0000u, 50);

    EXPECT_EQ(0, StopServiceAndWait("XAsm_main"));
    EXPECT_EQ((std::vector<std::string>{"XAsm_depA stop-request", "XAsm_depA stopped", "XAsm_depB stop-request",
                                        "XAsm_depB stopped", "XAsm_main stop-request", "XAsm_main stopped"}),
              EventsWith(main.standIn, "stop"));
    EXPECT_EQ(2, manager.EnumerationCalls);  // the size, then the entries
    for (const char* name : {"XAsm_main", "XAsm_depA", "XAsm_depB"})
        EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus(name).dwCurrentState) << name;
}

TEST(StopServiceAndWait, TheLimitCoversTheDependents)
{
    InstalledStandIn main("XAsm_owner", "");
    InstalledStandIn dependent("XAsm_slowdep", "StopPendingMs=-1\nStopWaitHint=7000");
    ASSERT_TRUE(StartForReal("XAsm_owner"));
    ASSERT_TRUE(StartForReal("XAsm_slowdep"));
    FakeServiceManager manager;
    manager.Dependents = {"XAsm_slowdep"};
    VirtualClock clock(0xFFFF0000u, 20);

    // The dependent used the whole minute: the service still gets its control, but there is no
    // time left to wait for it.
    int result = StopServiceAndWait("XAsm_owner");
    EXPECT_TRUE(result == 0 || result == ERROR_SERVICE_REQUEST_TIMEOUT) << result;
    EXPECT_EQ(kServiceStopLimitMs, clock.Elapsed());
    EXPECT_EQ(1u, EventsWith(main.standIn, "stop-request").size());
}

TEST(StopDependentServices, EnumerationOutcomes)
{
    TestService owner("XAsm_deps", "XAsm_deps display", "\"C:\\nowhere\\AgentCore.exe\"");
    OpenedService opened("XAsm_deps");
    ASSERT_NE(nullptr, opened.service);
    struct Row {
        const char* What;
        DWORD EnumerationError;
        std::vector<std::string> Dependents;
        int Result;
        int Calls;
    };
    const Row rows[] = {
        {"no active dependents", 0, {}, 0, 1},
        {"enumeration refused", ERROR_ACCESS_DENIED, {}, ERROR_ACCESS_DENIED, 1},
        {"dependent gone meanwhile", 0, {"XAsm_gone"}, ERROR_SERVICE_DOES_NOT_EXIST, 2},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        FakeServiceManager manager;
        manager.EnumerationError = row.EnumerationError;
        manager.Dependents = row.Dependents;
        VirtualClock clock;
        EXPECT_EQ(row.Result, StopDependentServices(opened.manager, opened.service));
        EXPECT_EQ(row.Calls, manager.EnumerationCalls);
    }
}

// A dependent that stays stop-pending is polled as the service itself, never past the minute;
// the first failure ends the whole operation, so the next dependent is left running.
TEST(StopDependentServices, GivesUpAfterAMinute)
{
    TestService owner("XAsm_deps2", "XAsm_deps2 display", "\"C:\\nowhere\\AgentCore.exe\"");
    InstalledStandIn stuck("XAsm_stuckdep", "StopPendingMs=-1\nStopWaitHint=7000");
    InstalledStandIn huge("XAsm_hugedep", "StopPendingMs=-1\nStopWaitHint=3600000");
    InstalledStandIn zero("XAsm_zerodep", "StopPendingMs=-1\nStopWaitHint=0");
    InstalledStandIn next("XAsm_nextdep", "");
    for (const char* name : {"XAsm_stuckdep", "XAsm_hugedep", "XAsm_zerodep", "XAsm_nextdep"})
        ASSERT_TRUE(StartForReal(name)) << name;
    OpenedService opened("XAsm_deps2");
    ASSERT_NE(nullptr, opened.service);

    for (const char* first : {"XAsm_stuckdep", "XAsm_hugedep", "XAsm_zerodep"}) {
        SCOPED_TRACE(first);
        bool zeroHint = std::string(first) == "XAsm_zerodep";
        FakeServiceManager manager;
        manager.Dependents = {first, "XAsm_nextdep"};
        // 600 polls need no real pauses; a busy loop would never move the virtual clock, so a
        // sleep of 0 ends the minute at once.
        VirtualClock clock(0xFFFF0000u, zeroHint ? 0 : 20);
        clock.OnSleep = [&clock](DWORD milliseconds) {
            if (milliseconds == 0)
                clock.Advance(kServiceStopLimitMs);
        };
        EXPECT_EQ(0xFFFFFFFEu, (DWORD)StopDependentServices(opened.manager, opened.service));
        EXPECT_EQ(kServiceStopLimitMs, clock.Elapsed());
        EXPECT_EQ(zeroHint ? (DWORD)kWaitPollMs : (DWORD)kServicePollMaxMs, Longest(clock.Sleeps()));
        if (zeroHint) {
            EXPECT_EQ(std::vector<DWORD>(kServiceStopLimitMs / kWaitPollMs, kWaitPollMs), clock.Sleeps());
        }
        EXPECT_EQ((DWORD)SERVICE_STOP_PENDING, ReadServiceStatus(first).dwCurrentState);
        EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAsm_nextdep").dwCurrentState);
    }
}

// A deleted service stays known while a handle to it is open. The wait ends at the first look
// that finds it gone, and gives up at its limit (with a last look there) when none does; a look
// that fails otherwise (here 123, a name the manager refuses) finds nothing gone.
TEST(WaitUntilServiceGone, EndsAtTheFirstLookThatFindsTheServiceGone)
{
    struct Row {
        const char* Name;
        bool Exists;
        bool Deleted;              // marked for deletion, a handle kept open
        size_t ClosedAfterSleeps;  // the handle, SIZE_MAX: never
        bool Gone;
    } rows[] = {
        {"XAsm_nosuch", false, false, 0, true},
        {"XAsm_closed", true, true, 3, true},
        {"XAsm_held", true, true, SIZE_MAX, false},
        {"XAsm_kept", true, false, SIZE_MAX, false},
        {"XAsm\\refused", false, false, SIZE_MAX, false},
    };
    const DWORD limit = 400;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Name);
        std::unique_ptr<TestService> service;
        std::unique_ptr<OpenedService> opened;
        if (row.Exists) {
            service.reset(
                new TestService(row.Name, std::string(row.Name) + " display", "\"C:\\nowhere\\AgentCore.exe\""));
            ASSERT_TRUE(service->Created());
            opened.reset(new OpenedService(row.Name));
            ASSERT_NE(nullptr, opened->service);
            if (row.Deleted) {
                ASSERT_TRUE(DeleteService(opened->service));
            }
        }
        VirtualClock clock;
        clock.OnSleep = [&](DWORD) {
            if (clock.Sleeps().size() == row.ClosedAfterSleeps)
                opened.reset();
        };
        EXPECT_EQ(row.Gone, WaitUntilServiceGone(row.Name, limit));
        size_t looks = row.Gone ? row.ClosedAfterSleeps : limit / kServiceGonePollMs;
        EXPECT_EQ(std::vector<DWORD>(looks, kServiceGonePollMs), clock.Sleeps());
    }
}

TEST(RenameServiceForDeletion, AppendsTheTimeAndFreesTheDisplayName)
{
    TestService old("XAsm_rename", "Agent Rename Test", "\"C:\\nowhere\\AgentCore.exe\"");
    ASSERT_TRUE(old.Created());
    FILETIME before, after;
    GetSystemTimeAsFileTime(&before);
    EXPECT_EQ(0, RenameServiceForDeletion("XAsm_rename"));
    GetSystemTimeAsFileTime(&after);

    std::string renamed = ReadServiceConfig("XAsm_rename").DisplayName;
    std::smatch match;
    ASSERT_TRUE(std::regex_match(renamed, match, std::regex(R"(Agent Rename Test - ([0-9a-f]{8}) \(Deleted\))")))
        << renamed;
    DWORD stamp = std::stoul(match[1].str(), nullptr, 16);
    EXPECT_LE(stamp - before.dwLowDateTime, after.dwLowDateTime - before.dwLowDateTime);

    // While the old service waits for its last handle, a new one can take the display name.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE held = OpenServiceA(manager, "XAsm_rename", SERVICE_QUERY_STATUS);
    ASSERT_NE(nullptr, held);
    EXPECT_EQ(0, DeleteServiceEntry("XAsm_rename"));
    ServiceCleanup cleanup("XAsm_renamed_new");
    EXPECT_EQ(0, CreateServiceEntry("XAsm_renamed_new", "Agent Rename Test", "\"C:\\x\\AgentCore.exe\"", nullptr,
                                    nullptr));
    CloseServiceHandle(held);
    CloseServiceHandle(manager);

    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, RenameServiceForDeletion("XAsm_nosuch"));
}

TEST(RenameServiceForDeletion, LongDisplayNameIsCutToLeaveRoomForTheSuffix)
{
    std::string longName(250, 'L');
    TestService old("XAsm_renamelong", longName, "\"C:\\nowhere\\AgentCore.exe\"");
    ASSERT_TRUE(old.Created());
    EXPECT_EQ(0, RenameServiceForDeletion("XAsm_renamelong"));
    std::string renamed = ReadServiceConfig("XAsm_renamelong").DisplayName;
    EXPECT_EQ(259u, renamed.size());
    EXPECT_TRUE(std::regex_match(renamed, std::regex("L{238} - [0-9a-f]{8} \\(Deleted\\)"))) << renamed;
}

TEST(SetServiceConfig2, ArgumentsServiceAndAbsentFunction)
{
    TestService service("XAsm_config2", "XAsm_config2 display", "\"C:\\nowhere\\AgentCore.exe\"");
    SERVICE_DESCRIPTIONA description = {const_cast<char*>("Config2 text")};
    FakeServiceManager manager;

    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetServiceConfig2(nullptr, SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, SetServiceConfig2("XAsm_config2", SERVICE_CONFIG_DESCRIPTION, nullptr));
    EXPECT_EQ(ERROR_SERVICE_DOES_NOT_EXIST, SetServiceConfig2("XAsm_nosuch", SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_TRUE(manager.Config2Calls.empty());

    manager.HasChangeServiceConfig2 = false;  // as on NT 4
    EXPECT_EQ(0, SetServiceConfig2("XAsm_config2", SERVICE_CONFIG_DESCRIPTION, &description));
    EXPECT_TRUE(manager.Config2Calls.empty());
    EXPECT_EQ("", ReadServiceConfig("XAsm_config2").Description);

    manager.HasChangeServiceConfig2 = true;
    EXPECT_EQ(0, SetServiceConfig2("XAsm_config2", SERVICE_CONFIG_DESCRIPTION, &description));
    ASSERT_EQ(1u, manager.Config2Calls.size());
    EXPECT_EQ((DWORD)SERVICE_CONFIG_DESCRIPTION, manager.Config2Calls[0].Level);
    EXPECT_EQ("Config2 text", ReadServiceConfig("XAsm_config2").Description);
}

// The stand-in's pipe, which the agent's shutdown request goes to.
TEST(AgentStandIn, ServesThePipeAndEndsOnTheShutdownRequest)
{
    InstalledStandIn agent("XAsm_pipe", "Pipe=\\\\.\\pipe\\arvaneAgentP1");
    ASSERT_TRUE(StartForReal("XAsm_pipe"));
    HANDLE pipe = INVALID_HANDLE_VALUE;
    for (int i = 0; i < 100 && pipe == INVALID_HANDLE_VALUE; ++i) {
        pipe = CreateFileA("\\\\.\\pipe\\arvaneAgentP1", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            Sleep(20);
    }
    ASSERT_NE(INVALID_HANDLE_VALUE, pipe);
    DWORD mode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(pipe, &mode, nullptr, nullptr));
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(pipe, "\x09\0\0\0", 4, &done, nullptr));
    unsigned char reply[16];
    memset(reply, 0xEE, sizeof(reply));
    EXPECT_TRUE(ReadFile(pipe, reply, sizeof(reply), &done, nullptr));
    EXPECT_EQ(8u, done);
    EXPECT_EQ(std::vector<unsigned char>(8, 0), std::vector<unsigned char>(reply, reply + 8));
    CloseHandle(pipe);

    EXPECT_TRUE(WaitForServiceState("XAsm_pipe", SERVICE_STOPPED));
    EXPECT_EQ((std::vector<std::string>{"XAsm_pipe started", "XAsm_pipe pipe-request 09000000", "XAsm_pipe stopped"}),
              agent.standIn.Events());
}
