#pragma once
// The running system's version, as GetVersionExA reports it.

#include <windows.h>

// Fills info (extended record first, plain one as fallback); false when both calls fail.
bool QueryWindowsVersion(OSVERSIONINFOEXA* info);

// True on Windows NT 5.0 and later, the systems with a "Global\" kernel-object namespace.
// Windows 9x and NT 4 have a single namespace and refuse names with that prefix.
bool HasGlobalNamespace();

// True on the Windows NT family.
bool IsWindowsNTPlatform();

// True on x64 Windows (Itanium is not counted), also for this 32-bit program under WOW64.
bool Is64BitWindows();
