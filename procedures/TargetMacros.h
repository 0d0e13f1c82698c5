#pragma once
// The target macros of the agent's file table and registry paths.

#include "procedures/InstallationData.h"

enum { kTargetMacroChars = 511 };

// Replaces "$TARGETDIR$", "$AGENTTEMPDIR$", "$TARGETREGKEY$" and "$SYSTEMDIR$" (exact case)
// in text. Returns a new heap text that the caller frees with FreeText, or null for a null
// text, a macro whose value is missing or empty, an empty result or one longer than
// kTargetMacroChars characters.
char* ExpandTargetMacros(const InstallationData* data, const char* text);
