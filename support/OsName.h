#pragma once
// Names the running Windows for the setup log: a short version word ("XP", "2003", "7", "11",
// ...) and an edition text that also carries the service pack and the build number.

#include <windows.h>

enum { kOsNameChars = MAX_PATH };  // size of each of the two texts, terminator included

// Fills version and edition (kOsNameChars bytes each, both emptied first). True when the
// version information could be read, even if the system is one the naming does not know (the
// texts may then be empty or partial); false when neither version record can be read, or when
// on Windows NT 4 before Service Pack 6 the product type cannot be read from the registry.
bool GetOsName(char* version, char* edition);

// The helpers below return texts that live as long as the program; "" means no name.

// Windows XP (5.1): "Media Center", "Starter", "Tablet PC", "Home", "Professional" or
// "Embedded".
const char* GetXpEditionName(const OSVERSIONINFOEXA* info);

// Windows Vista / 7 workstations: the edition from GetProductInfo, overridden by the
// "EditionID" registry value when that names one.
const char* GetWorkstationProductName(const OSVERSIONINFOEXA* info);

// Windows Server 2008 (R2): the edition from GetProductInfo.
const char* GetServerProductName(const OSVERSIONINFOEXA* info);

// Windows 8 / Server 2012 and later: the edition from GetProductInfo alone ("Pro",
// "Enterprise LTSC", "Server Datacenter", ...).
const char* GetLaterProductName(const OSVERSIONINFOEXA* info);

// The edition named by the "EditionID" registry value ("Professional" only when minorVersion
// is not 0).
const char* GetEditionIdName(DWORD minorVersion);

// Windows Server 2003 R2: by the SM_SERVERR2 metric, else by the registry's product name (the
// Small Business Server 2003 R2 uninstall entry for smallBusinessServer).
bool IsServerR2(bool smallBusinessServer);

// Reads one value of a key under HKEY_LOCAL_MACHINE into buffer, which is cleared first; at most
// *size - 1 bytes are read so that the buffer always ends in a NUL. On success returns 0 and
// sets *size to the value's size and *type (when not null) to its type. Else 87 when valueName
// is null, the error of opening the key (2 when it is missing), or the error of reading the
// value (2 when it is missing, 234 when it does not fit).
int ReadRegistryValue(const char* keyPath, const char* valueName, void* buffer, DWORD* size,
                      DWORD* type);

// The system calls the naming takes its inputs from. Windows can answer with version records,
// product types and metrics that no test system produces, so tests bind fakes here; the
// default binding is the real calls. GetNativeSystemInfo and GetProductInfo are found through
// GetModuleHandleA and GetProcAddress, as they are missing from older systems.
struct OsNameCalls {
    BOOL(WINAPI* GetVersionExA)(OSVERSIONINFOA* info);
    void(WINAPI* GetSystemInfo)(SYSTEM_INFO* info);
    int(WINAPI* GetSystemMetrics)(int index);
    HMODULE(WINAPI* GetModuleHandleA)(const char* name);
    FARPROC(WINAPI* GetProcAddress)(HMODULE module, const char* name);
    LONG(WINAPI* RegOpenKeyExA)(HKEY key, const char* subKey, DWORD options, REGSAM access,
                                HKEY* result);
    LONG(WINAPI* RegQueryValueExA)(HKEY key, const char* valueName, DWORD* reserved,
                                   DWORD* type, BYTE* data, DWORD* size);
    LONG(WINAPI* RegCloseKey)(HKEY key);
};

// The binding in use; tests assign to it and restore kSystemOsNameCalls afterwards.
extern OsNameCalls gOsNameCalls;
extern const OsNameCalls kSystemOsNameCalls;
