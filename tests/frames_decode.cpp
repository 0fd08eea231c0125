// Decoding frames and building requests: every function, the exception
// names, each register format and order against values worked out by hand.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>

#include "app/modbus/Crc16.h"
#include "app/modbus/Decode.h"
#include "app/modbus/HexText.h"
#include "app/modbus/RequestBuilder.h"

namespace {

// The bytes of hex text with their CRC.
TByteDynArray Frame(const char* Hex)
{
    const TByteDynArray data = HexBytes(QString::fromLatin1(Hex));
    return WithCrc(data.data(), data.size());
}

std::string Request(const char* Hex, const TDecodeOptions& Options = {})
{
    const TByteDynArray f = Frame(Hex);
    return DecodeRequest(f.data(), f.size(), Options).toStdString();
}

std::string Reply(const char* Hex, const char* RequestHex, const TDecodeOptions& Options = {})
{
    const TByteDynArray f = Frame(Hex);
    const TByteDynArray r = Frame(RequestHex);
    return DecodeReply(f.data(), f.size(), r.data(), r.size(), Options).toStdString();
}

// Holding registers 0.. in a reply, decoded from start 0.
std::string Registers(const char* DataHex, TRegisterFormat Format, TByteOrder Order = TByteOrder::ABCD)
{
    TByteDynArray data = HexBytes(QString::fromLatin1(DataHex));
    data.insert(data.begin(), {1, 3, static_cast<std::uint8_t>(data.size())});
    const TByteDynArray f = WithCrc(data.data(), data.size());
    return DecodeReply(f.data(), f.size(), TReplyOrigin{0, std::nullopt}, {Format, Order}).toStdString();
}

std::string Hex(const TByteDynArray& Bytes)
{
    return HexText(Bytes.data(), Bytes.size()).trimmed().toStdString();
}

} // namespace

TEST(Decode, RequestsOfEveryFunction)
{
    EXPECT_EQ(Request("01 01 00 00 00 08"), "  读线圈 起始 0 数量 8");
    EXPECT_EQ(Request("01 02 00 01 00 08"), "  读离散输入 起始 1 数量 8");
    EXPECT_EQ(Request("01 03 03 E7 00 02"), "  读保持寄存器 起始 999 数量 2");
    EXPECT_EQ(Request("01 04 03 E6 00 02"), "  读输入寄存器 起始 998 数量 2");
    EXPECT_EQ(Request("01 05 00 02 FF 00"), "  写单个线圈 2=1");
    EXPECT_EQ(Request("01 05 00 02 00 00"), "  写单个线圈 2=0");
    EXPECT_EQ(Request("01 05 00 02 12 34"), "  写单个线圈 2=0x1234（无效）");
    EXPECT_EQ(Request("01 06 00 0A 12 34"), "  写单个寄存器 10=4660");
    EXPECT_EQ(Request("01 0F 00 14 00 0A 02 CD 01"), "  写多个线圈 20=1 21=0 22=1 23=1 24=0 25=0 26=1 27=1 28=1 29=0");
    EXPECT_EQ(Request("01 10 00 00 00 02 04 00 01 FF FE", {TRegisterFormat::S16}), "  写多个寄存器 0=1 1=-2");
    EXPECT_EQ(Request("01 17 00 05 00 01 00 0A 00 01 02 AB CD"), "  读写多个寄存器 读 起始 5 数量 1 写 10=43981");
    // Fields that disagree with the frame's length, and functions without a name.
    EXPECT_EQ(Request("01 10 00 00 00 02 02 00 01"), "  写多个寄存器：长度不符");
    EXPECT_EQ(Request("01 03 00 00 00"), "  读保持寄存器：长度不符");
    EXPECT_EQ(Request("01 08 00 00 12 34"), "  不支持的功能码 0x08");
}

TEST(Decode, RepliesTakeTheirAddressesFromTheRequest)
{
    EXPECT_EQ(Reply("01 03 04 10 00 10 01", "01 03 00 00 00 02"), "  读保持寄存器 0=4096 1=4097");
    EXPECT_EQ(Reply("01 04 04 03 E6 03 E7", "01 04 03 E6 00 02"), "  读输入寄存器 998=998 999=999");
    EXPECT_EQ(Reply("01 01 01 AA", "01 01 00 00 00 08"), "  读线圈 0=0 1=1 2=0 3=1 4=0 5=1 6=0 7=1");
    // Ten coils fill two bytes; the padding bits are not coils.
    EXPECT_EQ(Reply("01 02 02 55 03", "01 02 00 64 00 0A"),
              "  读离散输入 100=1 101=0 102=1 103=0 104=1 105=0 106=1 107=0 108=1 109=1");
    EXPECT_EQ(Reply("01 05 00 02 FF 00", "01 05 00 02 FF 00"), "  写单个线圈 2=1");
    EXPECT_EQ(Reply("01 06 00 0A 12 34", "01 06 00 0A 12 34"), "  写单个寄存器 10=4660");
    EXPECT_EQ(Reply("01 0F 00 00 00 0A", "01 0F 00 00 00 0A 02 FF 03"), "  写多个线圈 起始 0 数量 10");
    EXPECT_EQ(Reply("01 10 00 00 00 02", "01 10 00 00 00 02 04 00 01 00 02"), "  写多个寄存器 起始 0 数量 2");
    EXPECT_EQ(Reply("01 17 02 AB CD", "01 17 00 05 00 01 00 0A 00 01 02 12 34"), "  读写多个寄存器 5=43981");
    EXPECT_EQ(Reply("01 03 03 10 00 10", "01 03 00 00 00 02"), "  读保持寄存器：长度不符");

    // Without its request a reply's addresses count from an unknown start.
    const TByteDynArray f = Frame("01 03 04 10 00 10 01");
    EXPECT_EQ(DecodeReply(f.data(), f.size(), TReplyOrigin{}).toStdString(), "  读保持寄存器 +0=4096 +1=4097");
}

TEST(Decode, ExceptionNames)
{
    const std::pair<const char*, const char*> cases[] = {
        {"01", "非法功能"},     {"02", "非法数据地址"},     {"03", "非法数据值"},
        {"04", "从站设备故障"}, {"05", "确认"},             {"06", "从站设备忙"},
        {"07", "未知异常"},     {"08", "存储奇偶性差错"},   {"0A", "网关路径不可用"},
        {"0B", "网关目标设备响应失败"}, {"FF", "未知异常"},
    };
    for (const auto& [code, name] : cases) {
        const std::string hex = std::string("01 83 ") + code;
        EXPECT_EQ(Reply(hex.c_str(), "01 03 00 00 00 01"), std::string("  异常 ") + code + "：" + name);
    }
}

TEST(Decode, RegisterFormats)
{
    using F = TRegisterFormat;
    EXPECT_EQ(Registers("FF FE 00 2A", F::U16), "  读保持寄存器 0=65534 1=42");
    EXPECT_EQ(Registers("FF FE 00 2A", F::S16), "  读保持寄存器 0=-2 1=42");
    EXPECT_EQ(Registers("00 AB 12 CD", F::Hex), "  读保持寄存器 0=00AB 1=12CD");
    EXPECT_EQ(Registers("48 69 41 00 22 5C 0D 80", F::Ascii),
              R"(  读保持寄存器 0="Hi" 1="A\0" 2="\"\\" 3="\x0D\x80")");
    EXPECT_EQ(Registers("10 00 10 01", F::U32), "  读保持寄存器 0=268439553");
    EXPECT_EQ(Registers("FF FF FF FE", F::S32), "  读保持寄存器 0=-2");
    EXPECT_EQ(Registers("40 49 0F DB C0 49 0F DB", F::F32), "  读保持寄存器 0=3.1415927 2=-3.1415927");
    EXPECT_EQ(Registers("00 00 00 01 00 00 00 00", F::U64), "  读保持寄存器 0=4294967296");
    EXPECT_EQ(Registers("FF FF FF FF FF FF FF FF", F::S64), "  读保持寄存器 0=-1");
    EXPECT_EQ(Registers("40 09 21 FB 54 44 2D 18", F::F64), "  读保持寄存器 0=3.141592653589793");
    // A count that does not fill the last wide value leaves the rest as u16.
    EXPECT_EQ(Registers("10 00 10 01 10 02", F::U32), "  读保持寄存器 0=268439553 2=4098");
    EXPECT_EQ(Registers("10 00 10 01 10 02", F::F64), "  读保持寄存器 0=4096 1=4097 2=4098");
}

TEST(Decode, ByteOrders)
{
    using F = TRegisterFormat;
    using O = TByteOrder;
    // 10 00 10 01 on the wire.
    EXPECT_EQ(Registers("10 00 10 01", F::U32, O::CDAB), "  读保持寄存器 0=268505088");  // 0x10011000
    EXPECT_EQ(Registers("10 00 10 01", F::U32, O::BADC), "  读保持寄存器 0=1048848");    // 0x00100110
    EXPECT_EQ(Registers("10 00 10 01", F::U32, O::DCBA), "  读保持寄存器 0=17825808");   // 0x01100010
    EXPECT_EQ(Registers("0F DB 40 49", F::F32, O::CDAB), "  读保持寄存器 0=3.1415927");
    EXPECT_EQ(Registers("18 2D 44 54 FB 21 09 40", F::F64, O::DCBA), "  读保持寄存器 0=3.141592653589793");
    // 64 bits with the registers in reverse order: 0x00000000'00010000.
    EXPECT_EQ(Registers("00 00 00 01 00 00 00 00", F::U64, O::CDAB), "  读保持寄存器 0=65536");
    // 16-bit formats ignore the order.
    EXPECT_EQ(Registers("12 34", F::Hex, O::DCBA), "  读保持寄存器 0=1234");
}

TEST(Decode, ReadingOfAFrameOnItsOwn)
{
    auto reading = [](const char* Hex, bool WithItsCrc = true) {
        TByteDynArray f = Frame(Hex);
        if (!WithItsCrc)
            f.back() ^= 1;
        return ReadingOf(f.data(), f.size());
    };
    EXPECT_EQ(reading("01 03 00 00 00 02"), TFrameReading::Request);
    EXPECT_EQ(reading("01 03 04 10 00 10 01"), TFrameReading::Reply);
    EXPECT_EQ(reading("01 06 00 0A 12 34"), TFrameReading::Request); // an echo holds both ways
    EXPECT_EQ(reading("01 10 00 00 00 02"), TFrameReading::Reply);
    EXPECT_EQ(reading("01 03 04 10 00 10 01", false), TFrameReading::Reply); // by its length
    EXPECT_EQ(reading("01 83 02"), TFrameReading::Reply);
    EXPECT_EQ(reading("01 88 01"), TFrameReading::Reply);
    EXPECT_EQ(reading("01 08 00 00 12 34"), TFrameReading::Request);
}

TEST(RequestBuilder, FramesOfEveryFunction)
{
    auto build = [](TRequestFields F) {
        const TBuiltRequest r = BuildRequest(F);
        EXPECT_TRUE(r.Ok()) << (r.Errors.empty() ? "" : r.Errors.front().Message.toStdString());
        return Hex(r.Frame);
    };
    TRequestFields f;
    f.Slave = 17;
    f.Start = 0x13;
    f.Count = 37;
    for (const auto& [fn, hex] : {std::pair<int, const char*>{1, "11 01 00 13 00 25"}, {2, "11 02 00 13 00 25"},
                                  {3, "11 03 00 13 00 25"}, {4, "11 04 00 13 00 25"}}) {
        f.Function = fn;
        EXPECT_EQ(build(f), hex);
    }
    f.Function = 5;
    f.Values = QStringLiteral(" ON ");
    EXPECT_EQ(build(f), "11 05 00 13 FF 00");
    f.Values = QStringLiteral("0");
    EXPECT_EQ(build(f), "11 05 00 13 00 00");
    f.Function = 6;
    f.Values = QStringLiteral("-2");
    f.Format = TRegisterFormat::S16;
    EXPECT_EQ(build(f), "11 06 00 13 FF FE");
    f.Function = 15;
    f.Values = QStringLiteral("1 0 1 1 0 0 1 1, 1 0");
    EXPECT_EQ(build(f), "11 0F 00 13 00 0A 02 CD 01");
    f.Function = 16;
    f.Values = QStringLiteral("1.5");
    f.Format = TRegisterFormat::F32;
    f.Order = TByteOrder::CDAB;
    EXPECT_EQ(build(f), "11 10 00 13 00 02 04 00 00 3F C0");
    f.Function = 23;
    f.Count = 2;
    f.WriteStart = 0x100;
    f.Values = QStringLiteral("0x12AB;ff");
    f.Format = TRegisterFormat::Hex;
    EXPECT_EQ(build(f), "11 17 00 13 00 02 01 00 00 02 04 12 AB 00 FF");
}

// Building then decoding gives back what was typed.
TEST(RequestBuilder, DecodesToWhatWasTyped)
{
    const struct {
        TRegisterFormat Format;
        TByteOrder Order;
        const char* Typed;
        const char* Decoded;
    } cases[] = {
        {TRegisterFormat::S16, TByteOrder::ABCD, "-32768 32767", "0=-32768 1=32767"},
        {TRegisterFormat::F32, TByteOrder::BADC, "-0.1 1e+30", "0=-0.1 2=1e+30"},
        {TRegisterFormat::F64, TByteOrder::DCBA, "-2.5", "0=-2.5"},
        {TRegisterFormat::S64, TByteOrder::CDAB, "-9223372036854775808", "0=-9223372036854775808"},
        {TRegisterFormat::U32, TByteOrder::ABCD, "4294967295", "0=4294967295"},
        {TRegisterFormat::Ascii, TByteOrder::ABCD, R"(He said "hi"\x01)", R"(0="He" 1=" s" 2="ai" 3="d " 4="\"h" 5="i\"" 6="\x01\0")"},
    };
    for (const auto& c : cases) {
        TRequestFields f;
        f.Function = 16;
        f.Start = 0;
        f.Format = c.Format;
        f.Order = c.Order;
        f.Values = QString::fromUtf8(c.Typed);
        const TBuiltRequest r = BuildRequest(f);
        ASSERT_TRUE(r.Ok()) << c.Typed << ": " << r.Errors.front().Message.toStdString();
        const TByteDynArray frame = WithCrc(r.Frame.data(), r.Frame.size());
        EXPECT_EQ(DecodeRequest(frame.data(), frame.size(), {c.Format, c.Order}).toStdString(),
                  std::string("  写多个寄存器 ") + c.Decoded);
    }
}

TEST(RequestBuilder, SaysPerFieldWhatIsWrong)
{
    auto errors = [](TRequestFields F) {
        const TBuiltRequest r = BuildRequest(F);
        EXPECT_TRUE(r.Frame.empty());
        std::vector<std::pair<TRequestField, std::string>> out;
        for (const TFieldError& e : r.Errors)
            out.emplace_back(e.Field, e.Message.toStdString());
        return out;
    };
    using E = std::vector<std::pair<TRequestField, std::string>>;
    TRequestFields f;
    f.Slave = 248;
    f.Start = 65535;
    f.Count = 2;
    EXPECT_EQ(errors(f), (E{{TRequestField::Slave, "从站地址应为 0 到 247"},
                           {TRequestField::Count, "从地址 65535 起 2 个超出了地址 65535"}}));
    f = {};
    f.Function = 7;
    EXPECT_EQ(errors(f), (E{{TRequestField::Function, "不支持的功能码 7，可用 1 到 6、15、16、23"}}));
    f = {};
    f.Count = 126;
    f.Start = -1;
    EXPECT_EQ(errors(f), (E{{TRequestField::Start, "起始地址应为 0 到 65535"}, {TRequestField::Count, "数量应为 1 到 125"}}));
    f = {};
    f.Function = 1;
    f.Count = 2001;
    EXPECT_EQ(errors(f), (E{{TRequestField::Count, "数量应为 1 到 2000"}}));
    f = {};
    f.Function = 16;
    f.Values = QStringLiteral("1 70000");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "第 2 个值“70000”不是 0 到 65535 的整数"}}));
    f.Values = QStringLiteral(" ");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "没有写入值"}}));
    f.Values = QStringList(124, QStringLiteral("1")).join(u' ');
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "寄存器个数应为 1 到 123"}}));
    f.Format = TRegisterFormat::Ascii;
    f.Values = QStringLiteral("温度");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "含非 ASCII 字符“温”"}}));
    f.Values = QStringLiteral("a\\q");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "含无效的转义“\\q”，可用 \\0 \\\\ \\\" \\xNN"}}));
    f.Format = TRegisterFormat::F32;
    f.Values = QStringLiteral("1e39");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "第 1 个值“1e39”不是 f32 范围内的数"}}));
    f.Function = 6;
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "写单个寄存器只写一个 16 位的值，请选 u16、s16、hex 或 ascii"}}));
    f = {};
    f.Function = 5;
    f.Values = QStringLiteral("1 1");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "写单个线圈只写一个值，这里有 2 个"}}));
    f.Function = 15;
    f.Values = QStringLiteral("1 on");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "第 2 个值“on”应为 0 或 1"}}));
    f = {};
    f.Function = 23;
    f.WriteStart = 65535;
    f.Values = QStringLiteral("1 2");
    EXPECT_EQ(errors(f), (E{{TRequestField::Values, "从地址 65535 起 2 个超出了地址 65535"}}));
}
