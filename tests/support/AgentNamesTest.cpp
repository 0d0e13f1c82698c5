// The names an instance goes by: what each builder forms, and that a name which would be cut, or
// has no id, is refused and leaves the buffer empty.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "support/AgentNames.h"

namespace {

typedef bool (*NameBuilder)(const char* part, char* name, size_t size);

bool LocalExitEvent(const char* instance, char* name, size_t size)
{
    return FormatUserTaskExitEventName(instance, false, name, size);
}

bool GlobalExitEvent(const char* instance, char* name, size_t size)
{
    return FormatUserTaskExitEventName(instance, true, name, size);
}

}  // namespace

TEST(AgentNames, EachNameFromItsIdOrFolder)
{
    const struct {
        NameBuilder Build;
        const char* Part;
        const char* Name;  // null: refused
    } rows[] = {
        {FormatInstanceKey, "I1", "SOFTWARE\\Arvane\\Agent\\I1"},
        {FormatInstanceServiceName, "I1", "XAI1"},
        {FormatAgentPipeName, "I1", "\\\\.\\pipe\\arvaneAgentI1"},
        {FormatAgentPipeName, "", "\\\\.\\pipe\\arvaneAgent"},
        {FormatRunValueName, "I1", "XASHI1"},
        {FormatUninstallKey, "I1", "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\XAI1"},
        {FormatAgentProgramPath, "C:\\A B", "C:\\A B\\AgentCore.exe"},
        {LocalExitEvent, "I1", "UserTrayExitI1"},
        {GlobalExitEvent, "I1", "Global\\UserTrayExitI1"},
        {LocalExitEvent, nullptr, "UserTrayExitEvent"},
        {GlobalExitEvent, nullptr, "Global\\UserTrayExitEvent"},
        {FormatInstanceKey, nullptr, nullptr},
        {FormatInstanceServiceName, nullptr, nullptr},
        {FormatAgentPipeName, nullptr, nullptr},
        {FormatRunValueName, nullptr, nullptr},
        {FormatUninstallKey, nullptr, nullptr},
        {FormatAgentProgramPath, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.Name ? row.Name : "refused");
        char name[MAX_PATH];
        memset(name, 'x', sizeof(name));
        EXPECT_EQ(row.Name != nullptr, row.Build(row.Part, name, sizeof(name)));
        EXPECT_STREQ(row.Name ? row.Name : "", name);

        // One character short of the whole name: refused rather than cut.
        if (row.Name) {
            size_t size = strlen(row.Name);
            EXPECT_FALSE(row.Build(row.Part, name, size));
            EXPECT_STREQ("", name);
        }
    }
}
