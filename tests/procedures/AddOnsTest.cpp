// Add-on removal on the prefix's real registry, with tests/fixtures/ExitWith.cpp as the add-ons'
// uninstaller.
#include <gtest/gtest.h>

#include "procedures/AddOns.h"
#include "procedures/ProcedureFixture.h"

using namespace xatest;

namespace {

const std::string kAgentsKey = "SOFTWARE\\Arvane\\Agent";
const std::string kAddOnKey = kAgentsKey + "\\I1\\AddOn";

// The uninstaller stand-in ending with code and recording its command line into record.
std::string Uninstaller(int code, const std::string& record, const std::string& more = "")
{
    return FixturePath("exitwith.exe") + " " + std::to_string(code) + more + " --record " + record;
}

class AddOnsTest : public testing::Test {
protected:
    AddOnsTest() : setup_("addons")
    {
        DeleteMachineTree("SOFTWARE\\Arvane");
        setup_.SetInstance("I1");
    }
    ~AddOnsTest() override { DeleteMachineTree("SOFTWARE\\Arvane"); }

    std::string Record(const std::string& name) { return setup_.Scratch() / name; }

    LoggedData setup_;
};

TEST_F(AddOnsTest, WithoutAnAddOnKeyNothingIsLogged)
{
    ASSERT_TRUE(CreateMachineKey(kAgentsKey + "\\I1"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RemoveAddOns(&setup_.Data()));
    EXPECT_TRUE(setup_.Messages().empty());

    ASSERT_TRUE(CreateMachineKey(kAddOnKey));
    EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));
    EXPECT_EQ(std::vector<std::string>{"0 add-on(s) found."}, setup_.Messages());
}

// Names sort as they were created: Wine enumerates values by name, Windows in creation order.
TEST_F(AddOnsTest, RunsEveryCommandInTurnAndReportsOtherValueTypes)
{
    std::string alpha = Uninstaller(3, Record("alpha.txt"));
    DWORD number = 5;
    SetEnvironmentVariableA("XA_ADDON_HOME", FixturePath("").c_str());
    std::string gamma = "%XA_ADDON_HOME%exitwith.exe 0 --record " + Record("gamma.txt") + " %SystemDir%";
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Alpha", alpha));
    ASSERT_TRUE(SetMachineNumber(kAddOnKey, "Beta", number));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Gamma", gamma, REG_EXPAND_SZ));

    EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));

    std::string expanded = FixturePath("exitwith.exe") + " 0 --record " + Record("gamma.txt") + " " + SystemFolder();
    std::vector<std::string> expected = {
        "3 add-on(s) found.",
        "Removing add-on \"Alpha\"...",
        "\t-Uninstall command: \"" + alpha + "\"",
        "\t-Uninstall process completed and returned 3.",
        "Removing add-on \"Beta\"...",
        "Invalid registry value type 4 returned for value \"Beta\".",
        "Removing add-on \"Gamma\"...",
        "\t-Uninstall command: \"" + expanded + "\"",
        "\t-Uninstall process completed and returned 0.",
    };
    EXPECT_EQ(expected, setup_.Messages());
    EXPECT_EQ(std::vector<std::string>{alpha}, SplitLines(ReadWholeFile(Record("alpha.txt"))));
    EXPECT_EQ(std::vector<std::string>{expanded}, SplitLines(ReadWholeFile(Record("gamma.txt"))));
    // The registrations stay: they go with the agent's whole key.
    EXPECT_TRUE(MachineValueExists(kAddOnKey, "Alpha"));
    SetEnvironmentVariableA("XA_ADDON_HOME", nullptr);
}

// An add-on's uninstaller may well delete its own registration; the others must still run.
TEST_F(AddOnsTest, AnUninstallerRemovingItsOwnValueSkipsNoOther)
{
    std::string first = "reg.exe delete \"HKLM\\" + kAddOnKey + "\" /v A1 /f";
    ASSERT_TRUE(SetMachineText(kAddOnKey, "A1", first));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "B2", Uninstaller(0, Record("b2.txt"))));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "C3", Uninstaller(0, Record("c3.txt"))));

    EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));

    EXPECT_FALSE(MachineValueExists(kAddOnKey, "A1"));
    EXPECT_TRUE(FileExistsAt(Record("b2.txt")));
    EXPECT_TRUE(FileExistsAt(Record("c3.txt")));
    std::vector<std::string> messages = setup_.Messages();
    ASSERT_EQ(10u, messages.size());
    EXPECT_EQ("\t-Uninstall process completed and returned 0.", messages[3]);
    EXPECT_EQ("Removing add-on \"C3\"...", messages[7]);
}

TEST_F(AddOnsTest, AFailedStartAndATimeOutAreLoggedAndTheNextAddOnFollows)
{
    std::string missing = FixturePath("no-such-uninstaller.exe") + " /quiet";
    std::string slow = Uninstaller(7, Record("slow.txt"), " --sleep 3000");
    std::string last = Uninstaller(0, Record("last.txt"));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "First", missing));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Second", slow));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Third", last));

    {
        // The slow one's 15 minutes pass in no time; then the clock gives "last" real time to end.
        VirtualClock clock;
        const size_t slowSleeps = kUninstallWaitMs / kUninstallPollMs;
        clock.OnSleep = [&](DWORD) {
            if (clock.Sleeps().size() > slowSleeps)
                Sleep(20);
        };
        EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));
        EXPECT_GE(clock.Elapsed(), kUninstallWaitMs);
        EXPECT_LT(clock.Elapsed(), 2 * kUninstallWaitMs);
    }

    std::vector<std::string> expected = {
        "3 add-on(s) found.",
        "Removing add-on \"First\"...",
        "\t-Uninstall command: \"" + missing + "\"",
        "-Faile to run uninstall command. Error code: 2",
        "Removing add-on \"Second\"...",
        "\t-Uninstall command: \"" + slow + "\"",
        "\t-Uninstall process has been running for more than 15 minutes. Stop waiting for completion.",
        "Removing add-on \"Third\"...",
        "\t-Uninstall command: \"" + last + "\"",
        "\t-Uninstall process completed and returned 0.",
    };
    EXPECT_EQ(expected, setup_.Messages());
    // The slow uninstaller was left running: it still finishes its work.
    EXPECT_EQ(1u, WaitForRecordLines(Record("slow.txt"), 1).size());
}

TEST_F(AddOnsTest, ACommandThatDoesNotExpandInFullIsNotStarted)
{
    // Expands far beyond the room kept for expansion: a cut command would start something else.
    SetEnvironmentVariableA("XA_ADDON_LONG", std::string(6000, 'x').c_str());
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Long", "%XA_ADDON_LONG%", REG_EXPAND_SZ));
    std::string next = Uninstaller(4, Record("next.txt"));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "Next", next));

    EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));

    std::vector<std::string> expected = {
        "2 add-on(s) found.",
        "Removing add-on \"Long\"...",
        "-Faile to run uninstall command. Error code: " + std::to_string(ERROR_NOT_ENOUGH_MEMORY),
        "Removing add-on \"Next\"...",
        "\t-Uninstall command: \"" + next + "\"",
        "\t-Uninstall process completed and returned 4.",
    };
    EXPECT_EQ(expected, setup_.Messages());
    SetEnvironmentVariableA("XA_ADDON_LONG", nullptr);
}

// Unquoted commands in a folder with blanks, with a decoy C:\Program.exe that the search of
// CreateProcessA would start first (it ends with 0: its first argument is no number).
TEST_F(AddOnsTest, AnUnquotedCommandRunsTheLongestExistingProgramItNames)
{
    const std::string folder = "C:\\Program Files\\XA Add On.exe files";
    const std::string decoy = "C:\\Program.exe";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
    ASSERT_TRUE(CopyFileA(FixturePath("exitwith.exe").c_str(), (folder + "\\unins.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(FixturePath("exitwith.exe").c_str(), decoy.c_str(), FALSE));
    std::string named = folder + "\\unins.exe 5 --record " + Record("named.txt");
    std::string missing = folder + "\\missing.exe 6";
    std::string none = folder + "\\uninstall now";
    ASSERT_TRUE(SetMachineText(kAddOnKey, "A", named));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "B", missing));
    ASSERT_TRUE(SetMachineText(kAddOnKey, "C", none, REG_EXPAND_SZ));

    EXPECT_EQ(0, RemoveAddOns(&setup_.Data()));
    DeleteFileA(decoy.c_str());
    DeleteFileA((folder + "\\unins.exe").c_str());
    RemoveDirectoryA(folder.c_str());

    std::vector<std::string> expected = {
        "3 add-on(s) found.",
        "Removing add-on \"A\"...",
        "\t-Uninstall command: \"" + named + "\"",
        "\t-Uninstall process completed and returned 5.",
        "Removing add-on \"B\"...",
        "\t-Uninstall command: \"" + missing + "\"",
        "-Faile to run uninstall command. Error code: 2",
        "Removing add-on \"C\"...",
        "\t-Uninstall command: \"" + none + "\"",
        "-Faile to run uninstall command. Error code: 2",
    };
    EXPECT_EQ(expected, setup_.Messages());
    // The program reads its own arguments, not the pieces of its folder's name.
    EXPECT_EQ(std::vector<std::string>{"\"" + folder + "\\unins.exe\" 5 --record " + Record("named.txt")},
              WaitForRecordLines(Record("named.txt"), 1));
}

}  // namespace
