// Runs the command line that follows its own name, waits for it, prints
// "exit code <signed> (0x<hex>)" and ends with the same code. Under Wine a shell sees only the
// low 8 bits of an exit code; this line carries all 32.
#include <windows.h>

#include <cstdio>
#include <cstring>

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
    while (*line == ' ' || *line == '\t')
        ++line;
    if (!*line) {
        std::fprintf(stderr, "usage: xalaunch program [arguments]\n");
        return 2;
    }

    char command[32768];
    std::snprintf(command, sizeof(command), "%s", line);
    STARTUPINFOA startup = {};
    startup.cb = sizeof(startup);
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
