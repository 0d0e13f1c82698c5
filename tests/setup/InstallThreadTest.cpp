// The install thread's run of a procedure, in-process on the prefix's real registry, services and
// files with a package folder of stand-ins: one run per instance at a time.
#include <gtest/gtest.h>

#include <thread>

#include "procedures/ProcedureFixture.h"
#include "setup/InstallThread.h"
#include "support/AccessControl.h"

using namespace xatest;

namespace {

class InstallThreadTest : public ProcedureRunTest {};

// Another setup run of an instance, as far as its lock goes: a thread of its own takes the
// instance's mutex (a mutex belongs to the thread that holds it) and keeps it until released.
class OtherSetupRun {
public:
    explicit OtherSetupRun(const std::string& lowerCaseInstance)
        : taken_(CreateEventA(nullptr, TRUE, FALSE, nullptr)), release_(CreateEventA(nullptr, TRUE, FALSE, nullptr))
    {
        std::string name = (IsWin9xKind() ? "" : "Global\\") + std::string("ArvaneSetup_") + lowerCaseInstance;
        thread_ = std::thread([this, name] {
            bool foreign = false;
            HANDLE mutex = CreateProtectedMutex(name.c_str(), &foreign);
            if (WaitForSingleObject(mutex, 10000) == WAIT_OBJECT_0)
                SetEvent(taken_);
            WaitForSingleObject(release_, INFINITE);
            ReleaseMutex(mutex);
            CloseHandle(mutex);
        });
        WaitForSingleObject(taken_, 10000);
    }
    ~OtherSetupRun()
    {
        End();
        CloseHandle(taken_);
        CloseHandle(release_);
    }
    DWORD Taken() const { return WaitForSingleObject(taken_, 0); }
    // Lets go of the lock soon, without waiting: joining a thread may make the thread library
    // open a handle of its own, which a counted run would take for the run's.
    void Release() { SetEvent(release_); }
    // Releases the lock; returns when it is free.
    void End()
    {
        Release();
        if (thread_.joinable())
            thread_.join();
    }

private:
    HANDLE taken_;
    HANDLE release_;
    std::thread thread_;
};

const char kAnotherRun[] = "Another setup of this agent instance is running.";

bool IsBeginLine(const std::string& message)
{
    return message.rfind("Begin install process....", 0) == 0;
}

}  // namespace

// One run per instance at a time. A run whose instance another run keeps waits a minute for
// it, then ends with 1618 (deployment tools retry on it) and touches nothing; a run of another
// instance goes on at once; a run whose other run ends within the minute goes on then.
TEST_F(InstallThreadTest, ARunWaitsForAnotherRunOfItsInstance)
{
    AgentPackage package("pkg-lock");
    ASSERT_TRUE(package.Complete());
    OtherSetupRun other("n7");

    ASSERT_EQ(0, Prepare("/g N7 /s", package.Folder()));
    AgentFootprint waiting = Remember();
    DWORD start = clock_.Now();
    EXPECT_EQ(ERROR_INSTALL_ALREADY_RUNNING, Counted([&] { return RunInstallProcess(&Run()); }));
    EXPECT_GE(clock_.Now() - start, 60000u);
    EXPECT_LT(clock_.Now() - start, 61000u);
    EXPECT_EQ(std::vector<std::string>{kAnotherRun}, MessagesFrom(kAnotherRun));
    std::vector<std::string> messages = Messages();
    EXPECT_EQ(0, std::count_if(messages.begin(), messages.end(), IsBeginLine));
    EXPECT_FALSE(Logged("End install process. (1618)"));
    AgentFootprint nothing = waiting;
    nothing.UninstallEntry = nothing.Shortcut = false;
    EXPECT_EQ(std::vector<std::string>{}, Leftovers(nothing)) << "nothing of N7 was installed";

    ASSERT_EQ(0, Prepare("/g N8 /s", package.Folder()));
    Remember();
    start = clock_.Now();
    EXPECT_EQ(0, Counted([&] { return RunInstallProcess(&Run()); }));
    EXPECT_FALSE(Logged(kAnotherRun));
    EXPECT_TRUE(Logged("End install process. (0)"));

    // The other run of N7 ends after half a minute of waiting.
    ASSERT_EQ(0, Prepare("/g N7 /s", package.Folder()));
    start = clock_.Now();
    DWORD endedAt = 0;
    clock_.OnSleep = [&](DWORD) {
        if (!endedAt && clock_.Now() - start >= 30000) {
            other.Release();
            endedAt = clock_.Now() - start;
        }
    };
    EXPECT_EQ(0, Counted([&] { return RunInstallProcess(&Run()); }));
    clock_.OnSleep = nullptr;
    EXPECT_FALSE(Logged(kAnotherRun));
    EXPECT_TRUE(Logged("End install process. (0)"));
    EXPECT_GE(endedAt, 30000u);
    EXPECT_LT(endedAt, 31000u);
    waiting.OwnsDrivers = false;  // N8 took them
    EXPECT_EQ(std::vector<std::string>{}, MissingParts(waiting));

    // The lock is free again after the run.
    other.End();
    EXPECT_EQ(WAIT_OBJECT_0, OtherSetupRun("n7").Taken());
}
