#include <gtest/gtest.h>

#include <cstring>

#include "support/Text.h"

namespace {
// A buffer of size bytes followed by guard bytes that no helper may touch.
struct GuardedBuffer {
    char bytes[64];
    explicit GuardedBuffer() { std::memset(bytes, 0x5A, sizeof(bytes)); }
    bool GuardIntact(size_t size) const
    {
        for (size_t i = size; i < sizeof(bytes); ++i)
            if (bytes[i] != 0x5A)
                return false;
        return true;
    }
};
}  // namespace

TEST(Text, BoundedHelpersTerminateAndReportCuts)
{
    GuardedBuffer buffer;
    EXPECT_TRUE(CopyText(buffer.bytes, 6, "abcde"));
    EXPECT_STREQ("abcde", buffer.bytes);
    EXPECT_FALSE(CopyText(buffer.bytes, 6, "abcdef"));
    EXPECT_STREQ("abcde", buffer.bytes);
    EXPECT_TRUE(buffer.GuardIntact(6));

    EXPECT_TRUE(CopyText(buffer.bytes, 8, "ab"));
    EXPECT_TRUE(AppendText(buffer.bytes, 8, "cde"));
    EXPECT_FALSE(AppendText(buffer.bytes, 8, "fghij"));
    EXPECT_STREQ("abcdefg", buffer.bytes);
    EXPECT_TRUE(buffer.GuardIntact(8));

    EXPECT_TRUE(FormatText(buffer.bytes, 8, "%d-%s", 12, "ab"));
    EXPECT_STREQ("12-ab", buffer.bytes);
    // msvcrt's formatter leaves no terminator when the text fills the buffer exactly.
    EXPECT_FALSE(FormatText(buffer.bytes, 8, "%s", "12345678"));
    EXPECT_STREQ("1234567", buffer.bytes);
    EXPECT_FALSE(FormatText(buffer.bytes, 8, "%s", "1234567890"));
    EXPECT_STREQ("1234567", buffer.bytes);
    EXPECT_TRUE(buffer.GuardIntact(8));

    // An unterminated buffer is measured only as far as its size.
    std::memset(buffer.bytes, 'x', 8);
    EXPECT_EQ(8u, TextLengthAtMost(buffer.bytes, 8));
    EXPECT_EQ(3u, TextLengthAtMost("abc", 8));
    EXPECT_EQ(2u, TextLengthAtMost("abc", 2));

    EXPECT_FALSE(CopyText(buffer.bytes, 0, "x"));
    EXPECT_TRUE(CopyText(buffer.bytes, 4, nullptr));
    EXPECT_STREQ("", buffer.bytes);
}

TEST(Text, HeapCopies)
{
    char* copy = DuplicateTextPrefix("0123456789", 4);
    EXPECT_STREQ("0123", copy);
    FreeText(copy);
    EXPECT_EQ(nullptr, copy);

    copy = DuplicateTextPrefix("ab", 20);
    EXPECT_STREQ("ab", copy);
    ReplaceText(copy, DuplicateText("replaced"));
    EXPECT_STREQ("replaced", copy);
    FreeText(copy);

    EXPECT_EQ(nullptr, DuplicateText(nullptr));
    char* formatted = FormatHeapText(12, "[Code: %d]", -5);
    EXPECT_STREQ("[Code: -5]", formatted);
    FreeText(formatted);
    EXPECT_EQ(nullptr, FormatHeapText(4, "%s", "too long"));
}

TEST(Text, PrefixComparisonIgnoresCase)
{
    EXPECT_TRUE(TextStartsWithNoCase("programfiles%\\x", "ProgramFiles%"));
    EXPECT_FALSE(TextStartsWithNoCase("ProgramFile", "ProgramFiles%"));
    EXPECT_FALSE(TextStartsWithNoCase(nullptr, "x"));
}
