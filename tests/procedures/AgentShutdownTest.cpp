// The agent's shutdown against real stand-ins (tests/fixtures/AgentServiceStandIn.cpp): the pipe
// client's framing and waits, and StopAgentService's outcomes with the real service manager in
// a Windows 7 prefix and without one in a Windows 98 prefix (where the fake gives ToolHelp the
// full paths of Windows 9x). The two-minute wait runs on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <numeric>

#include "control/AgentPipe.h"
#include "control/ProcessTestSupport.h"
#include "control/ServiceTestSupport.h"
#include "harness/VirtualClock.h"
#include "procedures/AgentShutdown.h"
#include "procedures/Installer.h"
#include "support/Clock.h"

using namespace xatest;

namespace {

// A connection and an exchange that start now.
HANDLE AgentPipeConnect(const char* name, DWORD serviceProcessId = kAgentPipeAnyServer)
{
    return ::AgentPipeConnect(name, serviceProcessId, ClockTicks());
}

int AgentPipeTransact(HANDLE pipe, const AgentPipeRequest* request, DWORD* status, unsigned char** payload,
                      DWORD* length)
{
    return ::AgentPipeTransact(pipe, request, status, payload, length, ClockTicks());
}

const std::string kPipe = "\\\\.\\pipe\\arvaneAgent";

// Waits until the pipe exists (busy or listening); false after timeoutMs.
bool WaitForPipe(const std::string& name, DWORD timeoutMs = 10000)
{
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (WaitNamedPipeA(name.c_str(), 1) || GetLastError() == ERROR_SEM_TIMEOUT)
            return true;
        Sleep(20);
    }
    return false;
}

// The stand-in started as a plain process (as the Windows 9x RunServices entry starts it),
// serving pipe until its shutdown request.
struct RunningAgent {
    RunningAgent(const std::string& scratchName, const std::string& pipe, const std::string& behaviour = "")
        : standIn(scratchName, "Pipe=" + pipe + "\nLifetimeMs=-1\n" + behaviour), process(standIn.QuotedExe())
    {
        ready = process.Started() && WaitForPipe(pipe);
        // A busy agent is ready once it holds its pipe itself.
        bool busy = behaviour.find("PipeBusyMs") != std::string::npos;
        for (int i = 0; ready && busy && i < 500 && !HasEvent("process pipe-busy"); ++i)
            Sleep(10);
        ready = ready && (!busy || HasEvent("process pipe-busy"));
    }
    bool HasEvent(const std::string& event) const
    {
        std::vector<std::string> events = standIn.Events();
        return std::find(events.begin(), events.end(), event) != events.end();
    }
    StandIn standIn;
    StartedProcess process;
    bool ready = false;
};

std::string Hex(const std::string& bytes)
{
    std::string text;
    char pair[4];
    for (unsigned char c : bytes) {
        std::snprintf(pair, sizeof(pair), "%02x", c);
        text += pair;
    }
    return text;
}

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

DWORD WINAPI RunCall(void* call)
{
    (*static_cast<std::function<void()>*>(call))();
    return 0;
}

// Runs call on a thread of its own. When it has not come back within realMs (a read that blocks
// for ever), ends the agent, which breaks the pipe and so frees the call, and returns false.
bool ComesBackWithin(DWORD realMs, std::function<void()> call, DWORD agentId)
{
    HANDLE thread = CreateThread(nullptr, 0, RunCall, &call, 0, nullptr);
    if (!thread)
        return false;
    bool back = WaitForSingleObject(thread, realMs) == WAIT_OBJECT_0;
    if (!back) {
        HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, agentId);
        if (process) {
            TerminateProcess(process, 1);
            CloseHandle(process);
        }
        WaitForSingleObject(thread, INFINITE);
    }
    CloseHandle(thread);
    return back;
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

// The message part of each line of a setup log.
std::vector<std::string> Messages(const std::string& log)
{
    std::vector<std::string> messages;
    for (const std::string& line : SplitLines(ReadWholeFile(log))) {
        size_t start = line.find("]: ");
        messages.push_back(start == std::string::npos ? line : line.substr(start + 3));
    }
    return messages;
}

}  // namespace

TEST(AgentPipeTest, RequestAndReplyFraming)
{
    const std::string pipe = kPipe + "T1";
    const std::string payload = "abc";
    const AgentPipeRequest request = {7, 3, payload.data()};
    struct Row {
        const char* Reply;    // what the agent answers, in hex; "none": nothing
        int Result;
        bool Outs;            // the out values were set
        DWORD Status;
        std::string Payload;  // what the caller gets
    } rows[] = {
        {"0500000003000000414243", 1, true, 5, "ABC"},
        {"0000000000000000", 1, true, 0, ""},
        {"07000000020000004142434445", 1, true, 7, "AB"},  // more bytes than the length says
        {"0500000064000000414243", 1, true, 5, "ABC"},      // a length beyond what arrived
        {"05000000ffffffff", 1, true, 5, ""},
        {"0600000003", 1, true, 6, ""},                     // no complete length field
        {"0900", 1, false, 0, ""},                          // shorter than the status
        {"none", 0, false, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Reply);
        RunningAgent agent("framing", pipe, std::string("PipeReply=") + row.Reply);
        ASSERT_TRUE(agent.ready);
        HANDLE handle = AgentPipeConnect(pipe.c_str(), agent.process.Id());
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);

        DWORD status = 0xAAAAAAAA;
        DWORD length = 0xBBBBBBBB;
        unsigned char* data = reinterpret_cast<unsigned char*>(&status);  // a sentinel never freed
        EXPECT_EQ(row.Result, AgentPipeTransact(handle, &request, &status, &data, &length) == 0 ? 1 : 0);
        CloseHandle(handle);
        if (row.Outs) {
            EXPECT_EQ(row.Status, status);
            EXPECT_EQ(row.Payload.size(), length);
            if (row.Payload.empty()) {
                EXPECT_EQ(nullptr, data);
            } else {
                ASSERT_NE(nullptr, data);
                EXPECT_EQ(row.Payload, std::string(reinterpret_cast<char*>(data), length));
            }
            std::free(data);
        } else {
            EXPECT_EQ(0xAAAAAAAAu, status);
            EXPECT_EQ(0xBBBBBBBBu, length);
            EXPECT_EQ(reinterpret_cast<unsigned char*>(&status), data);
        }
        // The request went out as the code and the payload, without its length.
        std::vector<std::string> events = agent.standIn.Events();
        EXPECT_EQ((std::vector<std::string>{"process launched", "process pipe-request 07000000" + Hex(payload)}),
                  events);
    }
}

TEST(AgentPipeTest, OutValuesAreOptionalAndArgumentsChecked)
{
    const std::string pipe = kPipe + "T2";
    RunningAgent agent("optional", pipe, "PipeReply=0500000003000000414243\nPipeShutdown=ignore");
    ASSERT_TRUE(agent.ready);
    AgentPipeRequest shutdown = {kAgentShutdownCode, 0, nullptr};
    HANDLE handle = AgentPipeConnect(pipe.c_str());
    ASSERT_NE(INVALID_HANDLE_VALUE, handle);
    EXPECT_EQ(0, AgentPipeTransact(handle, &shutdown, nullptr, nullptr, nullptr));
    CloseHandle(handle);
    handle = AgentPipeConnect(pipe.c_str(), agent.process.Id());
    DWORD status = 0;
    EXPECT_EQ(0, AgentPipeTransact(handle, &shutdown, &status, nullptr, nullptr));
    EXPECT_EQ(5u, status);

    SetLastError(0);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, AgentPipeTransact(handle, nullptr, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    AgentPipeRequest noData = {7, 3, nullptr};
    EXPECT_EQ(ERROR_INVALID_PARAMETER, AgentPipeTransact(handle, &noData, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    CloseHandle(handle);
    EXPECT_EQ(ERROR_INVALID_HANDLE, AgentPipeTransact(INVALID_HANDLE_VALUE, &shutdown, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
    EXPECT_EQ(ERROR_INVALID_HANDLE, AgentPipeTransact(nullptr, &shutdown, nullptr, nullptr, nullptr));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());

    // Both requests arrived as the four bytes 09 00 00 00, and the agent ignored them.
    std::vector<std::string> events = agent.standIn.Events();
    EXPECT_EQ(2, std::count(events.begin(), events.end(), "process pipe-request 09000000"));
    EXPECT_TRUE(agent.process.Running());
}

TEST(AgentPipeTest, ConnectWaitsOnlyForABusyPipe)
{
    // No pipe: no waiting.
    DWORD start = GetTickCount();
    EXPECT_EQ(INVALID_HANDLE_VALUE, AgentPipeConnect((kPipe + "Missing").c_str()));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
    EXPECT_LT(GetTickCount() - start, 500u);

    // Busy for less than a round: the wait sees the instance free up.
    {
        const std::string pipe = kPipe + "B1";
        RunningAgent agent("busyshort", pipe, "PipeBusyMs=800");
        ASSERT_TRUE(agent.ready);
        start = GetTickCount();
        HANDLE handle = AgentPipeConnect(pipe.c_str(), agent.process.Id());
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        EXPECT_GE(GetTickCount() - start, 300u);
        DWORD mode = 0;
        EXPECT_TRUE(GetNamedPipeHandleStateA(handle, &mode, nullptr, nullptr, nullptr, nullptr, 0));
        EXPECT_EQ((DWORD)PIPE_READMODE_MESSAGE, mode & PIPE_READMODE_MESSAGE);
        CloseHandle(handle);
    }
    // Busy for longer than a round: given up after it.
    const std::string pipe = kPipe + "B2";
    RunningAgent agent("busylong", pipe, "PipeBusyMs=-1");
    ASSERT_TRUE(agent.ready);
    start = GetTickCount();
    EXPECT_EQ(INVALID_HANDLE_VALUE, AgentPipeConnect(pipe.c_str()));
    DWORD took = GetTickCount() - start;
    EXPECT_GE(took, 900u);
    EXPECT_LT(took, 3000u);
}

// An agent that takes the request and never answers, one that takes the connection and never
// reads the request (not given up on Windows 9x, which has no overlapped I/O on pipes), or a pipe
// that is busy when the exchange's time is up: given up with 1460 once kAgentPipeLimitMs have
// passed on the clock.
TEST(AgentPipeTest, TheExchangeEndsAtItsLimit)
{
    for (const char* reply : {"never", "unread"}) {
        SCOPED_TRACE(reply);
        bool unread = std::string(reply) == "unread";
        if (unread && IsWin9xKind())
            continue;
        const std::string pipe = kPipe + "T3" + reply;
        RunningAgent agent("silent", pipe, std::string("PipeReply=") + reply);
        ASSERT_TRUE(agent.ready);
        HANDLE handle = AgentPipeConnect(pipe.c_str());
        ASSERT_NE(INVALID_HANDLE_VALUE, handle);
        const AgentPipeRequest shutdown = {kAgentShutdownCode, 0, nullptr};
        int result = -1;
        DWORD error = 0;
        std::vector<DWORD> sleeps;
        DWORD elapsed = 0;
        EXPECT_TRUE(ComesBackWithin(
            20000,
            [&] {
                VirtualClock clock;
                result = AgentPipeTransact(handle, &shutdown, nullptr, nullptr, nullptr, clock.Now());
                error = GetLastError();
                sleeps = clock.Sleeps();
                elapsed = clock.Elapsed();
            },
            agent.process.Id()));
        CloseHandle(handle);
        EXPECT_EQ(ERROR_TIMEOUT, result);
        EXPECT_EQ((DWORD)ERROR_TIMEOUT, error);
        EXPECT_EQ(kAgentPipeLimitMs, elapsed);
        EXPECT_EQ(std::vector<DWORD>(kAgentPipeLimitMs / kAgentPipePollMs, kAgentPipePollMs), sleeps);
        std::vector<std::string> events = agent.standIn.Events();
        EXPECT_EQ(unread ? 1u : 2u, events.size());
        EXPECT_EQ(unread ? "process launched" : "process pipe-request 09000000", events.back());
    }

    // A busy pipe is not waited for once the time is up.
    const std::string busyPipe = kPipe + "B3";
    RunningAgent busy("busylimit", busyPipe, "PipeBusyMs=-1");
    ASSERT_TRUE(busy.ready);
    DWORD start = GetTickCount();
    EXPECT_EQ(INVALID_HANDLE_VALUE, ::AgentPipeConnect(busyPipe.c_str(), kAgentPipeAnyServer, ClockTicks() - kAgentPipeLimitMs));
    EXPECT_EQ((DWORD)ERROR_TIMEOUT, GetLastError());
    EXPECT_LT(GetTickCount() - start, 500u);
}

class StopAgentServiceTest : public testing::Test {
protected:
    StopAgentServiceTest() : scratch_("agentstop"), log_(scratch_ / "setup.log"), installer_(&data_)
    {
        if (IsWin9xKind())
            fake_.reset(new FakeProcessControl);
        data_.IsWin9x = IsWin9xKind() ? 1 : 0;
        data_.LogEnabled = 1;
        data_.Log.Open(log_.c_str());
        ReplaceText(data_.Instance, DuplicateText("I1"));
    }

    void UseFolder(const std::string& folder) { ReplaceText(data_.DestFolder, DuplicateText(folder.c_str())); }

    std::vector<std::string> Log() const { return Messages(log_); }

    std::unique_ptr<FakeProcessControl> fake_;
    ScratchFolder scratch_;
    std::string log_;
    InstallationData data_;
    Installer installer_;
};

TEST_F(StopAgentServiceTest, MissingServiceEndsAtOnceWithoutThePipe)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "no service manager on Windows 9x";
    RunningAgent agent("absent", kPipe + "I1");
    ASSERT_TRUE(agent.ready);
    UseFolder(agent.standIn.Folder());
    VirtualClock clock;

    EXPECT_EQ(0, StopAgentService(installer_.Data));
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

    EXPECT_EQ(0, StopAgentService(installer_.Data));
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

    EXPECT_EQ(0, StopAgentService(installer_.Data));
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
        data_.UpdateLegacyAgent = row.Legacy ? 1 : 0;
        std::string service = row.Legacy ? "ArvaneAgent" : "XAI1";
        std::string pipe = row.Legacy ? kPipe : kPipe + "I1";
        WriteWholeFile(log_, "");
        AgentOfService agent(row.Legacy ? "legacyagent" : "currentagent", service, pipe,
                             std::string(*row.Reply ? "PipeReply=" : "") + row.Reply);
        ASSERT_TRUE(agent.ready);
        UseFolder(agent.standIn().Folder());
        VirtualClock clock(0xFFFF0000u, 20);  // the stop and the reply take real time
        clock.OnSleep = [&agent](DWORD milliseconds) {
            if (milliseconds > kAgentPipePollMs)
                agent.EndsWithin(5000);
        };

        EXPECT_EQ(0, StopAgentService(installer_.Data));
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
        WriteWholeFile(log_, "");
        RunningAgent impostor(ownProgram ? "userstarted" : "impostor", kPipe + "I1");
        ASSERT_TRUE(impostor.ready);
        StandIn agent("notrunning");
        TestService stopped("XAI1", "Agent I1", (ownProgram ? impostor.standIn : agent).QuotedExe());
        UseFolder((ownProgram ? impostor.standIn : agent).Folder());
        VirtualClock clock;

        EXPECT_EQ(0, StopAgentService(installer_.Data));
        EXPECT_EQ((std::vector<std::string>{
                      "Stopping service XAI1...", "Stopping service returns 0.",
                      "Trying to connect to agent via \"\\\\.\\pipe\\arvaneAgentI1\"...",
                      "The agent's pipe is served by another program; the shutdown request is not sent.",
                      "StopAgentService() returns 0"}),
                  Log());
        EXPECT_EQ(std::vector<std::string>{"process launched"}, impostor.standIn.Events());
        EXPECT_TRUE(impostor.process.Running());

        // The same pipe is the agent's own when it is the service's process.
        HANDLE handle = AgentPipeConnect((kPipe + "I1").c_str(), impostor.process.Id());
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
    EXPECT_EQ(expected, StopAgentService(installer_.Data));
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
            result = StopAgentService(installer_.Data);
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

    EXPECT_EQ(ERROR_SERVICE_REQUEST_TIMEOUT, StopAgentService(installer_.Data));
    // The stop gave up after its minute; the agent, stuck in stopping, outlived the whole wait.
    const std::vector<DWORD>& sleeps = clock.Sleeps();
    const size_t exitPolls = 120000 / kWaitPollMs;
    ASSERT_GE(sleeps.size(), exitPolls);
    EXPECT_EQ(std::vector<DWORD>(exitPolls, kWaitPollMs), std::vector<DWORD>(sleeps.end() - exitPolls, sleeps.end()));
    EXPECT_GE(std::accumulate(sleeps.begin(), sleeps.end() - exitPolls, 0u), kServiceStopLimitMs);
    std::string log = ReadWholeFile(log_);
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

    EXPECT_EQ(-1, StopAgentService(installer_.Data));
    EXPECT_TRUE(WithoutReplyPolls(clock.Sleeps()).empty());
}
