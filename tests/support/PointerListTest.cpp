#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>

#include "support/PointerList.h"

TEST(PointerList, FourThirtyTwoBitFieldsInOrder)
{
    EXPECT_EQ(16u, sizeof(PointerList));
    EXPECT_EQ(0u, offsetof(PointerList, Items));
    EXPECT_EQ(4u, offsetof(PointerList, Count));
    EXPECT_EQ(8u, offsetof(PointerList, Capacity));
    EXPECT_EQ(12u, offsetof(PointerList, GrowBy));
}

TEST(PointerList, GrowsByItsStepAndKeepsOrder)
{
    PointerList list;
    InitPointerList(&list);
    EXPECT_EQ(nullptr, list.Items);
    EXPECT_EQ(0, list.Count);
    EXPECT_EQ(0, list.Capacity);
    EXPECT_EQ(10, list.GrowBy);

    for (int i = 0; i < 25; ++i) {
        ASSERT_EQ(i, AppendPointer(&list, reinterpret_cast<void*>(static_cast<uintptr_t>(1000 + i))));
        EXPECT_EQ((i / 10 + 1) * 10, list.Capacity) << "after " << i + 1 << " appends";
    }
    EXPECT_EQ(25, list.Count);
    for (int i = 0; i < 25; ++i)
        EXPECT_EQ(static_cast<uintptr_t>(1000 + i), reinterpret_cast<uintptr_t>(list.Items[i]));
    for (int i = 25; i < 30; ++i)
        EXPECT_EQ(nullptr, list.Items[i]) << "new entries start out null";

    FreePointerList(&list);
    EXPECT_EQ(nullptr, list.Items);
    EXPECT_EQ(0, list.Count);
    EXPECT_EQ(0, list.Capacity);
}

TEST(PointerList, FailedGrowthLeavesTheListUnchanged)
{
    PointerList list;
    InitPointerList(&list);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(i, AppendPointer(&list, &list));
    void** items = list.Items;

    // 2 GiB of entries cannot be had by a 32-bit process; a step that overflows the count or
    // a step of 0 can never be honoured.
    for (int step : {0x20000000, 0x7FFFFFF0, 0, -10}) {
        list.GrowBy = step;
        EXPECT_EQ(-1, AppendPointer(&list, nullptr)) << "step " << step;
        EXPECT_EQ(items, list.Items);
        EXPECT_EQ(10, list.Count);
        EXPECT_EQ(10, list.Capacity);
    }
    list.GrowBy = 10;
    EXPECT_EQ(10, AppendPointer(&list, nullptr));
    FreePointerList(&list);
}
