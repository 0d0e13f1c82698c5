// The target macros between dollar signs, which name the folders and key of this installation.
#include "procedures/TargetMacros.h"

#include <string.h>

#include "support/AgentNames.h"
#include "support/Text.h"

namespace {

// The values that are not fields of the record, formed into buffer; false when there is none.
bool FormInstanceKey(const InstallationData* data, char* buffer, UINT size)
{
    return data && FormatInstanceKey(data->Instance, buffer, size);
}

bool FormSystemFolder(const InstallationData*, char* buffer, UINT size)
{
    UINT length = GetSystemDirectoryA(buffer, size);
    return length != 0 && length < size;
}

struct TargetMacro {
    const char* Name;
    char* InstallationData::*Field;  // null: the value is formed
    bool (*Form)(const InstallationData* data, char* buffer, UINT size);
};

const TargetMacro kTargetMacros[] = {
    {"$TARGETDIR$", &InstallationData::DestFolder, nullptr},
    {"$AGENTTEMPDIR$", &InstallationData::AgentWorkingFolder, nullptr},
    {"$TARGETREGKEY$", nullptr, FormInstanceKey},
    {"$SYSTEMDIR$", nullptr, FormSystemFolder},
};

// The target macro whose name text starts with, or null.
const TargetMacro* MatchTargetMacro(const char* text)
{
    if (*text != '$')
        return nullptr;
    for (const TargetMacro& macro : kTargetMacros) {
        if (strncmp(text, macro.Name, strlen(macro.Name)) == 0)
            return &macro;
    }
    return nullptr;
}

// The macro's value, or null when it is missing. An empty value counts as missing: "\Logs"
// under an empty folder would name a folder in the current drive's root.
const char* GetTargetMacroValue(const InstallationData* data, const TargetMacro* macro, char* buffer, UINT size)
{
    if (macro->Field) {
        const char* value = data ? data->*(macro->Field) : nullptr;
        return value && value[0] ? value : nullptr;
    }
    return macro->Form(data, buffer, size) ? buffer : nullptr;
}

}  // namespace

char* ExpandTargetMacros(const InstallationData* data, const char* text)
{
    if (!text)
        return nullptr;

    char output[kTargetMacroChars + 1];
    char formed[MAX_PATH];
    size_t k = 0;
    for (const char* scan = text; *scan;) {
        const char* piece = scan;  // what goes to the output
        size_t pieceLength = 1;
        size_t skip = 1;           // what is consumed from the text
        const TargetMacro* macro = MatchTargetMacro(scan);
        if (macro) {
            piece = GetTargetMacroValue(data, macro, formed, sizeof(formed));
            if (!piece)
                return nullptr;
            pieceLength = strlen(piece);
            skip = strlen(macro->Name);
        }
        if (k + pieceLength > kTargetMacroChars)
            return nullptr;  // a cut path could name another file
        memcpy(output + k, piece, pieceLength);
        k += pieceLength;
        scan += skip;
    }
    output[k] = '\0';
    return k == 0 ? nullptr : DuplicateText(output);
}
