#pragma once
// The text of the two .ini files that setup reads or edits, apart from their file I/O: a value of
// the agent's ArvaneD.ini, and the lines added to the [rename] section of Windows 9x's
// WinInit.ini.

#include <stddef.h>

// The value of key in text: what follows the first occurrence of key, past blanks and tabs, up
// to the line's end (the agent writes "key value" lines, so an "=" belongs to the value).
// Returns its start inside text and sets *length, or null when key does not occur.
const char* FindIniValue(const char* text, const char* key, size_t* length);

// What to write into a WinInit.ini of length bytes (NULs allowed, no terminator needed; null
// for none) so that entries, whole lines, land in its [rename] section: a new heap buffer of
// *size bytes (caller frees), to be written from *offset, or at the end of the file when it is
// -1. It holds a line break when the last line lacks one, a "[rename]" header when the file has
// no such section, the entries, and, when the section is followed by another, the rest of the
// file again. Null when memory is short.
char* ComposeWinInitRename(const char* content, size_t length, const char* entries, long* offset, size_t* size);

// Takes the replacement of target out of a WinInit.ini text of length bytes (NULs allowed): the
// two lines "NUL=<target>" and "<target>=<new file>" as setup writes them (target compared without
// regard to case); the rest moves up. The new file's name goes into newFile (size bytes, cut to
// fit). Returns the new length, which is length when there is no such pair.
size_t RemoveWinInitReplacement(char* content, size_t length, const char* target, char* newFile, size_t size);

// Takes the deletion of target out of a WinInit.ini text of length bytes (NULs allowed): the line
// "NUL=<target>" as setup writes it (target compared without regard to case) that is not the
// first line of a replacement (no "<target>=" line follows it); the rest moves up. Returns the
// new length, which is length when there is no such line.
size_t RemoveWinInitDeletion(char* content, size_t length, const char* target);
