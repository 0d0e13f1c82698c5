#include "support/MachineLock.h"

#include "support/AccessControl.h"
#include "support/Clock.h"
#include "support/Handles.h"

int TakeMachineLock(const char* name, DWORD limitMs, HANDLE* lock)
{
    *lock = nullptr;
    // A mutex of the name that someone else made is not honoured: holding it must not keep
    // every setup away.
    bool foreign = false;
    HANDLE mutex = CreateProtectedMutex(name, &foreign);
    if (!mutex)
        return 0;
    DWORD start = ClockTicks();
    for (;;) {
        DWORD waited = WaitForSingleObject(mutex, 0);
        // Abandoned: the other holder died, and the lock is ours now.
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            *lock = mutex;
            return 0;
        }
        if (waited != WAIT_TIMEOUT) {
            CloseHandle(mutex);
            return 0;
        }
        if (ClockElapsed(start) >= limitMs) {
            CloseHandle(mutex);
            return ERROR_TIMEOUT;
        }
        ClockSleep(kMachineLockPollMs);
    }
}

void ReleaseMachineLock(HANDLE* lock)
{
    if (*lock)
        ReleaseMutex(*lock);
    CloseHandleIfOpen(*lock);
}
