// Operating-system naming through a fake system: version records, processor architectures,
// product types, metrics and registry values that no Wine version mode produces. Every row of
// the naming tables is driven here; OsNameSystemTest.cpp checks the real calls.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "support/OsName.h"

namespace {

const char kCurrentVersionNT[] = "software\\microsoft\\windows nt\\currentversion";
const char kProductOptions[] = "system\\currentcontrolset\\control\\productoptions";
const char kHotfixQ246009[] = "software\\microsoft\\windows nt\\currentversion\\hotfix\\q246009";
const char kSbsUninstall[] =
    "software\\microsoft\\windows\\currentversion\\uninstall\\small business server 2003 r2";

const WORD kX86 = PROCESSOR_ARCHITECTURE_INTEL;
const WORD kAmd64 = PROCESSOR_ARCHITECTURE_AMD64;
const WORD kIa64 = PROCESSOR_ARCHITECTURE_IA64;

enum : WORD {
    kEnterprise = 0x0002,
    kTerminal = 0x0010,
    kSmallBusiness = 0x0020,
    kEmbeddedNT = 0x0040,
    kDatacenter = 0x0080,
    kPersonal = 0x0200,
    kBlade = 0x0400,
    kStorageServer = 0x2000,
};

enum { kTabletPC = 86, kMediaCenter = 87, kStarter = 88, kServerR2 = 89 };

struct FakeValue {
    DWORD Type;
    std::string Data;
};
typedef std::map<std::string, FakeValue> FakeKey;  // by lower-case value name

// The system the naming sees. Registry paths and value names are kept in lower case; the fake
// calls answer like Windows does (sizes count the terminator, 234 and the needed size when the
// buffer is short, 2 for what is missing).
struct FakeSystem {
    OSVERSIONINFOEXA Version = {};
    bool RefuseExtended = false;
    bool RefuseBasic = false;
    WORD Architecture = kX86;        // GetSystemInfo: the 32-bit view
    WORD NativeArchitecture = kX86;  // GetNativeSystemInfo
    bool HasGetNativeSystemInfo = true;
    bool HasGetProductInfo = true;
    BOOL ProductInfoResult = TRUE;
    DWORD ProductType = 0;
    std::map<int, int> Metrics;
    std::map<std::string, FakeKey> Keys;
    int OpenKeys = 0;
    std::vector<REGSAM> OpenAccess;
    std::vector<std::vector<DWORD>> ProductInfoCalls;
};

FakeSystem* gFake = nullptr;
HMODULE const kFakeKernel = reinterpret_cast<HMODULE>(0x7C800000);

std::string Lower(const char* text)
{
    std::string lower = text ? text : "";
    for (char& c : lower)
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    return lower;
}

BOOL WINAPI FakeGetVersionExA(OSVERSIONINFOA* info)
{
    DWORD size = info->dwOSVersionInfoSize;
    if (size == sizeof(OSVERSIONINFOEXA) && !gFake->RefuseExtended) {
        memcpy(info, &gFake->Version, sizeof(OSVERSIONINFOEXA));
    } else if (size == sizeof(OSVERSIONINFOA) && !gFake->RefuseBasic) {
        memcpy(info, &gFake->Version, sizeof(OSVERSIONINFOA));
    } else {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    info->dwOSVersionInfoSize = size;
    return TRUE;
}

void FillSystemInfo(SYSTEM_INFO* info, WORD architecture)
{
    memset(info, 0, sizeof(*info));
    info->wProcessorArchitecture = architecture;
    info->dwNumberOfProcessors = 1;
}

void WINAPI FakeGetSystemInfo(SYSTEM_INFO* info)
{
    FillSystemInfo(info, gFake->Architecture);
}

void WINAPI FakeGetNativeSystemInfo(SYSTEM_INFO* info)
{
    FillSystemInfo(info, gFake->NativeArchitecture);
}

BOOL WINAPI FakeGetProductInfo(DWORD major, DWORD minor, DWORD spMajor, DWORD spMinor, DWORD* type)
{
    gFake->ProductInfoCalls.push_back({major, minor, spMajor, spMinor});
    *type = gFake->ProductType;
    return gFake->ProductInfoResult;
}

int WINAPI FakeGetSystemMetrics(int index)
{
    auto metric = gFake->Metrics.find(index);
    return metric == gFake->Metrics.end() ? 0 : metric->second;
}

HMODULE WINAPI FakeGetModuleHandleA(const char* name)
{
    return Lower(name) == "kernel32.dll" ? kFakeKernel : nullptr;
}

FARPROC WINAPI FakeGetProcAddress(HMODULE module, const char* name)
{
    if (module != kFakeKernel)
        return nullptr;
    if (strcmp(name, "GetNativeSystemInfo") == 0 && gFake->HasGetNativeSystemInfo)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeGetNativeSystemInfo));
    if (strcmp(name, "GetProductInfo") == 0 && gFake->HasGetProductInfo)
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(FakeGetProductInfo));
    return nullptr;
}

LONG WINAPI FakeRegOpenKeyExA(HKEY root, const char* path, DWORD, REGSAM access, HKEY* result)
{
    if (root != HKEY_LOCAL_MACHINE)
        return ERROR_INVALID_HANDLE;
    auto key = gFake->Keys.find(Lower(path));
    if (key == gFake->Keys.end())
        return ERROR_FILE_NOT_FOUND;
    *result = reinterpret_cast<HKEY>(&key->second);
    ++gFake->OpenKeys;
    gFake->OpenAccess.push_back(access);
    return ERROR_SUCCESS;
}

LONG WINAPI FakeRegQueryValueExA(HKEY key, const char* name, DWORD*, DWORD* type, BYTE* data, DWORD* size)
{
    FakeKey* values = reinterpret_cast<FakeKey*>(key);
    auto value = values->find(Lower(name));
    if (value == values->end())
        return ERROR_FILE_NOT_FOUND;
    DWORD needed = static_cast<DWORD>(value->second.Data.size());
    if (type)
        *type = value->second.Type;
    if (data) {
        if (!size)
            return ERROR_INVALID_PARAMETER;
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;
        }
        memcpy(data, value->second.Data.data(), needed);
    }
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

LONG WINAPI FakeRegCloseKey(HKEY)
{
    --gFake->OpenKeys;
    return ERROR_SUCCESS;
}

const OsNameCalls kFakeCalls = {
    FakeGetVersionExA, FakeGetSystemInfo, FakeGetSystemMetrics, FakeGetModuleHandleA,
    FakeGetProcAddress, FakeRegOpenKeyExA, FakeRegQueryValueExA, FakeRegCloseKey,
};

struct Naming {
    bool Result;
    std::string Version;
    std::string Edition;
};

class OsName : public ::testing::Test {
protected:
    void SetUp() override
    {
        gFake = &fake_;
        gOsNameCalls = kFakeCalls;
    }

    void TearDown() override
    {
        gOsNameCalls = kSystemOsNameCalls;
        gFake = nullptr;
        EXPECT_EQ(0, fake_.OpenKeys) << "every key opened is closed";
    }

    void SetNT(DWORD major, DWORD minor, BYTE productType, WORD suite = 0, DWORD build = 7601,
               const char* servicePack = "Service Pack 1")
    {
        SetVersion(VER_PLATFORM_WIN32_NT, major, minor, build, servicePack);
        fake_.Version.wProductType = productType;
        fake_.Version.wSuiteMask = suite;
        fake_.Version.wServicePackMajor = 1;
    }

    void SetVersion(DWORD platform, DWORD major, DWORD minor, DWORD build, const char* servicePack)
    {
        fake_.Version = {};
        fake_.Version.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
        fake_.Version.dwPlatformId = platform;
        fake_.Version.dwMajorVersion = major;
        fake_.Version.dwMinorVersion = minor;
        fake_.Version.dwBuildNumber = build;
        strcpy(fake_.Version.szCSDVersion, servicePack);
    }

    void SetValue(const char* key, const char* name, DWORD type, const std::string& data)
    {
        fake_.Keys[key][Lower(name)] = {type, data};
    }

    // A REG_SZ value as Windows stores it: with its terminator.
    void SetString(const char* key, const char* name, const std::string& text)
    {
        SetValue(key, name, REG_SZ, text + std::string(1, '\0'));
    }

    // Calls GetOsName with buffers of exactly kOsNameChars bytes and guards behind them.
    Naming Name()
    {
        std::vector<char> version(kOsNameChars + 16, 'V');
        std::vector<char> edition(kOsNameChars + 16, 'E');
        Naming naming;
        naming.Result = GetOsName(version.data(), edition.data());
        for (int i = kOsNameChars; i < kOsNameChars + 16; ++i) {
            EXPECT_EQ('V', version[i]) << "version text overran its buffer";
            EXPECT_EQ('E', edition[i]) << "edition text overran its buffer";
        }
        naming.Version.assign(version.data(), strnlen(version.data(), kOsNameChars));
        naming.Edition.assign(edition.data(), strnlen(edition.data(), kOsNameChars));
        return naming;
    }

    FakeSystem fake_;
};

}  // namespace

TEST_F(OsName, NamesWin32sAndWindows9x)
{
    const struct {
        DWORD Platform, Major, Minor, Build;
        const char* ServicePack;
        const char* Version;
        const char* Edition;
    } rows[] = {
        {VER_PLATFORM_WIN32s, 1, 30, 1234, "x", "Win32s", "Build 1234 x"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, " C", "95", "OSR2 Build 67109814"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, " B", "95", "OSR2 Build 67109814"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, " A", "95", "Build 67109814  A"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 0x040003B6, "", "95", "Build 67109814 "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " A ", "98", "SE Build 67766446"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " B", "98", "SE Build 67766446"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, " C", "98", "Build 67766446  C"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 0x040A08AE, "", "98", "Build 67766446 "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8, " ", "Me", "Build 73010104  "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 20, 1, "", "", ""},
        {VER_PLATFORM_WIN32_WINDOWS, 5, 0, 1, "", "", ""},
        {3, 6, 1, 7601, "Service Pack 1", "", ""},
    };
    for (const auto& row : rows) {
        SetVersion(row.Platform, row.Major, row.Minor, row.Build, row.ServicePack);
        Naming naming = Name();
        SCOPED_TRACE(testing::Message() << row.Platform << " " << row.Major << "." << row.Minor
                                        << " '" << row.ServicePack << "'");
        EXPECT_TRUE(naming.Result);
        EXPECT_EQ(row.Version, naming.Version);
        EXPECT_EQ(row.Edition, naming.Edition);
    }
    EXPECT_TRUE(fake_.ProductInfoCalls.empty());
}

TEST_F(OsName, NamesWindowsNTVersions)
{
    const struct {
        DWORD Major, Minor;
        BYTE ProductType;
        const char* Version;
    } rows[] = {
        {6, 0, VER_NT_WORKSTATION, "Vista"},
        {6, 1, VER_NT_WORKSTATION, "7"},
        {6, 2, VER_NT_WORKSTATION, "8"},
        {6, 3, VER_NT_WORKSTATION, "8.1"},
        {6, 2, VER_NT_SERVER, "2012"},
        {6, 3, VER_NT_DOMAIN_CONTROLLER, "2012 R2"},
        {6, 4, VER_NT_WORKSTATION, "NT6.4"},
        {10, 1, VER_NT_SERVER, "NT10.1"},
        {11, 0, VER_NT_WORKSTATION, "NT11.0"},
        {6, 0, VER_NT_SERVER, "2008"},
        {6, 1, VER_NT_DOMAIN_CONTROLLER, "2008"},
        {6, 1, 0, "2008"},
        {5, 2, VER_NT_WORKSTATION, "XP"},
        {5, 2, VER_NT_SERVER, "2003"},
        {5, 1, VER_NT_WORKSTATION, "XP"},
        {5, 1, VER_NT_SERVER, "XP"},
        {5, 0, VER_NT_WORKSTATION, "2000"},
        {5, 0, VER_NT_DOMAIN_CONTROLLER, "2000"},
        {4, 0, VER_NT_WORKSTATION, "NT4"},
        {3, 51, VER_NT_WORKSTATION, "NT3.51"},
        {5, 3, VER_NT_WORKSTATION, "NT5.3"},
        {4, 1, VER_NT_SERVER, "NT4.1"},
    };
    for (const auto& row : rows) {
        SetNT(row.Major, row.Minor, row.ProductType);
        Naming naming = Name();
        EXPECT_TRUE(naming.Result);
        EXPECT_EQ(row.Version, naming.Version) << row.Major << "." << row.Minor << " type " << (int)row.ProductType;
    }
}

TEST_F(OsName, NamesVistaAnd7EditionsByProductType)
{
    const struct {
        DWORD ProductType, Minor;
        const char* Name;
    } rows[] = {
        {1, 1, "Ultimate"},      {28, 1, "Ultimate"},     {71, 1, "Ultimate"},      {1, 0, "Ultimate"},
        {2, 1, "Home Basic"},    {5, 1, "Home Basic"},    {67, 0, "Home Basic"},
        {3, 1, "Home Premium"},  {26, 1, "Home Premium"}, {68, 0, "Home Premium"},
        {4, 1, "Enterprise"},    {27, 1, "Enterprise"},   {70, 1, "Enterprise"},
        {6, 0, "Business"},      {16, 1, "Business"},
        {11, 1, "Starter"},      {47, 1, "Starter"},      {66, 0, "Starter"},
        {48, 1, "Professional"}, {49, 1, "Professional"}, {69, 1, "Professional"},
        {48, 0, ""},             {49, 0, ""},             {69, 0, ""},
        {0, 1, ""},              {7, 1, ""},              {72, 1, ""},              {0x10000001, 1, ""},
    };
    for (const auto& row : rows) {
        SetNT(6, row.Minor, VER_NT_WORKSTATION, 0, 7601, "Service Pack 1");
        fake_.Version.wServicePackMajor = 1;
        fake_.Version.wServicePackMinor = 2;
        fake_.ProductType = row.ProductType;
        fake_.ProductInfoCalls.clear();
        Naming naming = Name();
        SCOPED_TRACE(testing::Message() << "product type " << row.ProductType << ", minor " << row.Minor);
        EXPECT_TRUE(naming.Result);
        EXPECT_EQ(std::string(row.Name) + " Edition Service Pack 1 Build 7601", naming.Edition);
        ASSERT_EQ(1u, fake_.ProductInfoCalls.size());
        EXPECT_EQ((std::vector<DWORD>{6, row.Minor, 1, 2}), fake_.ProductInfoCalls[0]);
    }
}

TEST_F(OsName, WorkstationEditionNeedsGetProductInfo)
{
    SetNT(6, 1, VER_NT_WORKSTATION);
    fake_.ProductType = 1;
    fake_.HasGetProductInfo = false;
    EXPECT_EQ(" Edition Service Pack 1 Build 7601", Name().Edition);

    fake_.HasGetProductInfo = true;
    fake_.ProductInfoResult = FALSE;
    EXPECT_EQ(" Edition Service Pack 1 Build 7601", Name().Edition) << "a failed call names nothing";
}

TEST_F(OsName, EditionIdOverridesTheProductType)
{
    const struct {
        DWORD ProductType, Minor, ValueType;
        std::string Value;  // stored bytes
        const char* Name;
    } rows[] = {
        {28, 1, REG_SZ, std::string("Professional", 13), "Professional"},
        {28, 0, REG_SZ, std::string("Professional", 13), "Ultimate"},
        {0, 1, REG_SZ, std::string("homepremium", 12), "Home Premium"},
        {48, 1, REG_SZ, std::string("HOMEBASIC", 10), "Home Basic"},
        {48, 1, REG_SZ, std::string("Starter", 8), "Starter"},
        {48, 1, REG_SZ, std::string("Enterprise", 11), "Enterprise"},
        {48, 1, REG_SZ, std::string("Business", 9), "Business"},
        {48, 0, REG_SZ, std::string("Ultimate", 9), "Ultimate"},
        {48, 1, REG_SZ, std::string("Ultimate"), "Ultimate"},  // stored without its terminator
        {4, 1, REG_SZ, std::string("ProfessionalN", 14), "Enterprise"},
        {4, 1, REG_EXPAND_SZ, std::string("Ultimate", 9), "Enterprise"},
        {4, 1, REG_BINARY, std::string("Ultimate", 9), "Enterprise"},
        {4, 1, REG_SZ, std::string(), "Enterprise"},
        {4, 1, REG_SZ, std::string(1, '\0'), "Enterprise"},
        {4, 1, REG_SZ, std::string(300, 'U'), "Enterprise"},
    };
    for (const auto& row : rows) {
        SetNT(6, row.Minor, VER_NT_WORKSTATION);
        fake_.ProductType = row.ProductType;
        SetValue(kCurrentVersionNT, "EditionID", row.ValueType, row.Value);
        SCOPED_TRACE(testing::Message() << "EditionID '" << row.Value.c_str() << "' (" << row.Value.size()
                                        << " bytes), product type " << row.ProductType);
        EXPECT_EQ(std::string(row.Name) + " Edition Service Pack 1 Build 7601", Name().Edition);
    }
}

// 10.0 is Windows 10 and 11, and Server 2016 to 2025: the build tells them apart.
TEST_F(OsName, NamesWindows10AndLaterByBuild)
{
    const struct {
        BYTE ProductType;
        DWORD Build;
        const char* Version;
    } rows[] = {
        {VER_NT_WORKSTATION, 10240, "10"},  {VER_NT_WORKSTATION, 21999, "10"},
        {VER_NT_WORKSTATION, 22000, "11"},  {VER_NT_WORKSTATION, 26100, "11"},
        {VER_NT_SERVER, 14393, "2016"},     {VER_NT_SERVER, 17762, "2016"},
        {VER_NT_SERVER, 17763, "2019"},     {VER_NT_DOMAIN_CONTROLLER, 20347, "2019"},
        {VER_NT_SERVER, 20348, "2022"},     {VER_NT_SERVER, 26099, "2022"},
        {VER_NT_DOMAIN_CONTROLLER, 26100, "2025"},
    };
    for (const auto& row : rows) {
        SetNT(10, 0, row.ProductType, 0, row.Build, "");
        EXPECT_EQ(row.Version, Name().Version) << "build " << row.Build << ", type " << (int)row.ProductType;
    }
}

// Windows 8 and later: the edition from GetProductInfo alone, the suffix, the real build.
TEST_F(OsName, NamesWindows8AndLaterEditionsByProductType)
{
    const struct {
        DWORD Major, Minor, Build;
        BYTE ProductType;
        DWORD Product;
        const char* Version;
        const char* Edition;  // before the suffix
    } rows[] = {
        {10, 0, 19045, VER_NT_WORKSTATION, 101, "10", "Home"},
        {10, 0, 19045, VER_NT_WORKSTATION, 100, "10", "Home"},
        {10, 0, 19045, VER_NT_WORKSTATION, 48, "10", "Pro"},
        {10, 0, 22631, VER_NT_WORKSTATION, 49, "11", "Pro"},
        {10, 0, 22631, VER_NT_WORKSTATION, 138, "11", "Pro"},
        {6, 3, 9600, VER_NT_WORKSTATION, 103, "8.1", "Pro with Media Center"},
        {10, 0, 19045, VER_NT_WORKSTATION, 164, "10", "Pro Education"},
        {10, 0, 22631, VER_NT_WORKSTATION, 161, "11", "Pro for Workstations"},
        {10, 0, 22631, VER_NT_WORKSTATION, 162, "11", "Pro for Workstations"},
        {6, 2, 9200, VER_NT_WORKSTATION, 4, "8", "Enterprise"},
        {10, 0, 19045, VER_NT_WORKSTATION, 27, "10", "Enterprise"},
        {10, 0, 19045, VER_NT_WORKSTATION, 72, "10", "Enterprise"},
        {10, 0, 19045, VER_NT_WORKSTATION, 171, "10", "Enterprise G"},
        {10, 0, 17763, VER_NT_WORKSTATION, 125, "10", "Enterprise LTSC"},
        {10, 0, 26100, VER_NT_WORKSTATION, 126, "11", "Enterprise LTSC"},
        {10, 0, 22631, VER_NT_WORKSTATION, 121, "11", "Education"},
        {10, 0, 22631, VER_NT_WORKSTATION, 122, "11", "Education"},
        {10, 0, 19045, VER_NT_WORKSTATION, 188, "10", "IoT Enterprise"},
        {10, 0, 26100, VER_NT_WORKSTATION, 191, "11", "IoT Enterprise LTSC"},
        {6, 2, 9200, VER_NT_SERVER, 7, "2012", "Server Standard"},
        {6, 3, 9600, VER_NT_SERVER, 79, "2012 R2", "Server Standard"},
        {10, 0, 14393, VER_NT_SERVER, 13, "2016", "Server Standard (Core)"},
        {10, 0, 26100, VER_NT_SERVER, 160, "2025", "Server Standard (Core)"},
        {10, 0, 17763, VER_NT_DOMAIN_CONTROLLER, 8, "2019", "Server Datacenter"},
        {10, 0, 20348, VER_NT_SERVER, 80, "2022", "Server Datacenter"},
        {10, 0, 20348, VER_NT_SERVER, 12, "2022", "Server Datacenter (Core)"},
        {10, 0, 17763, VER_NT_SERVER, 159, "2019", "Server Datacenter (Core)"},
        {10, 0, 20348, VER_NT_SERVER, 407, "2022", "Server Datacenter: Azure Edition"},
        {10, 0, 26100, VER_NT_SERVER, 408, "2025", "Server Datacenter: Azure Edition (Core)"},
        {10, 0, 14393, VER_NT_SERVER, 50, "2016", "Server Essentials"},
        {6, 2, 9200, VER_NT_SERVER, 33, "2012", "Server Foundation"},
        {6, 3, 9600, VER_NT_SERVER, 21, "2012 R2", "Storage Server Standard"},
        {10, 0, 14393, VER_NT_SERVER, 96, "2016", "Storage Server Standard"},
        {6, 3, 9600, VER_NT_SERVER, 22, "2012 R2", "Storage Server Workgroup"},
        {10, 0, 17763, VER_NT_SERVER, 42, "2019", "Hyper-V Server"},
        {6, 2, 9200, VER_NT_SERVER, 76, "2012", "MultiPoint Server Standard"},
        {6, 3, 9600, VER_NT_SERVER, 77, "2012 R2", "MultiPoint Server Premium"},
        // Editions of Vista and 7 only, and unknown ones, give no name.
        {10, 0, 18362, VER_NT_WORKSTATION, 28, "10", ""},
        {6, 3, 9600, VER_NT_WORKSTATION, 1, "8.1", ""},
        {10, 0, 20348, VER_NT_SERVER, 9, "2022", ""},
        {10, 0, 19045, VER_NT_WORKSTATION, 0, "10", ""},
        {11, 0, 30000, VER_NT_WORKSTATION, 48, "NT11.0", "Pro"},
    };
    for (const auto& row : rows) {
        for (WORD native : {kX86, kAmd64}) {
            SetNT(row.Major, row.Minor, row.ProductType, 0, row.Build, "");
            fake_.Version.wServicePackMajor = 0;
            fake_.ProductType = row.Product;
            fake_.NativeArchitecture = native;
            fake_.ProductInfoCalls.clear();
            // Only Vista and 7 read EditionID.
            SetString(kCurrentVersionNT, "EditionID", "Ultimate");
            Naming naming = Name();
            SCOPED_TRACE(testing::Message() << row.Major << "." << row.Minor << " build " << row.Build
                                            << ", product type " << row.Product << ", architecture " << native);
            EXPECT_TRUE(naming.Result);
            EXPECT_EQ(row.Version, naming.Version);
            EXPECT_EQ(std::string(row.Edition) + (native == kAmd64 ? " x64 Edition" : " Edition") + "  Build " +
                          std::to_string(row.Build),
                      naming.Edition);
            ASSERT_EQ(1u, fake_.ProductInfoCalls.size());
            EXPECT_EQ((std::vector<DWORD>{row.Major, row.Minor, 0, 0}), fake_.ProductInfoCalls[0]);
        }
    }
}

TEST_F(OsName, NamesServer2008EditionsByProductType)
{
    const struct {
        DWORD ProductType;
        const char* Name;      // minor 0
        const char* NameR2;    // minor 1, after "R2 "
    } rows[] = {
        {7, "Server Standard", "Server Standard"},
        {36, "Server Standard", "Server Standard"},
        {8, "Server Datacenter", "Server Datacenter"},
        {37, "Server Datacenter", "Server Datacenter"},
        {9, "Small Business Server", "Small Business Server 2011"},
        {24, "Small Business Server", "Small Business Server 2011"},
        {35, "Small Business Server", "Small Business Server 2011"},
        {10, "Server Enterprise", "Server Enterprise"},
        {38, "Server Enterprise", "Server Enterprise"},
        {12, "Server Datacenter (Core)", "Server Datacenter (Core)"},
        {39, "Server Datacenter (Core)", "Server Datacenter (Core)"},
        {13, "Server (Core) Standard", "Server (Core) Standard"},
        {40, "Server (Core) Standard", "Server (Core) Standard"},
        {14, "Server (Core) Enterprise", "Server (Core) Enterprise"},
        {41, "Server (Core) Enterprise", "Server (Core) Enterprise"},
        {15, "Server Enterprise for Itanium-based Systems", "Server Enterprise for Itanium-based Systems"},
        {17, "Web Server", "Web Server"},
        {18, "HPC Server", "HPC Server"},
        {19, "Server Home", "Server Home"},
        {20, "Storage Server Express", "Storage Server Express"},
        {21, "Storage Server Standard", "Storage Server Standard"},
        {22, "Storage Server Workgroup", "Storage Server Workgroup"},
        {23, "Storage Server Enterprise", "Storage Server Enterprise"},
        {25, "Small Business Server Premium", "Small Business Server Premium"},
        {29, "Web Server (Core)", "Web Server (Core)"},
        {30, "Essential Business Server Management Server", "Essential Business Server Management Server"},
        {31, "Essential Business Server Security Server", "Essential Business Server Security Server"},
        {32, "Essential Business Server Messaging Server", "Essential Business Server Messaging Server"},
        {33, "Server Foundation", "Server Foundation"},
        {42, "Hyper-V Server", "Hyper-V Server"},
        {50, "Small Business Server 2011 Essentials", "Small Business Server 2011 Essentials"},
        {0, "", ""},
        {1, "", ""},
        {11, "", ""},
        {16, "", ""},
        {28, "", ""},
        {43, "", ""},
        {51, "", ""},
    };
    for (const auto& row : rows) {
        for (DWORD minor : {0u, 1u}) {
            SetNT(6, minor, VER_NT_SERVER, 0, minor ? 7601 : 6002, minor ? "Service Pack 1" : "Service Pack 2");
            fake_.ProductType = row.ProductType;
            Naming naming = Name();
            SCOPED_TRACE(testing::Message() << "product type " << row.ProductType << ", minor " << minor);
            EXPECT_EQ("2008", naming.Version);
            EXPECT_EQ(minor ? std::string("R2 ") + row.NameR2 + " Edition Service Pack 1 Build 7601"
                            : std::string(row.Name) + " Edition Service Pack 2 Build 6002",
                      naming.Edition);
        }
    }

    // A domain controller is named like a server; a 64-bit machine through its native view.
    SetNT(6, 1, VER_NT_DOMAIN_CONTROLLER);
    fake_.ProductType = 8;
    fake_.NativeArchitecture = kAmd64;
    Naming naming = Name();
    EXPECT_EQ("2008", naming.Version);
    EXPECT_EQ("R2 Server Datacenter x64 Edition Service Pack 1 Build 7601", naming.Edition);
}

TEST_F(OsName, NamesServer2003Editions)
{
    const struct {
        WORD Suite;
        WORD Native;
        int ServerR2Metric;
        const char* ProductName;      // of CurrentVersion; null: none
        const char* SbsDisplayName;   // of the SBS 2003 R2 uninstall entry; null: none
        const char* Edition;          // before " Service Pack 2 Build 3790"
    } rows[] = {
        {0, kX86, 0, nullptr, nullptr, "Server Standard Edition"},
        {kEnterprise, kX86, 0, nullptr, nullptr, "Server Enterprise Edition"},
        {kDatacenter | kEnterprise, kX86, 0, nullptr, nullptr, "Server Datacenter Edition"},
        {kBlade, kX86, 0, nullptr, nullptr, "Server Web Edition"},
        {kEnterprise | kBlade, kX86, 0, nullptr, nullptr, "Server Enterprise Edition"},
        {kSmallBusiness, kX86, 0, nullptr, nullptr, "Small Business Server"},
        {kStorageServer, kX86, 0, nullptr, nullptr, "Storage Server"},
        {kSmallBusiness | kStorageServer, kX86, 0, nullptr, nullptr, "Small Business Server"},
        {kSmallBusiness | kEnterprise, kX86, 0, nullptr, nullptr, "Small Business Server Enterprise Edition"},
        {0, kAmd64, 0, nullptr, nullptr, "Server Standard x64 Edition"},
        {kEnterprise, kAmd64, 0, nullptr, nullptr, "Server Enterprise x64 Edition"},
        {kDatacenter | kEnterprise, kAmd64, 0, nullptr, nullptr, "Server Datacenter x64 Edition"},
        {kBlade, kAmd64, 0, nullptr, nullptr, "Server Standard x64 Edition"},
        {kSmallBusiness, kAmd64, 0, nullptr, nullptr, "Small Business Server Standard x64 Edition"},
        {0, kIa64, 0, nullptr, nullptr, "Server"},
        {kDatacenter, kIa64, 0, nullptr, nullptr, "Server Datacenter Edition for Itanium-based Systems"},
        {kEnterprise, kIa64, 0, nullptr, nullptr, "Server Enterprise Edition for Itanium-based Systems"},
        {kEnterprise, kAmd64, 1, nullptr, nullptr, "Server R2 Enterprise x64 Edition"},
        {0, kX86, 0, "Microsoft Windows Server 2003 R2", nullptr, "Server R2 Standard Edition"},
        {0, kX86, 0, "Microsoft Windows Server 2003 r2", nullptr, "Server Standard Edition"},
        {kStorageServer, kX86, 1, nullptr, nullptr, "Storage Server R2"},
        {kStorageServer, kX86, 0, "Storage Server 2003 R2", nullptr, "Storage Server R2"},
        {kSmallBusiness, kX86, 1, nullptr, nullptr, "Small Business Server R2"},
        {kSmallBusiness, kX86, 0, "Windows Server 2003 R2", nullptr, "Small Business Server"},
        {kSmallBusiness, kX86, 0, nullptr, "Small Business Server 2003 R2", "Small Business Server R2"},
        {0, kX86, 0, nullptr, "Small Business Server 2003 R2", "Server Standard Edition"},
    };
    for (const auto& row : rows) {
        for (BYTE productType : {VER_NT_SERVER, VER_NT_DOMAIN_CONTROLLER}) {
            SetNT(5, 2, productType, row.Suite, 3790, "Service Pack 2");
            fake_.NativeArchitecture = row.Native;
            fake_.Metrics = {{kServerR2, row.ServerR2Metric}};
            fake_.Keys.clear();
            if (row.ProductName)
                SetString(kCurrentVersionNT, "ProductName", row.ProductName);
            if (row.SbsDisplayName)
                SetString(kSbsUninstall, "DisplayName", row.SbsDisplayName);
            Naming naming = Name();
            SCOPED_TRACE(testing::Message() << "suite 0x" << std::hex << row.Suite << ", architecture "
                                            << std::dec << row.Native << ", type " << (int)productType);
            EXPECT_EQ("2003", naming.Version);
            EXPECT_EQ(std::string(row.Edition) + " Service Pack 2 Build 3790", naming.Edition);
        }
    }

    // Only a REG_SZ product name counts, and without GetNativeSystemInfo the 32-bit view stays.
    SetNT(5, 2, VER_NT_SERVER, 0, 3790, "Service Pack 2");
    fake_.Keys.clear();
    SetValue(kCurrentVersionNT, "ProductName", REG_EXPAND_SZ, std::string("R2", 3));
    fake_.NativeArchitecture = kAmd64;
    fake_.HasGetNativeSystemInfo = false;
    EXPECT_EQ("Server Standard Edition Service Pack 2 Build 3790", Name().Edition);
}

TEST_F(OsName, NamesXpEditions)
{
    const struct {
        std::map<int, int> Metrics;
        WORD Suite;
        const char* Name;
    } rows[] = {
        {{{kMediaCenter, 1}, {kStarter, 1}, {kTabletPC, 1}}, kPersonal, "Media Center"},
        {{{kStarter, 1}, {kTabletPC, 1}}, kPersonal, "Starter"},
        {{{kTabletPC, 1}}, kPersonal, "Tablet PC"},
        {{}, kPersonal | kEmbeddedNT, "Home"},
        {{}, kEmbeddedNT, "Embedded"},
        {{}, 0, "Professional"},
        {{{kServerR2, 1}}, kEnterprise, "Professional"},
    };
    for (const auto& row : rows) {
        SetNT(5, 1, VER_NT_WORKSTATION, row.Suite, 2600, "Service Pack 3");
        fake_.Metrics = row.Metrics;
        // XP's own view: a 64-bit processor never shows here.
        fake_.NativeArchitecture = kAmd64;
        Naming naming = Name();
        EXPECT_EQ("XP", naming.Version);
        EXPECT_EQ(std::string(row.Name) + " Edition Service Pack 3 Build 2600", naming.Edition);
    }

    SetNT(5, 1, VER_NT_WORKSTATION, 0, 2600, "");
    fake_.Metrics.clear();
    EXPECT_EQ("Professional Edition  Build 2600", Name().Edition) << "two blanks without a service pack";

    // XP x64 is 5.2 as a workstation: always Professional, with the machine's own architecture.
    SetNT(5, 2, VER_NT_WORKSTATION, kPersonal, 3790, "Service Pack 2");
    fake_.Metrics = {{kMediaCenter, 1}};
    fake_.NativeArchitecture = kAmd64;
    Naming xp64 = Name();
    EXPECT_EQ("XP", xp64.Version);
    EXPECT_EQ("Professional x64 Edition Service Pack 2 Build 3790", xp64.Edition);
}

TEST_F(OsName, NamesWindows2000AndOlderEditions)
{
    const struct {
        DWORD Major, Minor;
        BYTE ProductType;
        WORD Suite;
        const char* Edition;  // before the service pack and build
    } rows[] = {
        {5, 0, VER_NT_WORKSTATION, 0, "Professional Edition"},
        {5, 0, VER_NT_WORKSTATION, kPersonal, "Home Edition"},
        {5, 0, VER_NT_SERVER, kDatacenter | kEnterprise | kSmallBusiness, "Datacenter Server"},
        {5, 0, VER_NT_SERVER, kEnterprise | kSmallBusiness, "Advanced Server"},
        {5, 0, VER_NT_DOMAIN_CONTROLLER, kSmallBusiness, "Small Business Server"},
        {5, 0, VER_NT_SERVER, kTerminal, "Server"},
        {5, 0, 0, kPersonal, ""},
        {5, 3, VER_NT_WORKSTATION, 0, " Edition"},
        {5, 1, VER_NT_SERVER, kTerminal | kEnterprise, "Terminal Server"},
        {4, 0, VER_NT_SERVER, kTerminal | kEnterprise, "Terminal Server"},
        {4, 0, VER_NT_SERVER, kEnterprise, "Server, Enterprise Edition"},
        {4, 0, VER_NT_DOMAIN_CONTROLLER, 0, "Server"},
        {4, 0, VER_NT_WORKSTATION, kPersonal, "Workstation"},
        {6, 1, 0, 0, ""},
    };
    for (const auto& row : rows) {
        SetNT(row.Major, row.Minor, row.ProductType, row.Suite, 0x00050565, "Service Pack 5");
        SCOPED_TRACE(testing::Message() << row.Major << "." << row.Minor << " type " << (int)row.ProductType);
        EXPECT_EQ(std::string(row.Edition) + " Service Pack 5 Build 1381", Name().Edition)
            << "the build is the low word";
    }
}

TEST_F(OsName, NamesNT4ServicePack6a)
{
    const struct {
        DWORD Major;
        const char* ServicePack;
        bool HotfixKey;
        const char* Edition;
    } rows[] = {
        {4, "Service Pack 6", true, "Workstation Service Pack 6a Build 1381"},
        {4, "SERVICE PACK 6", true, "Workstation Service Pack 6a Build 1381"},
        {4, "Service Pack 6", false, "Workstation Service Pack 6 Build 1381"},
        {4, "Service Pack 6a", true, "Workstation Service Pack 6a Build 1381"},
        {4, "Service Pack 5", true, "Workstation Service Pack 5 Build 1381"},
        {5, "Service Pack 6", true, "Professional Edition Service Pack 6 Build 1381"},
    };
    for (const auto& row : rows) {
        SetNT(row.Major, 0, VER_NT_WORKSTATION, 0, 1381, row.ServicePack);
        fake_.Keys.clear();
        if (row.HotfixKey)
            fake_.Keys[kHotfixQ246009];
        EXPECT_EQ(row.Edition, Name().Edition) << row.ServicePack << (row.HotfixKey ? " with" : " without") << " the key";
    }
}

TEST_F(OsName, NamesNT4BeforeServicePack6FromTheRegistry)
{
    const struct {
        bool Key;
        const char* Value;  // null: no value
        size_t Size;        // bytes stored (0: the text and its terminator)
        bool Result;
        const char* Edition;
    } rows[] = {
        {true, "WinNT", 0, true, "Workstation Service Pack 5 Build 1381"},
        {true, "LANMANNT", 0, true, "Server Service Pack 5 Build 1381"},
        {true, "ServerNt", 0, true, "Advanced Server Service Pack 5 Build 1381"},
        {true, "Other", 0, true, " Service Pack 5 Build 1381"},
        {true, "WinNT", 5, true, "Workstation Service Pack 5 Build 1381"},  // no terminator stored
        {true, nullptr, 0, false, ""},
        {false, nullptr, 0, false, ""},
        {true, "", 260, true, " Service Pack 5 Build 1381"},
        {true, "", 261, false, ""},
    };
    for (const auto& row : rows) {
        SetNT(4, 0, VER_NT_WORKSTATION, 0, 1381, "Service Pack 5");
        fake_.RefuseExtended = true;
        fake_.Keys.clear();
        if (row.Key)
            fake_.Keys[kProductOptions];
        if (row.Value) {
            std::string data = row.Size ? std::string(row.Size, 'W') : std::string(row.Value) + '\0';
            if (row.Size && *row.Value)
                data = std::string(row.Value, row.Size);
            SetValue(kProductOptions, "ProductType", REG_SZ, data);
        }
        Naming naming = Name();
        SCOPED_TRACE(testing::Message() << (row.Value ? row.Value : "(none)") << " " << row.Size);
        EXPECT_EQ(row.Result, naming.Result);
        if (row.Result) {
            EXPECT_EQ("NT4", naming.Version);
            EXPECT_EQ(row.Edition, naming.Edition);
        }
    }
}

TEST_F(OsName, FailsWithoutAVersionRecord)
{
    SetNT(6, 1, VER_NT_WORKSTATION);
    fake_.RefuseExtended = true;
    fake_.RefuseBasic = true;
    char version[kOsNameChars] = "stale";
    char edition[kOsNameChars] = "stale";
    EXPECT_FALSE(GetOsName(version, edition));
    EXPECT_STREQ("", version);
    EXPECT_STREQ("", edition);

    EXPECT_FALSE(GetOsName(nullptr, edition));
    EXPECT_FALSE(GetOsName(version, nullptr));
}

TEST_F(OsName, ReadRegistryValueKeepsItsBufferTerminated)
{
    const char key[] = "software\\xatest";
    SetString(key, "Text", "abc");
    SetValue(key, "Number", REG_DWORD, std::string("\x2A\0\0\0", 4));
    SetValue(key, "Fits", REG_BINARY, std::string(7, 'F'));
    SetValue(key, "Full", REG_BINARY, std::string(8, 'F'));

    char buffer[8];
    DWORD size, type;
    auto read = [&](const char* path, const char* name) {
        memset(buffer, 'Z', sizeof(buffer));
        size = sizeof(buffer);
        type = 0xDEAD;
        return ReadRegistryValue(path, name, buffer, &size, &type);
    };

    EXPECT_EQ(ERROR_INVALID_PARAMETER, read(key, nullptr));
    EXPECT_TRUE(fake_.OpenAccess.empty()) << "nothing is opened without a value name";
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read("software\\missing", "Text"));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, read(key, "Missing"));
    EXPECT_EQ(std::string(8, '\0'), std::string(buffer, 8)) << "the buffer is cleared";

    EXPECT_EQ(0, read(key, "Text"));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("abc", buffer);

    EXPECT_EQ(0, read(key, "Number"));
    EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);
    EXPECT_EQ(4u, size);
    EXPECT_EQ(42, buffer[0]);

    EXPECT_EQ(0, read(key, "Fits"));
    EXPECT_EQ(7u, size);
    EXPECT_EQ('\0', buffer[7]);
    EXPECT_EQ(ERROR_MORE_DATA, read(key, "Full")) << "a value that leaves no room for the terminator";

    size = sizeof(buffer);
    EXPECT_EQ(0, ReadRegistryValue(key, "Text", buffer, &size, nullptr));
    for (REGSAM access : fake_.OpenAccess)
        EXPECT_EQ(static_cast<REGSAM>(KEY_READ), access);
}
