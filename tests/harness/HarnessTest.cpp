// The Wine harness itself: each prefix kind reports the Windows version it stands for, runs
// unprivileged (read-only files refused like on Windows), ends a crash at once and has a
// graphics driver for windows.
#include <gtest/gtest.h>

#include <map>

#include "harness/TestSupport.h"

using namespace xatest;

namespace {

struct ExpectedVersion {
    DWORD Major, Minor, Platform;
    BYTE ProductType;  // 0 where the system has none (9x)
};

typedef void(WINAPI* GetNativeSystemInfoFn)(SYSTEM_INFO*);

}  // namespace

TEST(Harness, PrefixReportsTheVersionOfItsKind)
{
    const std::map<std::string, ExpectedVersion> expected = {
        {"win7", {6, 1, VER_PLATFORM_WIN32_NT, VER_NT_WORKSTATION}},
        {"win2008r2", {6, 1, VER_PLATFORM_WIN32_NT, VER_NT_SERVER}},
        {"win2003", {5, 2, VER_PLATFORM_WIN32_NT, VER_NT_SERVER}},
        {"winxp", {5, 1, VER_PLATFORM_WIN32_NT, VER_NT_WORKSTATION}},
        {"win2k", {5, 0, VER_PLATFORM_WIN32_NT, VER_NT_WORKSTATION}},
        {"nt40", {4, 0, VER_PLATFORM_WIN32_NT, VER_NT_WORKSTATION}},
        {"win98", {4, 10, VER_PLATFORM_WIN32_WINDOWS, 0}},
    };
    std::string kind = WineKind();
    std::string version = kind.substr(kind.find('-') + 1);
    auto it = expected.find(version);
    ASSERT_NE(it, expected.end()) << "no expectation for " << kind;

    OSVERSIONINFOEXA info = {};
    info.dwOSVersionInfoSize = sizeof(info);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&info)));
    EXPECT_EQ(it->second.Major, info.dwMajorVersion);
    EXPECT_EQ(it->second.Minor, info.dwMinorVersion);
    EXPECT_EQ(it->second.Platform, info.dwPlatformId);
    EXPECT_EQ(it->second.ProductType, info.wProductType);
}

TEST(Harness, ArchitectureMatchesKind)
{
    auto getNative = reinterpret_cast<GetNativeSystemInfoFn>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "GetNativeSystemInfo")));
    ASSERT_NE(getNative, nullptr);
    SYSTEM_INFO native = {};
    getNative(&native);
    bool is64 = WineKind().rfind("win64-", 0) == 0;
    EXPECT_EQ(is64 ? PROCESSOR_ARCHITECTURE_AMD64 : PROCESSOR_ARCHITECTURE_INTEL,
              native.wProcessorArchitecture);
}

TEST(Harness, ReadOnlyFilesAreRefusedLikeOnWindows)
{
    ScratchFolder scratch("harness");
    std::string source = scratch / "source.txt", target = scratch / "target.txt";
    ASSERT_TRUE(WriteWholeFile(source, "new"));
    ASSERT_TRUE(WriteWholeFile(target, "old"));
    ASSERT_TRUE(SetFileAttributesA(target.c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_FALSE(CopyFileA(source.c_str(), target.c_str(), FALSE));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, GetLastError());
    EXPECT_EQ("old", ReadWholeFile(target));
}

TEST(Harness, CrashEndsTheProgramWithItsExceptionCode)
{
    DWORD started = GetTickCount();
    long code = RunProcess("\"" + FixturePath("exitwith.exe") + "\" 0 --crash", 20000);
    EXPECT_EQ((long)EXCEPTION_ACCESS_VIOLATION, code);
    EXPECT_LT(GetTickCount() - started, 10000u) << "a crash dialog or debugger held the program";
}

TEST(Harness, WindowsCanBeCreatedWithoutADisplay)
{
    HWND window = CreateWindowExA(0, "STATIC", "probe", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr,
                                  nullptr, GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(window, nullptr) << GetLastError();
    EXPECT_TRUE(DestroyWindow(window));
}

TEST(Harness, ExitCodesComeThroughWhole)
{
    std::string output;
    long code = RunProcess("\"" + FixturePath("xalaunch.exe") + "\" \"" + FixturePath("exitwith.exe") + "\" 1602",
                           20000, &output);
    EXPECT_EQ(1602, code);
    EXPECT_NE(std::string::npos, output.find("exit code 1602 (0x642)")) << output;
}
