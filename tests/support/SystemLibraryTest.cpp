// Libraries come from the system folder only: a copy planted beside the program (as in the
// temporary folder the removal runs from) must never be loaded, neither the library itself nor
// one it depends on. In its own program, so that no earlier test has them loaded already; the
// tests run in this order, the search limited only by the last.
#include <gtest/gtest.h>

#include "harness/TestSupport.h"
#include "support/SystemLibrary.h"

using namespace xatest;

namespace {

std::string ModulePath(HMODULE module)
{
    char path[MAX_PATH] = "";
    GetModuleFileNameA(module, path, sizeof(path));
    return path;
}

}  // namespace

// shlwapi.dll depends on shcore.dll, which nothing has loaded yet: the normal search for it starts
// beside the program and would run the planted copy.
TEST(LoadSystemLibrary, DependenciesComeFromTheSystemFolder)
{
    ASSERT_EQ(nullptr, GetModuleHandleA("shcore.dll"));
    std::string planted = PlantLibrary("shcore.dll");
    HMODULE shlwapi = LoadSystemLibrary("shlwapi.dll");
    ASSERT_NE(nullptr, shlwapi) << GetLastError();
    EXPECT_EQ(SystemFolder() + "\\shcore.dll", ModulePath(GetModuleHandleA("shcore.dll")));
    EXPECT_FALSE(FileExistsAt(planted + ".loaded"));
    FreeLibrary(shlwapi);
}

TEST(LimitLibrarySearch, NamesAreLookedUpInTheSystemFolderOnly)
{
    // Wine has SetDefaultDllDirectories whatever Windows version a prefix plays.
    std::string planted = PlantLibrary("xaplanted.dll");
    HMODULE found = LoadLibraryA("xaplanted.dll");
    ASSERT_NE(nullptr, found) << "the normal search looks beside the program";
    FreeLibrary(found);
    EXPECT_FALSE(IsLibrarySearchLimited());

    EXPECT_TRUE(LimitLibrarySearch());
    EXPECT_TRUE(IsLibrarySearchLimited());
    found = LoadLibraryA("xaplanted.dll");
    EXPECT_EQ(nullptr, found);
    if (found)
        FreeLibrary(found);
    // The system's libraries are still found by name, comctl32 among them.
    HMODULE controls = LoadLibraryA("comctl32.dll");
    EXPECT_NE(nullptr, controls);
    EXPECT_NE(nullptr, GetProcAddress(controls, "InitCommonControlsEx"));
    if (controls)
        FreeLibrary(controls);
    HMODULE version = LoadSystemLibrary("version.dll");
    EXPECT_NE(nullptr, version);
    if (version)
        FreeLibrary(version);
}
