#pragma once
// Whether a person can see this process's windows and answer its questions.

#include <windows.h>

// False when the process's window station says that it is not visible (no WSF_VISIBLE): a
// service's, as on session 0 or under a deployment tool's service, where a window or a box would
// wait for a person who is not there. A system without window stations (Windows 9x) and a station
// that cannot be asked count as visible.
bool IsWindowStationVisible();

// The window-station functions of user32, looked up at run time (Windows 9x lacks them), for a
// test that plays a system Wine cannot be. Makes calls (its member set; a null member: absent)
// the current ones, or restores the system's for null.
typedef HWINSTA(WINAPI* GetProcessWindowStationFunction)();
typedef BOOL(WINAPI* GetUserObjectInformationFunction)(HANDLE, int, PVOID, DWORD, LPDWORD);
struct WindowStationCalls {
    GetProcessWindowStationFunction GetProcessWindowStation;
    GetUserObjectInformationFunction GetUserObjectInformation;
};
void SetWindowStationCalls(const WindowStationCalls* calls);
