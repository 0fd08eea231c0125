// Error messages in the three languages, picked by the thread's locale.
#include "comm/TKelvorComm32.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

using KelvorComm32::EComm32Error;
using KelvorComm32::TComm32Language;

namespace {

// Sets the locale the layer reads for the length of one test.
class LocaleTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* v = std::getenv(name);
            saved.push_back({name, v ? std::string(v) : std::string(), v != nullptr});
        }
        unsetenv("LC_MESSAGES");
        unsetenv("LANG");
    }
    void TearDown() override
    {
        for (const auto& s : saved) {
            if (s.had)
                setenv(s.name, s.value.c_str(), 1);
            else
                unsetenv(s.name);
        }
    }
    static void Use(const char* locale) { setenv("LC_ALL", locale, 1); }
    static std::string Msg(const EComm32Error& e) { return ToUtf8(e.Message()); }

    struct Saved {
        const char* name;
        std::string value;
        bool had;
    };
    std::vector<Saved> saved;
};

} // namespace

TEST_F(LocaleTest, LanguageFollowsTheThreadLocale)
{
    Use("zh_CN.UTF-8");
    EXPECT_EQ(TComm32Language().LcId(), 0x0804u);
    Use("zh_TW.UTF-8");
    EXPECT_EQ(TComm32Language().LcId(), 0x0404u);
    Use("C");
    EXPECT_EQ(TComm32Language().LcId(), 0x0409u); // the system's 0 means English
    TComm32Language l;
    l.fSetLcId(0x0C04);
    EXPECT_EQ(l.LcId(), 0x0C04u);
}

TEST_F(LocaleTest, MessagesWithPortPrefix)
{
    Use("en_US.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecOpenPort, u"COM3")), "Serial port: \"COM3\" - Cannot open COM port");
    EXPECT_EQ(Msg(EComm32Error(static_cast<EComm32Error::TErrorCode>(15), u"COM3")),
              "Serial port: \"COM3\" - Unknown error");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecCreateReadEvent, u"COM3")),
              "Serial port: \"COM3\" - Cannot create COM port asynchronize read event");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecCreateWriteEvent, u"X")),
              "Serial port: \"X\" - Cannot create COM port asynchronize write event");

    Use("zh_CN.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecOpenPort, u"COM3")), "串行口:“COM3”- 不能打开串行口");
    EXPECT_EQ(Msg(EComm32Error(static_cast<EComm32Error::TErrorCode>(0), u"COM3")), "串行口:“COM3”- 未知错误");

    Use("zh_TW.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecCloseReadThread, u"COM3")), "序列埠:『COM3』- 不能關閉序列埠讀執行緒");
    EXPECT_EQ(Msg(EComm32Error(static_cast<EComm32Error::TErrorCode>(99), u"COM3")), "序列埠:『COM3』- 未知錯誤");

    // Hong Kong is not one of the two Chinese tables.
    Use("zh_HK.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecSetupComm, u"COM1")),
              "Serial port: \"COM1\" - Cannot set COM port buffer size");
}

TEST_F(LocaleTest, NoPrefixWithoutPortName)
{
    Use("C");
    EComm32Error e(EComm32Error::ecOutOfMemory);
    EXPECT_EQ(Msg(e), "Out of memory");
    EXPECT_EQ(e.ErrorCode, EComm32Error::ecOutOfMemory);
    EXPECT_TRUE(e.PortName.empty());
    EXPECT_STREQ(e.what(), "Out of memory");

    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecSetCommState, u"")), "Cannot set COM port parameters");
    Use("zh_CN.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecOutOfMemory)), "内存不够");
    Use("zh_TW.UTF-8");
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecOutOfMemory)), "記憶體不夠");
}

TEST_F(LocaleTest, EveryCodeHasItsOwnTextInEachLanguage)
{
    for (const char* loc : {"en_US.UTF-8", "zh_CN.UTF-8", "zh_TW.UTF-8"}) {
        Use(loc);
        const std::string fallback = Msg(EComm32Error(static_cast<EComm32Error::TErrorCode>(0)));
        std::vector<std::string> seen;
        for (int code = 1; code <= 14; ++code) {
            std::string m = Msg(EComm32Error(static_cast<EComm32Error::TErrorCode>(code)));
            EXPECT_NE(m, fallback) << loc << " " << code;
            for (const auto& s : seen)
                EXPECT_NE(m, s) << loc << " " << code;
            seen.push_back(m);
        }
    }
}

TEST_F(LocaleTest, CopyKeepsMessageCodeAndName)
{
    Use("C");
    EComm32Error a(EComm32Error::ecCloseWriteThread, u"COM9");
    EComm32Error b = a;
    EXPECT_EQ(b.Message(), a.Message());
    EXPECT_EQ(b.ErrorCode, EComm32Error::ecCloseWriteThread);
    EXPECT_EQ(b.PortName, u"COM9");
    // A name with a percent sign is data, not a format.
    EXPECT_EQ(Msg(EComm32Error(EComm32Error::ecOpenPort, u"%s%d")), "Serial port: \"%s%d\" - Cannot open COM port");
}
