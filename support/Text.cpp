#include "support/Text.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

bool CopyText(char* dst, size_t size, const char* src)
{
    if (!dst || size == 0)
        return false;
    if (!src)
        src = "";
    size_t length = strlen(src);
    bool fits = length < size;
    if (!fits)
        length = size - 1;
    memcpy(dst, src, length);
    dst[length] = '\0';
    return fits;
}

bool AppendText(char* dst, size_t size, const char* src)
{
    if (!dst || size == 0)
        return false;
    size_t used = TextLengthAtMost(dst, size);
    if (used >= size) {
        dst[size - 1] = '\0';
        return false;
    }
    return CopyText(dst + used, size - used, src);
}

bool FormatTextV(char* dst, size_t size, const char* format, va_list args)
{
    if (!dst || size == 0)
        return false;
    if (!format) {
        dst[0] = '\0';
        return false;
    }
    // msvcrt's _vsnprintf returns -1 and leaves no terminator when the text does not fit.
    int written = _vsnprintf(dst, size, format, args);
    if (written < 0 || (size_t)written >= size) {
        dst[size - 1] = '\0';
        return false;
    }
    return true;
}

bool FormatText(char* dst, size_t size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    bool fits = FormatTextV(dst, size, format, args);
    va_end(args);
    return fits;
}

// Our own, since the C runtime's strnlen brings its unwind tables into the setup program.
size_t TextLengthAtMost(const char* text, size_t maxChars)
{
    size_t length = 0;
    while (length < maxChars && text[length])
        ++length;
    return length;
}

char* DuplicateText(const char* src)
{
    if (!src)
        return nullptr;
    return DuplicateTextPrefix(src, strlen(src));
}

char* DuplicateTextPrefix(const char* src, size_t maxChars)
{
    if (!src)
        return nullptr;
    size_t length = TextLengthAtMost(src, maxChars);
    char* copy = (char*)malloc(length + 1);
    if (!copy)
        return nullptr;
    memcpy(copy, src, length);
    copy[length] = '\0';
    return copy;
}

char* FormatHeapText(size_t maxChars, const char* format, ...)
{
    char* text = (char*)malloc(maxChars + 1);
    if (!text)
        return nullptr;
    va_list args;
    va_start(args, format);
    bool fits = FormatTextV(text, maxChars + 1, format, args);
    va_end(args);
    if (!fits) {
        free(text);
        return nullptr;
    }
    return text;
}

void FreeText(char*& text)
{
    free(text);
    text = nullptr;
}

void ReplaceText(char*& field, char* value)
{
    if (field != value)
        free(field);
    field = value;
}

bool TextStartsWithNoCase(const char* text, const char* prefix)
{
    if (!text || !prefix)
        return false;
    return _strnicmp(text, prefix, strlen(prefix)) == 0;
}
