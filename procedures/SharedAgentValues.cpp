#include "procedures/SharedAgentValues.h"

#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "support/AgentNames.h"
#include "support/Handles.h"
#include "support/MachineLock.h"
#include "support/Registry.h"
#include "support/Text.h"
#include "support/WindowsVersion.h"

namespace {

// Far longer than any holder keeps it: a copy of two files and a few values.
const DWORD kSharedLockWaitMs = 60000;

// The number in a registered title that begins with our title: 1 for the title itself, the
// number after "#" in the rest, or 0.
int TitleNumber(const char* registered, const char* title, size_t titleLength)
{
    if (_strnicmp(registered, title, titleLength) != 0)
        return -1;
    const char* rest = registered + titleLength;
    if (*rest == '\0')
        return 1;
    const char* hash = strchr(rest, '#');
    if (!hash)
        return 0;
    // As "%d" reads it, but a number past the largest stays the largest instead of wrapping.
    char* end = nullptr;
    long number = strtol(hash + 1, &end, 10);
    if (end == hash + 1)
        return 0;
    if (number > INT_MAX)
        return INT_MAX;
    return number < INT_MIN ? INT_MIN : (int)number;
}

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

void NumberTitle(InstallationData* data)
{
    if (!data->Title)
        return;
    size_t length = strlen(data->Title);
    int highest = 0;
    char value[MAX_PATH + 1];

    HKEY key = OpenKeyToRead(HKEY_LOCAL_MACHINE, kLegacyServiceKey);
    if (key && ReadStringValue(key, "DisplayName", value, MAX_PATH + 1) &&
        _strnicmp(value, data->Title, length) == 0)
        highest = 1;
    CloseKey(key);

    HKEY agents = OpenKeyToRead(HKEY_LOCAL_MACHINE, kAgentKey);
    if (agents) {
        ForEachSubKey(agents, [&](const char* name) {
            HKEY instance = OpenKeyToRead(agents, name);
            if (instance && ReadStringValue(instance, "Title", value, MAX_PATH + 1, true)) {
                int number = TitleNumber(value, data->Title, length);
                if (number > highest)
                    highest = number;
            }
            CloseKey(instance);
        });
        CloseKey(agents);
    }

    // Past the largest number there is no next one: the title then stays unnumbered.
    if (highest > 0 && highest < INT_MAX) {
        char* numbered = FormatHeapText(length + 16, "%s #%d", data->Title, highest + 1);
        if (numbered)
            ReplaceText(data->Title, numbered);
    }
}

void NumberNewTitle(InstallationData* data)
{
    char* before = data->Title;
    data->Title = data->Company ? FormatHeapText(strlen(data->Company) + 8, "%s Agent", data->Company) : nullptr;
    NumberTitle(data);
    // The dump at the start showed the earlier number.
    if (before && data->Title && strcmp(before, data->Title) != 0)
        LogMessage(data, "> Title = %s", data->Title);
    FreeText(before);
}
