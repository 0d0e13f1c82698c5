// The program's entry.
#include "setup/SetupApp.h"
#include "support/SystemLibrary.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    // Before any library is loaded by name: the program may run from a folder that others can
    // write to, such as the temporary folder of a removal.
    (void)LimitLibrarySearch();
    return g_SetupApp.Run(instance, previous, commandLine, showCommand);
}
