#include <gtest/gtest.h>

#include "platform/rtl/Rtl.h"

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
