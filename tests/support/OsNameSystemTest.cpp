// Operating-system naming and the 64-bit question with the real system calls, in each Windows
// version mode of the harness: the texts must be what the naming tables give for what that mode
// reports (Wine answers GetProductInfo with 28 for workstations and 7 for servers, all metrics
// with 0, and has no EditionID until a test writes one).
#include <gtest/gtest.h>

#include <map>

#include "harness/TestSupport.h"
#include "support/FolderRedirection.h"
#include "support/OsName.h"
#include "support/WindowsVersion.h"

using namespace xatest;

namespace {

const char kCurrentVersionNT[] = "Software\\Microsoft\\Windows NT\\CurrentVersion";

struct Expected {
    const char* Version;
    const char* Edition;
};

// What each mode reports, and so what the tables name it.
const std::map<std::string, Expected> kExpectedByKind = {
    // 6.1 workstation, product type 28, SP 1, build 7601
    {"win32-win7", {"7", "Ultimate Edition Service Pack 1 Build 7601"}},
    // the same on a 64-bit machine, seen through GetNativeSystemInfo
    {"win64-win7", {"7", "Ultimate x64 Edition Service Pack 1 Build 7601"}},
    // 6.0 workstation, product type 28, SP 2, build 6002
    {"win32-vista", {"Vista", "Ultimate Edition Service Pack 2 Build 6002"}},
    // 6.1 server, product type 7, SP 1, build 7601
    {"win32-win2008r2", {"2008", "R2 Server Standard Edition Service Pack 1 Build 7601"}},
    // 5.2 server, no suite bits, no R2 metric or product name, SP 2, build 3790
    {"win32-win2003", {"2003", "Server Standard Edition Service Pack 2 Build 3790"}},
    // 5.1 workstation, no metrics or suite bits, SP 3, build 2600
    {"win32-winxp", {"XP", "Professional Edition Service Pack 3 Build 2600"}},
    // 5.0 workstation, not Personal, SP 4, build 2195
    {"win32-win2k", {"2000", "Professional Edition Service Pack 4 Build 2195"}},
    // 4.0 workstation, "Service Pack 6a" (not the plain SP6 that needs the hotfix key), build 1381
    {"win32-nt40", {"NT4", "Workstation Service Pack 6a Build 1381"}},
    // 4.10 with " A " (Second Edition), build 0x040A08AE in full
    {"win32-win98", {"98", "SE Build 67766446"}},
};

struct Naming {
    bool Result;
    std::string Version;
    std::string Edition;
};

Naming NameSystem()
{
    char version[kOsNameChars];
    char edition[kOsNameChars];
    Naming naming;
    naming.Result = GetOsName(version, edition);
    naming.Version = version;
    naming.Edition = edition;
    return naming;
}

bool IsKind(std::initializer_list<const char*> kinds)
{
    for (const char* kind : kinds) {
        if (WineKind() == kind)
            return true;
    }
    return false;
}

// Sets a string value under HKEY_LOCAL_MACHINE for the life of the object, then puts back what
// was there.
class ScopedMachineString {
public:
    ScopedMachineString(const char* keyPath, const char* name, const char* value)
        : key_(keyPath), name_(name), old_(ReadMachineValue(keyPath, name))
    {
        EXPECT_TRUE(SetMachineText(key_, name, value));
    }
    ~ScopedMachineString()
    {
        if (old_.Result == ERROR_SUCCESS)
            SetMachineValue(key_, name_.c_str(), old_.Type, old_.Data);
        else
            DeleteMachineValue(key_, name_.c_str());
    }

private:
    std::string key_;
    std::string name_;
    RegistryValue old_;
};

}  // namespace

TEST(OsNameSystem, NamesWhatTheModeReports)
{
    auto expected = kExpectedByKind.find(WineKind());
    ASSERT_NE(expected, kExpectedByKind.end()) << "no expectation for " << WineKind();
    Naming naming = NameSystem();
    EXPECT_TRUE(naming.Result);
    EXPECT_EQ(expected->second.Version, naming.Version);
    EXPECT_EQ(expected->second.Edition, naming.Edition);
}

TEST(OsNameSystem, EditionIdNamesTheWorkstationEdition)
{
    if (!IsKind({"win32-win7", "win64-win7", "win32-vista"}))
        GTEST_SKIP() << "only Vista and 7 workstations read EditionID";
    bool vista = WineKind() == "win32-vista";
    const char* tail = vista ? " Edition Service Pack 2 Build 6002" : " Edition Service Pack 1 Build 7601";
    std::string architecture = WineKind() == "win64-win7" ? " x64" : "";
    {
        ScopedMachineString edition(kCurrentVersionNT, "EditionID", "HomePremium");
        std::string text = NameSystem().Edition;
        EXPECT_EQ("Home Premium" + architecture + tail, text);
    }
    {
        // Vista had no Professional edition: the product type's name stays.
        ScopedMachineString edition(kCurrentVersionNT, "EditionID", "Professional");
        EXPECT_EQ((vista ? "Ultimate" : "Professional") + architecture + tail, NameSystem().Edition);
    }
    EXPECT_EQ("Ultimate" + architecture + tail, NameSystem().Edition) << "after the value is gone";
}

TEST(OsNameSystem, ProductNameMarksServer2003R2)
{
    if (!IsKind({"win32-win2003"}))
        GTEST_SKIP() << "only Windows Server 2003 has an R2 release named this way";
    ScopedMachineString productName(kCurrentVersionNT, "ProductName", "Microsoft Windows Server 2003 R2");
    EXPECT_EQ("Server R2 Standard Edition Service Pack 2 Build 3790", NameSystem().Edition);
}

TEST(OsNameSystem, ReadRegistryValueReadsTheMachineKey)
{
    const char keyPath[] = "Software\\XATest\\OsName";
    ASSERT_TRUE(SetMachineText(keyPath, "Text", "abc"));

    char buffer[16];
    DWORD size = sizeof(buffer);
    DWORD type = 0;
    EXPECT_EQ(0, ReadRegistryValue(keyPath, "Text", buffer, &size, &type));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(4u, size);
    EXPECT_STREQ("abc", buffer);

    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRegistryValue(keyPath, "Missing", buffer, &size, &type));
    size = sizeof(buffer);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, ReadRegistryValue("Software\\XATest\\Missing", "Text", buffer, &size, &type));
    EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_LOCAL_MACHINE, keyPath));
}

TEST(Is64BitWindows, FollowsTheNativeProcessor)
{
    EXPECT_EQ(WineKind().rfind("win64-", 0) == 0 ? 1 : 0, Is64BitWindows()) << WineKind();
    FolderRedirectionFunctions functions;
    EXPECT_TRUE(FindFolderRedirection(&functions)) << "present, if refusing, on 32-bit Windows too";
}
