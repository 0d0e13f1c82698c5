#include "support/OsName.h"

#include <string.h>

#include "support/Text.h"

const OsNameCalls kSystemOsNameCalls = {
    GetVersionExA, GetSystemInfo, GetSystemMetrics, GetModuleHandleA,
    GetProcAddress, RegOpenKeyExA, RegQueryValueExA, RegCloseKey,
};

OsNameCalls gOsNameCalls = kSystemOsNameCalls;

namespace {

typedef void(WINAPI* GetNativeSystemInfoFn)(SYSTEM_INFO* info);
typedef BOOL(WINAPI* GetProductInfoFn)(DWORD major, DWORD minor, DWORD servicePackMajor,
                                       DWORD servicePackMinor, DWORD* productType);

// Values of the version record and of GetSystemMetrics; older headers lack some of them.
enum : WORD {
    kSuiteEnterprise = 0x0002,
    kSuiteTerminal = 0x0010,
    kSuiteSmallBusiness = 0x0020,
    kSuiteEmbeddedNT = 0x0040,
    kSuiteDatacenter = 0x0080,
    kSuitePersonal = 0x0200,
    kSuiteBlade = 0x0400,
    kSuiteStorageServer = 0x2000,
};
enum { kMetricTabletPC = 86, kMetricMediaCenter = 87, kMetricStarter = 88, kMetricServerR2 = 89 };
enum : WORD { kArchitectureIA64 = 6, kArchitectureAMD64 = 9 };

const char kCurrentVersionNTKey[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";
const char kSbs2003R2Key[] =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\Small Business Server 2003 R2";
const char kProductOptionsKey[] = "SYSTEM\\CurrentControlSet\\Control\\ProductOptions";
const char kSp6aHotfixKey[] = "SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Hotfix\\Q246009";

struct ProductName {
    DWORD ProductType;  // a PRODUCT_* value of GetProductInfo
    const char* Name;
};

const char kProfessional[] = "Professional";

const ProductName kWorkstationProducts[] = {
    {1, "Ultimate"},     {28, "Ultimate"},     {71, "Ultimate"},
    {2, "Home Basic"},   {5, "Home Basic"},    {67, "Home Basic"},
    {3, "Home Premium"}, {26, "Home Premium"}, {68, "Home Premium"},
    {4, "Enterprise"},   {27, "Enterprise"},   {70, "Enterprise"},
    {6, "Business"},     {16, "Business"},
    {11, "Starter"},     {47, "Starter"},      {66, "Starter"},
    {48, kProfessional}, {49, kProfessional},  {69, kProfessional},
};

const char kSmallBusinessServer[] = "Small Business Server";

const ProductName kServerProducts[] = {
    {7, "Server Standard"},
    {36, "Server Standard"},
    {8, "Server Datacenter"},
    {37, "Server Datacenter"},
    {9, kSmallBusinessServer},
    {24, kSmallBusinessServer},
    {35, kSmallBusinessServer},
    {10, "Server Enterprise"},
    {38, "Server Enterprise"},
    {12, "Server Datacenter (Core)"},
    {39, "Server Datacenter (Core)"},
    {13, "Server (Core) Standard"},
    {40, "Server (Core) Standard"},
    {14, "Server (Core) Enterprise"},
    {41, "Server (Core) Enterprise"},
    {15, "Server Enterprise for Itanium-based Systems"},
    {17, "Web Server"},
    {18, "HPC Server"},
    {19, "Server Home"},
    {20, "Storage Server Express"},
    {21, "Storage Server Standard"},
    {22, "Storage Server Workgroup"},
    {23, "Storage Server Enterprise"},
    {25, "Small Business Server Premium"},
    {29, "Web Server (Core)"},
    {30, "Essential Business Server Management Server"},
    {31, "Essential Business Server Security Server"},
    {32, "Essential Business Server Messaging Server"},
    {33, "Server Foundation"},
    {42, "Hyper-V Server"},
    {50, "Small Business Server 2011 Essentials"},
};

// Windows 8 / Server 2012 and later; N, single-language, evaluation and similar variants carry
// the name of their edition.
const ProductName kLaterProducts[] = {
    {101, "Home"},
    {98, "Home"},
    {99, "Home"},
    {100, "Home"},
    {48, "Pro"},
    {49, "Pro"},
    {138, "Pro"},
    {139, "Pro"},
    {103, "Pro with Media Center"},
    {164, "Pro Education"},
    {165, "Pro Education"},
    {161, "Pro for Workstations"},
    {162, "Pro for Workstations"},
    {4, "Enterprise"},
    {27, "Enterprise"},
    {72, "Enterprise"},
    {84, "Enterprise"},
    {171, "Enterprise G"},
    {172, "Enterprise G"},
    {125, "Enterprise LTSC"},
    {126, "Enterprise LTSC"},
    {129, "Enterprise LTSC"},
    {130, "Enterprise LTSC"},
    {121, "Education"},
    {122, "Education"},
    {188, "IoT Enterprise"},
    {191, "IoT Enterprise LTSC"},
    {7, "Server Standard"},
    {79, "Server Standard"},
    {13, "Server Standard (Core)"},
    {160, "Server Standard (Core)"},
    {8, "Server Datacenter"},
    {80, "Server Datacenter"},
    {12, "Server Datacenter (Core)"},
    {159, "Server Datacenter (Core)"},
    {407, "Server Datacenter: Azure Edition"},
    {408, "Server Datacenter: Azure Edition (Core)"},
    {50, "Server Essentials"},
    {33, "Server Foundation"},
    {21, "Storage Server Standard"},
    {96, "Storage Server Standard"},
    {22, "Storage Server Workgroup"},
    {95, "Storage Server Workgroup"},
    {42, "Hyper-V Server"},
    {76, "MultiPoint Server Standard"},
    {77, "MultiPoint Server Premium"},
};

struct EditionId {
    const char* Value;  // of "EditionID", compared without regard to case
    const char* Name;
};

const EditionId kEditionIds[] = {
    {"Ultimate", "Ultimate"},        {"Enterprise", "Enterprise"},   {"Business", "Business"},
    {"HomePremium", "Home Premium"}, {"HomeBasic", "Home Basic"},    {"Starter", "Starter"},
    {"Professional", kProfessional},
};

template <typename Function>
Function FindKernelFunction(const char* name)
{
    HMODULE kernel = gOsNameCalls.GetModuleHandleA("kernel32.dll");
    if (!kernel)
        return nullptr;
    FARPROC function = gOsNameCalls.GetProcAddress(kernel, name);
    return reinterpret_cast<Function>(reinterpret_cast<void*>(function));
}

// The product type from GetProductInfo, or 0 when the function is missing or fails.
DWORD QueryProductType(const OSVERSIONINFOEXA* info)
{
    GetProductInfoFn getProductInfo = FindKernelFunction<GetProductInfoFn>("GetProductInfo");
    DWORD productType = 0;
    if (!getProductInfo ||
        !getProductInfo(info->dwMajorVersion, info->dwMinorVersion, info->wServicePackMajor,
                        info->wServicePackMinor, &productType))
        return 0;
    return productType;
}

const char* FindProductName(const ProductName* table, size_t count, DWORD productType)
{
    for (size_t i = 0; i < count; ++i) {
        if (table[i].ProductType == productType)
            return table[i].Name;
    }
    return "";
}

// A REG_SZ value under HKEY_LOCAL_MACHINE of at least one byte, terminated in buffer.
bool ReadRegistryText(const char* keyPath, const char* valueName, char* buffer, DWORD size)
{
    DWORD type = 0;
    return ReadRegistryValue(keyPath, valueName, buffer, &size, &type) == 0 && type == REG_SZ &&
           size >= 1;
}

bool KeyExists(const char* keyPath)
{
    HKEY key = nullptr;
    if (gOsNameCalls.RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_QUERY_VALUE, &key) !=
        ERROR_SUCCESS)
        return false;
    gOsNameCalls.RegCloseKey(key);
    return true;
}

// "ProductType" of the product options (Windows NT before the extended version record);
// false when it cannot be read or does not fit.
bool ReadNTProductType(char* productType, DWORD size)
{
    HKEY key = nullptr;
    if (gOsNameCalls.RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductOptionsKey, 0, KEY_QUERY_VALUE,
                                   &key) != ERROR_SUCCESS)
        return false;
    memset(productType, 0, size);
    DWORD dataSize = size - 1;  // keep a terminator whatever the value holds
    LONG status = gOsNameCalls.RegQueryValueExA(key, "ProductType", nullptr, nullptr,
                                                reinterpret_cast<BYTE*>(productType), &dataSize);
    gOsNameCalls.RegCloseKey(key);
    return status == ERROR_SUCCESS;
}

void AppendArchitectureSuffix(char* edition, WORD architecture)
{
    AppendText(edition, kOsNameChars,
               architecture == kArchitectureAMD64 ? " x64 Edition" : " Edition");
}

// Windows Server 2003 without its architecture and edition words.
void Get2003BaseEdition(const OSVERSIONINFOEXA* info, char* edition)
{
    if (info->wSuiteMask & kSuiteSmallBusiness) {
        CopyText(edition, kOsNameChars, "Small Business Server");
        if (IsServerR2(true))
            AppendText(edition, kOsNameChars, " R2");
        return;
    }
    CopyText(edition, kOsNameChars,
             (info->wSuiteMask & kSuiteStorageServer) ? "Storage Server" : "Server");
    if (IsServerR2(false))
        AppendText(edition, kOsNameChars, " R2");
}

const char* Get2003EditionWord(WORD suite, WORD architecture)
{
    if (architecture == kArchitectureIA64) {
        if (suite & kSuiteDatacenter)
            return " Datacenter Edition for Itanium-based Systems";
        if (suite & kSuiteEnterprise)
            return " Enterprise Edition for Itanium-based Systems";
        return "";
    }
    if (architecture == kArchitectureAMD64) {
        if (suite & kSuiteDatacenter)
            return " Datacenter x64 Edition";
        if (suite & kSuiteEnterprise)
            return " Enterprise x64 Edition";
        return " Standard x64 Edition";
    }
    if (suite & kSuiteDatacenter)
        return " Datacenter Edition";
    if (suite & kSuiteEnterprise)
        return " Enterprise Edition";
    if (suite & kSuiteBlade)
        return " Web Edition";
    if (suite & (kSuiteSmallBusiness | kSuiteStorageServer))
        return "";
    return " Standard Edition";
}

// Windows 95, 98 and Me.
void Name9x(const OSVERSIONINFOEXA* info, char* version, char* edition)
{
    if (info->dwMajorVersion != 4)
        return;
    // The second character of the service text marks the OSR2 and SE releases (" C", " A").
    char release = info->szCSDVersion[0] ? info->szCSDVersion[1] : '\0';
    int build = (int)info->dwBuildNumber;
    switch (info->dwMinorVersion) {
    case 0:
        CopyText(version, kOsNameChars, "95");
        if (release == 'C' || release == 'B')
            FormatText(edition, kOsNameChars, "OSR2 Build %d", build);
        else
            FormatText(edition, kOsNameChars, "Build %d %s", build, info->szCSDVersion);
        break;
    case 10:
        CopyText(version, kOsNameChars, "98");
        if (release == 'A' || release == 'B')
            FormatText(edition, kOsNameChars, "SE Build %d", build);
        else
            FormatText(edition, kOsNameChars, "Build %d %s", build, info->szCSDVersion);
        break;
    case 90:
        CopyText(version, kOsNameChars, "Me");
        FormatText(edition, kOsNameChars, "Build %d %s", build, info->szCSDVersion);
        break;
    default:
        break;
    }
}

// Windows 8 / Server 2012 and later, which Windows reports as itself only to a program whose
// manifest names it.
bool IsNT62OrLater(const OSVERSIONINFOEXA* info)
{
    return info->dwMajorVersion > 6 || (info->dwMajorVersion == 6 && info->dwMinorVersion >= 2);
}

// The version word of NT 6.2 and later; 10.0 tells its releases apart only by the build. Null
// for a version the naming does not know.
const char* GetLaterVersionWord(const OSVERSIONINFOEXA* info)
{
    bool workstation = info->wProductType == VER_NT_WORKSTATION;
    DWORD build = LOWORD(info->dwBuildNumber);
    if (info->dwMajorVersion == 6 && info->dwMinorVersion == 2)
        return workstation ? "8" : "2012";
    if (info->dwMajorVersion == 6 && info->dwMinorVersion == 3)
        return workstation ? "8.1" : "2012 R2";
    if (info->dwMajorVersion != 10 || info->dwMinorVersion != 0)
        return nullptr;
    if (workstation)
        return build < 22000 ? "10" : "11";
    return build < 17763 ? "2016" : build < 20348 ? "2019" : build < 26100 ? "2022" : "2025";
}

// The version word of Windows NT; may also start the edition and refine the architecture.
void NameNTVersion(const OSVERSIONINFOEXA* info, SYSTEM_INFO* system, char* version,
                   char* edition)
{
    DWORD major = info->dwMajorVersion;
    DWORD minor = info->dwMinorVersion;
    bool workstation = info->wProductType == VER_NT_WORKSTATION;
    bool nativeArchitecture = false;
    if (IsNT62OrLater(info)) {
        const char* word = GetLaterVersionWord(info);
        if (word)
            CopyText(version, kOsNameChars, word);
        else
            FormatText(version, kOsNameChars, "NT%d.%d", (int)major, (int)minor);
        nativeArchitecture = true;
    } else if (major == 6) {
        CopyText(version, kOsNameChars, !workstation ? "2008" : minor == 0 ? "Vista" : "7");
        nativeArchitecture = true;
    } else if (major == 5 && minor == 2) {
        if (workstation) {
            CopyText(version, kOsNameChars, "XP");
            CopyText(edition, kOsNameChars, kProfessional);
        } else {
            CopyText(version, kOsNameChars, "2003");
            Get2003BaseEdition(info, edition);
        }
        nativeArchitecture = true;
    } else if (major == 5 && minor == 1) {
        CopyText(version, kOsNameChars, "XP");
    } else if (major == 5 && minor == 0) {
        CopyText(version, kOsNameChars, "2000");
    } else if (major == 4 && minor == 0) {
        CopyText(version, kOsNameChars, "NT4");
    } else {
        FormatText(version, kOsNameChars, "NT%d.%d", (int)major, (int)minor);
    }
    // A 32-bit program sees an x86 processor through GetSystemInfo on 64-bit Windows.
    if (nativeArchitecture) {
        GetNativeSystemInfoFn getNative =
            FindKernelFunction<GetNativeSystemInfoFn>("GetNativeSystemInfo");
        if (getNative)
            getNative(system);
    }
}

void NameNTWorkstationEdition(const OSVERSIONINFOEXA* info, WORD architecture, char* edition)
{
    DWORD major = info->dwMajorVersion;
    DWORD minor = info->dwMinorVersion;
    if (IsNT62OrLater(info)) {
        CopyText(edition, kOsNameChars, GetLaterProductName(info));
    } else if (major == 6) {
        const char* name = GetWorkstationProductName(info);
        if (*name)
            CopyText(edition, kOsNameChars, name);
    } else if (major == 5 && minor == 1) {
        const char* name = GetXpEditionName(info);
        if (*name)
            CopyText(edition, kOsNameChars, name);
    } else if (major == 5 && minor == 0) {
        CopyText(edition, kOsNameChars,
                 (info->wSuiteMask & kSuitePersonal) ? "Home" : kProfessional);
    } else if (major < 5) {
        CopyText(edition, kOsNameChars, "Workstation");
        return;
    }
    AppendArchitectureSuffix(edition, architecture);
}

void NameNTServerEdition(const OSVERSIONINFOEXA* info, WORD architecture, char* edition)
{
    DWORD major = info->dwMajorVersion;
    DWORD minor = info->dwMinorVersion;
    WORD suite = info->wSuiteMask;
    if (IsNT62OrLater(info)) {
        CopyText(edition, kOsNameChars, GetLaterProductName(info));
        AppendArchitectureSuffix(edition, architecture);
    } else if (major == 6) {
        CopyText(edition, kOsNameChars, minor == 1 ? "R2 " : "");
        AppendText(edition, kOsNameChars, GetServerProductName(info));
        AppendArchitectureSuffix(edition, architecture);
    } else if (major == 5 && minor == 2) {
        // The base is already there from the version word.
        AppendText(edition, kOsNameChars, Get2003EditionWord(suite, architecture));
    } else if (major == 5 && minor == 0) {
        CopyText(edition, kOsNameChars,
                 (suite & kSuiteDatacenter)      ? "Datacenter Server"
                 : (suite & kSuiteEnterprise)    ? "Advanced Server"
                 : (suite & kSuiteSmallBusiness) ? "Small Business Server"
                                                 : "Server");
    } else {
        CopyText(edition, kOsNameChars,
                 (suite & kSuiteTerminal)     ? "Terminal Server"
                 : (suite & kSuiteEnterprise) ? "Server, Enterprise Edition"
                                              : "Server");
    }
}

// Windows NT 4 before Service Pack 6 has only the basic record: the product type is in the
// registry. False when it cannot be read.
bool NameNTEditionFromRegistry(char* edition)
{
    char productType[kOsNameChars + 1];
    if (!ReadNTProductType(productType, sizeof(productType)))
        return false;
    if (lstrcmpiA(productType, "WINNT") == 0)
        CopyText(edition, kOsNameChars, "Workstation");
    else if (lstrcmpiA(productType, "LANMANNT") == 0)
        CopyText(edition, kOsNameChars, "Server");
    else if (lstrcmpiA(productType, "SERVERNT") == 0)
        CopyText(edition, kOsNameChars, "Advanced Server");
    return true;
}

void AppendServicePackAndBuild(const OSVERSIONINFOEXA* info, char* edition)
{
    char tail[kOsNameChars];
    int build = (int)LOWORD(info->dwBuildNumber);
    // NT 4 SP6a reports itself as SP6; its hotfix key tells them apart.
    if (info->dwMajorVersion == 4 && lstrcmpiA(info->szCSDVersion, "Service Pack 6") == 0 &&
        KeyExists(kSp6aHotfixKey))
        FormatText(tail, sizeof(tail), " Service Pack 6a Build %d", build);
    else
        FormatText(tail, sizeof(tail), " %s Build %d", info->szCSDVersion, build);
    AppendText(edition, kOsNameChars, tail);
}

}  // namespace

int ReadRegistryValue(const char* keyPath, const char* valueName, void* buffer, DWORD* size,
                      DWORD* type)
{
    if (!valueName)
        return ERROR_INVALID_PARAMETER;
    HKEY key = nullptr;
    LONG opened = gOsNameCalls.RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key);
    if (opened != ERROR_SUCCESS)
        return (int)opened;
    memset(buffer, 0, *size);
    DWORD dataSize = *size ? *size - 1 : 0;
    DWORD dataType = 0;
    LONG status = gOsNameCalls.RegQueryValueExA(key, valueName, nullptr, &dataType,
                                                static_cast<BYTE*>(buffer), &dataSize);
    gOsNameCalls.RegCloseKey(key);
    if (status != ERROR_SUCCESS)
        return (int)status;
    *size = dataSize;
    if (type)
        *type = dataType;
    return 0;
}

const char* GetXpEditionName(const OSVERSIONINFOEXA* info)
{
    if (gOsNameCalls.GetSystemMetrics(kMetricMediaCenter))
        return "Media Center";
    if (gOsNameCalls.GetSystemMetrics(kMetricStarter))
        return "Starter";
    if (gOsNameCalls.GetSystemMetrics(kMetricTabletPC))
        return "Tablet PC";
    if (info->wSuiteMask & kSuitePersonal)
        return "Home";
    if (!(info->wSuiteMask & kSuiteEmbeddedNT))
        return kProfessional;
    return "Embedded";
}

const char* GetEditionIdName(DWORD minorVersion)
{
    char editionId[kOsNameChars];
    if (!ReadRegistryText(kCurrentVersionNTKey, "EditionID", editionId, sizeof(editionId)))
        return "";
    for (const EditionId& entry : kEditionIds) {
        if (lstrcmpiA(editionId, entry.Value) != 0)
            continue;
        // Vista has no Professional edition; its Business edition is named on its own.
        if (entry.Name == kProfessional && minorVersion == 0)
            return "";
        return entry.Name;
    }
    return "";
}

const char* GetWorkstationProductName(const OSVERSIONINFOEXA* info)
{
    const char* name = FindProductName(kWorkstationProducts, ARRAYSIZE(kWorkstationProducts),
                                       QueryProductType(info));
    if (name == kProfessional && info->dwMinorVersion == 0)
        name = "";
    const char* editionIdName = GetEditionIdName(info->dwMinorVersion);
    return *editionIdName ? editionIdName : name;
}

const char* GetServerProductName(const OSVERSIONINFOEXA* info)
{
    const char* name = FindProductName(kServerProducts, ARRAYSIZE(kServerProducts),
                                       QueryProductType(info));
    if (name == kSmallBusinessServer && info->dwMinorVersion == 1)
        return "Small Business Server 2011";
    return name;
}

const char* GetLaterProductName(const OSVERSIONINFOEXA* info)
{
    return FindProductName(kLaterProducts, ARRAYSIZE(kLaterProducts), QueryProductType(info));
}

bool IsServerR2(bool smallBusinessServer)
{
    if (gOsNameCalls.GetSystemMetrics(kMetricServerR2))
        return true;
    char name[512];
    bool read = smallBusinessServer
                    ? ReadRegistryText(kSbs2003R2Key, "DisplayName", name, sizeof(name))
                    : ReadRegistryText(kCurrentVersionNTKey, "ProductName", name, sizeof(name));
    return read && strstr(name, "R2") != nullptr;
}

bool GetOsName(char* version, char* edition)
{
    if (!version || !edition)
        return false;
    version[0] = '\0';
    edition[0] = '\0';

    SYSTEM_INFO system;
    memset(&system, 0, sizeof(system));
    gOsNameCalls.GetSystemInfo(&system);

    OSVERSIONINFOEXA info;
    memset(&info, 0, sizeof(info));
    info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOEXA);
    bool extended = gOsNameCalls.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)) != FALSE;
    if (!extended) {
        memset(&info, 0, sizeof(info));
        info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        if (!gOsNameCalls.GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)))
            return false;
    }
    // The service text must end inside its array whatever the system wrote.
    info.szCSDVersion[sizeof(info.szCSDVersion) - 1] = '\0';

    switch (info.dwPlatformId) {
    case VER_PLATFORM_WIN32s:
        CopyText(version, kOsNameChars, "Win32s");
        FormatText(edition, kOsNameChars, "Build %d %s", (int)info.dwBuildNumber,
                   info.szCSDVersion);
        return true;
    case VER_PLATFORM_WIN32_WINDOWS:
        Name9x(&info, version, edition);
        return true;
    case VER_PLATFORM_WIN32_NT:
        break;
    default:
        return true;
    }

    NameNTVersion(&info, &system, version, edition);
    if (extended) {
        if (info.wProductType == VER_NT_WORKSTATION)
            NameNTWorkstationEdition(&info, system.wProcessorArchitecture, edition);
        else if (info.wProductType == VER_NT_SERVER ||
                 info.wProductType == VER_NT_DOMAIN_CONTROLLER)
            NameNTServerEdition(&info, system.wProcessorArchitecture, edition);
    } else if (!NameNTEditionFromRegistry(edition)) {
        return false;
    }
    AppendServicePackAndBuild(&info, edition);
    return true;
}
