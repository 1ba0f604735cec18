#include <string>

#include "nt_test_support.h"

namespace {

TEST(RtlTest, InitUnicodeStringCountsBytesWithoutTerminator)
{
    const WCHAR text[] = {'T', 'o', 'n', 0};
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    EXPECT_EQ(s.Length, 6u);
    EXPECT_EQ(s.MaximumLength, 8u);
    EXPECT_EQ(s.Buffer, text);

    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0u);
    EXPECT_EQ(s.MaximumLength, 0u);
    EXPECT_EQ(s.Buffer, nullptr);

    // Lengths must fit the USHORT fields, terminator included.
    std::u16string longText(40000, u'x');
    RtlInitUnicodeString(&s, reinterpret_cast<PCWSTR>(longText.c_str()));
    EXPECT_EQ(s.Length, 0xFFFCu);
    EXPECT_EQ(s.MaximumLength, 0xFFFEu);
}

}  // namespace
