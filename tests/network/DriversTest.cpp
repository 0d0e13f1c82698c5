// Driver ownership and the driver files, for real in the prefix's registry and folders: 32-bit
// Windows versions, Windows 98 and 64-bit Windows (WOW64 redirection included).
#include <gtest/gtest.h>

#include <cstring>

#include "harness/TestSupport.h"
#include "network/Drivers.h"
#include "procedures/Installer.h"

using namespace xatest;

namespace {

bool Is64BitKind()
{
    return WineKind().rfind("win64-", 0) == 0;
}

void CreateKey(const std::string& path)
{
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    RegCloseKey(key);
}

}  // namespace

TEST(DriverControl, ReadsWritesAndDeletesTheValue)
{
    char buffer[MAX_PATH];
    strcpy(buffer, "untouched");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Installer::GetDriverControl(buffer, sizeof(buffer))) << "no key yet";
    EXPECT_NE(0, Installer::SetDriverControl("I1")) << "the shared key is not created here";
    EXPECT_STREQ("untouched", buffer);

    CreateKey(kSharedAgentKey);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Installer::GetDriverControl(buffer, sizeof(buffer))) << "no value yet";
    EXPECT_STREQ("untouched", buffer);

    EXPECT_EQ(0, Installer::SetDriverControl("Instance-1"));
    EXPECT_EQ(0, Installer::GetDriverControl(buffer, sizeof(buffer)));
    EXPECT_STREQ("Instance-1", buffer);
    DWORD size = 0;
    HKEY key;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSharedAgentKey, 0, KEY_READ, &key));
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExA(key, kDriverControlValue, nullptr, &type, nullptr, &size));
    RegCloseKey(key);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(11u, size) << "the terminating zero is stored";

    strcpy(buffer, "untouched");
    EXPECT_EQ(ERROR_MORE_DATA, Installer::GetDriverControl(buffer, 5));
    EXPECT_STREQ("untouched", buffer);

    EXPECT_EQ(0, Installer::SetDriverControl(nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Installer::GetDriverControl(buffer, sizeof(buffer)));
    EXPECT_NE(0, Installer::SetDriverControl(nullptr)) << "nothing left to delete";
}

TEST(Is64BitWindows, FollowsTheNativeProcessor)
{
    EXPECT_EQ(Is64BitKind() ? 1 : 0, Installer::Is64BitWindows()) << WineKind();
    FolderRedirectionFunctions functions;
    EXPECT_TRUE(FindFolderRedirection(&functions)) << "present, if refusing, on 32-bit Windows too";
}
