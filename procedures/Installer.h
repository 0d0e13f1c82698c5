#pragma once
// The object on which the procedures and the operations they share run.

#include "setup/InstallationData.h"

struct Installer {
    InstallationData* Data;

    explicit Installer(InstallationData* data) : Data(data) {}

    // Replaces "$TARGETDIR$", "$AGENTTEMPDIR$", "$TARGETREGKEY$" and "$SYSTEMDIR$" (exact case)
    // in text. Returns a new heap text that the caller frees with FreeText, or null for a null
    // text, a macro whose value is missing, an empty result or one longer than
    // kTargetMacroChars characters.
    char* ExpandTargetMacros(const char* text) const;
};

enum { kTargetMacroChars = 511 };
