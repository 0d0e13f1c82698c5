#pragma once
// Bounded 8-bit text helpers. Every helper that writes into a caller's buffer always leaves it
// terminated (when the size is not 0) and says whether the whole text fitted.
// Heap texts come from malloc and are freed with FreeText.

#include <stdarg.h>
#include <stddef.h>

// msvcrt's printf family for the product; the native hardening build (tests/fuzz) checks the same
// calls against the C library's own printf, since clang knows ms_printf only for Windows.
#ifdef _WIN32
#define XA_PRINTF_FORMAT(fmt, args) __attribute__((format(ms_printf, fmt, args)))
#else
#define XA_PRINTF_FORMAT(fmt, args) __attribute__((format(printf, fmt, args)))
#endif

// Copies src (null counts as empty) into dst; false when it had to be cut.
bool CopyText(char* dst, size_t size, const char* src);

// Appends src to the text already in dst; false when it had to be cut.
bool AppendText(char* dst, size_t size, const char* src);

// printf-style formatting into dst; false when the result had to be cut.
bool FormatText(char* dst, size_t size, const char* format, ...) XA_PRINTF_FORMAT(3, 4);
bool FormatTextV(char* dst, size_t size, const char* format, va_list args);

// Length of text, counting at most maxChars characters (text need not be terminated within them).
size_t TextLengthAtMost(const char* text, size_t maxChars);

// New heap copy of src, or null when src is null or memory is short.
char* DuplicateText(const char* src);

// New heap copy of at most maxChars characters of src, or null.
char* DuplicateTextPrefix(const char* src, size_t maxChars);

// New heap text formatted printf-style, or null (memory short, or longer than maxChars).
char* FormatHeapText(size_t maxChars, const char* format, ...) XA_PRINTF_FORMAT(2, 3);

// Frees a heap text and sets the variable to null.
void FreeText(char*& text);

// Gives field the new value, freeing the old one.
void ReplaceText(char*& field, char* value);

// True when text begins with prefix, letters compared without regard to case.
bool TextStartsWithNoCase(const char* text, const char* prefix);
