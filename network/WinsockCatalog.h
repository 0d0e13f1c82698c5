#pragma once
// The Winsock 2 catalogue functions the provider removal uses, as one table. By default it holds
// ws2_32's own functions, looked up at run time in the copy of ws2_32.dll in the system folder
// (Windows 95 may have no Winsock 2 at all, and the program imports no network library).
// Tests set a table of their own, because Wine's catalogue never holds a layered provider.

#include <winsock2.h>
#include <ws2spi.h>

static_assert(sizeof(WSAPROTOCOL_INFOW) == 628, "catalogue entries have Winsock 2's layout");

typedef int(WSAAPI* EnumProtocolsFunction)(LPINT protocols, LPWSAPROTOCOL_INFOW buffer,
                                           LPDWORD bufferLength, LPINT error);
typedef int(WSAAPI* InstallProviderFunction)(LPGUID providerId, const WCHAR* path,
                                             const LPWSAPROTOCOL_INFOW entries, DWORD count,
                                             LPINT error);
typedef int(WSAAPI* DeinstallProviderFunction)(LPGUID providerId, LPINT error);
typedef int(WSAAPI* GetProviderPathFunction)(LPGUID providerId, WCHAR* path, LPINT pathLength,
                                             LPINT error);
typedef int(WSAAPI* UpdateProviderFunction)(LPGUID providerId, const WCHAR* path,
                                            const LPWSAPROTOCOL_INFOW entries, DWORD count,
                                            LPINT error);
typedef int(WSAAPI* WriteProviderOrderFunction)(LPDWORD catalogIds, DWORD count);

struct WinsockCatalogFunctions {
    EnumProtocolsFunction EnumProtocols;          // WSCEnumProtocols
    InstallProviderFunction InstallProvider;      // WSCInstallProvider
    DeinstallProviderFunction DeinstallProvider;  // WSCDeinstallProvider
    GetProviderPathFunction GetProviderPath;      // WSCGetProviderPath
    UpdateProviderFunction UpdateProvider;        // WSCUpdateProvider; null where Windows lacks it
    // WSCWriteProviderOrder from ws2_32, else from sporder.dll; null when neither has it.
    WriteProviderOrderFunction WriteProviderOrder;
};

// The table in use: the one a test set, else the system's, bound on first use. The four
// functions every Winsock 2 has are never null: where ws2_32.dll cannot be loaded they fail
// with WSASYSNOTREADY.
const WinsockCatalogFunctions& GetWinsockCatalog();

// Makes table the one in use (a test's fake catalogue); null goes back to the system's.
// The table must outlive its use.
void SetWinsockCatalog(const WinsockCatalogFunctions* table);
