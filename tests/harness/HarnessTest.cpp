// The Wine harness itself: each prefix kind reports the Windows version it stands for, runs
// unprivileged (read-only files refused like on Windows), ends a crash at once and has a
// graphics driver for windows; and the account of what code opens names what it left open.
#include <gtest/gtest.h>

#include <cstdlib>
#include <map>
#include <regex>

#include "harness/OpenedResources.h"
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

// What the code under test leaves open is named, whatever it was opened by (a function looked up
// by name included); what it closed is not, nor what it closed by a call that is not counted,
// nor what failed to open, nor what a test keeps outside the window or under NotCounted.
TEST(Harness, OpenedResourcesNameWhatStaysOpen)
{
    ScratchFolder scratch("opened");
    const std::string path = scratch / "file.txt";
    ASSERT_TRUE(WriteWholeFile(path, "text"));
    std::vector<int> record;
    static void* volatile scrap;  // a block freed at once, which the compiler must not leave out

    OpenedResources opened;
    typedef HANDLE(WINAPI * OpenProcessFunction)(DWORD, BOOL, DWORD);
    typedef LONG(WINAPI * NtCloseFunction)(HANDLE);
    auto openProcess = reinterpret_cast<OpenProcessFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "OpenProcess")));
    auto ntClose = reinterpret_cast<NtCloseFunction>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtClose")));
    ASSERT_TRUE(openProcess && ntClose);
    HANDLE closedFile = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    CloseHandle(closedFile);
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    ntClose(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    HANDLE process = openProcess(PROCESS_QUERY_INFORMATION, FALSE, GetCurrentProcessId());
    HKEY key = nullptr, missing = nullptr, closedKey = nullptr;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software", 0, KEY_READ, &closedKey);
    RegCloseKey(closedKey);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, RegOpenKeyExA(HKEY_LOCAL_MACHINE, "Software\\NoSuchKey", 0, KEY_READ, &missing));
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\XaOpened", 0, nullptr, 0, KEY_ALL_ACCESS,
                                             nullptr, &key, nullptr));
    scrap = malloc(10);
    free(scrap);
    void* block = realloc(malloc(16), 4000);  // moved, still the one block
    {
        NotCounted test;
        record.resize(100);
    }
    opened.Stop();
    CloseHandle(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    void* later = malloc(20);

    std::vector<std::string> left;
    for (const std::string& entry : opened.LeftOpen())
        left.push_back(std::regex_replace(entry, std::regex(" [0-9a-fA-F]{8} from| at [0-9a-fA-F]{8}"), " from"));
    EXPECT_EQ((std::vector<std::string>{"handle from CreateFileA, called from", "handle from OpenProcess, called from",
                                         "key from RegCreateKeyExA, called from",
                                         "block of 4000 bytes from malloc, called from"}),
              left);
    EXPECT_EQ(4, opened.Handles().Opened);
    EXPECT_EQ(2, opened.Handles().Closed);

    CloseHandle(file);
    CloseHandle(process);
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\XaOpened");
    free(block);
    free(later);
    EXPECT_EQ(std::vector<std::string>{}, opened.LeftOpen()) << opened.Summary();
    EXPECT_EQ(2, opened.Keys().Opened);
    EXPECT_EQ(2, opened.Keys().Closed);
    EXPECT_EQ(2, opened.Blocks().Closed);
    std::printf("[  opened  ] %s\n", opened.Summary().c_str());
}
