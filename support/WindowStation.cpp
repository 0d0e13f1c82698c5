#include "support/WindowStation.h"

#include "support/SystemLibrary.h"

namespace {
const WindowStationCalls* g_calls;  // null: the system's
}  // namespace

void SetWindowStationCalls(const WindowStationCalls* calls)
{
    g_calls = calls;
}

bool IsWindowStationVisible()
{
    WindowStationCalls system;
    const WindowStationCalls* calls = g_calls;
    if (!calls) {
        HMODULE user = GetModuleHandleA("user32.dll");
        system.GetProcessWindowStation =
            GetSystemFunction<GetProcessWindowStationFunction>(user, "GetProcessWindowStation");
        system.GetUserObjectInformation =
            GetSystemFunction<GetUserObjectInformationFunction>(user, "GetUserObjectInformationA");
        calls = &system;
    }
    if (!calls->GetProcessWindowStation || !calls->GetUserObjectInformation)
        return true;
    // The process's own station: its handle is not to be closed.
    HWINSTA station = calls->GetProcessWindowStation();
    USEROBJECTFLAGS flags;
    DWORD needed = 0;
    return !station || !calls->GetUserObjectInformation(station, UOI_FLAGS, &flags, sizeof(flags), &needed) ||
           (flags.dwFlags & WSF_VISIBLE) != 0;
}
