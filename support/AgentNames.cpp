#include "support/AgentNames.h"

#include "support/Text.h"

namespace {

// The two parts as format joins them. A cut name would name another instance's key, service or
// pipe: it is refused, and so is a missing part.
bool FormatName(char* name, size_t size, const char* format, const char* first, const char* second)
{
    if (first && second && FormatText(name, size, format, first, second))
        return true;
    if (size > 0)
        name[0] = '\0';
    return false;
}

}  // namespace

bool FormatInstanceKey(const char* instance, char* name, size_t size)
{
    return FormatName(name, size, "%s\\%s", kAgentKey, instance);
}

bool FormatInstanceServiceName(const char* instance, char* name, size_t size)
{
    return FormatName(name, size, "%s%s", "XA", instance);
}

bool FormatAgentPipeName(const char* instance, char* name, size_t size)
{
    return FormatName(name, size, "%s%s", "\\\\.\\pipe\\arvaneAgent", instance);
}

bool FormatRunValueName(const char* instance, char* name, size_t size)
{
    return FormatName(name, size, "%s%s", "XASH", instance);
}

bool FormatUninstallKey(const char* instance, char* name, size_t size)
{
    return FormatName(name, size, "%s\\XA%s", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall", instance);
}

bool FormatAgentProgramPath(const char* folder, char* path, size_t size)
{
    return FormatName(path, size, "%s\\%s", folder, kAgentExecutable);
}

bool FormatUserTaskExitEventName(const char* instance, bool globalNamespace, char* name, size_t size)
{
    return FormatName(name, size, "%sUserTrayExit%s", globalNamespace ? "Global\\" : "", instance ? instance : "Event");
}
