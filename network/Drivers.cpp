#include "network/Drivers.h"

#include <string.h>

#include "procedures/Installer.h"
#include "support/Handles.h"
#include "support/SystemLibrary.h"
#include "support/WindowsVersion.h"

const char kSharedAgentKey[] = "SOFTWARE\\Arvane\\Agent";
const char kDriverControlValue[] = "DriverControl";
const char kLspLibraryValue[] = "WinSock2LspDll";
const char kLegacyDriverOwner[] = "Legacy";

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

int Installer::Is64BitWindows()
{
    typedef void(WINAPI * GetNativeSystemInfoFunction)(SYSTEM_INFO*);
    OSVERSIONINFOEXA version;
    if (!QueryWindowsVersion(&version))
        return 0;
    // Only Windows XP x64 / Server 2003 and later exist in 64-bit form.
    if (version.dwMajorVersion < 5 || (version.dwMajorVersion == 5 && version.dwMinorVersion < 2))
        return 0;
    SYSTEM_INFO info;
    memset(&info, 0, sizeof(info));
    GetSystemInfo(&info);
    // A 32-bit program sees its own emulated processor; the native one is what counts.
    GetNativeSystemInfoFunction getNative =
        GetSystemFunction<GetNativeSystemInfoFunction>(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo");
    if (getNative)
        getNative(&info);
    return info.wProcessorArchitecture == PROCESSOR_ARCHITECTURE_AMD64 ? 1 : 0;
}

int Installer::GetDriverControl(char* buffer, DWORD size)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedAgentKey, 0, KEY_READ, &key);
    if (result != ERROR_SUCCESS)
        return result;
    // Read into a copy first: the caller's buffer stays untouched on failure, and the value is
    // terminated even when it was stored without its NUL.
    char value[MAX_PATH + 1];
    DWORD type = 0;
    DWORD valueSize = size < MAX_PATH ? size : MAX_PATH;
    result = RegQueryValueExA(key, kDriverControlValue, nullptr, &type, reinterpret_cast<BYTE*>(value), &valueSize);
    CloseKey(key);
    if (result != ERROR_SUCCESS)
        return result;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return ERROR_INVALID_DATA;
    if (size == 0)
        return ERROR_MORE_DATA;
    value[valueSize < size ? valueSize : size - 1] = 0;
    memcpy(buffer, value, strlen(value) + 1);
    return 0;
}

int Installer::SetDriverControl(const char* owner)
{
    HKEY key = nullptr;
    LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedAgentKey, 0, KEY_WRITE, &key);
    if (result != ERROR_SUCCESS)
        return result;
    if (owner)
        result = RegSetValueExA(key, kDriverControlValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(owner),
                                static_cast<DWORD>(strlen(owner) + 1));
    else
        result = RegDeleteValueA(key, kDriverControlValue);
    CloseKey(key);
    return result;
}
