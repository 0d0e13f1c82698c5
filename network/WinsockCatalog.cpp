#include "network/WinsockCatalog.h"

#include "support/SystemLibrary.h"

namespace {

// Stand-ins for a system without ws2_32.dll: the catalogue cannot be reached.
int WSAAPI EnumProtocolsMissing(LPINT, LPWSAPROTOCOL_INFOW, LPDWORD, LPINT error)
{
    *error = WSASYSNOTREADY;
    return SOCKET_ERROR;
}

int WSAAPI InstallProviderMissing(LPGUID, const WCHAR*, const LPWSAPROTOCOL_INFOW, DWORD, LPINT error)
{
    *error = WSASYSNOTREADY;
    return SOCKET_ERROR;
}

int WSAAPI DeinstallProviderMissing(LPGUID, LPINT error)
{
    *error = WSASYSNOTREADY;
    return SOCKET_ERROR;
}

int WSAAPI GetProviderPathMissing(LPGUID, WCHAR*, LPINT, LPINT error)
{
    *error = WSASYSNOTREADY;
    return SOCKET_ERROR;
}

const WinsockCatalogFunctions* g_testCatalog = nullptr;
WinsockCatalogFunctions g_systemCatalog;
bool g_systemCatalogBound = false;

// Binds the system's functions once. The libraries stay loaded for the life of the process:
// the table keeps pointers into them.
void BindSystemCatalog()
{
    HMODULE ws2 = LoadSystemLibrary("ws2_32.dll");
    WinsockCatalogFunctions& table = g_systemCatalog;
    table.EnumProtocols = GetSystemFunction<EnumProtocolsFunction>(ws2, "WSCEnumProtocols");
    table.InstallProvider = GetSystemFunction<InstallProviderFunction>(ws2, "WSCInstallProvider");
    table.DeinstallProvider = GetSystemFunction<DeinstallProviderFunction>(ws2, "WSCDeinstallProvider");
    table.GetProviderPath = GetSystemFunction<GetProviderPathFunction>(ws2, "WSCGetProviderPath");
    table.UpdateProvider = GetSystemFunction<UpdateProviderFunction>(ws2, "WSCUpdateProvider");
    table.WriteProviderOrder = GetSystemFunction<WriteProviderOrderFunction>(ws2, "WSCWriteProviderOrder");
    if (!table.EnumProtocols || !table.InstallProvider || !table.DeinstallProvider ||
        !table.GetProviderPath) {
        table.EnumProtocols = EnumProtocolsMissing;
        table.InstallProvider = InstallProviderMissing;
        table.DeinstallProvider = DeinstallProviderMissing;
        table.GetProviderPath = GetProviderPathMissing;
        table.UpdateProvider = nullptr;
        table.WriteProviderOrder = nullptr;
    } else if (!table.WriteProviderOrder) {
        // Older Winsock 2 releases keep the order writer in a library of its own.
        HMODULE sporder = LoadSystemLibrary("sporder.dll");
        table.WriteProviderOrder = GetSystemFunction<WriteProviderOrderFunction>(sporder, "WSCWriteProviderOrder");
        if (!table.WriteProviderOrder && sporder)
            FreeLibrary(sporder);
    }
    g_systemCatalogBound = true;
}

}  // namespace

const WinsockCatalogFunctions& GetWinsockCatalog()
{
    if (g_testCatalog)
        return *g_testCatalog;
    if (!g_systemCatalogBound)
        BindSystemCatalog();
    return g_systemCatalog;
}

void SetWinsockCatalog(const WinsockCatalogFunctions* table)
{
    g_testCatalog = table;
}
