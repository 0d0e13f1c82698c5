// libFuzzer target: any bytes as the agent's ArvaneD.ini (NULs end the text there, as in
// ReadWorkingFolder). FindIniValue must find the first occurrence of the key and give the rest
// of that line after blanks; the working folder is cut as ReadWorkingFolder cuts it.
#include <stdint.h>
#include <string.h>

#include "FuzzSupport.h"
#include "support/IniText.h"
#include "support/Text.h"

namespace {

const char kKey[] = "Agent_Temp_Dir";
const size_t kMaxPathChars = 259;

// The first place the key occurs, looked for plainly: memchr to each candidate, then byte by
// byte (memcmp at every offset would call libFuzzer's comparison hook each time); null when
// it does not.
const char* FirstKey(const char* text, size_t length)
{
    const size_t keyLength = sizeof(kKey) - 1;
    const char* end = text + length;
    for (const char* at = text; end - at >= (long)keyLength; ++at) {
        at = (const char*)memchr(at, kKey[0], end - at);
        if (!at || end - at < (long)keyLength)
            return nullptr;
        size_t same = 1;
        while (same < keyLength && at[same] == kKey[same])
            ++same;
        if (same == keyLength)
            return at;
    }
    return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<char> bytes = ExpandRuns(data, size, 61, 1 << 16);
    bytes.push_back('\0');
    const char* text = bytes.data();
    const size_t textLength = strlen(text);

    size_t length = 12345;
    const char* value = FindIniValue(text, kKey, &length);
    const char* key = FirstKey(text, textLength);
    Check((value == nullptr) == (key == nullptr));
    if (!value) {
        Check(length == 12345);
        return 0;
    }
    // After the key and its blanks, to the line's end (or the text's), inside the text.
    const char* start = key + sizeof(kKey) - 1;
    Check(value >= start && value <= text + textLength && value + length <= text + textLength);
    for (const char* blank = start; blank < value; ++blank)
        Check(*blank == ' ' || *blank == '\t');
    Check(*value != ' ' && *value != '\t');
    Check(memchr(value, '\r', length) == nullptr && memchr(value, '\n', length) == nullptr);
    Check(value[length] == '\0' || value[length] == '\r' || value[length] == '\n');

    char* folder = DuplicateTextPrefix(value, length < kMaxPathChars ? length : kMaxPathChars);
    Check(folder != nullptr);
    Check(strlen(folder) == (length < kMaxPathChars ? length : kMaxPathChars));
    Check(memcmp(folder, value, strlen(folder)) == 0);
    FreeText(folder);
    return 0;
}
