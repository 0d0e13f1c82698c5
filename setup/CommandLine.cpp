#include <ctype.h>
#include <stdlib.h>
#include <string.h>

#include "setup/BuildInstallationData.h"
#include "support/PathMacros.h"
#include "support/PointerList.h"

namespace {

const char kOptionTableHeading[] = "XASetup.exe options (/ or -):";

enum OptionKind { kFlag, kText, kPackageFile, kLogFile, kHelp };

// One row per option; /? prints these rows, so that the help cannot drift from the parser.
struct Option {
    char Letter;
    OptionKind Kind;
    int InstallationData::*Flag;   // kFlag
    char* InstallationData::*Text; // kText
    const char* Value;             // the value's name in the help ("" for none)
    const char* Meaning;           // one line of help
};

const Option kOptions[] = {
    {'g', kText, nullptr, &InstallationData::Instance, "id", "agent instance id (required)"},
    {'v', kText, nullptr, &InstallationData::PartitionId, "id", "partition id"},
    {'o', kText, nullptr, &InstallationData::Company, "text", "company, for folder and title"},
    {'d', kText, nullptr, &InstallationData::DestFolder, "folder", "base folder; the id is appended"},
    {'m', kText, nullptr, &InstallationData::Comments, "text", "uninstall entry: comments"},
    {'c', kText, nullptr, &InstallationData::Contact, "text", "uninstall entry: contact"},
    {'h', kText, nullptr, &InstallationData::HelpLink, "text", "uninstall entry: help link"},
    {'p', kText, nullptr, &InstallationData::Publisher, "text", "uninstall entry: publisher"},
    {'a', kText, nullptr, &InstallationData::AboutLink, "text", "uninstall entry: about link"},
    {'f', kPackageFile, nullptr, nullptr, "path", "package file (Package.xml)"},
    {'l', kLogFile, nullptr, nullptr, "path", "setup log"},
    {'s', kFlag, &InstallationData::IsSilent, nullptr, "", "silent: no window, no question"},
    {'r', kFlag, &InstallationData::IsRemove, nullptr, "", "remove the instance"},
    {'e', kFlag, &InstallationData::RunProgram, nullptr, "", "start the agent after installing"},
    {'x', kFlag, &InstallationData::NoInteract, nullptr, "", "ask nothing; close at the end"},
    {'b', kFlag, &InstallationData::ShowProgress, nullptr, "", "show progress when silent"},
    {'u', kFlag, &InstallationData::UpdateLegacyAgent, nullptr, "", "take over the older agent"},
    {'n', kFlag, &InstallationData::bNoDriver, nullptr, "", "no network drivers"},
    {'t', kFlag, &InstallationData::RunAsTemp, nullptr, "", "be the removal's temporary copy"},
    {'w', kText, nullptr, &InstallationData::HandOver, "handles", "the removal's first process, to report to"},
    {'i', kFlag, &InstallationData::bNoAddRemove, nullptr, "", "no uninstall entry"},
    {'j', kFlag, &InstallationData::bNoShortcut, nullptr, "", "no Start menu shortcut"},
    {'k', kFlag, &InstallationData::bDontStartAgent, nullptr, "", "never start the agent"},
    {'?', kHelp, nullptr, nullptr, "", "show this table"},
};

bool IsOptionWord(const char* word)
{
    return word[0] == '/' || word[0] == '-';
}

// Whether the word after a value option is its value: any word but an option, "/" or "-" and a
// letter. "/v /VERYSILENT" is a switch typed where a value was missing, not a partition id.
bool IsOptionValue(const char* word)
{
    char letter = (char)(word[1] | 0x20);
    return !IsOptionWord(word) || letter < 'a' || letter > 'z';
}

// Whether the option at words[i] takes words[i + 1] as its value.
bool TakesNextWord(const Option* option, const PointerList* words, int i)
{
    return option->Kind != kFlag && option->Kind != kHelp && i + 1 < words->Count &&
           IsOptionValue((const char*)words->Items[i + 1]);
}

// The option of a word by its second character, in either case (/S is /s, as other installers
// have it); null for a word that is no option or names none.
const Option* FindOption(const char* word)
{
    if (!IsOptionWord(word) || word[1] == '\0')
        return nullptr;
    for (const Option& option : kOptions) {
        if (option.Letter == tolower((unsigned char)word[1]))
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

// A log that was asked for stays asked for when its path cannot be expanded: the run then ends
// for want of it (its Path stays empty) rather than running without a trace.
void OpenLog(InstallationData* data, const char* value)
{
    char path[MAX_PATH];
    path[0] = '\0';
    data->LogEnabled = 1;
    if (ExpandPath(value, path, sizeof(path)) != 0) {
        data->Log.Open(path);
        return;
    }
    data->Log.Close();
    data->Log.Path[0] = '\0';
}

// Applies the options in order; returns the package file's path (a new heap text) or null.
char* ApplyOptions(InstallationData* data, const PointerList* words)
{
    char* packageFile = nullptr;
    for (int i = 0; i < words->Count; ++i) {
        const Option* option = FindOption((const char*)words->Items[i]);
        if (!option || option->Kind == kHelp)
            continue;  // /? is answered before anything else (FindOptionTableRequest)
        if (option->Kind == kFlag) {
            data->*(option->Flag) = 1;
            continue;
        }
        if (!TakesNextWord(option, words, i))
            continue;  // without its value the option is ignored (the run refuses it when an option follows)
        const char* value = (const char*)words->Items[++i];
        switch (option->Kind) {
        case kText:
            // Ids are kept whole: one too long is refused later rather than cut into another's.
            ReplaceText(data->*(option->Text), DuplicateText(value));
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

int FindOptionTableRequest(const char* commandLine)
{
    int request = 0;
    bool silent = false;
    PointerList words;
    InitPointerList(&words);
    char* copy = DuplicateText(commandLine);
    if (copy && SplitWords(copy, &words)) {
        for (int i = 0; i < words.Count; ++i) {
            const Option* option = FindOption((const char*)words.Items[i]);
            if (!option)
                continue;
            if (option->Kind == kHelp)
                request = 1;
            else if (option->Flag == &InstallationData::IsSilent)
                silent = true;
            else if (TakesNextWord(option, &words, i))
                ++i;  // its value
        }
    }
    FreePointerList(&words);
    FreeText(copy);
    return request && silent ? 2 : request;
}

char* FormatOptionTable()
{
    enum { kLineChars = 80 };
    const size_t size = sizeof(kOptionTableHeading) + sizeof(kOptions) / sizeof(kOptions[0]) * kLineChars;
    char* table = (char*)malloc(size);
    if (!table)
        return nullptr;
    CopyText(table, size, kOptionTableHeading);
    for (const Option& option : kOptions) {
        char line[kLineChars];
        // Tabs keep the three columns aligned in a message box.
        FormatText(line, sizeof(line), "\n/%c\t%s\t%s", option.Letter, option.Value, option.Meaning);
        AppendText(table, size, line);
    }
    return table;
}

int ParseCommandLine(InstallationData* data, const char* commandLine, char** packageFile)
{
    if (!commandLine)
        return 0;

    int result = -1;
    char* named = nullptr;
    PointerList words;
    InitPointerList(&words);
    char* copy = DuplicateText(commandLine);
    if (copy && SplitWords(copy, &words)) {
        named = ApplyOptions(data, &words);
        result = 0;
    }
    FreePointerList(&words);
    FreeText(copy);

    if (packageFile) {
        *packageFile = named;
        return result;
    }
    if (named)
        ReadPackageFile(data, named);
    FreeText(named);
    return result;
}

bool LogOptionMistakes(const InstallationData* data, const char* commandLine)
{
    bool refused = false;
    PointerList words;
    InitPointerList(&words);
    char* copy = DuplicateText(commandLine);
    if (copy && SplitWords(copy, &words)) {
        for (int i = 0; i < words.Count; ++i) {
            const char* word = (const char*)words.Items[i];
            const Option* option = FindOption(word);
            if (option && TakesNextWord(option, &words, i)) {
                ++i;  // its value
            } else if (option && option->Kind != kFlag && option->Kind != kHelp && i + 1 < words.Count && !refused) {
                // A guess either way would act on the wrong instance or partition, or drop a switch.
                LogMessage(data, "Option /%c needs a value; \"%s\" is an option. Setup aborted.", word[1],
                           (const char*)words.Items[i + 1]);
                refused = true;
            } else if (!option && IsOptionWord(word)) {
                LogMessage(data, "Unknown option \"%s\" is ignored.", word);
            }
        }
    }
    FreePointerList(&words);
    FreeText(copy);
    return refused;
}
