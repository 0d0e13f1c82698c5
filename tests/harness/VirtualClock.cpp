#include "harness/VirtualClock.h"

#include "harness/OpenedResources.h"

#include "support/Clock.h"

namespace xatest {

namespace {
VirtualClock* g_current = nullptr;
}

VirtualClock::VirtualClock(DWORD startTicks, DWORD realPauseMs)
    : start_(startTicks), now_(startTicks), realPauseMs_(realPauseMs)
{
    g_current = this;
    ClockFunctions functions = {SleepCall, TicksCall};
    SetClock(&functions);
}

VirtualClock::~VirtualClock()
{
    SetClock(nullptr);
    g_current = nullptr;
}

void WINAPI VirtualClock::SleepCall(DWORD milliseconds)
{
    // The clock's records and the test's reactions are the test's, not the code that sleeps.
    NotCounted test;
    VirtualClock* clock = g_current;
    clock->sleeps_.push_back(milliseconds);
    clock->now_ += milliseconds;
    if (clock->realPauseMs_)
        Sleep(clock->realPauseMs_);
    if (clock->OnSleep)
        clock->OnSleep(milliseconds);
}

DWORD WINAPI VirtualClock::TicksCall()
{
    return g_current->now_;
}

}  // namespace xatest
