// psapi.dll comes from the system folder only: a copy planted beside the program (as in the
// temporary folder the removal runs from) must never be loaded. In its own program, so that no
// earlier test has it loaded already.
#include <gtest/gtest.h>

#include "control/Processes.h"
#include "harness/TestSupport.h"

using namespace xatest;

TEST(LoadPsapi, NeverFromTheProgramsFolder)
{
    std::string systemCopy = SystemFolder() + "\\psapi.dll";
    std::string planted = PlantLibrary("psapi.dll");
    // This prefix is the test's own: the system's copy can go.
    ASSERT_TRUE(DeleteFileA(systemCopy.c_str())) << GetLastError();

    HMODULE found = LoadLibraryA("psapi.dll");
    ASSERT_NE(nullptr, found) << "the normal search finds the planted copy";
    FreeLibrary(found);

    HMODULE psapi = LoadPsapi(nullptr);
    EXPECT_EQ(nullptr, psapi);
    if (psapi)
        FreeLibrary(psapi);

    // A folder named in full is still honoured.
    std::string folder = planted.substr(0, planted.rfind('\\'));
    psapi = LoadPsapi(folder.c_str());
    EXPECT_NE(nullptr, psapi);
    if (psapi)
        FreeLibrary(psapi);
    DeleteFileA(planted.c_str());
}
