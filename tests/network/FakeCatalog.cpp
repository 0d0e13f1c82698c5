#include "network/FakeCatalog.h"

#include <algorithm>
#include <cstring>

namespace xatest {

namespace {

FakeCatalog* g_active = nullptr;

int WSAAPI EnumProtocolsThunk(LPINT protocols, LPWSAPROTOCOL_INFOW buffer, LPDWORD length, LPINT error)
{
    return g_active->EnumProtocols(protocols, buffer, length, error);
}

int WSAAPI InstallProviderThunk(LPGUID guid, const WCHAR* path, const LPWSAPROTOCOL_INFOW list, DWORD count, LPINT error)
{
    return g_active->InstallProvider(*guid, path, list, count, error);
}

int WSAAPI DeinstallProviderThunk(LPGUID guid, LPINT error)
{
    return g_active->DeinstallProvider(*guid, error);
}

int WSAAPI GetProviderPathThunk(LPGUID guid, WCHAR* path, LPINT length, LPINT error)
{
    return g_active->GetProviderPath(*guid, path, length, error);
}

int WSAAPI UpdateProviderThunk(LPGUID guid, const WCHAR* path, const LPWSAPROTOCOL_INFOW list, DWORD count, LPINT error)
{
    return g_active->UpdateProvider(*guid, path, list, count, error);
}

int WSAAPI WriteProviderOrderThunk(LPDWORD ids, DWORD count)
{
    return g_active->WriteProviderOrder(ids, count);
}

WSAPROTOCOL_INFOW MakeEntry(const Protocol& protocol, int chainLength, const wchar_t* name)
{
    WSAPROTOCOL_INFOW entry;
    memset(&entry, 0, sizeof(entry));
    entry.dwServiceFlags1 = XP1_GUARANTEED_DELIVERY | XP1_IFS_HANDLES;
    entry.ProtocolChain.ChainLen = chainLength;
    entry.iVersion = 2;
    entry.iAddressFamily = protocol.AddressFamily;
    entry.iMaxSockAddr = protocol.AddressFamily == AF_INET6 ? 28 : 16;
    entry.iMinSockAddr = protocol.AddressFamily == AF_INET6 ? 28 : 16;
    entry.iSocketType = protocol.SocketType;
    entry.iProtocol = protocol.ProtocolNumber;
    entry.iNetworkByteOrder = BIGENDIAN;
    entry.dwMessageSize = protocol.SocketType == SOCK_STREAM ? 0 : 65467;
    wcsncpy(entry.szProtocol, name, WSAPROTOCOL_LEN);
    return entry;
}

}  // namespace

GUID TestGuid(unsigned number)
{
    GUID guid = {0x7E570000u + number, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};
    return guid;
}

FakeCatalog::FakeCatalog()
{
    table_.EnumProtocols = EnumProtocolsThunk;
    table_.InstallProvider = InstallProviderThunk;
    table_.DeinstallProvider = DeinstallProviderThunk;
    table_.GetProviderPath = GetProviderPathThunk;
    table_.UpdateProvider = UpdateProviderThunk;
    table_.WriteProviderOrder = WriteProviderOrderThunk;
    g_active = this;
    SetWinsockCatalog(&table_);
}

FakeCatalog::~FakeCatalog()
{
    SetWinsockCatalog(nullptr);
    g_active = nullptr;
}

void FakeCatalog::SetUpdateProviderAvailable(bool available)
{
    table_.UpdateProvider = available ? UpdateProviderThunk : nullptr;
}

void FakeCatalog::SetWriteOrderAvailable(bool available)
{
    table_.WriteProviderOrder = available ? WriteProviderOrderThunk : nullptr;
}

DWORD FakeCatalog::AddBase(const GUID& guid, const std::wstring& path, const Protocol& protocol)
{
    return AddEntry(guid, path, MakeEntry(protocol, 1, L"base"));
}

DWORD FakeCatalog::AddLayered(const GUID& guid, const std::wstring& path)
{
    WSAPROTOCOL_INFOW entry = MakeEntry(kTcp4, 0, L"layered");
    entry.dwProviderFlags = PFL_HIDDEN;
    return AddEntry(guid, path, entry);
}

// Installs one entry as the machine had it before the test: no failure and no call counted.
DWORD FakeCatalog::AddEntry(const GUID& guid, const std::wstring& path, WSAPROTOCOL_INFOW entry)
{
    int error = 0;
    int saved = FailInstallCall;
    FailInstallCall = 0;
    InstallProvider(guid, path.c_str(), &entry, 1, &error);
    FailInstallCall = saved;
    InstallCalls = 0;
    return entries_.back().dwCatalogEntryId;
}

std::vector<DWORD> FakeCatalog::AddChains(const GUID& guid, const std::wstring& path,
                                          const std::vector<std::vector<DWORD>>& chains)
{
    std::vector<WSAPROTOCOL_INFOW> list;
    for (const std::vector<DWORD>& ids : chains) {
        WSAPROTOCOL_INFOW entry = *Find(ids.back());
        entry.ProtocolChain.ChainLen = static_cast<int>(ids.size());
        memset(entry.ProtocolChain.ChainEntries, 0, sizeof(entry.ProtocolChain.ChainEntries));
        std::copy(ids.begin(), ids.end(), entry.ProtocolChain.ChainEntries);
        wcsncpy(entry.szProtocol, L"chain", WSAPROTOCOL_LEN);
        list.push_back(entry);
    }
    int error = 0;
    int saved = FailInstallCall;
    FailInstallCall = 0;
    InstallProvider(guid, path.c_str(), list.data(), static_cast<DWORD>(list.size()), &error);
    FailInstallCall = saved;
    InstallCalls = 0;
    std::vector<DWORD> ids;
    for (size_t i = entries_.size() - list.size(); i < entries_.size(); ++i)
        ids.push_back(entries_[i].dwCatalogEntryId);
    return ids;
}

std::vector<DWORD> FakeCatalog::Ids() const
{
    std::vector<DWORD> ids;
    for (const WSAPROTOCOL_INFOW& entry : entries_)
        ids.push_back(entry.dwCatalogEntryId);
    return ids;
}

const WSAPROTOCOL_INFOW* FakeCatalog::Find(DWORD id) const
{
    for (const WSAPROTOCOL_INFOW& entry : entries_)
        if (entry.dwCatalogEntryId == id)
            return &entry;
    return nullptr;
}

std::vector<const WSAPROTOCOL_INFOW*> FakeCatalog::FindByGuid(const GUID& guid) const
{
    std::vector<const WSAPROTOCOL_INFOW*> found;
    for (const WSAPROTOCOL_INFOW& entry : entries_)
        if (entry.ProviderId == guid)
            found.push_back(&entry);
    return found;
}

std::wstring FakeCatalog::PathOf(const GUID& guid) const
{
    for (const ProviderPath& path : paths_)
        if (path.Guid == guid)
            return path.Path;
    return L"";
}

int FakeCatalog::EnumProtocols(LPINT protocols, LPWSAPROTOCOL_INFOW buffer, LPDWORD length, LPINT error)
{
    if (FailEnumeration) {
        *error = WSANO_RECOVERY;
        return SOCKET_ERROR;
    }
    std::vector<const WSAPROTOCOL_INFOW*> selected;
    for (const WSAPROTOCOL_INFOW& entry : entries_) {
        bool wanted = protocols == nullptr;
        for (LPINT p = protocols; p && *p && !wanted; ++p)
            wanted = entry.iProtocol == *p;
        if (wanted)
            selected.push_back(&entry);
    }
    DWORD needed = static_cast<DWORD>(selected.size() * sizeof(WSAPROTOCOL_INFOW));
    if (!buffer || *length < needed) {
        *length = needed;
        *error = WSAENOBUFS;
        return SOCKET_ERROR;
    }
    for (size_t i = 0; i < selected.size(); ++i)
        buffer[i] = *selected[i];
    return static_cast<int>(selected.size());
}

int FakeCatalog::InstallProvider(const GUID& guid, const WCHAR* path, const WSAPROTOCOL_INFOW* list, DWORD count, LPINT error)
{
    ++InstallCalls;
    if (FailInstallCall && InstallCalls == FailInstallCall) {
        *error = WSANO_RECOVERY;
        return SOCKET_ERROR;
    }
    if (!path || !*path || !list || count == 0 || !FindByGuid(guid).empty()) {
        *error = WSAEINVAL;
        return SOCKET_ERROR;
    }
    for (DWORD i = 0; i < count; ++i) {
        WSAPROTOCOL_INFOW entry = list[i];
        entry.ProviderId = guid;
        entry.dwCatalogEntryId = nextId_++;
        if (entry.ProtocolChain.ChainLen == 1)
            entry.ProtocolChain.ChainEntries[0] = entry.dwCatalogEntryId;
        entries_.push_back(entry);
    }
    paths_.push_back({guid, path});
    return 0;
}

int FakeCatalog::DeinstallProvider(const GUID& guid, LPINT error)
{
    ++DeinstallCalls;
    Deinstalled.push_back(guid);
    if (RefuseDeinstall || FindByGuid(guid).empty()) {
        *error = WSAEINVAL;
        return SOCKET_ERROR;
    }
    entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                  [&](const WSAPROTOCOL_INFOW& entry) { return entry.ProviderId == guid; }),
                   entries_.end());
    paths_.erase(std::remove_if(paths_.begin(), paths_.end(),
                                [&](const ProviderPath& path) { return path.Guid == guid; }),
                 paths_.end());
    return 0;
}

int FakeCatalog::GetProviderPath(const GUID& guid, WCHAR* path, LPINT length, LPINT error)
{
    bool known = std::any_of(paths_.begin(), paths_.end(), [&](const ProviderPath& p) { return p.Guid == guid; });
    bool unreadable = std::find(UnreadablePaths.begin(), UnreadablePaths.end(), guid) != UnreadablePaths.end();
    if (!known || unreadable) {
        *error = WSAEINVAL;
        return SOCKET_ERROR;
    }
    std::wstring value = PathOf(guid);
    if (*length < static_cast<int>(value.size() + 1)) {
        *length = static_cast<int>(value.size() + 1);
        *error = WSAEFAULT;
        return SOCKET_ERROR;
    }
    wcscpy(path, value.c_str());
    *length = static_cast<int>(value.size() + 1);
    return 0;
}

int FakeCatalog::UpdateProvider(const GUID& guid, const WCHAR* path, const WSAPROTOCOL_INFOW* list, DWORD count, LPINT error)
{
    ++UpdateCalls;
    for (DWORD i = 0; i < count; ++i) {
        auto found = std::find_if(entries_.begin(), entries_.end(), [&](const WSAPROTOCOL_INFOW& entry) {
            return entry.dwCatalogEntryId == list[i].dwCatalogEntryId && entry.ProviderId == guid;
        });
        if (found == entries_.end() || !path || !*path) {
            *error = WSAEINVAL;
            return SOCKET_ERROR;
        }
    }
    for (DWORD i = 0; i < count; ++i) {
        for (WSAPROTOCOL_INFOW& entry : entries_) {
            if (entry.dwCatalogEntryId == list[i].dwCatalogEntryId) {
                entry = list[i];
                entry.ProviderId = guid;
            }
        }
    }
    for (ProviderPath& p : paths_)
        if (p.Guid == guid)
            p.Path = path;
    return 0;
}

int FakeCatalog::WriteProviderOrder(const DWORD* ids, DWORD count)
{
    std::vector<DWORD> order(ids, ids + count);
    OrderWrites.push_back(order);
    std::vector<DWORD> sortedOrder = order;
    std::vector<DWORD> sortedIds = Ids();
    std::sort(sortedOrder.begin(), sortedOrder.end());
    std::sort(sortedIds.begin(), sortedIds.end());
    if (sortedOrder != sortedIds)
        return WSAEINVAL;
    std::vector<WSAPROTOCOL_INFOW> reordered;
    for (DWORD id : order)
        reordered.push_back(*Find(id));
    entries_ = reordered;
    return 0;
}

}  // namespace xatest
