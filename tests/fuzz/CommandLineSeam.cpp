// What the command-line parser calls outside setup/CommandLine.cpp, for the native fuzz target:
// the least that keeps the parser's own code honest. Nothing is opened or expanded, but every
// text the parser hands over is read to its end and every log line is formatted, so that a
// stray pointer or a bad format argument shows under the sanitizers.
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include "CommandLineSeam.h"
#include "setup/BuildInstallationData.h"
#include "support/PathMacros.h"

namespace {

SeamRecord g_record;

// A piece of one word of the command line: ExpandPath here copies without expanding.
void CheckPieceOfCommandLine(const char* path)
{
    Check(path && path[0] && g_record.CommandLine && strstr(g_record.CommandLine, path));
}

}  // namespace

SeamRecord& Seam()
{
    return g_record;
}

SetupLog::SetupLog() : Mutex(nullptr), RefuseLinks(false)
{
    Path[0] = '\0';
}

SetupLog::~SetupLog()
{
    Close();
}

void SetupLog::Open(const char* path)
{
    CheckPieceOfCommandLine(path);
    Check(CopyText(Path, sizeof(Path), path));
    ++g_record.LogOpens;
}

bool SetupLog::WriteLine(const char* text) const
{
    // A log whose path could not be expanded is asked for but has no file (its Path is empty).
    Check(strlen(text) < 16384);
    return Path[0] != '\0';
}

void SetupLog::Close()
{
    Mutex = nullptr;
}

// Formats every message, also while the log is off: the arguments are the parser's, not the log's.
void LogMessage(const InstallationData* data, const char* format, ...)
{
    if (!data || !format)
        return;
    char message[16384];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof(message), format, args);
    va_end(args);
    ++g_record.LogLines;
    if (data->LogEnabled)
        data->Log.WriteLine(message);
}

// A copy without expansion, failing as the real one does when the result does not fit.
DWORD ExpandPath(const char* source, char* buffer, DWORD size)
{
    if (!source || !buffer)
        return 0;
    size_t length = strlen(source);
    if (length >= size)
        return 0;
    memcpy(buffer, source, length + 1);
    return (DWORD)length + 1;
}

int ReadPackageFile(InstallationData* data, const char* path)
{
    Check(data != nullptr);
    CheckPieceOfCommandLine(path);
    ++g_record.PackageReads;
    return 0;
}
