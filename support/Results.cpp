#include "support/Results.h"

#include <windows.h>

int LastErrorResult()
{
    DWORD code = GetLastError();
    return code ? (int)code : -1;
}
