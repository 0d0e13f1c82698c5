#include "procedures/SharedAgentValues.h"

#include "support/MachineLock.h"
#include "support/WindowsVersion.h"

namespace {

// Far longer than any holder keeps it: a copy of two files and a few values.
const DWORD kSharedLockWaitMs = 60000;

}  // namespace

HANDLE LockSharedAgentValues()
{
    HANDLE lock = nullptr;
    (void)TakeMachineLock(HasGlobalNamespace() ? "Global\\ArvaneAgents" : "ArvaneAgents", kSharedLockWaitMs, &lock);
    return lock;
}

void UnlockSharedAgentValues(HANDLE* lock)
{
    ReleaseMachineLock(lock);
}
