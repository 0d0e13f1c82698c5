#include <stdlib.h>
#include <string.h>

#include "procedures/InstallationData.h"
#include "support/SetupLog.h"

namespace {
const size_t kMessageBufferSize = 16384;
}

void LogMessage(const InstallationData* data, const char* format, ...)
{
    if (!data || !data->LogEnabled || !format)
        return;
    // Longer messages are cut here; the line keeps only the first kLogMessageChars anyway.
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    FormatTextV(message, sizeof(message), format, args);
    va_end(args);
    data->Log.WriteLine(message);
}

void LogError(const InstallationData* data, int code, const char* message)
{
    if (!data || !data->LogEnabled)
        return;
    char* text = GetErrorText(code);
    if (text)
        LogMessage(data, "%s %s", message, text);
    else
        LogMessage(data, "%s [Code: %d]", message, code);
    FreeText(text);
}

const char kCouldNotWrite[] = "Could not write %s.";
const char kCouldNotRemove[] = "Could not remove %s.";
const char kCouldNotRead[] = "Could not read %s.";

int NoteRemoval(const InstallationData* data, int code, const char* what)
{
    static_assert((ERROR_FILE_NOT_FOUND | 1) == ERROR_PATH_NOT_FOUND, "both absences in one test");
    if (code != 0 && (code | 1) != ERROR_PATH_NOT_FOUND)
        NotePartFailure(data, code, kCouldNotRemove, what);
    return code;
}

void NotePartFailure(const InstallationData* data, int code, const char* format, const char* what)
{
    if (format)
        LogErrorFormatted(data, code, format, what);
    if (data->PartFailures++ == 0)
        data->PartFailure = code;
}

void LogErrorFormatted(const InstallationData* data, int code, const char* format, ...)
{
    if (!data || !data->LogEnabled || !format)
        return;
    char message[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    FormatTextV(message, sizeof(message), format, args);
    va_end(args);
    LogError(data, code, message);
}

char* GetErrorText(int code)
{
    if (code == -1)
        return DuplicateText("Error is not specified.");
    if (code >= 0) {
        char* system = nullptr;
        DWORD length = FormatMessageA(
            FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
            nullptr, (DWORD)code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
            reinterpret_cast<char*>(&system), 0, nullptr);
        if (length != 0 && system) {
            // As the system gives it, its closing line break included: the log shows the text
            // the way every other tool of the system does (an empty line after it).
            char* copy = DuplicateText(system);
            LocalFree(system);
            return copy;
        }
        if (system)
            LocalFree(system);
    }
    return FormatHeapText(32, "[Code: %d]", code);
}
