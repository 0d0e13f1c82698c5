// The command line and the exit codes a deployment tool reads, with the boxes and the final text
// of an interactive run.
#include "setup/BuildInstallationData.h"
#include "setup/SetupProgramFixture.h"

using namespace xatest;

// Started by an unquoted path with a letter beyond ASCII, as a legal path without blanks may be:
// the program's name ends at the first blank, and what follows are the options given.
TEST_F(SetupProgram, UnquotedProgramPathBeyondAscii)
{
    ScratchFolder probe("Caf\xe9-probe");
    DWORD attributes = GetFileAttributesA(probe.Path().c_str());
    ASSERT_TRUE(attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
        << "names beyond ASCII need a UTF-8 locale for Wine (LANG=C.UTF-8)";
    Package package("Caf\xe9-rollout");
    RunLog log("beyond-log");
    ASSERT_EQ(std::string::npos, package.Setup().find(' '));
    EXPECT_EQ(0, RunProcess(package.Setup() + " /g I1 /s " + log.Option(), kRunLimitMs));
    EXPECT_TRUE(log.Has("> IsRemove = No"));
    ExpectInstalled("I1", "Arvane Agent");
}

// /? answers with the option table and nothing else: no instance needed, no log, no change.
TEST_F(SetupProgram, OptionTable)
{
    Package package("help-package");
    RunLog log("help-log");
    char* table = FormatOptionTable();
    ASSERT_TRUE(table);
    std::string expected = table;
    FreeText(table);
    {
        SetupProcess setup(package.Setup(), "/? " + log.Option());
        EXPECT_EQ(expected, AnswerBox(setup, kSetupCaption, IDOK));
        EXPECT_EQ(0L, setup.Wait());
    }
    // Silent: only the exit code, whatever else the command line asks for.
    for (const char* options : {"-? /s /g I1 /e ", "/g I1 /s /? "}) {
        SCOPED_TRACE(options);
        bool boxShown = false;
        EXPECT_EQ(0L, RunWatchingForBoxes(package.Setup(), options + log.Option(), &boxShown));
        EXPECT_FALSE(boxShown);
    }
    EXPECT_FALSE(FileExistsAt(log.Path()));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1")));
    EXPECT_FALSE(FileExistsAt(AgentFolder("I1")));
}

// The exit code a deployment tool reads, in full.
TEST_F(SetupProgram, ExitCodes)
{
    Package package("codes-package");
    RunLog log("codes-log");

    // A run that cannot start ends at once with its code and shows nothing, interactive or not: a
    // deployment tool that leaves out /s must never be kept waiting by a box. The log says why.
    const std::string missing = package.Path("missing.xml");
    const struct {
        std::string Options;
        long Code;
        std::string Line;
    } cannotStart[] = {
        {"/s", -1, "Product instance GUID is missing. Setup aborted."},
        {"/x /g BRANCH-OFFICE-NORTH-EAST-1", -1, "Product instance GUID is longer than 20 characters. Setup aborted."},
        {"", -1, "Product instance GUID is missing. Setup aborted."},
        {"/g I1 /v /VERYSILENT", -1, "Option /v needs a value; \"/VERYSILENT\" is an option. Setup aborted."},
        {"/g I1 /f \"" + missing + "\"", ERROR_FILE_NOT_FOUND,
         "Package file \"" + missing + "\" cannot be read. " + SystemMessage(ERROR_FILE_NOT_FOUND)},
    };
    for (const auto& row : cannotStart) {
        SCOPED_TRACE(row.Options);
        log.Clear();
        bool boxShown = true;
        EXPECT_EQ(row.Code, RunWatchingForBoxes(package.Setup(), row.Options + " " + log.Option(), &boxShown));
        EXPECT_FALSE(boxShown);
        EXPECT_TRUE(log.Has(row.Line));
    }

    // A log that was asked for but cannot be written ends the run before it does anything, as
    // msiexec does: a folder the run may not write to (Z:\ is the Unix root, which the prefix's
    // user cannot write), a folder in the log's place, a read-only log, a file in the way of its
    // folder. Interactive or not, no box.
    ScratchFolder logs("codes-logs");
    const std::string readOnly = logs / "read-only.log";
    WriteWholeFile(readOnly, "kept\r\n");
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_READONLY);
    WriteWholeFile(logs / "file", "");
    for (const std::string& path : {std::string("Z:\\xasetup-denied\\setup.log"), logs.Path(), readOnly,
                                    logs / "file\\setup.log"}) {
        for (const char* mode : {"", "/s "}) {
            SCOPED_TRACE(mode + path);
            bool boxShown = true;
            EXPECT_EQ(ERROR_INSTALL_LOG_FAILURE,
                      RunWatchingForBoxes(package.Setup(), std::string(mode) + "/g I1 /l \"" + path + "\"", &boxShown));
            EXPECT_FALSE(boxShown);
        }
    }
    EXPECT_EQ("kept\r\n", ReadWholeFile(readOnly));
    SetFileAttributesA(readOnly.c_str(), FILE_ATTRIBUTE_NORMAL);
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1")));
    EXPECT_FALSE(FileExistsAt(AgentFolder("I1")));

    // A procedure that fails: the agent's service program is missing from the package.
    DeleteFileA(package.Path("AgentCore.exe").c_str());
    log.Clear();
    long failed = RunSetup(package.Setup(), "/g I1 /s " + log.Option());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, failed);
    EXPECT_TRUE(log.Has("End install process. (" + std::to_string(failed) + ")"));
    EXPECT_FALSE(MachineKeyExists(AgentKey("I1"))) << ReadWholeFile(log.Path());
    {
        // Interactively the failure is the final text, and Close still ends with its code.
        SetupProcess setup(package.Setup(), "/g I1 " + log.Option());
        EXPECT_EQ("Setup has failed. [Code: " + std::to_string(failed) + "]", CloseWhenDone(setup));
        EXPECT_EQ(failed, setup.Wait());
    }
    ASSERT_TRUE(CopyFixture("agentstandin.exe", package.Path("AgentCore.exe")));

    ASSERT_EQ(0, RunSetup(package.Setup(), "/g I1 /s /e " + log.Option()));
    ASSERT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);

    // An update that fails after it stopped the running agent keeps its code, and starts the
    // agent again.
    DeleteFileA(package.Path("AgentCore.exe").c_str());
    log.Clear();
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RunSetup(package.Setup(), "/g I1 /s " + log.Option()));
    EXPECT_TRUE(InOrder(log.Messages(), {"Update existing installation...", "StopAgentService() returns 0",
                                         "Starting the agent service again after the failed update.",
                                         "Agent service started.", "End install process. (2)",
                                         "Agent setup finished!"}));
    EXPECT_EQ((DWORD)SERVICE_RUNNING, ReadServiceStatus("XAI1").dwCurrentState);
    ASSERT_TRUE(CopyFixture("agentstandin.exe", package.Path("AgentCore.exe")));

    // The removal's confirmation answered Cancel: nothing changes.
    log.Clear();
    {
        SetupProcess setup(package.Setup(), "/g I1 /r " + log.Option());
        EXPECT_EQ("Do you want to completely remove the selected application and all its components?",
                  AnswerBox(setup, kQuestionCaption, IDCANCEL));
        EXPECT_EQ(1602L, setup.Wait());
    }
    EXPECT_TRUE(log.Has("Setup is cancelled by user."));
    EXPECT_FALSE(log.Has("Begin install process.... (Version 5.2.0.1)"));
    ExpectInstalled("I1", "Arvane Agent");

    // Answered OK: the removal runs, and the interactive window waits for Close.
    log.Clear();
    {
        SetupProcess setup(package.Setup(), "/g I1 /r " + log.Option());
        ASSERT_NE("<no box>", AnswerBox(setup, kQuestionCaption, IDOK));
        EXPECT_EQ("The application and its components have been removed successfully.", CloseWhenDone(setup));
        EXPECT_EQ(0L, setup.Wait());
    }
    ExpectRemoved("I1");
}
