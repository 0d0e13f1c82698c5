#pragma once
// The clock every wait of the setup program goes through: a sleep and a millisecond tick count.
// By default they are the system's Sleep and GetTickCount; a test installs a clock of its own
// so that a minute of polling takes no real time, and restores the default afterwards.

#include <windows.h>

struct ClockFunctions {
    void(WINAPI* Sleep)(DWORD milliseconds);
    DWORD(WINAPI* Ticks)();  // milliseconds, wrapping around like GetTickCount
};

// Sleeps for the given time on the current clock.
void ClockSleep(DWORD milliseconds);

// The current clock's tick count.
DWORD ClockTicks();

// Milliseconds since start (a ClockTicks value), correct across the wrap-around.
inline DWORD ClockElapsed(DWORD start)
{
    return ClockTicks() - start;
}

enum : DWORD {
    kWaitPollMs = 100,  // the longest sleep between two looks of a polling wait
};

// Looks at once, then again after sleeps of at most pollMs, until look() returns true or
// limitMs have passed on the clock since the call; the last look comes at the limit, so a
// condition met by then is not missed. True when look() did.
template <typename Look>
bool PollUntil(DWORD limitMs, DWORD pollMs, Look look)
{
    DWORD start = ClockTicks();
    for (;;) {
        if (look())
            return true;
        DWORD elapsed = ClockElapsed(start);
        if (elapsed >= limitMs)
            return false;
        DWORD left = limitMs - elapsed;
        ClockSleep(left < pollMs ? left : pollMs);
    }
}

// Makes clock the current clock (its functions must both be set), or restores the system's
// clock when clock is null. Not for use while another thread waits.
void SetClock(const ClockFunctions* clock);
