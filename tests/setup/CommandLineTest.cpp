// Splitting the command line and the option table (no registry or files involved).
#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "setup/InstallationData.h"

using namespace xatest;

namespace {

std::string Text(const char* value)
{
    return value ? value : "<null>";
}

}  // namespace

TEST(CommandLine, SlashAndDashFormsAreTheSameAndCaseMatters)
{
    InstallationData slash, dash, upper;
    EXPECT_EQ(1, ParseCommandLine(&slash, "/g ABC /s"));
    EXPECT_EQ(1, ParseCommandLine(&dash, "-g ABC -s"));
    EXPECT_EQ(1, ParseCommandLine(&upper, "/G ABC /S"));
    EXPECT_EQ("ABC", Text(slash.Instance));
    EXPECT_EQ("ABC", Text(dash.Instance));
    EXPECT_EQ(1, slash.IsSilent);
    EXPECT_EQ(1, dash.IsSilent);
    EXPECT_EQ(nullptr, upper.Instance);
    EXPECT_EQ(0, upper.IsSilent);
}

TEST(CommandLine, OnlyTheSecondCharacterOfAnOptionCounts)
{
    InstallationData data;
    ParseCommandLine(&data, "/silent -remove /gx I1 stray /z /9 / - /eXtra");
    EXPECT_EQ(1, data.IsSilent);
    EXPECT_EQ(1, data.IsRemove);
    EXPECT_EQ(1, data.RunProgram);
    EXPECT_EQ("I1", Text(data.Instance));
}

TEST(CommandLine, EveryFlagSetsItsField)
{
    struct Row {
        const char* Word;
        int InstallationData::*Field;
    } rows[] = {
        {"/s", &InstallationData::IsSilent},     {"/r", &InstallationData::IsRemove},
        {"/e", &InstallationData::RunProgram},   {"/x", &InstallationData::NoInteract},
        {"/b", &InstallationData::ShowProgress}, {"/u", &InstallationData::UpdateLegacyAgent},
        {"/n", &InstallationData::bNoDriver},    {"/t", &InstallationData::RunAsTemp},
        {"/i", &InstallationData::bNoAddRemove}, {"/j", &InstallationData::bNoShortcut},
        {"/k", &InstallationData::bDontStartAgent},
    };
    for (const Row& row : rows) {
        InstallationData data;
        ParseCommandLine(&data, row.Word);
        for (const Row& other : rows)
            EXPECT_EQ(&other == &row ? 1 : 0, data.*(other.Field)) << row.Word << " and " << other.Word;
    }
}

TEST(CommandLine, ValueOptionsTakeTheNextWordWhateverItIs)
{
    InstallationData data;
    ParseCommandLine(&data, "/g /s /o Acme /m Note /c Me /h Help /p Pub /a About /d C:\\Base /o Later /g");
    EXPECT_EQ("/s", Text(data.Instance)) << "/g takes /s; the last /g has no value and is ignored";
    EXPECT_EQ(0, data.IsSilent);
    EXPECT_EQ("Later", Text(data.Company)) << "a repeated option takes the last value";
    EXPECT_EQ("Note", Text(data.Comments));
    EXPECT_EQ("Me", Text(data.Contact));
    EXPECT_EQ("Help", Text(data.HelpLink));
    EXPECT_EQ("Pub", Text(data.Publisher));
    EXPECT_EQ("About", Text(data.AboutLink));
    EXPECT_EQ("C:\\Base", Text(data.DestFolder));
}

TEST(CommandLine, IdsAreCutTo20AndPartitionsTo26Characters)
{
    InstallationData data;
    ParseCommandLine(&data, "/g 0123456789ABCDEF0123456789ABCDEF0123 /v abcdefghijklmnopqrstuvwxyz0123");
    EXPECT_EQ("0123456789ABCDEF0123", Text(data.Instance));
    EXPECT_EQ("abcdefghijklmnopqrstuvwxyz", Text(data.PartitionId));
}

TEST(CommandLine, QuotesMakeOneWordAndDropWhatCameBefore)
{
    InstallationData data;
    ParseCommandLine(&data, "/d \"C:\\Program Files\\My Corp\"   /o ab\"cd ef\" /m\t\"tab\tinside\" /c \"open to the end");
    EXPECT_EQ("C:\\Program Files\\My Corp", Text(data.DestFolder));
    EXPECT_EQ("cd ef", Text(data.Company));
    EXPECT_EQ("tab\tinside", Text(data.Comments));
    EXPECT_EQ("open to the end", Text(data.Contact)) << "an unterminated quote runs to the end";
}

TEST(CommandLine, AnEmptyQuotedWordIsNoWord)
{
    ScratchFolder scratch("emptyword");
    std::string log = scratch / "x.log";
    {
        InstallationData data;
        ParseCommandLine(&data, ("/l \"\" " + log + " /g I1").c_str());
        EXPECT_EQ(1, data.LogEnabled);
        EXPECT_EQ(log, data.Log.Path);
        EXPECT_EQ("I1", Text(data.Instance));
    }
    InstallationData atEnd;
    ParseCommandLine(&atEnd, "/g I1 /l \"\"");
    EXPECT_EQ(0, atEnd.LogEnabled);
    EXPECT_EQ(nullptr, atEnd.Log.Mutex);
}

TEST(CommandLine, LogPathIsExpandedAndStartLinesWritten)
{
    ScratchFolder scratch("logopt");
    SetEnvironmentVariableA("XATEST_LOGDIR", scratch.Path().c_str());
    InstallationData data;
    EXPECT_EQ(1, ParseCommandLine(&data, "/s /l %XATEST_LOGDIR%\\setup.log"));
    SetEnvironmentVariableA("XATEST_LOGDIR", nullptr);
    EXPECT_EQ(scratch / "setup.log", data.Log.Path);
    std::vector<std::string> lines = SplitLines(ReadWholeFile(scratch / "setup.log"));
    ASSERT_EQ(3u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("]: " + std::string(64, '=')));
    EXPECT_NE(std::string::npos, lines[1].find("]: Agent setup started!"));
    EXPECT_NE(std::string::npos, lines[2].find("]: Command line parsing completed. Result: Succeeded"));

    InstallationData none;
    EXPECT_EQ(1, ParseCommandLine(&none, nullptr));
    EXPECT_EQ(nullptr, none.Instance);
}

TEST(InstanceId, PlainNamesOnly)
{
    for (const char* good : {"I1", "{6F9619FF-8B86-D011}", "a.b", "x y", " lead"})
        EXPECT_TRUE(IsValidInstanceId(good)) << good;
    for (const char* bad : {"", ".", "..", "..\\..", "a\\b", "a/b", "C:", "a*", "a?", "a\"b", "<a", "a>", "a|b",
                            "a\tb", "a\x01", "a\x7f", "...", " ", "I1.", "I1 "})
        EXPECT_FALSE(IsValidInstanceId(bad)) << bad;
    EXPECT_FALSE(IsValidInstanceId(nullptr));
}
