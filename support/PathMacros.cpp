#include "support/PathMacros.h"

#include <stdlib.h>
#include <string.h>

#include "support/Registry.h"
#include "support/Text.h"

namespace {

const char kCurrentVersionKey[] = "Software\\Microsoft\\Windows\\CurrentVersion";

enum FolderMacro { kProgramFiles, kCommonFiles, kSystemRoot, kSystemDir, kFolderMacroCount };

// Names after the opening "%", in the order they are tried.
const char* const kFolderMacroNames[kFolderMacroCount] = {
    "ProgramFiles%", "CommonFiles%", "SystemRoot%", "SystemDir%"};

// The macro's value as a heap text, or null when the system does not give one (the macro then
// stays in the text as written).
char* GetFolderMacroValue(FolderMacro macro)
{
    char* value = nullptr;
    char folder[MAX_PATH];
    UINT length = 0;
    switch (macro) {
    case kProgramFiles:
    case kCommonFiles:
        RegReadString(HKEY_LOCAL_MACHINE, kCurrentVersionKey,
                      macro == kProgramFiles ? "ProgramFilesDir" : "CommonFilesDir", &value);
        return value;
    case kSystemRoot:
        length = GetWindowsDirectoryA(folder, sizeof(folder));
        break;
    case kSystemDir:
        length = GetSystemDirectoryA(folder, sizeof(folder));
        break;
    default:
        return nullptr;
    }
    // A length of the buffer or more is the size the folder would need: no value.
    return (length != 0 && length < sizeof(folder)) ? DuplicateText(folder) : nullptr;
}

}  // namespace

DWORD ExpandPath(const char* source, char* buffer, DWORD size)
{
    if (!source || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    DWORD needed = ExpandEnvironmentStringsA(source, buffer, size);
    if (needed == 0)
        return 0;
    if (needed > size) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    char* work = (char*)calloc((size_t)size + 1, 1);
    if (!work) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }

    DWORD k = 0;
    for (const char* scan = buffer; *scan;) {
        if (*scan == '%') {
            int macro = 0;
            while (macro < kFolderMacroCount && !TextStartsWithNoCase(scan + 1, kFolderMacroNames[macro]))
                ++macro;
            char* value = macro < kFolderMacroCount ? GetFolderMacroValue((FolderMacro)macro) : nullptr;
            if (value) {
                size_t length = strlen(value);
                if (k + length >= size) {
                    FreeText(value);
                    free(work);
                    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
                    return 0;
                }
                memcpy(work + k, value, length);
                k += (DWORD)length;
                scan += 1 + strlen(kFolderMacroNames[macro]);
                FreeText(value);
                continue;
            }
        }
        // A value may have made the text longer than the buffer: refuse rather than hand back
        // a path with its end cut off.
        if (k + 1 >= size) {
            free(work);
            SetLastError(ERROR_NOT_ENOUGH_MEMORY);
            return 0;
        }
        work[k++] = *scan++;
    }
    memcpy(buffer, work, (size_t)k + 1);
    free(work);
    return k + 1;
}
