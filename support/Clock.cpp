#include "support/Clock.h"

namespace {

const ClockFunctions kSystemClock = {Sleep, GetTickCount};
ClockFunctions g_clock = kSystemClock;

}  // namespace

void ClockSleep(DWORD milliseconds)
{
    g_clock.Sleep(milliseconds);
}

DWORD ClockTicks()
{
    return g_clock.Ticks();
}

void SetClock(const ClockFunctions* clock)
{
    g_clock = (clock && clock->Sleep && clock->Ticks) ? *clock : kSystemClock;
}
