#pragma once
// Taking the agent's Winsock layered service provider out of the catalogue. The agent registers
// the provider itself; setup only removes it, together with every protocol chain built on it,
// and repairs the chains of other vendors' providers that were stacked over it.
//
// Catalogue entries: ChainLen 0 is a layered provider's own entry, 1 a base provider, 2 or more
// a protocol chain whose ChainEntries[0] is the topmost provider. Every change to the catalogue
// gives entries new ids, so each step that needs ids takes a fresh snapshot.

#include "network/WinsockCatalog.h"

// The agent's provider: its GUID, the library file name it is registered with, and the key the
// agent keeps its provider settings in (under HKEY_LOCAL_MACHINE).
extern const GUID kAgentLspGuid;
extern const WCHAR kAgentLspLibrary[];
extern const char kAgentLspKey[];

// One layered provider found in the catalogue, kept while all of them are removed and
// re-installed. During the re-installation dwProviderReserved of LayeredEntry and of each chain
// copy holds the entry's new catalogue id (0 while it has none).
struct LspRecord {
    WCHAR DllPath[MAX_PATH];
    WSAPROTOCOL_INFOW LayeredEntry;
    WSAPROTOCOL_INFOW* Chains;  // copies of the provider's own chains (those it tops)
    int ChainCount;
    GUID* ChainGuids;           // the distinct provider GUIDs of Chains, first appearance first
    int ChainGuidCount;
    int MaxChainLength;         // the longest of Chains, 0 without chains
    int Level;                  // 1-6: the smallest chain position holding a base provider; 7: none
    int Complete;               // 1 when the path was read and every chain copied
};

// Removes the agent's provider (by GUID, then every entry registered with the library
// "arvanesp.dll") and deletes its registry key. 0 when nothing was found or everything was
// removed; -1 (SOCKET_ERROR) when the catalogue cannot be read; otherwise the result of the
// last RemoveProvider.
int RemoveAgentLsp();

// Removes the layered entry or chain with catalogue id catalogId, and every chain that starts
// with it, then takes the removed ids out of the chains that remain. 0, or -1 (also for a base
// provider's id, which is left alone).
int RemoveProvider(DWORD catalogId);

// A snapshot of the whole catalogue from the process heap (free with FreeCatalog) and its
// number of entries; null when the catalogue cannot be read.
WSAPROTOCOL_INFOW* EnumerateCatalog(int* count);
void FreeCatalog(WSAPROTOCOL_INFOW*& catalog);

// Installs count entries for providerId with the library path. 0 when the catalogue then holds
// exactly count entries of that GUID; -1 otherwise or when the installation fails.
int InstallProviderEntries(WSAPROTOCOL_INFOW* entries, int count, GUID* providerId, const WCHAR* path);

// Writes the catalogue order; the system's result, or 10045 (WSAEOPNOTSUPP) when the system has
// no order writer.
int WriteProviderOrder(DWORD* catalogIds, int count);

// One record per layered entry of the snapshot, ordered for re-installation: lowest Level first,
// within a level the shortest MaxChainLength first. Null (count 0) when the snapshot has no
// layered entry or memory is short. Free with FreeLspRecords.
LspRecord* BuildLspRecords(const WSAPROTOCOL_INFOW* catalog, int count, int* recordCount);
void FreeLspRecords(LspRecord*& records, int count);

// Deletes kAgentLspKey with its subkeys, one level deep: the first subkey that cannot be deleted
// (one with subkeys of its own) ends the walk, and the key then stays. 0 also then, or the
// error of opening the key (2 when there is none).
int DeleteLspRegistryKey();

// True when two entries describe the same protocol of the same provider (ids, chain members,
// flags of the provider and the name are not compared).
bool EntriesMatch(const WSAPROTOCOL_INFOW& first, const WSAPROTOCOL_INFOW& second);
