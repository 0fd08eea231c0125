#include <gtest/gtest.h>

#include "platform/rtl/Rtl.h"

#include <limits>

TEST(Rtl, StrToIntAcceptsDecimalAndRejectsTheRest)
{
    EXPECT_EQ(StrToInt(u"65000"), 65000);
    EXPECT_EQ(StrToInt(u"-5"), -5);
    EXPECT_EQ(StrToInt(u"  12"), 12);
    EXPECT_EQ(StrToInt(u"00"), 0);
    EXPECT_THROW(StrToInt(u"abc"), EConvertError);
    EXPECT_THROW(StrToInt(u""), EConvertError);
    EXPECT_THROW(StrToInt(u"12x"), EConvertError);
    EXPECT_THROW(StrToInt(u"2147483648"), EConvertError);
    EXPECT_EQ(StrToInt(u"-2147483648"), -2147483647 - 1);
}

TEST(Rtl, FormatCoversTheLibrarysFormats)
{
    EXPECT_EQ(Format(u"%s %d.%02d.%04d %s", {u"Windows XP", 5, 1, 2600, u"Service Pack 3"}),
              u"Windows XP 5.01.2600 Service Pack 3");
    EXPECT_EQ(Format(u"%lu", {4294967295ul}), u"4294967295");
    EXPECT_EQ(Format(u"COM%d", {10}), u"COM10");
    EXPECT_EQ(Format(u"ATE0&K%dS0=%d\r", {3, 2}), u"ATE0&K3S0=2\r");
    EXPECT_EQ(Format(u"100%%", {}), u"100%");
}

// The most negative value, and widths or precisions far beyond any use:
// exact digits, no overflow, and padding bounded by FormatMaxWidth.
TEST(Rtl, FormatStaysSoundAtTheLimits)
{
    EXPECT_EQ(Format(u"%d", {std::numeric_limits<long long>::min()}), u"-9223372036854775808");
    EXPECT_EQ(Format(u"%.3d|%+d|%5d|%-5d|%05d", {-5, 7, -3, 4, -42}), u"-005|+7|   -3|4    |-0042");
    EXPECT_EQ(Format(u"%.2s|%04X", {u"abc", 255}), u"ab|00FF");

    const UnicodeString wide = Format(u"%99999999999d", {1});
    EXPECT_EQ(wide.size(), static_cast<std::size_t>(FormatMaxWidth));
    EXPECT_EQ(wide.back(), u'1');
    const UnicodeString digits = Format(u"%.300000000d", {-7});
    EXPECT_EQ(digits.size(), static_cast<std::size_t>(FormatMaxWidth) + 1);
    EXPECT_EQ(digits.substr(0, 3), u"-00");
    EXPECT_EQ(Format(u"%0300000000x|%.99999999999x", {255, 1}).size(), 2u * FormatMaxWidth + 1);
    EXPECT_EQ(IntToHex(1, 1 << 30).size(), static_cast<std::size_t>(FormatMaxWidth));
}

TEST(Rtl, Utf8RoundTripAndHex)
{
    UnicodeString s = u"串行口:“COM3”- 𝄞";
    EXPECT_EQ(FromUtf8(ToUtf8(s)), s);
    EXPECT_EQ(IntToHex(0x3D, 2), u"3D");
    EXPECT_EQ(IntToHex(5, 2), u"05");
    EXPECT_EQ(Trim(u" \t 9600 \r\n"), u"9600");
    Exception e(u"不能打开串行口");
    EXPECT_STREQ(e.what(), "不能打开串行口");
}
