// Port names and numbers, their order, and the system's port list.
#include "comm/TKelvorComm32.h"

#include <gtest/gtest.h>

using KelvorComm32::TCommSerialPortInfo;
using KelvorComm32::TStringList;

TEST(PortNames, NumberFromName)
{
    struct Case {
        const char16_t* name;
        int no;
    };
    const Case cases[] = {
        {u"COM3", 3},         {u"com12", 12},        {u"Com12", 12},    {u"COM007", 7},
        {u"COM 5", 5},        {u"COM\t5", 5},        {u"COM+5", 5},     {u"COM5 ", 0},
        {u"COM5a", 0},        {u"COM-2", 0},         {u"COM", 0},       {u"CO", 0},
        {u"", 0},             {u"LPT1", 0},          {u"\\\\.\\COM3", 0}, {u"COM0", 0},
        {u"COM+", 0},         {u"COM 5x", 0},        {u"CNCA0", 0},     {u"COM2147483647", 2147483647},
        {u"COM2147483648", 2147483647}, {u"COM99999999999999999999", 2147483647},
        {u"COM-99999999999", 0}, {u"ＣＯＭ1", 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(TCommSerialPortInfo::PortNo(c.name), c.no) << ToUtf8(c.name);
}

TEST(PortNames, NameFromNumber)
{
    EXPECT_EQ(TCommSerialPortInfo::PortName(3), u"COM3");
    EXPECT_EQ(TCommSerialPortInfo::PortName(10), u"COM10");
    EXPECT_EQ(TCommSerialPortInfo::PortName(2147483647), u"COM2147483647");
    EXPECT_EQ(TCommSerialPortInfo::PortName(0), u"");
    EXPECT_EQ(TCommSerialPortInfo::PortName(-1), u"");
}

TEST(PortNames, CompareOrdersNumberedPortsFirstThenByText)
{
    TStringList l = {u"COM10", u"COM2", u"CNCA0", u"CNCB0", u"com2", u"COM1"};
    auto cmp = [&](int a, int b) { return TCommSerialPortInfo::PortListSortCompare(&l, a, b); };
    EXPECT_GT(cmp(0, 1), 0); // COM10 after COM2, unlike text order
    EXPECT_LT(cmp(1, 0), 0);
    EXPECT_LT(cmp(0, 2), 0); // numbered before unnumbered
    EXPECT_GT(cmp(2, 0), 0);
    EXPECT_LT(cmp(2, 3), 0); // CNCA0 before CNCB0
    EXPECT_EQ(cmp(1, 4), 0); // COM2 and com2 rank equal
    EXPECT_EQ(cmp(2, 2), 0);
}

// The system list depends on the machine; whatever it holds, it is never
// empty and comes out in the list order (or is exactly the fallback).
TEST(PortNames, RefreshGivesASortedListOrTheFallback)
{
    TCommSerialPortInfo info;
    ASSERT_NE(info.PortList, nullptr);
    ASSERT_FALSE(info.PortList->empty());
    const TStringList fallback = {u"COM1", u"COM2", u"COM3", u"COM4"};
    if (*info.PortList != fallback) {
        for (std::size_t i = 1; i < info.PortList->size(); ++i)
            EXPECT_LE(TCommSerialPortInfo::PortListSortCompare(info.PortList, static_cast<int>(i - 1),
                                                               static_cast<int>(i)),
                      0);
        for (const auto& name : *info.PortList)
            EXPECT_FALSE(name.empty());
    }
    info.PortList->push_back(u"junk");
    info.Refresh();
    EXPECT_EQ(std::count(info.PortList->begin(), info.PortList->end(), u"junk"), 0);
}
