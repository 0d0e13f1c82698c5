#include "setup/InstanceLock.h"

#include <ctype.h>
#include <string.h>

#include "support/AccessControl.h"
#include "support/Clock.h"
#include "support/Handles.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

bool BuildInstanceLockName(const char* instance, bool globalNamespace, char* name, size_t size)
{
    if (!instance || !FormatText(name, size, "%sArvaneSetup_%s", globalNamespace ? "Global\\" : "", instance))
        return false;
    for (char* c = name + strlen(name) - strlen(instance); *c; ++c)
        *c = (char)tolower((unsigned char)*c);
    return true;
}

int TakeInstanceLock(const char* instance, HANDLE* lock)
{
    *lock = nullptr;
    char name[64];
    if (!BuildInstanceLockName(instance, HasGlobalNamespace(), name, sizeof(name)))
        return 0;
    // A mutex of the name that someone else made is not honoured: holding it must not keep
    // every update away.
    bool foreign = false;
    HANDLE mutex = CreateProtectedMutex(name, &foreign);
    if (!mutex)
        return 0;
    DWORD start = ClockTicks();
    for (;;) {
        DWORD waited = WaitForSingleObject(mutex, 0);
        // Abandoned: the other run died holding it, and the lock is ours now.
        if (waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED) {
            *lock = mutex;
            return 0;
        }
        if (waited != WAIT_TIMEOUT) {
            CloseHandle(mutex);
            return 0;
        }
        if (ClockElapsed(start) >= kInstanceLockWaitMs) {
            CloseHandle(mutex);
            return ERROR_INSTALL_ALREADY_RUNNING;
        }
        ClockSleep(kInstanceLockPollMs);
    }
}

void ReleaseInstanceLock(HANDLE* lock)
{
    if (*lock)
        ReleaseMutex(*lock);
    CloseHandleIfOpen(*lock);
}
