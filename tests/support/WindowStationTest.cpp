// Whether a person can see the program's windows: only in a visible window station.
#include <gtest/gtest.h>

#include <windows.h>

#include "support/WindowStation.h"

namespace {

// A station of its own, as a service's: the process is moved into it and back.
class OtherStation {
public:
    explicit OtherStation(const char* name)
        : own_(GetProcessWindowStation()), station_(CreateWindowStationA(name, 0, WINSTA_ALL_ACCESS, nullptr))
    {
        entered_ = station_ && SetProcessWindowStation(station_);
    }
    ~OtherStation()
    {
        SetProcessWindowStation(own_);
        if (station_)
            CloseWindowStation(station_);
    }
    bool Entered() const { return entered_; }

private:
    HWINSTA own_;
    HWINSTA station_;
    bool entered_ = false;
};

DWORD g_flags;
BOOL g_answered;

HWINSTA WINAPI FakeStation()
{
    return reinterpret_cast<HWINSTA>(0x5150);
}

HWINSTA WINAPI NoStation()
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return nullptr;
}

BOOL WINAPI FakeInformation(HANDLE object, int index, PVOID buffer, DWORD size, LPDWORD needed)
{
    if (object != FakeStation() || index != UOI_FLAGS || size != sizeof(USEROBJECTFLAGS))
        return FALSE;
    if (g_answered)
        static_cast<USEROBJECTFLAGS*>(buffer)->dwFlags = g_flags;
    *needed = size;
    SetLastError(g_answered ? 0 : ERROR_ACCESS_DENIED);
    return g_answered;
}

}  // namespace

TEST(WindowStation, OnlyAVisibleStationHasSomeoneToAnswer)
{
    EXPECT_TRUE(IsWindowStationVisible()) << "the interactive station, WinSta0";
    bool visible = true;
    {
        OtherStation service("xatest-service");
        ASSERT_TRUE(service.Entered());
        visible = IsWindowStationVisible();
    }
    EXPECT_FALSE(visible) << "a station of its own, as a service's";
    EXPECT_TRUE(IsWindowStationVisible()) << "back in WinSta0";
}

// What Wine cannot be: a system without window stations (Windows 9x, whose user32 lacks the
// functions or answers that it cannot), and a station that cannot be asked. Only a station that
// says that it is not visible makes the run silent.
TEST(WindowStation, AStationThatCannotBeAskedCountsAsVisible)
{
    const struct {
        const char* Case;
        WindowStationCalls Calls;
        BOOL Answered;
        DWORD Flags;
        bool Visible;
    } rows[] = {
        {"visible", {FakeStation, FakeInformation}, TRUE, WSF_VISIBLE, true},
        {"not visible", {FakeStation, FakeInformation}, TRUE, 0, false},
        {"other flags only", {FakeStation, FakeInformation}, TRUE, ~(DWORD)WSF_VISIBLE, false},
        {"no window stations", {nullptr, nullptr}, TRUE, 0, true},
        {"no station information", {FakeStation, nullptr}, TRUE, 0, true},
        {"a station-less stub", {NoStation, FakeInformation}, TRUE, 0, true},
        {"flags not given", {FakeStation, FakeInformation}, FALSE, 0, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Case);
        g_answered = row.Answered;
        g_flags = row.Flags;
        SetWindowStationCalls(&row.Calls);
        EXPECT_EQ(row.Visible, IsWindowStationVisible());
        SetWindowStationCalls(nullptr);
    }
    OtherStation service("xatest-restored");
    ASSERT_TRUE(service.Entered());
    EXPECT_FALSE(IsWindowStationVisible()) << "null restores the system's calls";
}
