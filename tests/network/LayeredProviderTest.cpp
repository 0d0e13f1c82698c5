// Removal of the agent's layered provider, on the in-memory catalogue (Wine's catalogue never
// holds a layered provider, and its WSCUpdateProvider ends the process), and on the real one
// for the case Wine can show: no provider at all.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "harness/TestSupport.h"
#include "network/FakeCatalog.h"
#include "network/LayeredProvider.h"

using namespace xatest;

namespace {

const wchar_t kAgentPath[] = L"C:\\WINDOWS\\system32\\ArvaneSP.dll";
const wchar_t kVendorPath[] = L"%SystemRoot%\\system32\\vendor.dll";

bool SameBytes(const WSAPROTOCOL_INFOW& a, const WSAPROTOCOL_INFOW& b)
{
    return memcmp(&a, &b, sizeof(a)) == 0;
}

std::vector<DWORD> Chain(const WSAPROTOCOL_INFOW& entry)
{
    return std::vector<DWORD>(entry.ProtocolChain.ChainEntries,
                              entry.ProtocolChain.ChainEntries + entry.ProtocolChain.ChainLen);
}

// A machine with three base providers and the agent's provider: its layered entry and two
// chains, over TCP and over UDP.
struct Machine {
    FakeCatalog Catalog;
    DWORD Tcp, Udp, Tcp6, Agent;
    std::vector<DWORD> AgentChains;

    explicit Machine(bool updateAvailable = true)
    {
        Tcp = Catalog.AddBase(TestGuid(1), L"%SystemRoot%\\system32\\mswsock.dll", kTcp4);
        Udp = Catalog.AddBase(TestGuid(2), L"%SystemRoot%\\system32\\mswsock.dll", kUdp4);
        Tcp6 = Catalog.AddBase(TestGuid(3), L"%SystemRoot%\\system32\\mswsock.dll", kTcp6);
        Agent = Catalog.AddLayered(kAgentLspGuid, kAgentPath);
        AgentChains = Catalog.AddChains(TestGuid(20), kAgentPath, {{Agent, Tcp}, {Agent, Udp}});
        Catalog.SetUpdateProviderAvailable(updateAvailable);
    }

    // A vendor's layered provider stacked over the agent's: a chain over TCP and one over UDP.
    std::vector<DWORD> AddVendorStack(DWORD* vendor)
    {
        *vendor = Catalog.AddLayered(TestGuid(10), kVendorPath);
        return Catalog.AddChains(TestGuid(11), kVendorPath, {{*vendor, Agent, Tcp}, {*vendor, Agent, Udp}});
    }

    // Puts the catalogue into the given order (as provider installers put their chains first)
    // and forgets the write.
    void Reorder(const std::vector<DWORD>& order)
    {
        ASSERT_EQ(0, Catalog.WriteProviderOrder(order.data(), static_cast<DWORD>(order.size())));
        Catalog.OrderWrites.clear();
    }
};

}  // namespace

TEST(RemoveAgentLsp, NothingFoundChangesNothingButTheKey)
{
    for (bool update : {true, false}) {
        FakeCatalog catalog;
        DWORD tcp = catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
        DWORD vendor = catalog.AddLayered(TestGuid(10), kVendorPath);
        catalog.AddChains(TestGuid(11), kVendorPath, {{vendor, tcp}});
        catalog.SetUpdateProviderAvailable(update);
        const std::vector<WSAPROTOCOL_INFOW> before = catalog.Entries();
        ASSERT_TRUE(CreateMachineKey(std::string(kAgentLspKey) + "\\00000001"));

        EXPECT_EQ(0, RemoveAgentLsp());

        ASSERT_EQ(before.size(), catalog.Entries().size());
        for (size_t i = 0; i < before.size(); ++i)
            EXPECT_TRUE(SameBytes(before[i], catalog.Entries()[i])) << i;
        EXPECT_EQ(0, catalog.DeinstallCalls);
        EXPECT_EQ(0, catalog.UpdateCalls);
        EXPECT_TRUE(catalog.OrderWrites.empty());
        EXPECT_FALSE(MachineKeyExists(kAgentLspKey));
    }
}

TEST(RemoveAgentLsp, AgentProviderWithTwoChainsLeavesOthersAlone)
{
    for (bool update : {true, false}) {
        Machine machine(update);
        FakeCatalog& catalog = machine.Catalog;
        DWORD vendor = catalog.AddLayered(TestGuid(10), kVendorPath);
        catalog.AddChains(TestGuid(11), kVendorPath, {{vendor, machine.Tcp6}});
        std::vector<WSAPROTOCOL_INFOW> others;
        for (const WSAPROTOCOL_INFOW& entry : catalog.Entries())
            if (entry.ProviderId != kAgentLspGuid && entry.ProviderId != TestGuid(20))
                others.push_back(entry);

        EXPECT_EQ(0, RemoveAgentLsp()) << update;

        ASSERT_EQ(others.size(), catalog.Entries().size());
        for (size_t i = 0; i < others.size(); ++i)
            EXPECT_TRUE(SameBytes(others[i], catalog.Entries()[i])) << i;
        EXPECT_EQ(0, catalog.UpdateCalls) << "no remaining chain named a removed entry";
        EXPECT_TRUE(catalog.OrderWrites.empty());
        EXPECT_EQ((std::vector<GUID>{kAgentLspGuid, TestGuid(20), TestGuid(20)}), catalog.Deinstalled);
    }
}

TEST(RemoveAgentLsp, StackedProviderRepairedInPlace)
{
    Machine machine(true);
    FakeCatalog& catalog = machine.Catalog;
    DWORD vendor = 0;
    std::vector<DWORD> vendorChains = machine.AddVendorStack(&vendor);

    EXPECT_EQ(0, RemoveAgentLsp());

    EXPECT_EQ((std::vector<DWORD>{machine.Tcp, machine.Udp, machine.Tcp6, vendor, vendorChains[0], vendorChains[1]}),
              catalog.Ids());
    EXPECT_EQ((std::vector<DWORD>{vendor, machine.Tcp}), Chain(*catalog.Find(vendorChains[0])));
    EXPECT_EQ((std::vector<DWORD>{vendor, machine.Udp}), Chain(*catalog.Find(vendorChains[1])));
    EXPECT_EQ(0u, catalog.Find(vendorChains[0])->ProtocolChain.ChainEntries[2]);
    EXPECT_EQ(2, catalog.UpdateCalls);
    EXPECT_EQ(kVendorPath, catalog.PathOf(TestGuid(11)));
    EXPECT_TRUE(catalog.OrderWrites.empty());
}

TEST(RemoveAgentLsp, StackedProviderRebuiltWithoutUpdate)
{
    Machine machine(false);
    FakeCatalog& catalog = machine.Catalog;
    DWORD vendor = 0;
    std::vector<DWORD> vendorChains = machine.AddVendorStack(&vendor);
    // Chains first, as provider installers leave the catalogue.
    machine.Reorder({vendorChains[0], vendorChains[1], machine.AgentChains[0], machine.AgentChains[1], machine.Tcp,
                     machine.Udp, machine.Agent, machine.Tcp6, vendor});
    const WSAPROTOCOL_INFOW oldLayered = *catalog.Find(vendor);
    WSAPROTOCOL_INFOW oldChain0 = *catalog.Find(vendorChains[0]);
    oldChain0.ProtocolChain.ChainLen = 2;  // the agent's entry leaves the chain
    const std::vector<DWORD> oldIds = catalog.Ids();
    const DWORD highestOldId = *std::max_element(oldIds.begin(), oldIds.end());

    EXPECT_EQ(0, RemoveAgentLsp());

    const std::vector<WSAPROTOCOL_INFOW>& entries = catalog.Entries();
    ASSERT_EQ(6u, entries.size());
    // Entry by entry: the old order with the agent's entries gone and the vendor's under new ids.
    DWORD newVendor = entries[5].dwCatalogEntryId;
    EXPECT_EQ(TestGuid(11), entries[0].ProviderId);
    EXPECT_EQ((std::vector<DWORD>{newVendor, machine.Tcp}), Chain(entries[0]));
    EXPECT_EQ(IPPROTO_TCP, entries[0].iProtocol);
    EXPECT_EQ(TestGuid(11), entries[1].ProviderId);
    EXPECT_EQ((std::vector<DWORD>{newVendor, machine.Udp}), Chain(entries[1]));
    EXPECT_EQ(IPPROTO_UDP, entries[1].iProtocol);
    EXPECT_EQ(machine.Tcp, entries[2].dwCatalogEntryId);
    EXPECT_EQ(machine.Udp, entries[3].dwCatalogEntryId);
    EXPECT_EQ(machine.Tcp6, entries[4].dwCatalogEntryId);
    EXPECT_EQ(TestGuid(10), entries[5].ProviderId);
    EXPECT_EQ(0, entries[5].ProtocolChain.ChainLen);
    for (int i : {0, 1, 5})
        EXPECT_GT(entries[i].dwCatalogEntryId, highestOldId) << i;
    EXPECT_NE(entries[0].dwCatalogEntryId, entries[1].dwCatalogEntryId);
    EXPECT_TRUE(EntriesMatch(oldLayered, entries[5]));
    EXPECT_TRUE(EntriesMatch(oldChain0, entries[0]));
    EXPECT_EQ(0, memcmp(oldChain0.szProtocol, entries[0].szProtocol, sizeof(oldChain0.szProtocol)));

    ASSERT_EQ(1u, catalog.OrderWrites.size());
    EXPECT_EQ(catalog.Ids(), catalog.OrderWrites[0]);
    EXPECT_EQ(kVendorPath, catalog.PathOf(TestGuid(10)));
    EXPECT_EQ(kVendorPath, catalog.PathOf(TestGuid(11)));
    EXPECT_EQ(0, catalog.UpdateCalls);
}

TEST(RemoveAgentLsp, MatchesOnlyTheBareLibraryName)
{
    struct Row {
        const wchar_t* Path;
        bool Removed;
    };
    const Row rows[] = {
        {L"arvanesp.dll", true},
        {L"ARVANESP.DLL", true},
        {L"ArvaneSP.dll", true},
        {L"C:\\Windows\\system32\\arvanesp.dll", false},
        {L"%SystemRoot%\\system32\\ArvaneSP.dll", false},
        {L"arvanesp.dll.old", false},
        {L"xarvanesp.dll", false},
        {L"arvanesp.dl", false},
    };
    for (const Row& row : rows) {
        FakeCatalog catalog;
        DWORD tcp = catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
        DWORD layered = catalog.AddLayered(TestGuid(30), row.Path);
        catalog.AddChains(TestGuid(31), row.Path, {{layered, tcp}});

        EXPECT_EQ(0, RemoveAgentLsp());

        std::vector<DWORD> expected = row.Removed ? std::vector<DWORD>{tcp} : std::vector<DWORD>{tcp, layered, layered + 1};
        EXPECT_EQ(expected, catalog.Ids()) << std::string(row.Path, row.Path + wcslen(row.Path));
    }
}

TEST(RemoveAgentLsp, SweepPassesAreBounded)
{
    FakeCatalog catalog;
    catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
    for (unsigned i = 0; i < 3; ++i)
        catalog.AddLayered(TestGuid(40 + i), L"arvanesp.dll");
    catalog.RefuseDeinstall = true;

    EXPECT_EQ(0, RemoveAgentLsp());

    // Three entries that are not base providers: three passes, each matching the first again.
    EXPECT_EQ((std::vector<GUID>{TestGuid(40), TestGuid(40), TestGuid(40)}), catalog.Deinstalled);
}

TEST(RemoveAgentLsp, UnreadableCatalogueChangesNothing)
{
    Machine machine;
    machine.Catalog.FailEnumeration = true;
    const std::vector<DWORD> before = machine.Catalog.Ids();

    EXPECT_EQ(-1, RemoveAgentLsp());
    EXPECT_EQ(-1, RemoveProvider(machine.Agent));
    int count = 7;
    EXPECT_EQ(nullptr, EnumerateCatalog(&count));
    EXPECT_EQ(0, count);
    EXPECT_EQ(before, machine.Catalog.Ids());
    EXPECT_EQ(0, machine.Catalog.DeinstallCalls);
}

TEST(RemoveProvider, ChainIdRemovesItsWholeGuidBaseIdNothing)
{
    Machine machine;
    FakeCatalog& catalog = machine.Catalog;

    EXPECT_EQ(-1, RemoveProvider(machine.Tcp));
    EXPECT_EQ(0, catalog.DeinstallCalls);
    EXPECT_EQ(6u, catalog.Entries().size());

    EXPECT_EQ(0, RemoveProvider(machine.AgentChains[0]));
    EXPECT_EQ((std::vector<DWORD>{machine.Tcp, machine.Udp, machine.Tcp6, machine.Agent}), catalog.Ids());
    EXPECT_EQ((std::vector<GUID>{TestGuid(20)}), catalog.Deinstalled);
}

TEST(BuildLspRecords, OrdersByLevelThenChainLength)
{
    FakeCatalog catalog;
    DWORD tcp = catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
    DWORD udp = catalog.AddBase(TestGuid(2), L"mswsock.dll", kUdp4);
    // Layered entries in catalogue order: none reaching a base (7), one at depth 2, then three
    // at depth 1 whose longest chains are 4, 2 and 3. Ids above 9000 stand for providers that
    // are not in the catalogue.
    DWORD noBase = catalog.AddLayered(TestGuid(50), L"l7.dll");
    DWORD depth2 = catalog.AddLayered(TestGuid(51), L"l2.dll");
    DWORD long4 = catalog.AddLayered(TestGuid(52), L"p4.dll");
    DWORD long2 = catalog.AddLayered(TestGuid(53), L"p2.dll");
    DWORD long3 = catalog.AddLayered(TestGuid(54), L"p3.dll");
    catalog.AddChains(TestGuid(61), L"l2.dll", {{depth2, 9001, tcp}});
    catalog.AddChains(TestGuid(62), L"p4.dll", {{long4, tcp}, {long4, 9002, 9003, udp}});
    catalog.AddChains(TestGuid(63), L"p2.dll", {{long2, udp}});
    catalog.AddChains(TestGuid(64), L"p3.dll", {{long3, 9004, udp}, {long3, tcp}});
    catalog.AddChains(TestGuid(65), L"p3.dll", {{long3, udp}});
    catalog.AddChains(TestGuid(66), L"l7.dll", {{9005, noBase, tcp}});  // names it, not its own

    int count = 0;
    WSAPROTOCOL_INFOW* snapshot = EnumerateCatalog(&count);
    ASSERT_NE(nullptr, snapshot);
    int recordCount = 0;
    LspRecord* records = BuildLspRecords(snapshot, count, &recordCount);
    FreeCatalog(snapshot);
    ASSERT_NE(nullptr, records);
    ASSERT_EQ(5, recordCount);

    struct Expected {
        DWORD Layered;
        const wchar_t* Path;
        int Level, MaxChainLength, ChainCount;
        std::vector<GUID> Guids;
    };
    const Expected expected[] = {
        {long2, L"p2.dll", 1, 2, 1, {TestGuid(63)}},
        {long3, L"p3.dll", 1, 3, 3, {TestGuid(64), TestGuid(65)}},
        {long4, L"p4.dll", 1, 4, 2, {TestGuid(62)}},
        {depth2, L"l2.dll", 2, 3, 1, {TestGuid(61)}},
        {noBase, L"l7.dll", 7, 0, 0, {}},
    };
    for (int i = 0; i < recordCount; ++i) {
        const LspRecord& record = records[i];
        EXPECT_EQ(expected[i].Layered, record.LayeredEntry.dwCatalogEntryId) << i;
        EXPECT_STREQ(expected[i].Path, record.DllPath) << i;
        EXPECT_EQ(expected[i].Level, record.Level) << i;
        EXPECT_EQ(expected[i].MaxChainLength, record.MaxChainLength) << i;
        EXPECT_EQ(expected[i].ChainCount, record.ChainCount) << i;
        EXPECT_EQ(expected[i].Guids, std::vector<GUID>(record.ChainGuids, record.ChainGuids + record.ChainGuidCount)) << i;
        EXPECT_EQ(1, record.Complete) << i;
    }
    FreeLspRecords(records, recordCount);
    EXPECT_EQ(nullptr, records);
}

TEST(BuildLspRecords, NoLayeredEntryNoRecords)
{
    FakeCatalog catalog;
    catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
    int count = 0;
    WSAPROTOCOL_INFOW* snapshot = EnumerateCatalog(&count);
    ASSERT_NE(nullptr, snapshot);
    int recordCount = 5;
    EXPECT_EQ(nullptr, BuildLspRecords(snapshot, count, &recordCount));
    EXPECT_EQ(0, recordCount);
    FreeCatalog(snapshot);
}

// Two vendors stacked over the agent's provider, re-installed without WSCUpdateProvider while
// one of the installations fails. The others must still come back, and the failure must be
// reported so that the provider library is kept.
TEST(RemoveAgentLsp, ReinstallationFailingHalfWayKeepsTheRest)
{
    struct Row {
        int FailingCall;            // WSCInstallProvider calls of the rebuild: 1 first vendor's
                                    // layered entry, 2 its chains, 3 second vendor's layered, 4 its chains
        bool FirstLayeredBack, FirstChainsBack;
    };
    for (const Row& row : {Row{1, false, false}, Row{2, true, false}}) {
        Machine machine(false);
        FakeCatalog& catalog = machine.Catalog;
        DWORD first = catalog.AddLayered(TestGuid(10), L"first.dll");
        catalog.AddChains(TestGuid(11), L"first.dll", {{first, machine.Agent, machine.Tcp}});
        DWORD second = catalog.AddLayered(TestGuid(12), L"second.dll");
        catalog.AddChains(TestGuid(13), L"second.dll",
                          {{second, machine.Agent, machine.Tcp}, {second, machine.Agent, machine.Udp}});
        catalog.FailInstallCall = row.FailingCall;

        EXPECT_EQ(-1, RemoveAgentLsp()) << row.FailingCall;

        EXPECT_EQ(row.FirstLayeredBack ? 1u : 0u, catalog.FindByGuid(TestGuid(10)).size()) << row.FailingCall;
        EXPECT_EQ(row.FirstChainsBack ? 1u : 0u, catalog.FindByGuid(TestGuid(11)).size()) << row.FailingCall;
        std::vector<const WSAPROTOCOL_INFOW*> secondLayered = catalog.FindByGuid(TestGuid(12));
        std::vector<const WSAPROTOCOL_INFOW*> secondChains = catalog.FindByGuid(TestGuid(13));
        ASSERT_EQ(1u, secondLayered.size()) << row.FailingCall;
        ASSERT_EQ(2u, secondChains.size()) << row.FailingCall;
        DWORD newSecond = secondLayered[0]->dwCatalogEntryId;
        EXPECT_EQ((std::vector<DWORD>{newSecond, machine.Tcp}), Chain(*secondChains[0]));
        EXPECT_EQ((std::vector<DWORD>{newSecond, machine.Udp}), Chain(*secondChains[1]));
        EXPECT_EQ(L"second.dll", catalog.PathOf(TestGuid(13)));
        // The order names exactly what came back, so the catalogue accepts it.
        ASSERT_EQ(1u, catalog.OrderWrites.size()) << row.FailingCall;
        std::vector<DWORD> written = catalog.OrderWrites[0];
        EXPECT_EQ(catalog.Ids(), written) << row.FailingCall;
    }
}

// Three vendors stacked over the agent (lower, middle over lower, upper over middle), re-installed
// without WSCUpdateProvider while one installation fails. A provider whose chains would name an
// entry that did not come back stays out, and so does everything stacked over it: no chain of the
// catalogue may name a missing entry.
TEST(RemoveAgentLsp, ProvidersOverOneThatDidNotComeBackStayOut)
{
    struct Row {
        int FailingCall;  // WSCInstallProvider calls of the rebuild: layered entry, then chains,
                          // of lower, middle and upper in turn
        std::vector<GUID> Back;
    };
    const GUID lowerGuid = TestGuid(10), lowerChainGuid = TestGuid(11), middleGuid = TestGuid(12),
               middleChainGuid = TestGuid(13), upperGuid = TestGuid(14), upperChainGuid = TestGuid(15);
    const Row rows[] = {
        {1, {}},
        {2, {lowerGuid, middleGuid, middleChainGuid, upperGuid, upperChainGuid}},
        {3, {lowerGuid, lowerChainGuid}},
        {4, {lowerGuid, lowerChainGuid, middleGuid, upperGuid, upperChainGuid}},
        {5, {lowerGuid, lowerChainGuid, middleGuid, middleChainGuid}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.FailingCall);
        Machine machine(false);
        FakeCatalog& catalog = machine.Catalog;
        DWORD lower = catalog.AddLayered(lowerGuid, L"lower.dll");
        catalog.AddChains(lowerChainGuid, L"lower.dll", {{lower, machine.Agent, machine.Tcp}});
        DWORD middle = catalog.AddLayered(middleGuid, L"middle.dll");
        catalog.AddChains(middleChainGuid, L"middle.dll", {{middle, lower, machine.Agent, machine.Tcp}});
        DWORD upper = catalog.AddLayered(upperGuid, L"upper.dll");
        catalog.AddChains(upperChainGuid, L"upper.dll", {{upper, middle, lower, machine.Agent, machine.Tcp}});
        catalog.FailInstallCall = row.FailingCall;

        EXPECT_EQ(-1, RemoveAgentLsp());

        for (const GUID& guid : {lowerGuid, lowerChainGuid, middleGuid, middleChainGuid, upperGuid, upperChainGuid}) {
            bool back = std::find(row.Back.begin(), row.Back.end(), guid) != row.Back.end();
            EXPECT_EQ(back ? 1u : 0u, catalog.FindByGuid(guid).size()) << guid.Data1;
        }
        const std::vector<DWORD> ids = catalog.Ids();
        for (const WSAPROTOCOL_INFOW& entry : catalog.Entries()) {
            for (DWORD named : Chain(entry))
                EXPECT_NE(ids.end(), std::find(ids.begin(), ids.end(), named))
                    << "entry " << entry.dwCatalogEntryId << " names the missing " << named;
        }
        ASSERT_EQ(1u, catalog.OrderWrites.size());
        EXPECT_EQ(ids, catalog.OrderWrites[0]);
    }
}

// A vendor stacked over another vendor stacked over the agent: each chain names both vendors'
// entries, yet belongs to the provider at its top and must come back with that one's library.
TEST(RemoveAgentLsp, RebuildKeepsEachChainWithItsOwnProvider)
{
    Machine machine(false);
    FakeCatalog& catalog = machine.Catalog;
    DWORD lower = catalog.AddLayered(TestGuid(10), L"lower.dll");
    catalog.AddChains(TestGuid(11), L"lower.dll", {{lower, machine.Agent, machine.Tcp}});
    DWORD upper = catalog.AddLayered(TestGuid(12), L"upper.dll");
    catalog.AddChains(TestGuid(13), L"upper.dll", {{upper, lower, machine.Agent, machine.Tcp}});

    EXPECT_EQ(0, RemoveAgentLsp());

    std::vector<const WSAPROTOCOL_INFOW*> lowerLayered = catalog.FindByGuid(TestGuid(10));
    std::vector<const WSAPROTOCOL_INFOW*> upperLayered = catalog.FindByGuid(TestGuid(12));
    std::vector<const WSAPROTOCOL_INFOW*> lowerChains = catalog.FindByGuid(TestGuid(11));
    std::vector<const WSAPROTOCOL_INFOW*> upperChains = catalog.FindByGuid(TestGuid(13));
    ASSERT_EQ(1u, lowerLayered.size());
    ASSERT_EQ(1u, upperLayered.size());
    ASSERT_EQ(1u, lowerChains.size());
    ASSERT_EQ(1u, upperChains.size());
    EXPECT_EQ((std::vector<DWORD>{lowerLayered[0]->dwCatalogEntryId, machine.Tcp}), Chain(*lowerChains[0]));
    EXPECT_EQ((std::vector<DWORD>{upperLayered[0]->dwCatalogEntryId, lowerLayered[0]->dwCatalogEntryId, machine.Tcp}),
              Chain(*upperChains[0]));
    EXPECT_EQ(L"lower.dll", catalog.PathOf(TestGuid(11)));
    EXPECT_EQ(L"upper.dll", catalog.PathOf(TestGuid(13)));
    ASSERT_EQ(1u, catalog.OrderWrites.size());
    EXPECT_EQ(catalog.Ids(), catalog.OrderWrites[0]);
}

TEST(RemoveAgentLsp, UnrecordableProviderAbandonsTheRebuild)
{
    Machine machine(false);
    FakeCatalog& catalog = machine.Catalog;
    DWORD vendor = catalog.AddLayered(TestGuid(10), kVendorPath);
    std::vector<DWORD> vendorChains = catalog.AddChains(TestGuid(11), kVendorPath, {{vendor, machine.Agent, machine.Tcp}});
    catalog.UnreadablePaths = {TestGuid(10)};

    EXPECT_EQ(-1, RemoveAgentLsp());

    // Nothing of the vendor's was taken out: without its path it could not have come back.
    EXPECT_EQ((std::vector<DWORD>{machine.Tcp, machine.Udp, machine.Tcp6, vendor, vendorChains[0]}), catalog.Ids());
    EXPECT_EQ((std::vector<GUID>{kAgentLspGuid, TestGuid(20), TestGuid(20)}), catalog.Deinstalled);
    EXPECT_EQ(0, catalog.InstallCalls);
}

TEST(InstallProviderEntries, SucceedsOnlyWhenEveryEntryArrived)
{
    FakeCatalog catalog;
    DWORD tcp = catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
    WSAPROTOCOL_INFOW entry = *catalog.Find(tcp);
    entry.ProtocolChain.ChainLen = 0;
    GUID fresh = TestGuid(70);
    EXPECT_EQ(0, InstallProviderEntries(&entry, 1, &fresh, L"lsp.dll"));
    EXPECT_EQ(1u, catalog.FindByGuid(fresh).size());
    EXPECT_EQ(SOCKET_ERROR, InstallProviderEntries(&entry, 1, &fresh, L"lsp.dll")) << "already installed";
    EXPECT_EQ(1u, catalog.FindByGuid(fresh).size());
}

TEST(WriteProviderOrder, PassesTheSystemsAnswerOr10045)
{
    FakeCatalog catalog;
    DWORD a = catalog.AddBase(TestGuid(1), L"mswsock.dll", kTcp4);
    DWORD b = catalog.AddBase(TestGuid(2), L"mswsock.dll", kUdp4);
    DWORD reversed[] = {b, a};
    DWORD incomplete[] = {b};
    EXPECT_EQ(WSAEINVAL, WriteProviderOrder(incomplete, 1));
    EXPECT_EQ(0, WriteProviderOrder(reversed, 2));
    EXPECT_EQ((std::vector<DWORD>{b, a}), catalog.Ids());
    catalog.SetWriteOrderAvailable(false);
    EXPECT_EQ(10045, WriteProviderOrder(reversed, 2));
}

TEST(EntriesMatch, ComparesTheProtocolNotTheIds)
{
    WSAPROTOCOL_INFOW base;
    memset(&base, 0, sizeof(base));
    base.ProviderId = TestGuid(1);
    base.dwServiceFlags1 = 0x20066;
    base.ProtocolChain.ChainLen = 2;
    base.iVersion = 2;
    base.iAddressFamily = AF_INET;
    base.iMaxSockAddr = 16;
    base.iMinSockAddr = 16;
    base.iSocketType = SOCK_STREAM;
    base.iProtocol = IPPROTO_TCP;

    struct Row {
        const char* Field;
        void (*Change)(WSAPROTOCOL_INFOW&);
        bool Match;
    };
    const Row rows[] = {
        {"ProviderId", [](WSAPROTOCOL_INFOW& e) { e.ProviderId.Data4[7] ^= 1; }, false},
        {"dwServiceFlags1", [](WSAPROTOCOL_INFOW& e) { e.dwServiceFlags1 ^= 1; }, false},
        {"dwServiceFlags2", [](WSAPROTOCOL_INFOW& e) { e.dwServiceFlags2 = 1; }, false},
        {"dwServiceFlags3", [](WSAPROTOCOL_INFOW& e) { e.dwServiceFlags3 = 1; }, false},
        {"dwServiceFlags4", [](WSAPROTOCOL_INFOW& e) { e.dwServiceFlags4 = 1; }, false},
        {"ChainLen", [](WSAPROTOCOL_INFOW& e) { e.ProtocolChain.ChainLen = 3; }, false},
        {"iVersion", [](WSAPROTOCOL_INFOW& e) { e.iVersion = 1; }, false},
        {"iAddressFamily", [](WSAPROTOCOL_INFOW& e) { e.iAddressFamily = AF_INET6; }, false},
        {"iMaxSockAddr", [](WSAPROTOCOL_INFOW& e) { e.iMaxSockAddr = 28; }, false},
        {"iMinSockAddr", [](WSAPROTOCOL_INFOW& e) { e.iMinSockAddr = 28; }, false},
        {"iSocketType", [](WSAPROTOCOL_INFOW& e) { e.iSocketType = SOCK_DGRAM; }, false},
        {"iProtocol", [](WSAPROTOCOL_INFOW& e) { e.iProtocol = IPPROTO_UDP; }, false},
        {"iProtocolMaxOffset", [](WSAPROTOCOL_INFOW& e) { e.iProtocolMaxOffset = 1; }, false},
        {"iNetworkByteOrder", [](WSAPROTOCOL_INFOW& e) { e.iNetworkByteOrder = 1; }, false},
        {"iSecurityScheme", [](WSAPROTOCOL_INFOW& e) { e.iSecurityScheme = 1; }, false},
        {"dwMessageSize", [](WSAPROTOCOL_INFOW& e) { e.dwMessageSize = 1; }, false},
        {"dwProviderFlags", [](WSAPROTOCOL_INFOW& e) { e.dwProviderFlags = PFL_HIDDEN; }, true},
        {"dwCatalogEntryId", [](WSAPROTOCOL_INFOW& e) { e.dwCatalogEntryId = 1234; }, true},
        {"ChainEntries", [](WSAPROTOCOL_INFOW& e) { e.ProtocolChain.ChainEntries[0] = 99; }, true},
        {"dwProviderReserved", [](WSAPROTOCOL_INFOW& e) { e.dwProviderReserved = 5; }, true},
        {"szProtocol", [](WSAPROTOCOL_INFOW& e) { e.szProtocol[0] = L'X'; }, true},
    };
    for (const Row& row : rows) {
        WSAPROTOCOL_INFOW changed = base;
        row.Change(changed);
        EXPECT_EQ(row.Match, EntriesMatch(base, changed)) << row.Field;
        EXPECT_EQ(row.Match, EntriesMatch(changed, base)) << row.Field;
    }
}

TEST(DeleteLspRegistryKey, DeletesTheKeyAndEndsOnAStubbornSubkey)
{
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, DeleteLspRegistryKey()) << "no key";

    const std::string key = kAgentLspKey;
    ASSERT_TRUE(CreateMachineKey(key + "\\00000001"));
    ASSERT_TRUE(CreateMachineKey(key + "\\00000002"));
    EXPECT_EQ(0, DeleteLspRegistryKey());
    EXPECT_FALSE(MachineKeyExists(kAgentLspKey));
    EXPECT_TRUE(MachineKeyExists("SOFTWARE\\WinSock2"));

    // A subkey with a subkey of its own cannot be deleted by RegDeleteKeyA: the loop must end.
    ASSERT_TRUE(CreateMachineKey(key + "\\00000001\\Nested"));
    EXPECT_EQ(0, DeleteLspRegistryKey());
    EXPECT_TRUE(MachineKeyExists((key + "\\00000001\\Nested").c_str()));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, (key + "\\00000001\\Nested").c_str()));
    EXPECT_EQ(0, DeleteLspRegistryKey());
    EXPECT_FALSE(MachineKeyExists(kAgentLspKey));
}

// The system's own catalogue under Wine: base providers only, so nothing is removed (and
// WSCUpdateProvider, which Wine cannot run, is never reached).
TEST(RemoveAgentLsp, SystemCatalogueWithoutTheProvider)
{
    SetWinsockCatalog(nullptr);
    int count = 0;
    WSAPROTOCOL_INFOW* snapshot = EnumerateCatalog(&count);
    ASSERT_NE(nullptr, snapshot);
    EXPECT_GT(count, 0);
    FreeCatalog(snapshot);
    ASSERT_TRUE(CreateMachineKey(std::string(kAgentLspKey) + "\\00000001"));

    EXPECT_EQ(0, RemoveAgentLsp());
    EXPECT_FALSE(MachineKeyExists(kAgentLspKey));
    EXPECT_NE(nullptr, GetWinsockCatalog().WriteProviderOrder);
}
