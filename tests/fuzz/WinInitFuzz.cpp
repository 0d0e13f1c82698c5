// libFuzzer target: any bytes as an existing WinInit.ini (NULs included, no terminator), and
// the lines that AddWinInitRename adds. Writing what ComposeWinInitRename gives where it says
// must keep every original byte, add the entries once, whole, inside a [rename] section, and a
// header or a line break only where the file lacks one; RemoveWinInitReplacement and
// RemoveWinInitDeletion then take the replacement or the deletion out again.
#include <stdint.h>
#include <string.h>
#include <strings.h>

#include <algorithm>

#include "FuzzSupport.h"
#include "support/IniText.h"

namespace {

const char kHeader[] = "[rename]\r\n";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t';
}

// Whether the line at offset line of text is a section header, and whether it is [rename]'s.
bool IsHeaderLine(const std::vector<char>& text, size_t line, bool* rename)
{
    size_t i = line;
    while (i < text.size() && IsBlank(text[i]))
        ++i;
    if (i >= text.size() || text[i] != '[')
        return false;
    *rename = text.size() - i >= 8 && strncasecmp(&text[i], "[rename]", 8) == 0;
    return true;
}

// Whether the text has a [rename] section, and in which section the line at offset at lies.
bool InRenameSection(const std::vector<char>& text, size_t at, bool* anyRename)
{
    bool inRename = false;
    *anyRename = false;
    for (size_t line = 0; line < text.size();) {
        bool rename = false;
        if (IsHeaderLine(text, line, &rename)) {
            if (line < at)
                inRename = rename;
            *anyRename = *anyRename || rename;
        }
        const void* end = memchr(&text[line], '\n', text.size() - line);
        line = end ? (const char*)end - text.data() + 1 : text.size();
    }
    return inRename;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // The first byte picks the entries: a deletion, or a replacement (two lines).
    const char* entries = data[0] & 1 ? "NUL=C:\\PROGRA~1\\AGENT\\CORE.EXE\r\n"
                                        "C:\\PROGRA~1\\AGENT\\CORE.EXE=C:\\PROGRA~1\\AGENT\\~A1B2.TMP\r\n"
                                      : "NUL=C:\\PROGRA~1\\AGENT\\CORE.EXE\r\n";
    const size_t entriesLength = strlen(entries);
    std::vector<char> original = ExpandRuns(data + 1, size - 1, 61, 1 << 16);
    // Exactly the file's bytes on the heap, so that a read past them is caught.
    char* content = nullptr;
    if (!original.empty() || (data[0] & 2)) {
        content = (char*)malloc(original.size() ? original.size() : 1);
        Check(content != nullptr);
        if (!original.empty())
            memcpy(content, original.data(), original.size());
    }

    long offset = -2;
    size_t written = 0;
    char* text = ComposeWinInitRename(content, original.size(), entries, &offset, &written);
    Check(text != nullptr && text[written] == '\0');
    Check(offset >= -1 && offset <= (long)original.size());

    // The file afterwards: the bytes before offset, then what was written.
    size_t from = offset < 0 ? original.size() : (size_t)offset;
    std::vector<char> after(original.begin(), original.begin() + from);
    after.insert(after.end(), text, text + written);
    // Every original byte kept, in its order: what was written ends with the rest of the file.
    size_t rest = original.size() - from;
    Check(written >= rest + entriesLength);
    Check(rest == 0 || memcmp(text + written - rest, original.data() + from, rest) == 0);
    // Before the rest: an optional line break and header, then the entries, whole.
    size_t added = written - rest;
    Check(memcmp(text + added - entriesLength, entries, entriesLength) == 0);
    size_t prefix = added - entriesLength;
    bool lineBreak = prefix >= 2 && memcmp(text, "\r\n", 2) == 0;
    bool header = prefix >= sizeof(kHeader) - 1 &&
                  memcmp(text + prefix - (sizeof(kHeader) - 1), kHeader, sizeof(kHeader) - 1) == 0;
    Check(prefix == (lineBreak ? 2u : 0u) + (header ? sizeof(kHeader) - 1 : 0u));

    // The entries begin a line inside a [rename] section.
    size_t at = from + prefix;
    Check(at == 0 || after[at - 1] == '\n');
    bool anyRename = false;
    Check(InRenameSection(after, at, &anyRename));
    // A header only when the file had no such section; a line break only where it lacked one.
    bool hadRename = false;
    InRenameSection(original, original.size(), &hadRename);
    Check(header == !hadRename);
    Check(lineBreak == (offset < 0 && !original.empty() && original.back() != '\n'));

    // Taking a deletion back likewise; a replacement's first line is no deletion.
    std::vector<char> copy(after);
    size_t kept = RemoveWinInitDeletion(copy.data(), copy.size(), "c:\\progra~1\\agent\\core.exe");
    const char kDeletion[] = "NUL=C:\\PROGRA~1\\AGENT\\CORE.EXE";
    bool deletedBefore = false;
    for (size_t i = 0; !deletedBefore && i + sizeof(kDeletion) - 1 <= original.size(); ++i)
        deletedBefore = strncasecmp(&original[i], kDeletion, sizeof(kDeletion) - 1) == 0;
    if (!deletedBefore && (data[0] & 1)) {
        Check(kept == copy.size());
    } else if (!deletedBefore) {
        Check(kept == copy.size() - entriesLength);
        Check(std::equal(original.begin(), original.begin() + from, copy.begin()));
        Check(std::equal(original.begin() + from, original.end(), copy.begin() + from + prefix));
    }

    // Taking the replacement back leaves the file as it was but for that line break and header,
    // unless the file held the same pair already (then that one goes).
    if (data[0] & 1) {
        char newFile[260];
        size_t length = RemoveWinInitReplacement(after.data(), after.size(), "c:\\progra~1\\agent\\core.exe", newFile,
                                                 sizeof(newFile));
        const size_t pair = strlen("NUL=C:\\PROGRA~1\\AGENT\\CORE.EXE\r\nC:\\PROGRA~1\\AGENT\\CORE.EXE=");
        bool again = false;
        for (size_t i = 0; !again && i + pair <= original.size(); ++i)
            again = strncasecmp(&original[i], entries, pair) == 0;
        if (!again) {
            Check(length == after.size() - entriesLength);
            Check(strcmp(newFile, "C:\\PROGRA~1\\AGENT\\~A1B2.TMP") == 0);
            Check(std::equal(original.begin(), original.begin() + from, after.begin()));
            Check(std::equal(original.begin() + from, original.end(), after.begin() + from + prefix));
        }
    }

    free(text);
    free(content);
    return 0;
}
