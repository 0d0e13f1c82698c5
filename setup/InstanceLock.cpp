#include "setup/InstanceLock.h"

#include <string.h>

#include "support/MachineLock.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

bool BuildInstanceLockName(const char* instance, bool globalNamespace, char* name, size_t size)
{
    if (!instance || !FormatText(name, size, "%sArvaneSetup_%s", globalNamespace ? "Global\\" : "", instance))
        return false;
    // The instance's key, folder and service fold every letter of the code page, so the lock does
    // too: "BÜRO" and "büro" are one instance.
    size_t length = strlen(instance);
    CharLowerBuffA(name + strlen(name) - length, (DWORD)length);
    return true;
}

int TakeInstanceLock(const char* instance, HANDLE* lock)
{
    *lock = nullptr;
    char name[64];
    if (!BuildInstanceLockName(instance, HasGlobalNamespace(), name, sizeof(name)))
        return 0;
    return TakeMachineLock(name, kInstanceLockWaitMs, lock) == ERROR_TIMEOUT ? ERROR_INSTALL_ALREADY_RUNNING : 0;
}

void ReleaseInstanceLock(HANDLE* lock)
{
    ReleaseMachineLock(lock);
}
