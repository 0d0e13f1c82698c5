// Splitting the command line and the option table (no registry or files involved).
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "setup/BuildInstallationData.h"

using namespace xatest;

namespace {

std::string Text(const char* value)
{
    return value ? value : "<null>";
}

// Every field of the record, for telling whether a command line changed any.
std::string Describe(const InstallationData& data)
{
    std::string text;
    for (int InstallationData::*flag :
         {&InstallationData::IsSilent, &InstallationData::IsRemove, &InstallationData::UpdateLegacyAgent,
          &InstallationData::RunProgram, &InstallationData::NoInteract, &InstallationData::ShowProgress,
          &InstallationData::bNoDriver, &InstallationData::IsModify, &InstallationData::IsWin9x,
          &InstallationData::LegacyAgentExists, &InstallationData::RebootRequired, &InstallationData::RunAsTemp,
          &InstallationData::bNoShortcut, &InstallationData::bNoAddRemove, &InstallationData::bDontStartAgent,
          &InstallationData::LogEnabled})
        text += std::to_string(data.*flag);
    for (char* InstallationData::*field :
         {&InstallationData::Instance, &InstallationData::Company, &InstallationData::DestFolder,
          &InstallationData::Comments, &InstallationData::Contact, &InstallationData::HelpLink,
          &InstallationData::Publisher, &InstallationData::AboutLink, &InstallationData::PartitionId,
          &InstallationData::Title, &InstallationData::SrcFolder, &InstallationData::AgentWorkingFolder,
          &InstallationData::HandOver, &InstallationData::FirstProcessProgram})
        text += "|" + Text(data.*field);
    return text;
}

// The lines of the option table that /? shows, without the heading.
std::vector<std::string> OptionTableLines()
{
    char* table = FormatOptionTable();
    std::string text = table ? table : "";
    FreeText(table);
    std::vector<std::string> lines;
    size_t start = text.find('\n');
    while (start != std::string::npos) {
        size_t end = text.find('\n', start + 1);
        lines.push_back(text.substr(start + 1, end == std::string::npos ? end : end - start - 1));
        start = end;
    }
    return lines;
}

}  // namespace

TEST(CommandLine, SlashAndDashFormsAndLetterCasesAreTheSame)
{
    InstallationData slash, dash, upper;
    EXPECT_EQ(0, ParseCommandLine(&slash, "/g ABC /s"));
    EXPECT_EQ(0, ParseCommandLine(&dash, "-g ABC -s"));
    EXPECT_EQ(0, ParseCommandLine(&upper, "/G ABC /S"));
    EXPECT_EQ(Describe(slash), Describe(dash));
    EXPECT_EQ(Describe(slash), Describe(upper));
    EXPECT_EQ("ABC", Text(upper.Instance));
    EXPECT_EQ(1, upper.IsSilent);
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

TEST(CommandLine, ValueOptionsTakeTheNextWordUnlessItIsAnOption)
{
    InstallationData data;
    ParseCommandLine(&data, "/g /s /o Acme /m Note /c Me /h Help /p Pub /a About /d C:\\Base /o Later /g");
    EXPECT_EQ(nullptr, data.Instance) << "/s is no value of /g; the last /g has no value either";
    EXPECT_EQ(1, data.IsSilent);
    EXPECT_EQ("Later", Text(data.Company)) << "a repeated option takes the last value";
    EXPECT_EQ("Note", Text(data.Comments));
    EXPECT_EQ("Me", Text(data.Contact));
    EXPECT_EQ("Help", Text(data.HelpLink));
    EXPECT_EQ("Pub", Text(data.Publisher));
    EXPECT_EQ("About", Text(data.AboutLink));
    EXPECT_EQ("C:\\Base", Text(data.DestFolder));

    // Only "/" or "-" and a letter make an option of the next word; other words are values.
    InstallationData values;
    ParseCommandLine(&values, "/g -1 /v /? /o - /m / /c \"/ spaced\" /h -9x /p /Later");
    EXPECT_EQ("-1", Text(values.Instance));
    EXPECT_EQ("/?", Text(values.PartitionId));
    EXPECT_EQ("-", Text(values.Company));
    EXPECT_EQ("/", Text(values.Comments));
    EXPECT_EQ("/ spaced", Text(values.Contact));
    EXPECT_EQ("-9x", Text(values.HelpLink));
    EXPECT_EQ(nullptr, values.Publisher) << "/Later is an option (/l)";
}


TEST(CommandLine, WordsOfThousandsOfCharactersAndALoneQuoteAtTheEnd)
{
    const std::string word(5000, 'w');
    InstallationData data;
    EXPECT_EQ(0, ParseCommandLine(&data, ("/g " + word + " /v \"" + word + "\" /o " + word + " /l C:\\" + word +
                                          " /c \"").c_str()));
    EXPECT_EQ(word, Text(data.Instance)) << "kept whole, to be refused rather than cut";
    EXPECT_EQ(word, Text(data.PartitionId));
    EXPECT_EQ(word, Text(data.Company));
    EXPECT_EQ(1, data.LogEnabled) << "a log was asked for";
    EXPECT_EQ(nullptr, data.Log.Mutex) << "a log path longer than a path can be opens no log";
    EXPECT_STREQ("", data.Log.Path);
    EXPECT_EQ(nullptr, data.Contact) << "the lone quote makes an empty word: /c has no value";
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

// The uninstall entry's command for an id with a blank (procedures/UninstallEntry.cpp): the
// removal started from it reads the whole id, not instance "A".
TEST(CommandLine, TheUninstallEntryReadsBackWhole)
{
    InstallationData removal;
    ASSERT_EQ(0, ParseCommandLine(&removal, "/r /g \"A B\" /l \"%TEMP%\\xasetup.log\""));
    EXPECT_EQ("A B", Text(removal.Instance));
    EXPECT_EQ(1, removal.IsRemove);
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

// The parse writes no line: the run's first lines come after its instance's lock, which needs
// the parsed id (InitInstallationData).
TEST(CommandLine, LogPathIsExpandedAndNothingLoggedYet)
{
    ScratchFolder scratch("logopt");
    SetEnvironmentVariableA("XATEST_LOGDIR", scratch.Path().c_str());
    InstallationData data;
    EXPECT_EQ(0, ParseCommandLine(&data, "/s /l %XATEST_LOGDIR%\\setup.log /g I1"));
    SetEnvironmentVariableA("XATEST_LOGDIR", nullptr);
    EXPECT_EQ(scratch / "setup.log", data.Log.Path);
    EXPECT_FALSE(FileExistsAt(scratch / "setup.log"));
    LogMessage(&data, "first line");
    std::vector<std::string> lines = SplitLines(ReadWholeFile(scratch / "setup.log"));
    ASSERT_EQ(1u, lines.size());
    EXPECT_NE(std::string::npos, lines[0].find("]: first line"));

    InstallationData none;
    EXPECT_EQ(0, ParseCommandLine(&none, nullptr));
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

// /? is answered before anything else; its /s is a real option, not the value of another one.
TEST(OptionTable, AskedWithQuestionMarkAndSilentWithS)
{
    EXPECT_EQ(1, FindOptionTableRequest("/?"));
    EXPECT_EQ(1, FindOptionTableRequest("-? /g I1 /l C:\\x.log"));
    EXPECT_EQ(2, FindOptionTableRequest("/s /?"));
    EXPECT_EQ(2, FindOptionTableRequest("-?\t-silent"));
    EXPECT_EQ(2, FindOptionTableRequest("/? /g /s")) << "/s is no value of /g";
    EXPECT_EQ(2, FindOptionTableRequest("/S /?"));
    EXPECT_EQ(0, FindOptionTableRequest("/g /?")) << "/? is the value of /g";
    EXPECT_EQ(0, FindOptionTableRequest("/h http://help/? ? x?"));
    EXPECT_EQ(0, FindOptionTableRequest("/g I1 /s"));
    EXPECT_EQ(0, FindOptionTableRequest(nullptr));

    // To the parser /? is a word without a value.
    InstallationData data;
    ParseCommandLine(&data, "/? I1 /? /g I2");
    EXPECT_EQ("I2", Text(data.Instance));
}

// The table lists exactly the letters the parser reacts to, each with a value exactly when the
// parser takes one: every printable letter is tried alone and with a value. A capital letter is
// the same option as its small one.
TEST(OptionTable, ListsWhatTheParserAccepts)
{
    ScratchFolder scratch("options");
    std::string value = scratch / "value.xml";
    std::string nothing = Describe(InstallationData());
    std::map<char, std::string> parsed, listed;
    for (char letter = '!'; letter <= '~'; ++letter) {
        if (letter == '"')
            continue;
        // A value that is a package file too, so that /f shows that it took it.
        WriteWholeFile(value, "<?xml version=\"1.0\"?>\r\n<Package><Company>Packaged</Company></Package>\r\n");
        std::string word = std::string("/") + letter;
        InstallationData alone, withValue;
        ParseCommandLine(&alone, word.c_str());
        ParseCommandLine(&withValue, (word + " " + value).c_str());
        std::string kind;
        if (FindOptionTableRequest(word.c_str()) == 1)
            kind = "help";
        else if (Describe(alone) != nothing)
            kind = "flag";
        else if (Describe(withValue) != nothing)
            kind = "value";
        if (letter >= 'A' && letter <= 'Z') {
            InstallationData small, smallWithValue;
            std::string lower = std::string("/") + (char)(letter - 'A' + 'a');
            ParseCommandLine(&small, lower.c_str());
            WriteWholeFile(value, "<?xml version=\"1.0\"?>\r\n<Package><Company>Packaged</Company></Package>\r\n");
            ParseCommandLine(&smallWithValue, (lower + " " + value).c_str());
            EXPECT_EQ(Describe(small), Describe(alone)) << word;
            EXPECT_EQ(Describe(smallWithValue), Describe(withValue)) << word;
        } else if (!kind.empty()) {
            parsed[letter] = kind;
        }
    }
    static const std::regex line("/(.)\t([a-z]*)\t([^\t]+)");
    std::vector<std::string> lines = OptionTableLines();
    for (const std::string& text : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        char letter = match[1].str()[0];
        EXPECT_EQ(0u, listed.count(letter)) << "listed twice: " << letter;
        listed[letter] = letter == '?' ? "help" : match[2].length() ? "value" : "flag";
    }
    EXPECT_EQ(parsed, listed);
}

// The administrator's manual lists the same options, values and meanings, in the same order.
TEST(OptionTable, MatchesTheReadme)
{
    std::string readme = ReadWholeFile(XA_README_PATH);
    ASSERT_FALSE(readme.empty()) << XA_README_PATH;
    std::vector<std::string> rows;
    size_t section = readme.find("\n### Command-line options");
    ASSERT_NE(std::string::npos, section);
    size_t end = readme.find("\n#", section + 1);
    std::string text = readme.substr(section, end == std::string::npos ? end : end - section);
    static const std::regex row(R"(\| `/(.)` \| *([a-z]*) *\| ([^|]*[^ |]) *\|.*)");
    size_t at = 0;
    while (at < text.size()) {
        size_t next = text.find('\n', at);
        std::string line = text.substr(at, next == std::string::npos ? next : next - at);
        std::smatch match;
        if (std::regex_match(line, match, row))
            rows.push_back("/" + match[1].str() + "\t" + match[2].str() + "\t" + match[3].str());
        at = next == std::string::npos ? text.size() : next + 1;
    }
    EXPECT_EQ(OptionTableLines(), rows);
}
