#include "setup/InstanceLock.h"

#include <ctype.h>
#include <string.h>

#include "support/MachineLock.h"
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
    return TakeMachineLock(name, kInstanceLockWaitMs, lock) == ERROR_TIMEOUT ? ERROR_INSTALL_ALREADY_RUNNING : 0;
}

void ReleaseInstanceLock(HANDLE* lock)
{
    ReleaseMachineLock(lock);
}
