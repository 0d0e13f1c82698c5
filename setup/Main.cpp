// The program's entry.
#include "setup/SetupApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR commandLine, int showCommand)
{
    return g_SetupApp.Run(instance, previous, commandLine, showCommand);
}
