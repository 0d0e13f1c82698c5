// The in-memory catalogue itself, held to what Windows documents for its catalogue functions:
// the provider removal tests are only as good as this model.
#include <gtest/gtest.h>

#include "network/FakeCatalog.h"

using namespace xatest;

namespace {

std::vector<DWORD> ReverseOf(std::vector<DWORD> ids)
{
    return std::vector<DWORD>(ids.rbegin(), ids.rend());
}

}  // namespace

TEST(FakeCatalog, EnumerationReportsTheSizeItNeeds)
{
    FakeCatalog catalog;
    catalog.AddBase(TestGuid(1), L"base.dll", kTcp4);
    catalog.AddBase(TestGuid(2), L"base.dll", kUdp4);

    DWORD length = 0;
    int error = 0;
    EXPECT_EQ(SOCKET_ERROR, catalog.EnumProtocols(nullptr, nullptr, &length, &error));
    EXPECT_EQ(WSAENOBUFS, error);
    EXPECT_EQ(2 * 628u, length);

    std::vector<WSAPROTOCOL_INFOW> buffer(2);
    length = 628;
    EXPECT_EQ(SOCKET_ERROR, catalog.EnumProtocols(nullptr, buffer.data(), &length, &error));
    EXPECT_EQ(2 * 628u, length);

    length = 2 * 628;
    EXPECT_EQ(2, catalog.EnumProtocols(nullptr, buffer.data(), &length, &error));
    EXPECT_EQ(IPPROTO_UDP, buffer[1].iProtocol);

    INT udpOnly[] = {IPPROTO_UDP, 0};
    EXPECT_EQ(1, catalog.EnumProtocols(udpOnly, buffer.data(), &length, &error));
    EXPECT_EQ(IPPROTO_UDP, buffer[0].iProtocol);
}

TEST(FakeCatalog, InstallGivesNewIdsAndAGuidOnlyOnce)
{
    FakeCatalog catalog;
    DWORD tcp = catalog.AddBase(TestGuid(1), L"base.dll", kTcp4);
    DWORD layered = catalog.AddLayered(TestGuid(2), L"lsp.dll");
    EXPECT_EQ(tcp, catalog.Find(tcp)->ProtocolChain.ChainEntries[0]) << "a base provider chains to itself";

    WSAPROTOCOL_INFOW again = *catalog.Find(layered);
    int error = 0;
    EXPECT_EQ(SOCKET_ERROR, catalog.InstallProvider(TestGuid(2), L"lsp.dll", &again, 1, &error));
    EXPECT_EQ(WSAEINVAL, error);

    EXPECT_EQ(0, catalog.DeinstallProvider(TestGuid(2), &error));
    EXPECT_EQ(0, catalog.InstallProvider(TestGuid(2), L"lsp.dll", &again, 1, &error));
    ASSERT_EQ(1u, catalog.FindByGuid(TestGuid(2)).size());
    EXPECT_GT(catalog.FindByGuid(TestGuid(2))[0]->dwCatalogEntryId, layered) << "ids are never reused";
}

TEST(FakeCatalog, DeinstallRemovesEveryEntryAndThePathOfTheGuid)
{
    FakeCatalog catalog;
    DWORD tcp = catalog.AddBase(TestGuid(1), L"base.dll", kTcp4);
    DWORD udp = catalog.AddBase(TestGuid(2), L"base.dll", kUdp4);
    DWORD layered = catalog.AddLayered(TestGuid(3), L"lsp.dll");
    catalog.AddChains(TestGuid(4), L"lsp.dll", {{layered, tcp}, {layered, udp}});
    ASSERT_EQ(5u, catalog.Entries().size());

    int error = 0;
    EXPECT_EQ(0, catalog.DeinstallProvider(TestGuid(4), &error));
    EXPECT_EQ((std::vector<DWORD>{tcp, udp, layered}), catalog.Ids());
    EXPECT_EQ(SOCKET_ERROR, catalog.DeinstallProvider(TestGuid(4), &error));

    WCHAR path[MAX_PATH];
    int length = MAX_PATH;
    EXPECT_EQ(SOCKET_ERROR, catalog.GetProviderPath(TestGuid(4), path, &length, &error));
    EXPECT_EQ(WSAEINVAL, error);
    EXPECT_EQ(0, catalog.GetProviderPath(TestGuid(3), path, &length, &error));
    EXPECT_STREQ(L"lsp.dll", path);
    length = 7;
    EXPECT_EQ(SOCKET_ERROR, catalog.GetProviderPath(TestGuid(3), path, &length, &error));
    EXPECT_EQ(WSAEFAULT, error) << "the terminator must fit";
}

TEST(FakeCatalog, UpdateReplacesEntriesInPlace)
{
    FakeCatalog catalog;
    DWORD tcp = catalog.AddBase(TestGuid(1), L"base.dll", kTcp4);
    DWORD layered = catalog.AddLayered(TestGuid(2), L"lsp.dll");
    DWORD chain = catalog.AddChains(TestGuid(3), L"lsp.dll", {{layered, 9999, tcp}})[0];

    WSAPROTOCOL_INFOW changed = *catalog.Find(chain);
    changed.ProtocolChain.ChainLen = 2;
    changed.ProtocolChain.ChainEntries[1] = tcp;
    int error = 0;
    EXPECT_EQ(0, catalog.UpdateProvider(TestGuid(3), L"new.dll", &changed, 1, &error));
    EXPECT_EQ((std::vector<DWORD>{tcp, layered, chain}), catalog.Ids());
    EXPECT_EQ(2, catalog.Find(chain)->ProtocolChain.ChainLen);
    EXPECT_EQ(L"new.dll", catalog.PathOf(TestGuid(3)));

    changed.dwCatalogEntryId = 4242;
    EXPECT_EQ(SOCKET_ERROR, catalog.UpdateProvider(TestGuid(3), L"new.dll", &changed, 1, &error));
    changed.dwCatalogEntryId = chain;
    EXPECT_EQ(SOCKET_ERROR, catalog.UpdateProvider(TestGuid(2), L"new.dll", &changed, 1, &error))
        << "an entry is updated only under its own GUID";
}

TEST(FakeCatalog, OrderMustNameEveryIdOnce)
{
    FakeCatalog catalog;
    DWORD a = catalog.AddBase(TestGuid(1), L"base.dll", kTcp4);
    DWORD b = catalog.AddBase(TestGuid(2), L"base.dll", kUdp4);
    DWORD c = catalog.AddLayered(TestGuid(3), L"lsp.dll");
    const std::vector<DWORD> before = catalog.Ids();

    const std::vector<std::vector<DWORD>> refused = {{a, b}, {a, b, b}, {a, b, c, 4242}, {a, b, 4242}};
    for (const std::vector<DWORD>& order : refused) {
        EXPECT_EQ(WSAEINVAL, catalog.WriteProviderOrder(order.data(), static_cast<DWORD>(order.size())));
        EXPECT_EQ(before, catalog.Ids());
    }
    std::vector<DWORD> reversed = ReverseOf(before);
    EXPECT_EQ(0, catalog.WriteProviderOrder(reversed.data(), static_cast<DWORD>(reversed.size())));
    EXPECT_EQ(reversed, catalog.Ids());
}
