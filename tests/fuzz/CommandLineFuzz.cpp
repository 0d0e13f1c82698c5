// libFuzzer target: any text as the command line. ParseCommandLine must succeed and leave a
// record that keeps its promises (flags 0 or 1, every text a terminated piece of one word, ids
// kept whole), FindOptionTableRequest must see the same words, LogOptionMistakes must log only
// words that look like options, and the record's destructor must free everything
// (LeakSanitizer).
#include <stdint.h>
#include <string.h>

#include "CommandLineSeam.h"
#include "setup/BuildInstallationData.h"

namespace {

// Set by the command line: a non-empty piece of one of its words, and no longer than kept.
void CheckText(const char* text, const char* commandLine, size_t maxChars)
{
    if (!text)
        return;
    size_t length = strlen(text);
    Check(length > 0 && length <= maxChars);
    Check(strstr(commandLine, text) != nullptr);
}

void CheckRecord(const InstallationData& data, const char* commandLine)
{
    const size_t all = strlen(commandLine);
    for (const char* text : {data.Instance, data.PartitionId, data.Company, data.DestFolder, data.Comments, data.Contact, data.HelpLink,
                             data.Publisher, data.AboutLink, data.HandOver})
        CheckText(text, commandLine, all);
    // The command line has no say in these.
    for (const char* text : {data.Title, data.SrcFolder, data.AgentWorkingFolder, data.FirstProcessProgram})
        Check(text == nullptr);
    Check(!data.IsModify && !data.IsWin9x && !data.LegacyAgentExists && !data.RebootRequired);
    for (int flag : {data.IsSilent, data.IsRemove, data.UpdateLegacyAgent, data.RunProgram, data.NoInteract,
                     data.ShowProgress, data.bNoDriver, data.RunAsTemp, data.bNoShortcut, data.bNoAddRemove,
                     data.bDontStartAgent, data.LogEnabled})
        Check(flag == 0 || flag == 1);
    // /l asks for a log even when its path cannot be expanded (the run then ends without one).
    Check(!data.LogEnabled || strstr(commandLine, "/l") || strstr(commandLine, "-l") || strstr(commandLine, "/L") ||
          strstr(commandLine, "-L"));
    Check(Seam().LogOpens == 0 || data.LogEnabled);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Windows passes at most 32,767 characters to a program.
    std::vector<char> text = ExpandRuns(data, size, 31, 32767);
    text.push_back('\0');
    const char* commandLine = text.data();

    Seam() = SeamRecord{commandLine, 0, 0, 0};
    int request = FindOptionTableRequest(commandLine);
    Check(request >= 0 && request <= 2);
    Check(request == 0 || strstr(commandLine, "/?") || strstr(commandLine, "-?"));
    Check(Seam().LogLines == 0 && Seam().LogOpens == 0 && Seam().PackageReads == 0);
    {
        InstallationData record;
        Check(ParseCommandLine(&record, commandLine) == 0);
        CheckRecord(record, commandLine);
        // Parsing logs nothing: the run's first lines wait for its instance's lock.
        Check(Seam().LogLines == 0 && Seam().PackageReads <= 1);
        // Both walk the same words: /s counts for the table exactly when it counts for the run.
        Check(request != 2 || record.IsSilent);
        Check(request != 1 || !record.IsSilent);
        LogOptionMistakes(&record, commandLine);
        Check(Seam().LogLines == 0 || strchr(commandLine, '/') || strchr(commandLine, '-'));

        // Parsing again over a filled record replaces its texts without leaking the old ones
        // (short lines only: it doubles the time, and the length changes nothing there).
        if (text.size() < 1024) {
            Check(ParseCommandLine(&record, commandLine) == 0);
            CheckRecord(record, commandLine);
        }
    }
    return 0;
}
