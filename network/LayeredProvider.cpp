#include "network/LayeredProvider.h"

#include <stdlib.h>
#include <string.h>

#include "support/Handles.h"
#include "support/Registry.h"

const GUID kAgentLspGuid = {0x21BADE02, 0x6A6A, 0x4768, {0xB2, 0xED, 0x66, 0xFF, 0xDC, 0xC9, 0x93, 0x96}};
const WCHAR kAgentLspLibrary[] = L"arvanesp.dll";
const char kAgentLspKey[] = "SOFTWARE\\WinSock2\\Arvane Agent LSP";

namespace {

enum {
    kLayeredChain = 0,         // ChainLen of a layered provider's own entry
    kBaseChain = 1,            // ChainLen of a base provider
    kNoBaseLevel = 7,          // Level of a provider whose chains reach no base provider
    kSweepPathChars = 260,     // path buffer of the library-name sweep
    kRepairPathChars = 128,    // path buffer of the repair in place; the call is told one less
    kRecordPathLength = 259,   // length passed when a record's path is read
};

// A block of at least one byte, so that an empty list is still an allocation; zeroed when asked.
void* AllocateBlock(size_t size, bool zeroed)
{
    if (!size)
        size = 1;
    return zeroed ? calloc(1, size) : malloc(size);
}

template <typename T>
void FreeBlock(T*& block)
{
    free(block);
    block = nullptr;
}

bool SameGuid(const GUID& first, const GUID& second)
{
    return memcmp(&first, &second, sizeof(GUID)) == 0;
}

// The number of ids in the entry's chain, never more than the chain can hold.
int ChainLength(const WSAPROTOCOL_INFOW& entry)
{
    int length = entry.ProtocolChain.ChainLen;
    if (length < 0)
        return 0;
    return length > MAX_PROTOCOL_CHAIN ? MAX_PROTOCOL_CHAIN : length;
}

// True for a protocol chain whose topmost provider is id.
bool StartsChain(const WSAPROTOCOL_INFOW& entry, DWORD id)
{
    return entry.ProtocolChain.ChainLen > kBaseChain && entry.ProtocolChain.ChainEntries[0] == id;
}

bool ChainContains(const WSAPROTOCOL_INFOW& entry, DWORD id)
{
    int length = ChainLength(entry);
    for (int i = 0; i < length; ++i)
        if (entry.ProtocolChain.ChainEntries[i] == id)
            return true;
    return false;
}

// Deletes the first occurrence of id from the chain; later ids move down one place.
bool DeleteFromChain(WSAPROTOCOL_INFOW& entry, DWORD id)
{
    int length = ChainLength(entry);
    for (int i = 0; i < length; ++i) {
        if (entry.ProtocolChain.ChainEntries[i] != id)
            continue;
        for (int j = i; j + 1 < length; ++j)
            entry.ProtocolChain.ChainEntries[j] = entry.ProtocolChain.ChainEntries[j + 1];
        entry.ProtocolChain.ChainEntries[length - 1] = 0;
        entry.ProtocolChain.ChainLen = length - 1;
        return true;
    }
    return false;
}

void ReplaceInChain(WSAPROTOCOL_INFOW& entry, DWORD oldId, DWORD newId)
{
    int length = ChainLength(entry);
    for (int i = 0; i < length; ++i)
        if (entry.ProtocolChain.ChainEntries[i] == oldId)
            entry.ProtocolChain.ChainEntries[i] = newId;
}

bool IsAgentLibrary(const WCHAR* path)
{
    for (int i = 0;; ++i) {
        WCHAR a = path[i];
        WCHAR b = kAgentLspLibrary[i];
        if (a >= L'A' && a <= L'Z')
            a = static_cast<WCHAR>(a - L'A' + L'a');
        if (a != b)
            return false;
        if (!a)
            return true;
    }
}

// Catalogue id of the first layered entry with the agent's GUID; 0 when there is none.
DWORD FindAgentLayeredEntry(const WSAPROTOCOL_INFOW* catalog, int count)
{
    for (int i = 0; i < count; ++i)
        if (catalog[i].ProtocolChain.ChainLen == kLayeredChain && SameGuid(catalog[i].ProviderId, kAgentLspGuid))
            return catalog[i].dwCatalogEntryId;
    return 0;
}

// Catalogue id of the first entry other than a base provider whose library is the agent's;
// 0 when there is none.
DWORD FindAgentLibraryEntry(const WSAPROTOCOL_INFOW* catalog, int count)
{
    const WinsockCatalogFunctions& wsc = GetWinsockCatalog();
    for (int i = 0; i < count; ++i) {
        if (catalog[i].ProtocolChain.ChainLen == kBaseChain)
            continue;
        WCHAR path[kSweepPathChars];
        memset(path, 0, sizeof(path));
        int length = kSweepPathChars;
        int error = 0;
        GUID providerId = catalog[i].ProviderId;
        if (wsc.GetProviderPath(&providerId, path, &length, &error) == 0) {
            path[kSweepPathChars - 1] = 0;
            if (IsAgentLibrary(path))
                return catalog[i].dwCatalogEntryId;
        }
    }
    return 0;
}

// ---- Records of the layered providers ------------------------------------------------------

// Copies into the record the provider's own chains (those it tops), with their GUIDs. A chain of
// a provider stacked over this one also names it, but belongs to the provider at its top: it is
// installed with that provider's library.
bool CollectChains(LspRecord& record, const WSAPROTOCOL_INFOW* catalog, int count)
{
    DWORD layeredId = record.LayeredEntry.dwCatalogEntryId;
    int chains = 0;
    for (int i = 0; i < count; ++i)
        if (StartsChain(catalog[i], layeredId))
            ++chains;
    if (chains == 0)
        return true;
    record.Chains = static_cast<WSAPROTOCOL_INFOW*>(AllocateBlock(chains * sizeof(WSAPROTOCOL_INFOW), true));
    record.ChainGuids = static_cast<GUID*>(AllocateBlock(chains * sizeof(GUID), true));
    if (!record.Chains || !record.ChainGuids) {
        FreeBlock(record.Chains);
        FreeBlock(record.ChainGuids);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const WSAPROTOCOL_INFOW& entry = catalog[i];
        if (!StartsChain(entry, layeredId))
            continue;
        record.Chains[record.ChainCount++] = entry;
        if (ChainLength(entry) > record.MaxChainLength)
            record.MaxChainLength = ChainLength(entry);
        bool known = false;
        for (int g = 0; g < record.ChainGuidCount && !known; ++g)
            known = SameGuid(record.ChainGuids[g], entry.ProviderId);
        if (!known)
            record.ChainGuids[record.ChainGuidCount++] = entry.ProviderId;
    }
    return true;
}

bool FillRecord(LspRecord& record, const WSAPROTOCOL_INFOW& layered, const WSAPROTOCOL_INFOW* catalog, int count)
{
    record.LayeredEntry = layered;
    record.Level = kNoBaseLevel;
    int length = kRecordPathLength;
    int error = 0;
    if (GetWinsockCatalog().GetProviderPath(&record.LayeredEntry.ProviderId, record.DllPath, &length, &error) != 0)
        return false;
    record.DllPath[MAX_PATH - 1] = 0;
    return CollectChains(record, catalog, count);
}

void SetLevels(LspRecord* records, int recordCount, const WSAPROTOCOL_INFOW* catalog, int count)
{
    for (int k = 1; k < MAX_PROTOCOL_CHAIN; ++k) {
        for (int r = 0; r < recordCount; ++r) {
            for (int c = 0; c < records[r].ChainCount; ++c) {
                const WSAPROTOCOL_INFOW& chain = records[r].Chains[c];
                if (k >= ChainLength(chain))
                    continue;
                for (int i = 0; i < count; ++i) {
                    if (catalog[i].ProtocolChain.ChainLen == kBaseChain &&
                        catalog[i].dwCatalogEntryId == chain.ProtocolChain.ChainEntries[k] &&
                        k < records[r].Level)
                        records[r].Level = k;
                }
            }
        }
    }
}

// Orders records[first, last) by a key: each position in turn is compared with every later one
// and the two are exchanged whenever the earlier has the larger key.
void ExchangeSort(LspRecord* records, int first, int last, int LspRecord::*key)
{
    for (int i = first; i < last; ++i) {
        for (int j = i + 1; j < last; ++j) {
            if (records[i].*key > records[j].*key) {
                LspRecord swap = records[i];
                records[i] = records[j];
                records[j] = swap;
            }
        }
    }
}

// ---- Removal --------------------------------------------------------------------------------

// Takes the removed ids out of the chains that remain and updates each changed chain in place.
// A chain whose library path cannot be read keeps its old ids.
void RepairChainsInPlace(WSAPROTOCOL_INFOW* catalog, int count, const DWORD* removed, int removedCount,
                         UpdateProviderFunction update)
{
    const WinsockCatalogFunctions& wsc = GetWinsockCatalog();
    for (int i = 0; i < count; ++i) {
        WSAPROTOCOL_INFOW& entry = catalog[i];
        for (int r = 0; r < removedCount; ++r) {
            if (!DeleteFromChain(entry, removed[r]))
                continue;
            WCHAR path[kRepairPathChars];
            memset(path, 0, sizeof(path));
            int length = kRepairPathChars - 1;
            int error = 0;
            if (wsc.GetProviderPath(&entry.ProviderId, path, &length, &error) != 0)
                continue;
            update(&entry.ProviderId, path, &entry, 1, &error);
            break;
        }
    }
}

bool AnyChainContains(const WSAPROTOCOL_INFOW* catalog, int count, const DWORD* ids, int idCount)
{
    for (int i = 0; i < count; ++i)
        if (catalog[i].ProtocolChain.ChainLen > kBaseChain)
            for (int r = 0; r < idCount; ++r)
                if (ChainContains(catalog[i], ids[r]))
                    return true;
    return false;
}

// The working state of a rebuild: the records, the catalogue order being carried over to the
// new ids, and the old ids of the entries that did not come back.
struct Rebuild {
    LspRecord* Records;
    int RecordCount;
    DWORD* Order;
    int OrderCount;
    DWORD* Failed;
    int FailedCount;
    int FailedCapacity;
};

// Replaces an old id by its new one wherever the rebuild still names it.
void CarryOverId(Rebuild& rebuild, DWORD oldId, DWORD newId)
{
    for (int r = 0; r < rebuild.RecordCount; ++r)
        for (int c = 0; c < rebuild.Records[r].ChainCount; ++c)
            ReplaceInChain(rebuild.Records[r].Chains[c], oldId, newId);
    for (int i = 0; i < rebuild.OrderCount; ++i)
        if (rebuild.Order[i] == oldId)
            rebuild.Order[i] = newId;
}

// Drops an entry that could not be re-installed from the order to be written, which must name
// exactly the entries the catalogue holds.
void DropFromOrder(Rebuild& rebuild, DWORD oldId)
{
    for (int i = 0; i < rebuild.OrderCount; ++i) {
        if (rebuild.Order[i] != oldId)
            continue;
        memmove(&rebuild.Order[i], &rebuild.Order[i + 1], (rebuild.OrderCount - i - 1) * sizeof(DWORD));
        --rebuild.OrderCount;
        return;
    }
}

// An entry that did not come back: it leaves the order, and no chain naming it may be installed.
void MarkFailed(Rebuild& rebuild, DWORD oldId)
{
    DropFromOrder(rebuild, oldId);
    if (rebuild.FailedCount < rebuild.FailedCapacity)
        rebuild.Failed[rebuild.FailedCount++] = oldId;
}

// True when a chain of the record names an entry that did not come back: installed, it would
// send every socket of its protocol to a provider that is not there.
bool NamesFailedEntry(const Rebuild& rebuild, const LspRecord& record)
{
    for (int c = 0; c < record.ChainCount; ++c)
        for (int f = 0; f < rebuild.FailedCount; ++f)
            if (ChainContains(record.Chains[c], rebuild.Failed[f]))
                return true;
    return false;
}

// Leaves the whole record out of the catalogue, so that the providers stacked over it are left
// out in their turn.
void LeaveOutRecord(Rebuild& rebuild, const LspRecord& record)
{
    MarkFailed(rebuild, record.LayeredEntry.dwCatalogEntryId);
    for (int c = 0; c < record.ChainCount; ++c)
        MarkFailed(rebuild, record.Chains[c].dwCatalogEntryId);
}

// Installs the record's chains of one GUID, whose top is the layered entry's new id.
int ReinstallChainGroup(LspRecord& record, const GUID& guid)
{
    int result = 0;
    int count = 0;
    WSAPROTOCOL_INFOW* group =
        static_cast<WSAPROTOCOL_INFOW*>(AllocateBlock(record.ChainCount * sizeof(WSAPROTOCOL_INFOW), false));
    if (!group)
        return -1;
    for (int c = 0; c < record.ChainCount; ++c)
        if (SameGuid(record.Chains[c].ProviderId, guid))
            group[count++] = record.Chains[c];
    GUID providerId = guid;
    result = InstallProviderEntries(group, count, &providerId, record.DllPath);
    FreeBlock(group);
    return result;
}

// Re-installs one record and carries its new ids over. 0; -1 when a part of it could not be
// re-installed (the rest of it was); 1 when no snapshot could be taken and the rebuild must stop.
int ReinstallRecord(Rebuild& rebuild, LspRecord& record)
{
    int result = 0;
    int count = 0;
    WSAPROTOCOL_INFOW* catalog = nullptr;
    if (InstallProviderEntries(&record.LayeredEntry, 1, &record.LayeredEntry.ProviderId, record.DllPath) != 0) {
        // Its chains name the layered entry at their top: without it they cannot come back.
        LeaveOutRecord(rebuild, record);
        return -1;
    }
    catalog = EnumerateCatalog(&count);
    if (!catalog)
        return 1;
    for (int i = 0; i < count && !record.LayeredEntry.dwProviderReserved; ++i)
        if (SameGuid(catalog[i].ProviderId, record.LayeredEntry.ProviderId))
            record.LayeredEntry.dwProviderReserved = catalog[i].dwCatalogEntryId;
    FreeCatalog(catalog);
    if (!record.LayeredEntry.dwProviderReserved)
        return 1;  // installed, yet gone again: the catalogue is changing under us
    CarryOverId(rebuild, record.LayeredEntry.dwCatalogEntryId, record.LayeredEntry.dwProviderReserved);

    for (int g = 0; g < record.ChainGuidCount; ++g)
        if (ReinstallChainGroup(record, record.ChainGuids[g]) != 0)
            result = -1;

    catalog = EnumerateCatalog(&count);
    if (!catalog)
        return 1;
    for (int c = 0; c < record.ChainCount; ++c) {
        WSAPROTOCOL_INFOW& copy = record.Chains[c];
        for (int i = 0; i < count && !copy.dwProviderReserved; ++i) {
            // Two copies that describe the same protocol must not claim the same new entry.
            bool claimed = false;
            for (int o = 0; o < c && !claimed; ++o)
                claimed = record.Chains[o].dwProviderReserved == catalog[i].dwCatalogEntryId;
            if (!claimed && EntriesMatch(catalog[i], copy))
                copy.dwProviderReserved = catalog[i].dwCatalogEntryId;
        }
    }
    FreeCatalog(catalog);
    for (int c = 0; c < record.ChainCount; ++c) {
        if (record.Chains[c].dwProviderReserved)
            CarryOverId(rebuild, record.Chains[c].dwCatalogEntryId, record.Chains[c].dwProviderReserved);
        else
            MarkFailed(rebuild, record.Chains[c].dwCatalogEntryId);
    }
    return result;
}

bool HasLayeredEntry(const WSAPROTOCOL_INFOW* catalog, int count)
{
    for (int i = 0; i < count; ++i)
        if (catalog[i].ProtocolChain.ChainLen == kLayeredChain)
            return true;
    return false;
}

// Without an in-place update, the chains that named removed entries are mended by taking every
// layered provider out of the catalogue and installing it again, lowest in the stack first, then
// restoring the catalogue order under the new ids. Nothing is taken out unless every provider
// could be fully recorded: a provider that cannot be put back must not be lost.
int RebuildLayeredProviders(const WSAPROTOCOL_INFOW* catalog, int count, const DWORD* removed, int removedCount)
{
    int result = 0;
    Rebuild rebuild = {nullptr, 0, nullptr, 0, nullptr, 0, 0};
    int error = 0;
    const WinsockCatalogFunctions& wsc = GetWinsockCatalog();

    if (!AnyChainContains(catalog, count, removed, removedCount))
        goto Exit;
    rebuild.Order = static_cast<DWORD*>(AllocateBlock(count * sizeof(DWORD), false));
    rebuild.Failed = static_cast<DWORD*>(AllocateBlock(count * sizeof(DWORD), false));
    rebuild.FailedCapacity = count;
    if (!rebuild.Order || !rebuild.Failed) {
        result = -1;
        goto Exit;
    }
    for (int i = 0; i < count; ++i)
        rebuild.Order[rebuild.OrderCount++] = catalog[i].dwCatalogEntryId;
    rebuild.Records = BuildLspRecords(catalog, count, &rebuild.RecordCount);
    if (!rebuild.Records) {
        result = HasLayeredEntry(catalog, count) ? -1 : 0;
        goto Exit;
    }
    for (int r = 0; r < rebuild.RecordCount; ++r) {
        if (!rebuild.Records[r].Complete) {
            result = -1;
            goto Exit;
        }
    }

    for (int r = 0; r < rebuild.RecordCount; ++r) {
        LspRecord& record = rebuild.Records[r];
        record.LayeredEntry.dwProviderReserved = 0;
        for (int c = 0; c < record.ChainCount; ++c) {
            for (int i = 0; i < removedCount; ++i)
                DeleteFromChain(record.Chains[c], removed[i]);
            record.Chains[c].dwProviderReserved = 0;
        }
    }
    for (int r = 0; r < rebuild.RecordCount; ++r) {
        wsc.DeinstallProvider(&rebuild.Records[r].LayeredEntry.ProviderId, &error);
        for (int g = 0; g < rebuild.Records[r].ChainGuidCount; ++g)
            wsc.DeinstallProvider(&rebuild.Records[r].ChainGuids[g], &error);
    }

    // Once providers are out, every one of them is put back even when another failed, but for
    // those stacked over one that did not come back.
    for (int r = 0; r < rebuild.RecordCount; ++r) {
        if (NamesFailedEntry(rebuild, rebuild.Records[r])) {
            LeaveOutRecord(rebuild, rebuild.Records[r]);
            result = -1;
            continue;
        }
        int recordResult = ReinstallRecord(rebuild, rebuild.Records[r]);
        if (recordResult == 1) {
            result = -1;
            goto Exit;
        }
        if (recordResult != 0)
            result = -1;
    }
    // A refused order leaves the catalogue working, only in another order.
    WriteProviderOrder(rebuild.Order, rebuild.OrderCount);

Exit:
    FreeLspRecords(rebuild.Records, rebuild.RecordCount);
    FreeBlock(rebuild.Order);
    FreeBlock(rebuild.Failed);
    return result;
}

}  // namespace

WSAPROTOCOL_INFOW* EnumerateCatalog(int* count)
{
    const WinsockCatalogFunctions& wsc = GetWinsockCatalog();
    DWORD length = 0;
    int error = 0;
    *count = 0;
    if (wsc.EnumProtocols(nullptr, nullptr, &length, &error) == SOCKET_ERROR && error != WSAENOBUFS)
        return nullptr;
    WSAPROTOCOL_INFOW* catalog = static_cast<WSAPROTOCOL_INFOW*>(AllocateBlock(length, false));
    if (!catalog)
        return nullptr;
    int entries = wsc.EnumProtocols(nullptr, catalog, &length, &error);
    if (entries == SOCKET_ERROR) {
        FreeBlock(catalog);
        return nullptr;
    }
    *count = entries;
    return catalog;
}

void FreeCatalog(WSAPROTOCOL_INFOW*& catalog)
{
    FreeBlock(catalog);
}

int InstallProviderEntries(WSAPROTOCOL_INFOW* entries, int count, GUID* providerId, const WCHAR* path)
{
    int error = 0;
    if (GetWinsockCatalog().InstallProvider(providerId, path, entries, count, &error) == SOCKET_ERROR)
        return SOCKET_ERROR;
    int catalogCount = 0;
    WSAPROTOCOL_INFOW* catalog = EnumerateCatalog(&catalogCount);
    if (!catalog)
        return 0;
    int installed = 0;
    for (int i = 0; i < catalogCount; ++i)
        if (SameGuid(catalog[i].ProviderId, *providerId))
            ++installed;
    FreeCatalog(catalog);
    return installed == count ? 0 : -1;
}

int WriteProviderOrder(DWORD* catalogIds, int count)
{
    WriteProviderOrderFunction write = GetWinsockCatalog().WriteProviderOrder;
    if (!write)
        return WSAEOPNOTSUPP;
    return write(catalogIds, count);
}

bool EntriesMatch(const WSAPROTOCOL_INFOW& first, const WSAPROTOCOL_INFOW& second)
{
    return SameGuid(first.ProviderId, second.ProviderId) &&
           first.dwServiceFlags1 == second.dwServiceFlags1 &&
           first.dwServiceFlags2 == second.dwServiceFlags2 &&
           first.dwServiceFlags3 == second.dwServiceFlags3 &&
           first.dwServiceFlags4 == second.dwServiceFlags4 &&
           first.ProtocolChain.ChainLen == second.ProtocolChain.ChainLen &&
           first.iVersion == second.iVersion && first.iAddressFamily == second.iAddressFamily &&
           first.iMaxSockAddr == second.iMaxSockAddr && first.iMinSockAddr == second.iMinSockAddr &&
           first.iSocketType == second.iSocketType && first.iProtocol == second.iProtocol &&
           first.iProtocolMaxOffset == second.iProtocolMaxOffset &&
           first.iNetworkByteOrder == second.iNetworkByteOrder &&
           first.iSecurityScheme == second.iSecurityScheme &&
           first.dwMessageSize == second.dwMessageSize;
}

LspRecord* BuildLspRecords(const WSAPROTOCOL_INFOW* catalog, int count, int* recordCount)
{
    int layered = 0;
    bool anyBase = false;
    *recordCount = 0;
    for (int i = 0; i < count; ++i) {
        if (catalog[i].ProtocolChain.ChainLen == kLayeredChain)
            ++layered;
        else if (catalog[i].ProtocolChain.ChainLen == kBaseChain)
            anyBase = true;
    }
    if (layered == 0)
        return nullptr;
    LspRecord* records = static_cast<LspRecord*>(AllocateBlock(layered * sizeof(LspRecord), true));
    if (!records)
        return nullptr;
    int filled = 0;
    for (int i = 0; i < count; ++i) {
        if (catalog[i].ProtocolChain.ChainLen != kLayeredChain)
            continue;
        LspRecord& record = records[filled++];
        record.Complete = FillRecord(record, catalog[i], catalog, count) ? 1 : 0;
    }
    if (anyBase) {
        SetLevels(records, layered, catalog, count);
        ExchangeSort(records, 0, layered, &LspRecord::Level);
        for (int level = 1; level < kNoBaseLevel; ++level) {
            int first = 0;
            while (first < layered && records[first].Level != level)
                ++first;
            int last = first;
            while (last < layered && records[last].Level == level)
                ++last;
            ExchangeSort(records, first, last, &LspRecord::MaxChainLength);
        }
    }
    *recordCount = layered;
    return records;
}

void FreeLspRecords(LspRecord*& records, int count)
{
    if (!records)
        return;
    for (int r = 0; r < count; ++r) {
        FreeBlock(records[r].Chains);
        FreeBlock(records[r].ChainGuids);
    }
    FreeBlock(records);
}

int RemoveProvider(DWORD catalogId)
{
    int result = 0;
    int count = 0;
    int removedCount = 0;
    int error = 0;
    DWORD* removed = nullptr;
    const WinsockCatalogFunctions& wsc = GetWinsockCatalog();
    WSAPROTOCOL_INFOW* catalog = EnumerateCatalog(&count);
    if (!catalog)
        return -1;

    for (int i = 0; i < count; ++i) {
        if (catalog[i].dwCatalogEntryId == catalogId && catalog[i].ProtocolChain.ChainLen == kBaseChain) {
            result = -1;
            goto Exit;
        }
    }
    removed = static_cast<DWORD*>(AllocateBlock(count * sizeof(DWORD), true));
    if (!removed) {
        result = -1;
        goto Exit;
    }
    for (int i = 0; i < count; ++i) {
        WSAPROTOCOL_INFOW& entry = catalog[i];
        if (entry.dwCatalogEntryId != catalogId && !StartsChain(entry, catalogId))
            continue;
        removed[removedCount++] = entry.dwCatalogEntryId;
        wsc.DeinstallProvider(&entry.ProviderId, &error);
    }

    FreeCatalog(catalog);
    catalog = EnumerateCatalog(&count);
    if (!catalog) {
        result = -1;
        goto Exit;
    }
    if (wsc.UpdateProvider)
        RepairChainsInPlace(catalog, count, removed, removedCount, wsc.UpdateProvider);
    else
        result = RebuildLayeredProviders(catalog, count, removed, removedCount);

Exit:
    FreeBlock(removed);
    FreeCatalog(catalog);
    return result;
}

int RemoveAgentLsp()
{
    int result = 0;
    int count = 0;
    int sweeps = 0;
    DeleteLspRegistryKey();

    WSAPROTOCOL_INFOW* catalog = EnumerateCatalog(&count);
    if (!catalog)
        return -1;
    DWORD agentId = FindAgentLayeredEntry(catalog, count);
    FreeCatalog(catalog);
    if (agentId)
        result = RemoveProvider(agentId);

    catalog = EnumerateCatalog(&count);
    if (!catalog)
        return -1;
    for (int i = 0; i < count; ++i)
        if (catalog[i].ProtocolChain.ChainLen != kBaseChain)
            ++sweeps;
    FreeCatalog(catalog);

    // Each pass removes one entry registered with the agent's library. The number of passes is
    // bounded, because a removal that the catalogue refuses would otherwise match again forever.
    for (int pass = 0; pass < sweeps; ++pass) {
        catalog = EnumerateCatalog(&count);
        if (!catalog)
            break;
        DWORD libraryId = FindAgentLibraryEntry(catalog, count);
        FreeCatalog(catalog);
        if (!libraryId)
            break;
        result = RemoveProvider(libraryId);
    }
    return result;
}

int DeleteLspRegistryKey()
{
    HKEY key = nullptr;
    LONG opened = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kAgentLspKey, 0, KEY_ALL_ACCESS, &key);
    if (opened != ERROR_SUCCESS)
        return (int)opened;
    // Each sub-key once: one that stays (it has sub-keys of its own, or access is denied) is passed.
    ForEachSubKey(key, [key](const char* name) { RegDeleteKeyA(key, name); });
    CloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kAgentLspKey);
    return 0;
}
