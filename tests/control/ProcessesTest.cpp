// Process control against real processes of the prefix: copies of the user task stand-in found by
// the file they run, closed through their windows, ended through their exit event, terminated.
// Runs in Windows 7 (32- and 64-bit), NT 4 and Windows 98 prefixes. What Wine cannot show
// (ToolHelp's full paths, refusals, WTSTerminateProcess, the debug privilege) is played by
// FakeProcessControl; the waits run on a virtual clock that lets the real processes move on.
// The searches, closes, terminations and stops are counted: whatever they open they close.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "control/ProcessTestSupport.h"
#include "harness/OpenedResources.h"
#include "harness/VirtualClock.h"
#include "support/Clock.h"
#include "support/Files.h"
#include "support/WindowsVersion.h"

using namespace xatest;

namespace {

enum : DWORD {
    kEndedByEvent = 10,
    kEndedByClose = 20,
    kEndedByDestroy = 30,
    kTerminated = 0,
};

std::string Upper(std::string text)
{
    CharUpperA(&text[0]);
    return text;
}

// Counts the sleeps of each length.
size_t CountSleeps(const VirtualClock& clock, DWORD ms)
{
    size_t count = 0;
    for (DWORD sleep : clock.Sleeps())
        count += sleep == ms;
    return count;
}

// Windows 9x finds processes only through ToolHelp, which Wine cannot give as Windows 9x does;
// there the fake stands in for it from the start. Tests that need refusals or the terminal
// services ask for the fake on the other systems too.
class ProcessTest : public testing::Test {
protected:
    ProcessTest()
    {
        if (IsWin9xKind())
            Fake();
    }

    FakeProcessControl& Fake()
    {
        if (!fake_)
            fake_.reset(new FakeProcessControl);
        return *fake_;
    }

    // On each virtual sleep of one of the given lengths, waits up to the given real time for
    // process to end, so that the real process keeps pace with the virtual clock.
    static void LetEndOnSleep(VirtualClock& clock, const StartedProcess& process, std::map<DWORD, DWORD> waits)
    {
        clock.OnSleep = [&process, waits](DWORD ms) {
            auto found = waits.find(ms);
            if (found != waits.end())
                process.EndsWithin(found->second);
        };
    }

    // Runs calls (of the product only: what a test keeps would count) and expects every
    // handle, key, heap block and library they opened closed again; the handles' tally.
    template <typename Calls>
    static OpenedResources::Tally ExpectAllClosed(Calls calls)
    {
        OpenedResources opened;
        calls();
        opened.Stop();
        EXPECT_EQ(std::vector<std::string>{}, opened.LeftOpen()) << opened.Summary();
        std::printf("[  opened  ] %s\n", opened.Summary().c_str());
        return opened.Handles();
    }

    // FindProcessesByPath, counted: nothing it opened stays open once its list is freed.
    static std::set<DWORD> CountedSearch(const std::string& path, int* result, OpenedResources::Tally* handles)
    {
        PointerList ids;
        InitPointerList(&ids);
        std::set<DWORD> found;
        *handles = ExpectAllClosed([&] {
            *result = FindProcessesByPath(path.c_str(), &ids);
            NotCounted test;  // the test's copy of the ids
            for (int i = 0; i < ids.Count; ++i)
                found.insert((DWORD)(uintptr_t)ids.Items[i]);
            FreePointerList(&ids);
        });
        return found;
    }

    std::unique_ptr<FakeProcessControl> fake_;
};

}  // namespace

TEST(ProcessPlatformTest, WindowsNTAndPsapi)
{
    EXPECT_EQ(!IsWin9xKind(), IsWindowsNTPlatform());
    HMODULE psapi = LoadPsapi(nullptr);
    ASSERT_NE(nullptr, psapi);
    EXPECT_NE(nullptr, GetProcAddress(psapi, "EnumProcesses"));
    FreeLibrary(psapi);
}

TEST_F(ProcessTest, FindsExactlyTheProcessesOfOneFile)
{
    UserTaskCopy first("findfirst");
    UserTaskCopy second("findsecond");  // the same file name in another folder
    std::unique_ptr<StartedProcess> a = first.Start("--id A");
    std::unique_ptr<StartedProcess> b = first.Start("--id B");
    std::unique_ptr<StartedProcess> c = second.Start("--id C");
    ASSERT_TRUE(a->Started() && b->Started() && c->Started());

    int result = -5;
    OpenedResources::Tally handles = {0, 0};
    EXPECT_EQ((std::set<DWORD>{a->Id(), b->Id()}), CountedSearch(first.Exe(), &result, &handles));
    EXPECT_EQ(0, result);
    // On NT every process of the prefix is opened for its program's path; on Windows 9x one
    // snapshot is taken (and the fake opens each process for its full path).
    EXPECT_GE(handles.Opened, IsWin9xKind() ? 1 : 3);
    EXPECT_EQ(std::set<DWORD>{c->Id()}, FoundIds(second.Exe(), &result));
    EXPECT_EQ((std::set<DWORD>{a->Id(), b->Id()}), FoundIds(ShortPath(first.Exe())));
    EXPECT_EQ((std::set<DWORD>{a->Id(), b->Id()}), FoundIds(Upper(first.Exe())));
    EXPECT_EQ(std::set<DWORD>{}, FoundIds(first.Folder() + "\\AgentCore.exe", &result));
    EXPECT_EQ(0, result);

    bool running = false;
    EXPECT_EQ(0, IsProcessRunning(second.Exe().c_str(), &running));
    EXPECT_TRUE(running);
    EXPECT_EQ(0, IsProcessRunning((second.Folder() + "\\Missing.exe").c_str(), &running));
    EXPECT_FALSE(running);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, IsProcessRunning(nullptr, &running));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, IsProcessRunning(second.Exe().c_str(), nullptr));
    PointerList ids;
    InitPointerList(&ids);
    EXPECT_EQ(ERROR_INVALID_PARAMETER, FindProcessesByPath(nullptr, &ids));
    EXPECT_EQ(ERROR_INVALID_PARAMETER, FindProcessesByPath(second.Exe().c_str(), nullptr));
}

// Starts the stand-in from path (any name) with an id, once its window and event exist.
std::unique_ptr<StartedProcess> StartStandInAs(const std::string& path, const std::string& id)
{
    std::string ready = "UserTrayReadyAs" + id + std::to_string(GetCurrentProcessId());
    return std::unique_ptr<StartedProcess>(new StartedProcess("\"" + path + "\" --id " + id + " --ready " + ready, ready));
}

// The search compares file names before it opens a program file, and never opens one on another
// machine: a user's process started from \\server\share would make this elevated process log
// on to that server. Wine serves \\server\share from dosdevices\unc\server\share of the
// prefix, so here both paths name one file and only the rule keeps the search from it. (Wine
// reports such a process's program as "UNC\server\..."; the fake reports it as Windows does.)
TEST_F(ProcessTest, SearchOpensOnlyLocalProgramsOfTheSameName)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "Windows 9x compares short paths, which differ for a second name or a share";
    // A second name of the same file.
    UserTaskCopy copy("samename");
    std::string other = copy.Folder() + "\\Other.exe";
    ASSERT_TRUE(CreateHardLinkA(other.c_str(), copy.Exe().c_str(), nullptr)) << GetLastError();
    ASSERT_TRUE(IsSameFile(other.c_str(), copy.Exe().c_str(), false));
    std::unique_ptr<StartedProcess> linked = StartStandInAs(other, "L");
    ASSERT_TRUE(linked->Started());
    EXPECT_EQ(std::set<DWORD>{}, FoundIds(copy.Exe()));
    EXPECT_EQ(std::set<DWORD>{linked->Id()}, FoundIds(other));
    EXPECT_FALSE(IsSameProgram(other.c_str(), copy.Exe().c_str()));
    // Its module list may claim the other name; the kernel's record of the image says which it is
    // (systems before Vista have only the module list).
    Fake().ModuleListPaths[linked->Id()] = copy.Exe();
    EXPECT_EQ(std::set<DWORD>{}, FoundIds(copy.Exe()));
    Fake().HasKernelImageName = false;
    EXPECT_EQ(std::set<DWORD>{linked->Id()}, FoundIds(copy.Exe()));
    Fake().HasKernelImageName = true;

    const char* unixPrefix = std::getenv("WINEPREFIX");
    ASSERT_NE(nullptr, unixPrefix);
    std::string folder = std::string("Z:") + unixPrefix;
    for (char& c : folder)
        c = c == '/' ? '\\' : c;
    for (const char* part : {"\\dosdevices\\unc", "\\xaserver", "\\share"}) {
        folder += part;
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS) << folder;
    }
    std::string local = folder + "\\UserTray.exe";
    std::string remote = "\\\\xaserver\\share\\UserTray.exe";
    ASSERT_TRUE(CopyFileA(FixturePath("usertraystandin.exe").c_str(), local.c_str(), FALSE));
    ASSERT_TRUE(IsSameFile(remote.c_str(), local.c_str(), false)) << "Wine serves the share from the prefix";
    std::unique_ptr<StartedProcess> shared = StartStandInAs(remote, "R");
    ASSERT_TRUE(shared->Started());
    // Every spelling of the share is refused, not only the plain one.
    for (const char* spelling : {"\\\\xaserver\\share\\UserTray.exe", "\\??\\UNC\\xaserver\\share\\UserTray.exe",
                                 "/\\xaserver\\share\\UserTray.exe", "\\/xaserver\\share\\UserTray.exe",
                                 "//xaserver/share\\UserTray.exe", "\\\\?\\UNC\\xaserver\\share\\UserTray.exe"}) {
        SCOPED_TRACE(spelling);
        Fake().ProgramPaths[shared->Id()] = spelling;
        EXPECT_FALSE(IsSameProgram(spelling, local.c_str()));
        EXPECT_EQ(std::set<DWORD>{}, FoundIds(local));
    }
    Fake().ProgramPaths[shared->Id()] = remote;
    // The same text needs no file to be opened.
    EXPECT_EQ(std::set<DWORD>{shared->Id()}, FoundIds(remote));
}

TEST_F(ProcessTest, CloseWithNothingRunningReturnsAtOnce)
{
    UserTaskCopy copy("closenone");
    UserTaskCopy elsewhere("closeelsewhere");  // same name, another file: must not be touched
    std::unique_ptr<StartedProcess> other = elsewhere.Start("--id X");
    ASSERT_TRUE(other->Started());
    VirtualClock clock;
    EXPECT_EQ(0, CloseProcessesByPath(copy.Exe().c_str()));
    EXPECT_TRUE(clock.Sleeps().empty());
    EXPECT_TRUE(other->Running());
    EXPECT_TRUE(elsewhere.Recorded().empty());
}

// Each message a task ignores brings the next, stronger one; a task that ignores them all is
// terminated once the wait is over. Whatever the close opened it closes again.
TEST_F(ProcessTest, CloseSendsStrongerMessagesUntilTheTaskEnds)
{
    const size_t kAnyPolls = SIZE_MAX;
    struct Row {
        const char* Ignore;
        std::map<DWORD, DWORD> Waits;  // the real time the task gets on each virtual sleep
        DWORD ExitCode;
        std::vector<std::string> Recorded;
        size_t Polls;  // looks after the messages
    } rows[] = {
        // SC_CLOSE closed the window; nothing more was sent, and the first look found it gone.
        {"event", {{kWindowMessagePauseMs, 3000}}, kEndedByClose, {"syscommand-close", "close", "destroy"}, 0},
        {"close", {{kWindowMessagePauseMs, 300}, {kWaitPollMs, 3000}}, kEndedByDestroy,
         {"syscommand-close", "close", "close", "destroy"}, kAnyPolls},
        // All four messages reached the window, each followed by a pause; then looks until the limit.
        {"all", {{kWindowMessagePauseMs, 20}, {kWaitPollMs, 20}}, kTerminated,
         {"syscommand-close", "close", "close", "destroy", "quit"}, kWindowCloseWaitMs / kWaitPollMs},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Ignore);
        UserTaskCopy copy(std::string("close") + row.Ignore);
        std::unique_ptr<StartedProcess> task = copy.Start(std::string("--id I1 --ignore ") + row.Ignore);
        ASSERT_TRUE(task->Started());
        VirtualClock clock;
        LetEndOnSleep(clock, *task, row.Waits);
        int closed = -5;
        ExpectAllClosed([&] { closed = CloseProcessesByPath(copy.Exe().c_str()); });
        EXPECT_EQ(0, closed);
        ASSERT_TRUE(task->EndsWithin(5000));
        EXPECT_EQ(row.ExitCode, task->ExitCode());
        EXPECT_EQ(row.Recorded, copy.Recorded());
        if (row.ExitCode == kTerminated) {
            EXPECT_GE(CountSleeps(clock, kWindowMessagePauseMs), 4u);
        }
        if (row.Polls != kAnyPolls) {
            EXPECT_EQ(row.Polls, CountSleeps(clock, kWaitPollMs));
        }
    }
}

TEST_F(ProcessTest, CloseReportsATerminationThatFails)
{
    UserTaskCopy copy("closefails");
    std::unique_ptr<StartedProcess> task = copy.Start("--id I1 --ignore all");
    ASSERT_TRUE(task->Started());
    Fake().DenyTerminate.insert(task->Id());
    Fake().WtsTerminateWorks = false;
    VirtualClock clock;
    EXPECT_EQ(-1, CloseProcessesByPath(copy.Exe().c_str()));
    EXPECT_TRUE(task->Running());
}

// A stopped program is released once no process runs it and its file can be opened as its
// replacement or deletion opens it. The wait ends at the first look that finds it so, and gives
// up at its limit (with a last look there) when none does.
TEST_F(ProcessTest, ProgramReleaseEndsAtTheFirstLookThatFindsItFree)
{
    enum Holder { kNobody, kTask, kOpenFile, kNoFile };
    struct Row {
        const char* What;
        Holder HeldBy;
        size_t FreedAfterSleeps;  // SIZE_MAX: never
        bool Released;
    } rows[] = {
        {"nothing runs it", kNobody, 0, true},
        {"no file", kNoFile, 0, true},
        {"task ends", kTask, 3, true},
        {"file let go", kOpenFile, 2, true},
        {"task never ends", kTask, SIZE_MAX, false},
    };
    const DWORD limit = 500;
    int index = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.What);
        UserTaskCopy copy("release" + std::to_string(index++));
        std::unique_ptr<StartedProcess> task;
        HANDLE file = INVALID_HANDLE_VALUE;
        if (row.HeldBy == kTask) {
            task = copy.Start("--id R1");
            ASSERT_TRUE(task->Started());
        } else if (row.HeldBy == kOpenFile) {
            // A reader that does not share writing, as a program's loader does.
            file = CreateFileA(copy.Exe().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(INVALID_HANDLE_VALUE, file);
        } else if (row.HeldBy == kNoFile) {
            ASSERT_TRUE(DeleteFileA(copy.Exe().c_str()));
        }
        VirtualClock clock;
        clock.OnSleep = [&](DWORD) {
            if (clock.Sleeps().size() != row.FreedAfterSleeps)
                return;
            if (task) {
                EXPECT_EQ(0, TerminateProcessesByPath(copy.Exe().c_str()));
                EXPECT_TRUE(task->EndsWithin(5000));
            }
            if (file != INVALID_HANDLE_VALUE)
                CloseHandle(file);
            file = INVALID_HANDLE_VALUE;
        };
        bool released = !row.Released;
        ExpectAllClosed([&] { released = WaitForProgramRelease(copy.Exe().c_str(), limit); });
        EXPECT_EQ(row.Released, released);
        size_t looks = row.Released ? row.FreedAfterSleeps : limit / kProgramReleasePollMs;
        EXPECT_EQ(std::vector<DWORD>(looks, kProgramReleasePollMs), clock.Sleeps());
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
}

TEST_F(ProcessTest, TerminateEndsEveryProcessOfTheFile)
{
    UserTaskCopy first("termfirst");
    UserTaskCopy second("termsecond");
    std::unique_ptr<StartedProcess> a = first.Start("--id A --ignore all");
    std::unique_ptr<StartedProcess> b = first.Start("--id B --ignore all");
    std::unique_ptr<StartedProcess> c = second.Start("--id C --ignore all");
    ASSERT_TRUE(a->Started() && b->Started() && c->Started());

    int terminated = -5;
    ExpectAllClosed([&] { terminated = TerminateProcessesByPath(first.Exe().c_str()); });
    EXPECT_EQ(0, terminated);
    EXPECT_TRUE(a->EndsWithin(5000));
    EXPECT_TRUE(b->EndsWithin(5000));
    EXPECT_EQ(kTerminated, a->ExitCode());
    EXPECT_TRUE(c->Running());
    EXPECT_TRUE(first.Recorded().empty());  // no window message: termination only
    // Nothing left to terminate is a success too.
    EXPECT_EQ(0, TerminateProcessesByPath(first.Exe().c_str()));
}

TEST_F(ProcessTest, TerminateFallsBackToTheTerminalServicesOnNT)
{
    UserTaskCopy copy("termwts");
    std::unique_ptr<StartedProcess> task = copy.Start("--id A --ignore all");
    ASSERT_TRUE(task->Started());
    FakeProcessControl& fake = Fake();
    fake.DenyTerminate.insert(task->Id());

    if (IsWin9xKind()) {
        // No terminal services before NT: a refusal is a failure.
        EXPECT_EQ(-1, TerminateProcessesByPath(copy.Exe().c_str()));
        EXPECT_TRUE(fake.WtsCalls.empty());
        EXPECT_TRUE(task->Running());
        return;
    }
    fake.WtsTerminateWorks = false;
    EXPECT_EQ(-1, TerminateProcessesByPath(copy.Exe().c_str()));
    EXPECT_TRUE(task->Running());
    fake.HasWtsTerminate = false;
    EXPECT_EQ(-1, TerminateProcessesByPath(copy.Exe().c_str()));
    EXPECT_TRUE(task->Running());

    fake.HasWtsTerminate = true;
    fake.WtsTerminateWorks = true;
    fake.WtsCalls.clear();
    int terminated = -5;
    ExpectAllClosed([&] { terminated = TerminateProcessesByPath(copy.Exe().c_str()); });
    EXPECT_EQ(0, terminated);
    ASSERT_EQ(1u, fake.WtsCalls.size());
    EXPECT_EQ(nullptr, fake.WtsCalls[0].Server);  // this machine
    EXPECT_EQ(task->Id(), fake.WtsCalls[0].ProcessId);
    EXPECT_EQ(0u, fake.WtsCalls[0].ExitCode);
    EXPECT_TRUE(task->EndsWithin(5000));
}

TEST_F(ProcessTest, RefusedProcessAsksForTheDebugPrivilegeOncePerRun)
{
    if (IsWin9xKind())
        GTEST_SKIP() << "Windows 9x searches without opening processes";
    UserTaskCopy copy("privilege");
    std::unique_ptr<StartedProcess> a = copy.Start("--id A");
    std::unique_ptr<StartedProcess> b = copy.Start("--id B");
    ASSERT_TRUE(a->Started() && b->Started());
    FakeProcessControl& fake = Fake();

    // The privilege does not help: the refused process is skipped, asked for once only.
    fake.DenyQueryUntilPrivilege = {a->Id()};
    fake.PrivilegeHelps = false;
    EXPECT_EQ(std::set<DWORD>{b->Id()}, FoundIds(copy.Exe()));
    EXPECT_TRUE(DebugPrivilegeRequested());
    EXPECT_EQ(1, fake.DebugPrivilegeEnables);
    EXPECT_EQ(1, fake.PrivilegeCalls);
    EXPECT_EQ(std::set<DWORD>{b->Id()}, FoundIds(copy.Exe()));
    EXPECT_EQ(1, fake.PrivilegeCalls);

    // A new run: the privilege lets the process be opened on the second attempt.
    ForgetDebugPrivilegeRequest();
    fake.PrivilegeHelps = true;
    fake.DebugPrivilegeEnables = 0;
    fake.PrivilegeCalls = 0;
    int result = -5;
    OpenedResources::Tally handles = {0, 0};
    EXPECT_EQ((std::set<DWORD>{a->Id(), b->Id()}), CountedSearch(copy.Exe(), &result, &handles));
    EXPECT_EQ(0, result);
    EXPECT_EQ(1, fake.DebugPrivilegeEnables);
    EXPECT_EQ(1, fake.PrivilegeCalls);
}

TEST_F(ProcessTest, ToolhelpFailuresOnWindows9x)
{
    if (!IsWin9xKind())
        GTEST_SKIP() << "ToolHelp searches on Windows 9x only";
    UserTaskCopy copy("toolhelp");
    std::unique_ptr<StartedProcess> task = copy.Start("--id A");
    ASSERT_TRUE(task->Started());
    int result = 0;
    EXPECT_EQ(std::set<DWORD>{task->Id()}, FoundIds(copy.Exe(), &result));
    EXPECT_EQ(0, result);

    Fake().SnapshotError = ERROR_NOT_ENOUGH_MEMORY;
    bool running = true;
    ExpectAllClosed([&] { result = IsProcessRunning(copy.Exe().c_str(), &running); });
    EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, result);
    EXPECT_FALSE(running);
    // A failed search fails the termination, and the process stays.
    EXPECT_EQ(-1, TerminateProcessesByPath(copy.Exe().c_str()));
    EXPECT_TRUE(task->Running());

    Fake().SnapshotError = 0;
    Fake().HasToolhelp = false;
    EXPECT_EQ(ERROR_INVALID_FUNCTION, IsProcessRunning(copy.Exe().c_str(), &running));
}

TEST_F(ProcessTest, StopEndsTheTaskThroughItsEvent)
{
    // The name the task creates on this system: no "Global\" before NT 5.
    bool global = !IsWin9xKind() && !IsNt4Kind();
    const char* instances[] = {"I1", nullptr};
    for (const char* instance : instances) {
        SCOPED_TRACE(instance ? instance : "legacy");
        UserTaskCopy copy(instance ? "stopevent" : "stoplegacy");
        std::unique_ptr<StartedProcess> task = copy.Start(instance ? std::string("--id ") + instance : "");
        ASSERT_TRUE(task->Started());
        std::string name = std::string(global ? "Global\\" : "") + (instance ? "UserTrayExitI1" : "UserTrayExitEvent");
        HANDLE event = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
        EXPECT_NE(nullptr, event) << name;
        if (event)
            CloseHandle(event);

        VirtualClock clock;
        LetEndOnSleep(clock, *task, {{kWaitPollMs, 5000}});
        int stopped = -5;
        ExpectAllClosed([&] { stopped = StopUserTaskProcess(copy.Exe().c_str(), instance); });
        EXPECT_EQ(0, stopped);
        EXPECT_TRUE(task->EndsWithin(5000));
        EXPECT_EQ(kEndedByEvent, task->ExitCode());
        // Looked for at once, then once more only if it still ran.
        EXPECT_LE(clock.Sleeps().size(), 1u);
        EXPECT_EQ(clock.Sleeps().size(), CountSleeps(clock, kWaitPollMs));
        EXPECT_EQ(std::vector<std::string>{"exit-event"}, copy.Recorded());
    }
}

// A task that ignores its event is closed through its window once the wait for it is over, one
// that ignores everything terminated after the window's wait too.
TEST_F(ProcessTest, StopClosesOrTerminatesATaskThatIgnoresItsEvent)
{
    struct Row {
        const char* Ignore;
        std::map<DWORD, DWORD> Waits;  // the real time the task gets on each virtual sleep
        DWORD ExitCode;
        size_t Polls;
    } rows[] = {
        {"event", {{kWindowMessagePauseMs, 3000}}, kEndedByClose, kUserTaskWaitMs / kWaitPollMs},
        {"all", {}, kTerminated, (kUserTaskWaitMs + kWindowCloseWaitMs) / kWaitPollMs},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.Ignore);
        UserTaskCopy copy(std::string("stop") + row.Ignore);
        std::unique_ptr<StartedProcess> task = copy.Start(std::string("--id I1 --ignore ") + row.Ignore);
        ASSERT_TRUE(task->Started());
        VirtualClock clock;
        LetEndOnSleep(clock, *task, row.Waits);
        int stopped = -5;
        ExpectAllClosed([&] { stopped = StopUserTaskProcess(copy.Exe().c_str(), "I1"); });
        EXPECT_EQ(0, stopped);
        ASSERT_TRUE(task->EndsWithin(5000));
        EXPECT_EQ(row.ExitCode, task->ExitCode());
        EXPECT_EQ(row.Polls, CountSleeps(clock, kWaitPollMs));
        if (row.ExitCode == kEndedByClose) {
            EXPECT_EQ((std::vector<std::string>{"exit-event", "syscommand-close", "close", "destroy"}), copy.Recorded());
        }
    }
}

TEST_F(ProcessTest, StopWithoutATaskReturnsAtOnce)
{
    UserTaskCopy copy("stopnone");
    VirtualClock clock;
    EXPECT_EQ(0, StopUserTaskProcess(copy.Exe().c_str(), "I1"));
    EXPECT_TRUE(clock.Sleeps().empty());
}
