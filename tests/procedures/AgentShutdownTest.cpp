// The agent's shutdown against real stand-ins (tests/fixtures/AgentServiceStandIn.cpp and
// UserTrayStandIn.cpp): StopAgentService's outcomes with the real service manager in a Windows 7
// prefix and without one in a Windows 98 prefix (where the fake gives ToolHelp the full paths of
// Windows 9x), and the stop of the user task. The two-minute wait runs on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <numeric>

#include "control/AgentPipe.h"
#include "procedures/AgentShutdown.h"
#include "procedures/ProcedureFixture.h"
#include "procedures/UserTask.h"
#include "support/Clock.h"

using namespace xatest;

namespace {

const std::string kPipe = "\\\\.\\pipe\\arvaneAgent";

// The waits of the process check, without the polls for a pipe reply.
std::vector<DWORD> WithoutReplyPolls(const std::vector<DWORD>& sleeps)
{
    std::vector<DWORD> kept;
    for (DWORD sleep : sleeps)
        if (sleep > kAgentPipePollMs)
            kept.push_back(sleep);
    return kept;
}

// The wait for an agent that stays: two minutes of looks every kWaitPollMs. The stop before it
// may add a look or two of the same length while the service manager reports no wait hint yet.
void ExpectTwoMinutesOfAgentPolls(const std::vector<DWORD>& sleeps)
{
    long polls = (long)std::count(sleeps.begin(), sleeps.end(), (DWORD)kWaitPollMs);
    EXPECT_GE(polls, (long)(120000 / kWaitPollMs));
    EXPECT_LE(polls, (long)(120000 / kWaitPollMs) + 2);
}

DWORD ReplyPollTime(const std::vector<DWORD>& sleeps)
{
    DWORD total = 0;
    for (DWORD sleep : sleeps)
        if (sleep <= kAgentPipePollMs)
            total += sleep;
    return total;
}

// The agent as each system runs it: on Windows NT the process of its running service, which
// outlives the stop that the test makes (AfterStop=linger); on Windows 9x a plain process.
class AgentOfService {
public:
    AgentOfService(const std::string& scratchName, const std::string& service, const std::string& pipe,
                   const std::string& behaviour)
    {
        DWORD id = 0;
        if (IsWin9xKind()) {
            plain_.reset(new RunningAgent(scratchName, pipe, behaviour));
            ready = plain_->ready;
            id = plain_->process.Id();
        } else {
            standIn_.reset(new StandIn(scratchName, "Pipe=" + pipe + "\nAfterStop=linger\n" + behaviour));
            service_.reset(new TestService(service, "Agent", standIn_->QuotedExe()));
            ready = service_->Created() && StartForReal(service) && WaitForPipe(pipe) &&
                    QueryServiceState(service.c_str(), &state_, &id) == 0;
            name_ = service;
        }
        process = id ? OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id) : nullptr;
        ready = ready && process;
    }
    ~AgentOfService()
    {
        // A lingering process is no longer its service's: the service's removal would miss it.
        if (process) {
            TerminateProcess(process, 1);
            WaitForSingleObject(process, 5000);
            CloseHandle(process);
        }
    }
    const StandIn& standIn() const { return plain_ ? plain_->standIn : *standIn_; }
    // An event as the agent records it: "<service> ..." or "process ...".
    std::string Event(const std::string& event) const { return name_ + " " + event; }
    bool EndsWithin(DWORD ms) const { return WaitForSingleObject(process, ms) == WAIT_OBJECT_0; }

    bool ready = false;
    HANDLE process = nullptr;

private:
    std::unique_ptr<RunningAgent> plain_;
    std::unique_ptr<StandIn> standIn_;
    std::unique_ptr<TestService> service_;
    std::string name_ = "process";
    DWORD state_ = 0;
};

// A record of instance I1 logging into a file of its own; on Windows 9x the fake gives ToolHelp
// the full paths that Windows 9x gives.
class AgentShutdownTest : public testing::Test {
protected:
    AgentShutdownTest() : log_("agentstop")
    {
        if (IsWin9xKind())
            fake_.reset(new FakeProcessControl);
        log_.SetInstance("I1");
    }

    void UseFolder(const std::string& folder) { ReplaceText(log_.Data().DestFolder, DuplicateText(folder.c_str())); }
    std::vector<std::string> Log() const { return log_.Messages(); }

    std::unique_ptr<FakeProcessControl> fake_;
    LoggedData log_;
};

class StopAgentServiceTest : public AgentShutdownTest {};
class StopUserTaskTest : public AgentShutdownTest {};

}  // namespace

TEST_F(StopAgentServiceTest, MissingServiceEndsAtOnceWithoutThePipe)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no service manager on Windows 9x";
    RunningAgent agent("absent", kPipe + "I1");
    ASSERT_TRUE(agent.ready);
    UseFolder(agent.standIn.Folder());
    VirtualClock clock;

    EXPECT_EQ(0, StopAgentService(&log_.Data()));
    EXPECT_EQ((std::vector<std::string>{"Stopping service XAI1...", "Agent service XAI1 doesn't exist.",
                                        "Stopping service returns 0."}),
              Log());
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_EQ(std::vector<std::string>{"process launched"}, agent.standIn.Events());
    EXPECT_TRUE(agent.process.Running());
}

TEST_F(StopAgentServiceTest, StoppedServiceAndNoAgentNeedsOneCheck)
{
    StandIn standIn("gone");
    std::unique_ptr<TestService> service;
    if (!IsWin9xKind())
        service.reset(new TestService("XAI1", "Agent I1", standIn.QuotedExe()));
    UseFolder(standIn.Folder());
    VirtualClock clock;

    EXPECT_EQ(0, StopAgentService(&log_.Data()));
    EXPECT_TRUE(clock.Sleeps().empty());
    std::vector<std::string> expected = {"Trying to connect to agent via \"\\\\.\\pipe\\arvaneAgentI1\"...",
                                         "StopAgentService() returns 0"};
    if (!IsWin9xKind())
        expected.insert(expected.begin(), {"Stopping service XAI1...", "Stopping service returns 0."});
    EXPECT_EQ(expected, Log());
}

TEST_F(StopAgentServiceTest, RunningServiceIsStopped)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no service manager on Windows 9x";
    StandIn standIn("running", "Pipe=" + kPipe + "I1");
    TestService service("XAI1", "Agent I1", standIn.QuotedExe());
    ASSERT_TRUE(StartForReal("XAI1"));
    UseFolder(standIn.Folder());
    VirtualClock clock(0xFFFF0000u, 100);

    EXPECT_EQ(0, StopAgentService(&log_.Data()));
    EXPECT_EQ((DWORD)SERVICE_STOPPED, ReadServiceStatus("XAI1").dwCurrentState);
    bool running = true;
    EXPECT_EQ(0, IsProcessRunning(standIn.Exe().c_str(), &running));
    EXPECT_FALSE(running);
    // The stop is looked at within the service's hint, the agent's exit every 100 ms.
    for (DWORD sleep : clock.Sleeps())
        EXPECT_LE(sleep, (DWORD)kServicePollMaxMs);
    std::vector<std::string> log = Log();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("StopAgentService() returns 0", log.back());
}

// The agent's process outlives its stopped service and ends on the shutdown request; on
// Windows 9x it runs as a plain process. Legacy names on request.
TEST_F(StopAgentServiceTest, AgentEndsOnTheShutdownRequest)
{
    struct Row {
        bool Legacy;
        const char* Reply;
    } rows[] = {{false, ""}, {false, "0900"}, {true, ""}};
    for (const Row& row : rows) {
        SCOPED_TRACE(std::string(row.Legacy ? "legacy" : "current") + " reply " + row.Reply);
        log_.Data().UpdateLegacyAgent = row.Legacy ? 1 : 0;
        std::string service = row.Legacy ? "ArvaneAgent" : "XAI1";
        std::string pipe = row.Legacy ? kPipe : kPipe + "I1";
        log_.ClearLog();
        AgentOfService agent(row.Legacy ? "legacyagent" : "currentagent", service, pipe,
                             std::string(*row.Reply ? "PipeReply=" : "") + row.Reply);
        ASSERT_TRUE(agent.ready);
        UseFolder(agent.standIn().Folder());
        VirtualClock clock(0xFFFF0000u, 20);  // the stop and the reply take real time
        clock.OnSleep = [&agent](DWORD milliseconds) {
            if (milliseconds > kAgentPipePollMs)
                agent.EndsWithin(5000);
        };

        EXPECT_EQ(0, StopAgentService(&log_.Data()));
        EXPECT_TRUE(agent.EndsWithin(5000));
        std::vector<std::string> events = agent.standIn().Events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ((std::vector<std::string>{agent.Event("pipe-request 09000000"), agent.Event("ended")}),
                  std::vector<std::string>(events.end() - 2, events.end()));
        std::vector<std::string> expected = {"Trying to connect to agent via \"" + pipe + "\"...",
                                             "StopAgentService() returns 0"};
        if (!IsWin9xKind())
            expected.insert(expected.begin(), {"Stopping service " + service + "...", "Stopping service returns 0."});
        EXPECT_EQ(expected, Log());
    }
}

// Another program took the pipe's name once the service had stopped: an AgentCore.exe elsewhere,
// or the agent's own program that a user started. Neither is the service's process or runs as
// LocalSystem. (Windows 9x has no users to tell apart.)
TEST_F(StopAgentServiceTest, APipeServedByAnotherProgramGetsNoRequest)
{
    if (IsWin9xKind() || !GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId"))
        GTEST_SKIP() << "this system cannot tell a pipe's server";
    for (bool ownProgram : {false, true}) {
        SCOPED_TRACE(ownProgram ? "the agent's program" : "another program");
        log_.ClearLog();
        RunningAgent impostor(ownProgram ? "userstarted" : "impostor", kPipe + "I1");
        ASSERT_TRUE(impostor.ready);
        StandIn agent("notrunning");
        TestService stopped("XAI1", "Agent I1", (ownProgram ? impostor.standIn : agent).QuotedExe());
        UseFolder((ownProgram ? impostor.standIn : agent).Folder());
        VirtualClock clock;

        EXPECT_EQ(0, StopAgentService(&log_.Data()));
        EXPECT_EQ((std::vector<std::string>{
                      "Stopping service XAI1...", "Stopping service returns 0.",
                      "Trying to connect to agent via \"\\\\.\\pipe\\arvaneAgentI1\"...",
                      "The agent's pipe is served by another program; the shutdown request is not sent.",
                      "StopAgentService() returns 0"}),
                  Log());
        EXPECT_EQ(std::vector<std::string>{"process launched"}, impostor.standIn.Events());
        EXPECT_TRUE(impostor.process.Running());

        // The same pipe is the agent's own when it is the service's process.
        HANDLE handle = AgentPipeConnect((kPipe + "I1").c_str(), impostor.process.Id(), ClockTicks());
        EXPECT_NE(INVALID_HANDLE_VALUE, handle);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
}

TEST_F(StopAgentServiceTest, AgentThatIgnoresTheRequestIsWaitedForTwoMinutes)
{
    AgentOfService agent("ignoring", "XAI1", kPipe + "I1", "PipeShutdown=ignore");
    ASSERT_TRUE(agent.ready);
    UseFolder(agent.standIn().Folder());
    VirtualClock clock;
    clock.OnSleep = [](DWORD milliseconds) {
        if (milliseconds != kWaitPollMs)
            Sleep(20);  // the stop and the reply take real time; the polls for the agent need none
    };

    // On NT the stopped service is the outcome whatever the wait finds; 9x has only the wait.
    int expected = IsWin9xKind() ? -1 : 0;
    EXPECT_EQ(expected, StopAgentService(&log_.Data()));
    ExpectTwoMinutesOfAgentPolls(clock.Sleeps());
    EXPECT_FALSE(agent.EndsWithin(0));
    std::vector<std::string> events = agent.standIn().Events();
    EXPECT_EQ(agent.Event("pipe-request 09000000"), events.empty() ? "" : events.back());
    EXPECT_EQ("StopAgentService() returns " + std::to_string(expected), Log().back());
}

// The agent takes the shutdown request and never answers: the exchange is given up after its
// limit and the wait for the agent follows as after any failed exchange.
TEST_F(StopAgentServiceTest, AgentThatNeverAnswersIsGivenUpAfterTheLimit)
{
    AgentOfService agent("silentagent", "XAI1", kPipe + "I1", "PipeReply=never");
    ASSERT_TRUE(agent.ready);
    UseFolder(agent.standIn().Folder());
    int result = 1;
    std::vector<DWORD> sleeps;

    // Bounds a read that would block for ever, not the two minutes of polling for the agent.
    EXPECT_TRUE(ComesBackWithin(
        90000,
        [&] {
            VirtualClock clock(0xFFFF0000u, IsWin9xKind() ? 0 : 1);  // the stop takes real time
            result = StopAgentService(&log_.Data());
            sleeps = clock.Sleeps();
        },
        GetProcessId(agent.process)));
    int expected = IsWin9xKind() ? -1 : 0;
    EXPECT_EQ(expected, result);
    EXPECT_EQ(kAgentPipeLimitMs, ReplyPollTime(sleeps));
    ExpectTwoMinutesOfAgentPolls(sleeps);
    std::vector<std::string> events = agent.standIn().Events();
    EXPECT_EQ(agent.Event("pipe-request 09000000"), events.empty() ? "" : events.back());
    EXPECT_EQ("StopAgentService() returns " + std::to_string(expected), Log().back());
}

TEST_F(StopAgentServiceTest, FailedStopLeavesItsErrorWhenTheAgentStays)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no service manager on Windows 9x";
    StandIn standIn("stuck", "Pipe=" + kPipe + "I1\nStopPendingMs=-1\nStopWaitHint=1000");
    TestService service("XAI1", "Agent I1", standIn.QuotedExe());
    ASSERT_TRUE(StartForReal("XAI1"));
    UseFolder(standIn.Folder());
    VirtualClock clock;

    EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StopAgentService(&log_.Data()));
    // The stop gave up after its minute; the agent, stuck in stopping, outlived the whole wait.
    const std::vector<DWORD>& sleeps = clock.Sleeps();
    const size_t exitPolls = 120000 / kWaitPollMs;
    ASSERT_GE(sleeps.size(), exitPolls);
    EXPECT_EQ(std::vector<DWORD>(exitPolls, kWaitPollMs), std::vector<DWORD>(sleeps.end() - exitPolls, sleeps.end()));
    EXPECT_GE(std::accumulate(sleeps.begin(), sleeps.end() - exitPolls, 0u), kServiceStopLimitMs);
    std::string log = ReadWholeFile(log_.LogPath());
    EXPECT_NE(std::string::npos,
              log.find("]: Failed to stop agent service: XAI1. " + SystemMessage(ERROR_SERVICE_REQUEST_TIMEOUT)));
    std::vector<std::string> lines = Log();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ("Stopping service XAI1...", lines.front());
    EXPECT_EQ("StopAgentService() returns 1053", lines.back());
    EXPECT_NE(std::string::npos, log.find("]: Stopping service returns 1053.\r\n"));
}

TEST_F(StopAgentServiceTest, FailedSearchEndsTheWait)
{
    if (!IsWin9xKind())
        GTEST_SKIP() << "the search through psapi cannot be made to fail";
    RunningAgent agent("nosearch", kPipe + "I1", "PipeShutdown=ignore");
    ASSERT_TRUE(agent.ready);
    UseFolder(agent.standIn.Folder());
    fake_->HasToolhelp = false;
    VirtualClock clock(0xFFFF0000u, 5);  // the reply takes real time

    EXPECT_EQ(-1, StopAgentService(&log_.Data()));
    EXPECT_TRUE(WithoutReplyPolls(clock.Sleeps()).empty());
}

// The task of the installation ends through its event (its legacy event for a legacy agent);
// Windows 9x runs no task per user session, so nothing is done there.
TEST_F(StopUserTaskTest, StopsTheTaskOfTheInstallation)
{
    for (bool legacy : {false, true}) {
        SCOPED_TRACE(legacy ? "legacy" : "current");
        if (legacy && IsWin9xKind())
            continue;
        UserTaskCopy copy(legacy ? "legacytask" : "installtask");
        UseFolder(copy.Folder());
        log_.Data().UpdateLegacyAgent = legacy ? 1 : 0;
        std::unique_ptr<StartedProcess> task = copy.Start(legacy ? "" : "--id I1");
        ASSERT_TRUE(task->Started());
        VirtualClock clock;
        clock.OnSleep = [&task](DWORD ms) {
            if (ms == kWaitPollMs)
                task->EndsWithin(5000);
        };

        EXPECT_EQ(0, StopUserTask(&log_.Data()));
        if (IsWin9xKind()) {
            EXPECT_TRUE(clock.Sleeps().empty());
            EXPECT_TRUE(task->Running());
            EXPECT_TRUE(copy.Recorded().empty());
        } else {
            EXPECT_TRUE(task->EndsWithin(5000));
            EXPECT_EQ(10u, task->ExitCode()) << "ended through its exit event";
        }
        EXPECT_EQ(std::vector<std::string>{}, Log());
    }
}

TEST_F(StopUserTaskTest, FailureIsLogged)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no user task on Windows 9x";
    UserTaskCopy copy("failingtask");
    UseFolder(copy.Folder());
    std::unique_ptr<StartedProcess> task = copy.Start("--id I1 --ignore all");
    ASSERT_TRUE(task->Started());
    FakeProcessControl refusals;
    refusals.DenyTerminate.insert(task->Id());
    refusals.WtsTerminateWorks = false;
    VirtualClock clock;
    EXPECT_EQ(-1, StopUserTask(&log_.Data()));
    EXPECT_TRUE(task->Running());
    EXPECT_EQ(std::vector<std::string>{"Failed to stop user task. Error Code: -1"}, Log());
}
