#pragma once
// Folder macros between percent signs (%ProgramFiles%, %CommonFiles%, %SystemRoot%, %SystemDir%
// and the process environment). The target macros between dollar signs are in
// procedures/TargetMacros.h.

#include <windows.h>

// Expands the environment and the four folder macros of source into buffer (size bytes).
// Returns the length including the terminator, or 0 with the reason in the last error:
// 87 for a null source or buffer, 8 when the result does not fit.
DWORD ExpandPath(const char* source, char* buffer, DWORD size);
