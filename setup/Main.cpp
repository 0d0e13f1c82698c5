// The program's entry.
#include <stdlib.h>

#include "setup/SetupApp.h"
#include "support/SystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    return g_SetupApp.Run(instance, previous, commandLine, showCommand);
}

// XASetup.exe starts here, not in the C runtime's start-up code: msvcrt.dll sets itself up when
// it is loaded, and the start-up code (thread-local storage, pseudo-relocations, frame tables,
// argument vectors) would cost a tenth of the program for nothing it uses. What it did that the
// program needs is done here: the global object is constructed before WinMain and destroyed
// after it, and WinMain gets the command line after the program's name.
namespace {

typedef void(__cdecl* ExitFunction)();

// Global objects register their destructors through atexit; the program has one.
ExitFunction g_exitFunctions[8];
int g_exitFunctionCount;

// The command line after the program's name and the blanks that follow it, as the C runtime
// hands it to WinMain: the name ends at the first blank outside quotes. Characters compare as
// unsigned, as the runtime's do: a letter beyond ASCII in an unquoted path is part of the name.
LPSTR CommandLineTail()
{
    unsigned char* text = reinterpret_cast<unsigned char*>(GetCommandLineA());
    bool quoted = false;
    for (; *text > ' ' || (*text && quoted); ++text) {
        if (*text == '"')
            quoted = !quoted;
    }
    while (*text && *text <= ' ')
        ++text;
    return reinterpret_cast<LPSTR>(text);
}

}  // namespace

// The linker's list of constructors: -1, the constructors, 0.
extern "C" ExitFunction __CTOR_LIST__[];

extern "C" int __cdecl atexit(ExitFunction function)
{
    if (g_exitFunctionCount == (int)(sizeof(g_exitFunctions) / sizeof(g_exitFunctions[0])))
        return -1;
    g_exitFunctions[g_exitFunctionCount++] = function;
    return 0;
}

extern "C" void WINAPI StartSetup()
{
    // Before any library is loaded by name: the program may run from a folder that others can
    // write to, such as the temporary folder of a removal.
    (void)LimitLibrarySearch();

    int count = 0;
    while (__CTOR_LIST__[count + 1])
        ++count;
    for (int i = count; i >= 1; --i)  // backwards, as the C runtime runs them
        __CTOR_LIST__[i]();

    STARTUPINFOA startup;
    startup.cb = sizeof(startup);
    GetStartupInfoA(&startup);
    int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : SW_SHOWDEFAULT;
    int code = WinMain(GetModuleHandleA(nullptr), nullptr, CommandLineTail(), show);

    while (g_exitFunctionCount > 0)
        g_exitFunctions[--g_exitFunctionCount]();
    ExitProcess((UINT)code);
}
