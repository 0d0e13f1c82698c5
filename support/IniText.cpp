#include "support/IniText.h"

#include <stdlib.h>
#include <string.h>

#include "support/Text.h"

namespace {

const char kRenameHeader[] = "[rename]\r\n";
const size_t kRenameSectionChars = 8;  // "[rename]"

// Offset of the line that starts the section after [rename], or -1 when there is none; found
// tells whether the section exists at all. As the system's .ini reader sees them, headers begin
// a line (after blanks): a bracket inside a value or a comment starts no section.
long FindFollowingSection(const char* content, size_t length, bool* found)
{
    *found = false;
    for (size_t line = 0; line < length;) {
        size_t i = line;
        while (i < length && (content[i] == ' ' || content[i] == '\t'))
            ++i;
        if (i < length && content[i] == '[') {
            if (*found)
                return (long)line;
            *found = length - i >= kRenameSectionChars && TextStartsWithNoCase(content + i, "[rename]");
        }
        while (i < length && content[i] != '\n')
            ++i;
        line = i + 1;
    }
    return -1;
}

}  // namespace

const char* FindIniValue(const char* text, const char* key, size_t* length)
{
    const char* found = strstr(text, key);
    if (!found)
        return nullptr;
    found += strlen(key);
    found += strspn(found, " \t");
    *length = strcspn(found, "\r\n");
    return found;
}

char* ComposeWinInitRename(const char* content, size_t length, const char* entries, long* offset, size_t* size)
{
    if (!content)
        length = 0;
    bool found = false;
    long following = FindFollowingSection(content, length, &found);
    // A last line without its line break would otherwise run into the first new line.
    bool lineBreak = following < 0 && length > 0 && content[length - 1] != '\n';
    size_t headerLength = found ? 0 : sizeof(kRenameHeader) - 1;
    size_t entriesLength = strlen(entries);
    size_t restLength = following >= 0 ? length - (size_t)following : 0;
    size_t total = (lineBreak ? 2 : 0) + headerLength + entriesLength + restLength;
    char* text = (char*)malloc(total + 1);
    if (!text)
        return nullptr;
    char* at = text;
    if (lineBreak) {
        memcpy(at, "\r\n", 2);
        at += 2;
    }
    memcpy(at, kRenameHeader, headerLength);
    at += headerLength;
    memcpy(at, entries, entriesLength);
    at += entriesLength;
    if (restLength)
        memcpy(at, content + following, restLength);
    text[total] = '\0';
    *offset = following;
    *size = total;
    return text;
}

size_t RemoveWinInitReplacement(char* content, size_t length, const char* target, char* newFile, size_t size)
{
    size_t targetLength = strlen(target);
    size_t lines = 4 + targetLength + 2 + targetLength + 1;  // "NUL=T\r\nT=" before the new file
    for (size_t at = 0; at + lines <= length; ++at) {
        const char* line = content + at;
        if ((at > 0 && line[-1] != '\n') || _strnicmp(line, "NUL=", 4) != 0 ||
            _strnicmp(line + 4, target, targetLength) != 0 || memcmp(line + 4 + targetLength, "\r\n", 2) != 0 ||
            _strnicmp(line + 6 + targetLength, target, targetLength) != 0 || line[lines - 1] != '=')
            continue;
        size_t end = at + lines;
        size_t copied = 0;
        while (end < length && content[end] != '\r' && content[end] != '\n') {
            if (copied + 1 < size)
                newFile[copied++] = content[end];
            ++end;
        }
        newFile[copied] = '\0';
        while (end < length && (content[end] == '\r' || content[end] == '\n') && content[end - 1] != '\n')
            ++end;
        memmove(content + at, content + end, length - end);
        return length - (end - at);
    }
    return length;
}

size_t RemoveWinInitDeletion(char* content, size_t length, const char* target)
{
    size_t targetLength = strlen(target);
    size_t line = 4 + targetLength;  // "NUL=T"
    for (size_t at = 0; at + line <= length; ++at) {
        const char* start = content + at;
        if ((at > 0 && start[-1] != '\n') || _strnicmp(start, "NUL=", 4) != 0 ||
            _strnicmp(start + 4, target, targetLength) != 0)
            continue;
        size_t end = at + line;
        if (end < length && content[end] != '\r' && content[end] != '\n')
            continue;  // another file whose name begins alike
        while (end < length && (content[end] == '\r' || content[end] == '\n') && content[end - 1] != '\n')
            ++end;
        // The first line of a replacement, whose second names the target again.
        if (length - end > targetLength && _strnicmp(content + end, target, targetLength) == 0 &&
            content[end + targetLength] == '=')
            continue;
        memmove(content + at, content + end, length - end);
        return length - (end - at);
    }
    return length;
}
