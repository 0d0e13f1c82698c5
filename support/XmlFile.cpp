// Reading an XML file: the one part of the reader that calls Windows.
#include <windows.h>

#include <stdlib.h>
#include <string.h>

#include "support/Handles.h"
#include "support/Results.h"
#include "support/Xml.h"

namespace {

enum { kNoMarkSearch = -2 };

struct Signature {
    unsigned char Bytes[4];
    int Length;
    int Result;  // 0: parse from Skip bytes on; kNoMarkSearch: look for "<?xml"
    int Skip;
};

// The first bytes by which XML text shows its encoding, in the order they are tried: the first
// that matches decides. Only 8-bit text is read.
const Signature kSignatures[] = {
    {{0x00, 0x00, 0xFE, 0xFF}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 BE mark
    {{0xFF, 0xFE, 0x00, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 LE mark
    {{0x00, 0x00, 0xFF, 0xFE}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 2143 mark
    {{0xFE, 0xFF, 0x00, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 3412 mark
    {{0xEF, 0xBB, 0xBF, 0x00}, 3, 0, 3},                         // UTF-8 mark
    {{0xFF, 0xFE, 0x00, 0x00}, 2, kXmlEncodingNotSupported, 0},  // UTF-16 LE mark
    {{0xFE, 0xFF, 0x00, 0x00}, 2, kXmlEncodingNotSupported, 0},  // UTF-16 BE mark
    {{0x00, 0x00, 0x00, 0x3C}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 BE "<"
    {{0x3C, 0x00, 0x00, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 LE "<"
    {{0x00, 0x00, 0x3C, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 2143 "<"
    {{0x00, 0x3C, 0x00, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UCS-4 3412 "<"
    {{0x00, 0x3C, 0x00, 0x3F}, 4, kXmlEncodingNotSupported, 0},  // UTF-16 BE "<?"
    {{0x3C, 0x00, 0x3F, 0x00}, 4, kXmlEncodingNotSupported, 0},  // UTF-16 LE "<?"
    {{0x3C, 0x3F, 0x78, 0x6D}, 4, 0, 0},                         // "<?xm"
    {{0x4C, 0x6F, 0xA7, 0x94}, 4, kXmlEncodingNotSupported, 0},  // EBCDIC "<?xm"
};

// What the first bytes of a file of at least 4 bytes say: a refusal, or where to parse from.
int ClassifyText(const char* data, const char** text)
{
    for (const Signature& signature : kSignatures) {
        if (memcmp(data, signature.Bytes, (size_t)signature.Length) != 0)
            continue;
        if (signature.Result != 0)
            return signature.Result;
        *text = data + signature.Skip;
        return 0;
    }
    // Without a mark the declaration is required; whatever stands before it is ignored.
    *text = strstr(data, "<?xml");
    return *text ? 0 : kXmlInvalidData;
}

}  // namespace

int XmlDocument::LoadFile(const char* path)
{
    if (!path)
        return kXmlInvalidParameter;

    int result = 0;
    char* data = nullptr;
    const char* text = nullptr;
    DWORD size = 0;
    DWORD read = 0;
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        result = LastErrorResult();
        goto Exit;
    }
    size = GetFileSize(file, nullptr);
    if (size == 0) {
        result = kXmlInvalidData;
        goto Exit;
    }
    // The size and two terminators must not wrap around (the low 32 bits of a huge file).
    if (size > 0xFFFFFFFFu - 2) {
        result = kXmlNotEnoughMemory;
        goto Exit;
    }
    data = (char*)malloc((size_t)size + 2);
    if (!data) {
        result = kXmlNotEnoughMemory;
        goto Exit;
    }
    if (!ReadFile(file, data, size, &read, nullptr)) {
        result = LastErrorResult();
        goto Exit;
    }
    data[read] = '\0';
    data[read + 1] = '\0';
    CloseFile(file);

    if (read < size) {
        result = kXmlReadFault;
        goto Exit;
    }
    if (size < 4) {
        result = kXmlInvalidData;
        goto Exit;
    }
    result = ClassifyText(data, &text);
    if (result == 0)
        result = Parse(text);

Exit:
    free(data);
    CloseFile(file);
    return result;
}
