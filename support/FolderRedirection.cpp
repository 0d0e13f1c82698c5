#include "support/FolderRedirection.h"

#include "support/SystemLibrary.h"

namespace {

const FolderRedirectionFunctions* g_testRedirection = nullptr;

}  // namespace

bool FindFolderRedirection(FolderRedirectionFunctions* functions)
{
    if (g_testRedirection) {
        *functions = *g_testRedirection;
    } else {
        // kernel32 is always loaded; the pair exists from Windows XP x64 and Server 2003 SP1 on.
        HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
        functions->Disable = GetSystemFunction<DisableRedirectionFunction>(kernel32, "Wow64DisableWow64FsRedirection");
        functions->Revert = GetSystemFunction<RevertRedirectionFunction>(kernel32, "Wow64RevertWow64FsRedirection");
    }
    return functions->Disable && functions->Revert;
}

void SetFolderRedirectionFunctions(const FolderRedirectionFunctions* functions)
{
    g_testRedirection = functions;
}
