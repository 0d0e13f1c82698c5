#pragma once
// An in-memory Winsock 2 catalogue that behaves as Windows documents its catalogue functions,
// for the provider removal, which Wine's fixed catalogue of base providers cannot exercise:
// - every installed entry gets a new catalogue id, never one used before;
// - a provider GUID can be installed only once; removing it removes every entry of it;
// - a library path is kept per provider GUID;
// - an update replaces entries in place, found by catalogue id, keeping their ids;
// - an order write must name every catalogue id exactly once;
// - entries are the real 628-byte WSAPROTOCOL_INFOW records.
// While an object lives, the catalogue functions of the program under test are bound to it.

#include <windows.h>

#include <string>
#include <vector>

#include "network/WinsockCatalog.h"

namespace xatest {

// Describes a protocol for new entries.
struct Protocol {
    int AddressFamily;
    int SocketType;
    int ProtocolNumber;
};

const Protocol kTcp4 = {AF_INET, SOCK_STREAM, IPPROTO_TCP};
const Protocol kUdp4 = {AF_INET, SOCK_DGRAM, IPPROTO_UDP};
const Protocol kTcp6 = {AF_INET6, SOCK_STREAM, IPPROTO_TCP};

// A GUID made from one number, for readable tests.
GUID TestGuid(unsigned number);

class FakeCatalog {
public:
    FakeCatalog();
    ~FakeCatalog();
    FakeCatalog(const FakeCatalog&) = delete;
    FakeCatalog& operator=(const FakeCatalog&) = delete;

    // Builders: install entries as a provider would, returning the new catalogue ids.
    DWORD AddBase(const GUID& guid, const std::wstring& path, const Protocol& protocol);
    DWORD AddLayered(const GUID& guid, const std::wstring& path);
    // Chains of one GUID, each over the ids given (top first), with the protocol of its last id.
    std::vector<DWORD> AddChains(const GUID& guid, const std::wstring& path,
                                 const std::vector<std::vector<DWORD>>& chains);

    // The catalogue as it is now, in order.
    const std::vector<WSAPROTOCOL_INFOW>& Entries() const { return entries_; }
    std::vector<DWORD> Ids() const;
    const WSAPROTOCOL_INFOW* Find(DWORD id) const;
    std::vector<const WSAPROTOCOL_INFOW*> FindByGuid(const GUID& guid) const;
    std::wstring PathOf(const GUID& guid) const;

    // What the system offers.
    void SetUpdateProviderAvailable(bool available);
    void SetWriteOrderAvailable(bool available);

    // Failures on demand.
    int FailInstallCall = 0;          // the n-th WSCInstallProvider call fails (1 = the next)
    bool RefuseDeinstall = false;     // WSCDeinstallProvider fails and keeps the entries
    bool FailEnumeration = false;     // WSCEnumProtocols fails with WSANO_RECOVERY
    std::vector<GUID> UnreadablePaths;  // WSCGetProviderPath fails for these

    // What the program did.
    int InstallCalls = 0;
    int DeinstallCalls = 0;
    int UpdateCalls = 0;
    std::vector<GUID> Deinstalled;                // GUIDs in call order
    std::vector<std::vector<DWORD>> OrderWrites;  // every accepted or refused order

    // The catalogue functions, callable from tests as the program calls them.
    int EnumProtocols(LPINT protocols, LPWSAPROTOCOL_INFOW buffer, LPDWORD length, LPINT error);
    int InstallProvider(const GUID& guid, const WCHAR* path, const WSAPROTOCOL_INFOW* list, DWORD count, LPINT error);
    int DeinstallProvider(const GUID& guid, LPINT error);
    int GetProviderPath(const GUID& guid, WCHAR* path, LPINT length, LPINT error);
    int UpdateProvider(const GUID& guid, const WCHAR* path, const WSAPROTOCOL_INFOW* list, DWORD count, LPINT error);
    int WriteProviderOrder(const DWORD* ids, DWORD count);

private:
    DWORD AddEntry(const GUID& guid, const std::wstring& path, WSAPROTOCOL_INFOW entry);

    struct ProviderPath {
        GUID Guid;
        std::wstring Path;
    };
    std::vector<WSAPROTOCOL_INFOW> entries_;
    std::vector<ProviderPath> paths_;
    DWORD nextId_ = 1001;
    WinsockCatalogFunctions table_;
};

}  // namespace xatest
