// The agent's pipe client against the stand-in agent (tests/fixtures/AgentServiceStandIn.cpp)
// serving its pipe as a plain process: the framing of request and reply, the server the pipe is
// kept for, the waits for a busy pipe, and the limit of one exchange on a virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "control/AgentPipe.h"
#include "control/ServiceTestSupport.h"
#include "harness/VirtualClock.h"
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

// On Windows NT the pipe is kept only when its server is the service's process or runs as
// LocalSystem, and it is the server that is asked about. Wine runs nothing as LocalSystem: the
// test plays which process does.
TEST(AgentPipeTest, KeptOnlyWhenServedByTheServicesProcessOrALocalSystemOne)
{
    if (IsWin9xKind() || !GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNamedPipeServerProcessId"))
        GTEST_SKIP() << "this system cannot tell a pipe's server";
    const std::string pipe = kPipe + "S1";
    RunningAgent agent("served", pipe);
    ASSERT_TRUE(agent.ready);
    const DWORD server = agent.process.Id();
    const DWORD other = GetCurrentProcessId();
    struct Row {
        const char* What;
        DWORD Service;  // the service's process, 0: not known
        DWORD System;   // the one process that runs as LocalSystem
        bool Kept;
    } rows[] = {
        {"the service's process serves it", server, 0, true},
        {"another serves it while the service's process runs as LocalSystem", other, other, false},
        {"a LocalSystem process serves it", 0, server, true},
    };
    static DWORD system;
    static std::vector<DWORD> asked;
    const AgentPipeCalls calls = {[](DWORD id) {
        asked.push_back(id);
        return id == system;
    }};
    SetAgentPipeCalls(&calls);
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        system = row.System;
        asked.clear();
        HANDLE handle = AgentPipeConnect(pipe.c_str(), row.Service);
        DWORD error = GetLastError();
        EXPECT_EQ(row.Kept, handle != INVALID_HANDLE_VALUE);
        if (handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
        else
            EXPECT_EQ((DWORD)kAgentPipeForeignServer, error);
        EXPECT_EQ(row.Service == server ? std::vector<DWORD>{} : std::vector<DWORD>{server}, asked);
    }
    SetAgentPipeCalls(nullptr);
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
