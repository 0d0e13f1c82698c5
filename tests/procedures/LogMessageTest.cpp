// The log lines of a run's record: formatted, with the system's text for an error, and nothing at
// all while the record's log is off.
#include <gtest/gtest.h>

#include "procedures/ProcedureFixture.h"

using namespace xatest;

TEST(LogMessage, LongMessagesAreCutNeverOverflowed)
{
    LoggedData log;
    // Beyond the 16 KiB format buffer: cut, never overflowed.
    std::string huge(40000, 'h');
    LogMessage(&log.Data(), "%s%s", huge.c_str(), huge.c_str());
    EXPECT_EQ(std::vector<std::string>{std::string(4096, 'h')}, log.Messages());
}

TEST(LogMessage, LogErrorAddsTheSystemText)
{
    LoggedData log;
    LogError(&log.Data(), ERROR_ACCESS_DENIED, "Failed to open.");
    LogError(&log.Data(), -1, "Failed without code.");
    LogError(&log.Data(), 0x3FFFFFF0, "Failed strangely.");
    LogErrorFormatted(&log.Data(), -5, "Failed %s.", "negatively");

    // The system text comes as the system gives it, line break and all: an empty line follows it.
    ASSERT_FALSE(SystemMessage(ERROR_ACCESS_DENIED).empty());
    EXPECT_EQ((std::vector<std::string>{"Failed to open. " + SystemMessage(ERROR_ACCESS_DENIED),
                                        "Failed without code. Error is not specified.",
                                        "Failed strangely. [Code: 1073741808]", "Failed negatively. [Code: -5]"}),
              log.Messages());
    EXPECT_EQ(5u, SplitLines(ReadWholeFile(log.LogPath())).size());

    const std::pair<int, std::string> texts[] = {
        {ERROR_FILE_NOT_FOUND, SystemMessage(ERROR_FILE_NOT_FOUND)},
        {-1, "Error is not specified."},
        {-2, "[Code: -2]"},
    };
    for (const auto& row : texts) {
        char* text = GetErrorText(row.first);
        ASSERT_NE(nullptr, text);
        EXPECT_EQ(row.second, text);
        FreeText(text);
    }
}

// A part that is not there is no part that could not be removed; any other answer is, and the
// first such error becomes the run's result.
TEST(LogMessage, ARemovalThatFailedIsAPartFailure)
{
    LoggedData log;
    const InstallationData* data = &log.Data();
    EXPECT_EQ(0, NoteRemoval(data, 0, "gone"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, NoteRemoval(data, ERROR_FILE_NOT_FOUND, "never there"));
    EXPECT_EQ(ERROR_PATH_NOT_FOUND, NoteRemoval(data, ERROR_PATH_NOT_FOUND, "folder never there"));
    EXPECT_EQ(0, data->PartFailures);
    EXPECT_EQ(ERROR_ACCESS_DENIED, NoteRemoval(data, ERROR_ACCESS_DENIED, "XASHI1"));
    EXPECT_EQ(ERROR_SHARING_VIOLATION, NoteRemoval(data, ERROR_SHARING_VIOLATION, "Arvane Agent.lnk"));
    EXPECT_EQ(2, data->PartFailures);
    EXPECT_EQ(ERROR_ACCESS_DENIED, data->PartFailure);
    EXPECT_EQ((std::vector<std::string>{"Could not remove XASHI1. " + SystemMessage(ERROR_ACCESS_DENIED),
                                        "Could not remove Arvane Agent.lnk. " + SystemMessage(ERROR_SHARING_VIOLATION)}),
              log.Messages());
}

TEST(LogMessage, NothingIsWrittenAndNoMutexWithoutTheOption)
{
    ScratchFolder scratch("off");
    InstallationData data;  // the log was never opened
    LogMessage(&data, "not written");
    LogError(&data, 5, "not written either");
    char temp[MAX_PATH];
    GetTempPathA(sizeof(temp), temp);
    EXPECT_FALSE(FileExistsAt(std::string(temp) + "XASetup.log"));
    for (const char* name : {"Global\\ArvaneTL_xasetup", "ArvaneTL_xasetup"}) {
        HANDLE mutex = OpenMutexA(SYNCHRONIZE, FALSE, name);
        EXPECT_EQ(nullptr, mutex) << name;
        if (mutex)
            CloseHandle(mutex);
    }

    // An open log with the switch off stays silent too.
    std::string path = scratch / "quiet.log";
    data.Log.Open(path.c_str());
    LogMessage(&data, "still not written");
    LogErrorFormatted(&data, 5, "nor %s", "this");
    EXPECT_FALSE(FileExistsAt(path));
}
