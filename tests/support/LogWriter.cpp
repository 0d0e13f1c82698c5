// Writes numbered lines to a setup log from several threads at once, through the product's own
// log, for the concurrency test:
//   logwriter.exe <log path> <writer tag> <threads> <lines per thread> <start event name>
// Each line is "<tag> T<thread index> N<line number> tid=<thread id in hex> <padding>"; all
// threads start when the named event is set.
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "support/SetupLog.h"

namespace {

SetupLog g_log;
const char* g_tag;
int g_lines;
HANDLE g_start;

DWORD WINAPI WriteLines(void* parameter)
{
    int index = (int)(INT_PTR)parameter;
    WaitForSingleObject(g_start, INFINITE);
    for (int n = 0; n < g_lines; ++n) {
        char line[256];
        std::snprintf(line, sizeof(line), "%s T%d N%d tid=%lx %s", g_tag, index, n, GetCurrentThreadId(),
                      "....................................................");
        g_log.WriteLine(line);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 6)
        return 2;
    g_tag = argv[2];
    int threads = std::atoi(argv[3]);
    g_lines = std::atoi(argv[4]);
    g_start = OpenEventA(SYNCHRONIZE, FALSE, argv[5]);
    if (!g_start || threads < 1 || threads > 16)
        return 3;
    g_log.Open(argv[1]);

    HANDLE handles[16];
    for (int i = 0; i < threads; ++i)
        handles[i] = CreateThread(nullptr, 0, WriteLines, (void*)(INT_PTR)i, 0, nullptr);
    WaitForMultipleObjects((DWORD)threads, handles, TRUE, INFINITE);
    for (int i = 0; i < threads; ++i)
        CloseHandle(handles[i]);
    CloseHandle(g_start);
    return 0;
}
