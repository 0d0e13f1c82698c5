// The drivers' owner value in the prefix's real registry.
#include <gtest/gtest.h>

#include <cstring>

#include "harness/TestSupport.h"
#include "network/DriverOwner.h"
#include "support/AgentNames.h"

using namespace xatest;

TEST(DriverControl, ReadsWritesAndDeletesTheValue)
{
    char buffer[MAX_PATH];
    strcpy(buffer, "untouched");
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverControl(buffer, sizeof(buffer))) << "no key yet";
    EXPECT_NE(0, SetDriverControl("I1")) << "the shared key is not created here";
    EXPECT_STREQ("untouched", buffer);

    ASSERT_TRUE(CreateMachineKey(kAgentKey));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverControl(buffer, sizeof(buffer))) << "no value yet";
    EXPECT_STREQ("untouched", buffer);

    EXPECT_EQ(0, SetDriverControl("Instance-1"));
    EXPECT_EQ(0, GetDriverControl(buffer, sizeof(buffer)));
    EXPECT_STREQ("Instance-1", buffer);
    RegistryValue value = ReadMachineValue(kAgentKey, kDriverControlValue);
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), value.Type);
    EXPECT_EQ(StringBytes("Instance-1"), value.Data) << "the terminating zero is stored";

    strcpy(buffer, "untouched");
    EXPECT_EQ(ERROR_MORE_DATA, GetDriverControl(buffer, 5));
    EXPECT_STREQ("untouched", buffer);

    EXPECT_EQ(0, SetDriverControl(nullptr));
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, GetDriverControl(buffer, sizeof(buffer)));
    EXPECT_NE(0, SetDriverControl(nullptr)) << "nothing left to delete";
    DeleteMachineTree(kAgentKey);
}
