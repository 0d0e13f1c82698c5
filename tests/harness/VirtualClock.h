#pragma once
// A clock for tests (see support/Clock.h): each sleep is recorded and moves a virtual tick count
// forward at once, so a minute of polling takes no real time. One at a time; it is installed on
// construction and the system clock comes back on destruction.

#include <windows.h>

#include <functional>
#include <vector>

namespace xatest {

class VirtualClock {
public:
    // The ticks start just below the 32-bit wrap-around, so that waits cross it. realPauseMs is
    // slept for real on each virtual sleep, to let other processes move on meanwhile.
    explicit VirtualClock(DWORD startTicks = 0xFFFF0000u, DWORD realPauseMs = 0);
    ~VirtualClock();
    VirtualClock(const VirtualClock&) = delete;
    VirtualClock& operator=(const VirtualClock&) = delete;

    DWORD Now() const { return now_; }
    DWORD Start() const { return start_; }
    DWORD Elapsed() const { return now_ - start_; }
    const std::vector<DWORD>& Sleeps() const { return sleeps_; }
    void Advance(DWORD milliseconds) { now_ += milliseconds; }

    // Called after each virtual sleep with its length.
    std::function<void(DWORD)> OnSleep;

private:
    static void WINAPI SleepCall(DWORD milliseconds);
    static DWORD WINAPI TicksCall();

    DWORD start_;
    DWORD now_;
    DWORD realPauseMs_;
    std::vector<DWORD> sleeps_;
};

}  // namespace xatest
