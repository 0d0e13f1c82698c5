// Runs the command line that follows its own name, waits for it, prints
// "exit code <signed> (0x<hex>)" and ends with the same code. Under Wine a shell sees only the
// low 8 bits of an exit code; this line carries all 32.
//
//   xalaunch [--station] program [arguments]
//
// With --station the program runs on the desktop of a window station of its own, which is not
// visible, as a service's programs do (session 0): nobody sees its windows, and a box it shows
// waits for ever.
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

const char kStationOption[] = "--station";

const char* SkipBlanks(const char* text)
{
    while (*text == ' ' || *text == '\t')
        ++text;
    return text;
}

}  // namespace

int main()
{
    // Skip our own name (quoted or not) and the blanks after it.
    const char* line = GetCommandLineA();
    if (*line == '"') {
        line = std::strchr(line + 1, '"');
        line = line ? line + 1 : "";
    } else {
        while (*line && *line != ' ' && *line != '\t')
            ++line;
    }
    line = SkipBlanks(line);
    bool station = std::strncmp(line, kStationOption, sizeof(kStationOption) - 1) == 0 &&
                   (line[sizeof(kStationOption) - 1] == ' ' || line[sizeof(kStationOption) - 1] == '\t');
    if (station)
        line = SkipBlanks(line + sizeof(kStationOption) - 1);
    if (!*line) {
        std::fprintf(stderr, "usage: xalaunch [--station] program [arguments]\n");
        return 2;
    }

    char command[32768];
    std::snprintf(command, sizeof(command), "%s", line);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
    char desktop[64];
    if (station) {
        // A new station has no WSF_VISIBLE; its desktop is made from inside it.
        char name[32];
        std::snprintf(name, sizeof(name), "xalaunch%lu", GetCurrentProcessId());
        HWINSTA own = GetProcessWindowStation();
        HWINSTA other = CreateWindowStationA(name, 0, WINSTA_ALL_ACCESS, nullptr);
        HDESK made = other && SetProcessWindowStation(other)
                         ? CreateDesktopA("Default", nullptr, nullptr, 0, GENERIC_ALL, nullptr)
                         : nullptr;
        SetProcessWindowStation(own);
        if (!made) {
            std::fprintf(stderr, "xalaunch: no window station of its own (error %lu)\n", GetLastError());
            return 2;
        }
        std::snprintf(desktop, sizeof(desktop), "%s\\Default", name);
        startup.lpDesktop = desktop;
    }
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, command, nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        std::fprintf(stderr, "xalaunch: cannot start %s (error %lu)\n", command, GetLastError());
        return 2;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    std::printf("exit code %ld (0x%lx)\n", (long)code, (unsigned long)code);
    std::fflush(stdout);
    return (int)code;
}
