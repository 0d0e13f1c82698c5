// The target macros of the file table and registry paths, on a record of their own.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "harness/TestSupport.h"
#include "procedures/TargetMacros.h"
#include "support/Text.h"

using xatest::SystemFolder;

TEST(ExpandTargetMacros, ReplacesTheAgentFolders)
{
    InstallationData data;
    data.DestFolder = DuplicateText("C:\\A");
    data.Instance = DuplicateText("I1");

    const std::vector<std::pair<std::string, std::string>> rows = {
        {"$TARGETDIR$\\AgentCore.exe", "C:\\A\\AgentCore.exe"},
        {"$targetdir$\\x", "$targetdir$\\x"},
        {"$TARGETREGKEY$", "SOFTWARE\\Arvane\\Agent\\I1"},
        {"$SYSTEMDIR$\\drivers\\x.sys", SystemFolder() + "\\drivers\\x.sys"},
        {"$TARGETDIR$$TARGETDIR$", "C:\\AC:\\A"},
        {"$$TARGETDIR$", "$C:\\A"},
        {"cost $5 $TARGETDIR", "cost $5 $TARGETDIR"},
    };
    for (const auto& row : rows) {
        char* expanded = ExpandTargetMacros(&data, row.first.c_str());
        EXPECT_EQ(row.second, expanded ? expanded : "<null>") << row.first;
        FreeText(expanded);
    }

    // A missing value (the key without an id, too), an empty result and no text at all give null.
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$AGENTTEMPDIR$\\Logs"));
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, ""));
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, nullptr));
    FreeText(data.Instance);
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$TARGETREGKEY$\\AddOn"));
    // An empty value is as good as none: "\\Logs" would be a folder in the drive's root.
    data.AgentWorkingFolder = DuplicateText("");
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$AGENTTEMPDIR$"));
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$AGENTTEMPDIR$\\Logs"));
    ReplaceText(data.DestFolder, DuplicateText(""));
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$TARGETDIR$\\Custom"));
}

TEST(ExpandTargetMacros, ResultsBeyond511CharactersAreRefused)
{
    InstallationData data;
    data.DestFolder = DuplicateText(std::string(300, 'd').c_str());

    std::string fits = "$TARGETDIR$" + std::string(211, 'f');
    char* expanded = ExpandTargetMacros(&data, fits.c_str());
    ASSERT_NE(nullptr, expanded);
    EXPECT_EQ(511u, std::strlen(expanded));
    FreeText(expanded);

    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, (fits + "x").c_str()));
    EXPECT_EQ(nullptr, ExpandTargetMacros(&data, "$TARGETDIR$$TARGETDIR$"));
}
