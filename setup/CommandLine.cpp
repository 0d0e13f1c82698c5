#include <string.h>

#include "setup/InstallationData.h"
#include "setup/PathMacros.h"
#include "support/PointerList.h"

namespace {

enum OptionKind { kFlag, kText, kPackageFile, kLogFile };

struct Option {
    char Letter;
    OptionKind Kind;
    int InstallationData::*Flag;   // kFlag
    char* InstallationData::*Text; // kText
    size_t MaxChars;               // kText: characters kept (0: all)
};

const Option kOptions[] = {
    {'g', kText, nullptr, &InstallationData::Instance, kInstanceChars},
    {'v', kText, nullptr, &InstallationData::PartitionId, kPartitionIdChars},
    {'o', kText, nullptr, &InstallationData::Company, 0},
    {'d', kText, nullptr, &InstallationData::DestFolder, 0},  // base folder; the id is appended later
    {'m', kText, nullptr, &InstallationData::Comments, 0},
    {'c', kText, nullptr, &InstallationData::Contact, 0},
    {'h', kText, nullptr, &InstallationData::HelpLink, 0},
    {'p', kText, nullptr, &InstallationData::Publisher, 0},
    {'a', kText, nullptr, &InstallationData::AboutLink, 0},
    {'f', kPackageFile, nullptr, nullptr, 0},
    {'l', kLogFile, nullptr, nullptr, 0},
    {'s', kFlag, &InstallationData::IsSilent, nullptr, 0},
    {'r', kFlag, &InstallationData::IsRemove, nullptr, 0},
    {'e', kFlag, &InstallationData::RunProgram, nullptr, 0},
    {'x', kFlag, &InstallationData::NoInteract, nullptr, 0},
    {'b', kFlag, &InstallationData::ShowProgress, nullptr, 0},
    {'u', kFlag, &InstallationData::UpdateLegacyAgent, nullptr, 0},
    {'n', kFlag, &InstallationData::bNoDriver, nullptr, 0},
    {'t', kFlag, &InstallationData::RunAsTemp, nullptr, 0},
    {'i', kFlag, &InstallationData::bNoAddRemove, nullptr, 0},
    {'j', kFlag, &InstallationData::bNoShortcut, nullptr, 0},
    {'k', kFlag, &InstallationData::bDontStartAgent, nullptr, 0},
};

const Option* FindOption(const char* word)
{
    if ((word[0] != '/' && word[0] != '-') || word[1] == '\0')
        return nullptr;
    for (const Option& option : kOptions) {
        if (option.Letter == word[1])
            return &option;
    }
    return nullptr;
}

bool AddWord(PointerList* words, char* word)
{
    return *word == '\0' || AppendPointer(words, word) >= 0;
}

// Cuts text in place into words: blanks and tabs separate words outside double quotes; a
// quote starts a word (dropping what the word had before it) or ends it. Empty words are left
// out. False when the list cannot grow.
bool SplitWords(char* text, PointerList* words)
{
    char* start = text;
    bool quoted = false;
    for (char* scan = text; *scan;) {
        if (*scan == '"') {
            if (quoted) {
                *scan = '\0';
                if (!AddWord(words, start))
                    return false;
            }
            quoted = !quoted;
            start = ++scan;
        } else if (!quoted && (*scan == ' ' || *scan == '\t')) {
            *scan++ = '\0';
            if (!AddWord(words, start))
                return false;
            while (*scan == ' ' || *scan == '\t')
                ++scan;
            start = scan;
        } else {
            ++scan;
        }
    }
    return AddWord(words, start);
}

void OpenLog(InstallationData* data, const char* value)
{
    char path[MAX_PATH];
    path[0] = '\0';
    if (ExpandPath(value, path, sizeof(path)) == 0)
        return;
    data->LogEnabled = 1;
    data->Log.Open(path);
}

// Applies the options in order; returns the package file's path (a new heap text) or null.
char* ApplyOptions(InstallationData* data, const PointerList* words)
{
    char* packageFile = nullptr;
    for (int i = 0; i < words->Count; ++i) {
        const Option* option = FindOption((const char*)words->Items[i]);
        if (!option)
            continue;
        if (option->Kind == kFlag) {
            data->*(option->Flag) = 1;
            continue;
        }
        if (i + 1 >= words->Count)
            continue;  // a value option at the end is ignored
        const char* value = (const char*)words->Items[++i];
        switch (option->Kind) {
        case kText:
            ReplaceText(data->*(option->Text),
                        option->MaxChars ? DuplicateTextPrefix(value, option->MaxChars) : DuplicateText(value));
            break;
        case kPackageFile:
            ReplaceText(packageFile, DuplicateText(value));
            break;
        case kLogFile:
            OpenLog(data, value);
            break;
        default:
            break;
        }
    }
    return packageFile;
}

}  // namespace

int ParseCommandLine(InstallationData* data, const char* commandLine)
{
    if (!commandLine)
        return 1;

    int result = 0;
    char* packageFile = nullptr;
    PointerList words;
    InitPointerList(&words);
    char* copy = DuplicateText(commandLine);
    if (copy && SplitWords(copy, &words)) {
        packageFile = ApplyOptions(data, &words);
        result = 1;
    }
    FreePointerList(&words);
    FreeText(copy);

    if (packageFile)
        ReadPackageFile(data, packageFile);
    FreeText(packageFile);

    LogMessage(data, "================================================================");
    LogMessage(data, "Agent setup started!");
    LogMessage(data, "Command line parsing completed. Result: %s", result ? "Succeeded" : "Failed");
    return result;
}
