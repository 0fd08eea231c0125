#include "app/modbus/Formats.h"

#include <QStringList>
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <string>

namespace {

struct TFormatName {
    TRegisterFormat Format;
    const char* Name;
};
constexpr TFormatName kFormats[] = {
    {TRegisterFormat::U16, "u16"}, {TRegisterFormat::S16, "s16"}, {TRegisterFormat::Hex, "hex"},
    {TRegisterFormat::U32, "u32"}, {TRegisterFormat::S32, "s32"}, {TRegisterFormat::F32, "f32"},
    {TRegisterFormat::U64, "u64"}, {TRegisterFormat::S64, "s64"}, {TRegisterFormat::F64, "f64"},
    {TRegisterFormat::Ascii, "ascii"},
};
constexpr const char* kOrders[] = {"ABCD", "CDAB", "BADC", "DCBA"};

// The value's bytes, most significant first, from the bytes on the wire, or
// back: each order is its own inverse.
void Reorder(TByteOrder Order, std::uint8_t* Bytes, int Count)
{
    switch (Order) {
    case TByteOrder::ABCD:
        break;
    case TByteOrder::CDAB:
        for (int i = 0, j = Count - 2; i < j; i += 2, j -= 2) {
            std::swap(Bytes[i], Bytes[j]);
            std::swap(Bytes[i + 1], Bytes[j + 1]);
        }
        break;
    case TByteOrder::BADC:
        for (int i = 0; i + 1 < Count; i += 2)
            std::swap(Bytes[i], Bytes[i + 1]);
        break;
    case TByteOrder::DCBA:
        std::reverse(Bytes, Bytes + Count);
        break;
    }
}

std::uint64_t WideValue(TByteOrder Order, const std::uint16_t* Registers, int Count)
{
    std::array<std::uint8_t, 8> bytes{};
    for (int i = 0; i < Count; ++i) {
        bytes[2 * i] = static_cast<std::uint8_t>(Registers[i] >> 8);
        bytes[2 * i + 1] = static_cast<std::uint8_t>(Registers[i] & 0xFF);
    }
    Reorder(Order, bytes.data(), 2 * Count);
    std::uint64_t v = 0;
    for (int i = 0; i < 2 * Count; ++i)
        v = (v << 8) | bytes[i];
    return v;
}

void AppendWide(TByteOrder Order, std::uint64_t Value, int Count, std::vector<std::uint16_t>& Out)
{
    std::array<std::uint8_t, 8> bytes{};
    for (int i = 2 * Count - 1; i >= 0; --i, Value >>= 8)
        bytes[i] = static_cast<std::uint8_t>(Value & 0xFF);
    Reorder(Order, bytes.data(), 2 * Count);
    for (int i = 0; i < Count; ++i)
        Out.push_back(static_cast<std::uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]));
}

template <class T>
QString Number(T Value)
{
    char buf[64];
    const auto r = std::to_chars(buf, buf + sizeof buf, Value);
    return QString::fromLatin1(buf, static_cast<qsizetype>(r.ptr - buf));
}

void AppendAsciiChar(QString& Out, std::uint8_t C)
{
    static const char kHex[] = "0123456789ABCDEF";
    if (C == 0)
        Out += QStringLiteral("\\0");
    else if (C == '\\' || C == '"')
        Out += QString(QChar(u'\\')) + QChar(C);
    else if (C >= 0x20 && C < 0x7F)
        Out += QChar(C);
    else
        Out += QStringLiteral("\\x") + QChar(kHex[C >> 4]) + QChar(kHex[C & 0x0F]);
}

// Plain ASCII text for the number parsers; a leading '+' is allowed, as
// people type it. Nothing when the text holds another character.
std::optional<std::string> NumberText(QStringView Text)
{
    std::string s;
    for (const QChar c : Text) {
        if (c.unicode() >= 0x80)
            return std::nullopt;
        s += static_cast<char>(c.unicode());
    }
    if (s.size() > 1 && s[0] == '+' && s[1] != '-')
        s.erase(0, 1);
    return s;
}

template <class T>
bool ParseWhole(const std::string& S, T& Value, int Base = 10)
{
    const char* end = S.data() + S.size();
    const auto r = std::from_chars(S.data(), end, Value, Base);
    return !S.empty() && r.ec == std::errc() && r.ptr == end;
}

template <class T>
bool ParseFloat(const std::string& S, T& Value)
{
    const char* end = S.data() + S.size();
    const auto r = std::from_chars(S.data(), end, Value, std::chars_format::general);
    return !S.empty() && r.ec == std::errc() && r.ptr == end;
}

std::optional<QString> ParseAscii(QStringView Text, std::vector<std::uint16_t>& Out)
{
    std::vector<std::uint8_t> bytes;
    for (qsizetype i = 0; i < Text.size(); ++i) {
        const char16_t c = Text[i].unicode();
        if (c != u'\\') {
            if (c >= 0x80)
                return QStringLiteral("含非 ASCII 字符“%1”").arg(Text[i]);
            bytes.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        const QStringView rest = Text.mid(i + 1);
        if (rest.startsWith(u'0') || rest.startsWith(u'\\') || rest.startsWith(u'"')) {
            bytes.push_back(rest[0] == u'0' ? 0 : static_cast<std::uint8_t>(rest[0].unicode()));
            ++i;
            continue;
        }
        std::uint8_t b = 0;
        const std::optional<std::string> digits =
            rest.startsWith(u'x') && rest.size() >= 3 ? NumberText(rest.mid(1, 2)) : std::nullopt;
        if (!digits || digits->size() != 2 || !ParseWhole(*digits, b, 16))
            return QStringLiteral("含无效的转义“%1”，可用 \\0 \\\\ \\\" \\xNN").arg(Text.mid(i, 4).toString());
        bytes.push_back(b);
        i += 3;
    }
    if (bytes.empty())
        return QStringLiteral("没有字符");
    if (bytes.size() % 2)
        bytes.push_back(0);
    for (std::size_t i = 0; i < bytes.size(); i += 2)
        Out.push_back(static_cast<std::uint16_t>(bytes[i] << 8 | bytes[i + 1]));
    return std::nullopt;
}

} // namespace

std::optional<TRegisterFormat> RegisterFormatNamed(QStringView Name)
{
    for (const TFormatName& f : kFormats)
        if (Name.compare(QLatin1String(f.Name), Qt::CaseInsensitive) == 0)
            return f.Format;
    return std::nullopt;
}

std::optional<TByteOrder> ByteOrderNamed(QStringView Name)
{
    for (std::size_t i = 0; i < std::size(kOrders); ++i)
        if (Name.compare(QLatin1String(kOrders[i]), Qt::CaseInsensitive) == 0)
            return static_cast<TByteOrder>(i);
    return std::nullopt;
}

QString RegisterFormatNames()
{
    QStringList names;
    for (const TFormatName& f : kFormats)
        names << QLatin1String(f.Name);
    return names.join(QStringLiteral(", "));
}

QString ByteOrderNames()
{
    QStringList names;
    for (const char* o : kOrders)
        names << QLatin1String(o);
    return names.join(QStringLiteral(", "));
}

int RegistersPerValue(TRegisterFormat Format)
{
    switch (Format) {
    case TRegisterFormat::U32:
    case TRegisterFormat::S32:
    case TRegisterFormat::F32:
        return 2;
    case TRegisterFormat::U64:
    case TRegisterFormat::S64:
    case TRegisterFormat::F64:
        return 4;
    default:
        return 1;
    }
}

QString ValueText(TRegisterFormat Format, TByteOrder Order, const std::uint16_t* Registers)
{
    const std::uint16_t r = Registers[0];
    switch (Format) {
    case TRegisterFormat::U16:
        return Number(r);
    case TRegisterFormat::S16:
        return Number(static_cast<std::int16_t>(r));
    case TRegisterFormat::Hex:
        return QStringLiteral("%1").arg(r, 4, 16, QChar(u'0')).toUpper();
    case TRegisterFormat::Ascii: {
        QString s(QChar(u'"'));
        AppendAsciiChar(s, static_cast<std::uint8_t>(r >> 8));
        AppendAsciiChar(s, static_cast<std::uint8_t>(r & 0xFF));
        return s + QChar(u'"');
    }
    case TRegisterFormat::U32:
        return Number(static_cast<std::uint32_t>(WideValue(Order, Registers, 2)));
    case TRegisterFormat::S32:
        return Number(static_cast<std::int32_t>(static_cast<std::uint32_t>(WideValue(Order, Registers, 2))));
    case TRegisterFormat::F32:
        return Number(std::bit_cast<float>(static_cast<std::uint32_t>(WideValue(Order, Registers, 2))));
    case TRegisterFormat::U64:
        return Number(WideValue(Order, Registers, 4));
    case TRegisterFormat::S64:
        return Number(static_cast<std::int64_t>(WideValue(Order, Registers, 4)));
    case TRegisterFormat::F64:
        return Number(std::bit_cast<double>(WideValue(Order, Registers, 4)));
    }
    return {};
}

std::optional<QString> ParseValue(TRegisterFormat Format, TByteOrder Order, QStringView Text,
                                  std::vector<std::uint16_t>& Out)
{
    if (Format == TRegisterFormat::Ascii)
        return ParseAscii(Text, Out);
    const std::string s = NumberText(Text).value_or(std::string());
    switch (Format) {
    case TRegisterFormat::U16: {
        std::uint16_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 0 到 65535 的整数");
        Out.push_back(v);
        break;
    }
    case TRegisterFormat::S16: {
        std::int16_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 -32768 到 32767 的整数");
        Out.push_back(static_cast<std::uint16_t>(v));
        break;
    }
    case TRegisterFormat::Hex: {
        const bool prefixed = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
        const std::string digits = prefixed ? s.substr(2) : s;
        std::uint16_t v = 0;
        if (digits.size() > 4 || !ParseWhole(digits, v, 16))
            return QStringLiteral("不是 1 到 4 位的十六进制数");
        Out.push_back(v);
        break;
    }
    case TRegisterFormat::U32: {
        std::uint32_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 0 到 4294967295 的整数");
        AppendWide(Order, v, 2, Out);
        break;
    }
    case TRegisterFormat::S32: {
        std::int32_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 -2147483648 到 2147483647 的整数");
        AppendWide(Order, static_cast<std::uint32_t>(v), 2, Out);
        break;
    }
    case TRegisterFormat::U64: {
        std::uint64_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 0 到 18446744073709551615 的整数");
        AppendWide(Order, v, 4, Out);
        break;
    }
    case TRegisterFormat::S64: {
        std::int64_t v = 0;
        if (!ParseWhole(s, v))
            return QStringLiteral("不是 -9223372036854775808 到 9223372036854775807 的整数");
        AppendWide(Order, static_cast<std::uint64_t>(v), 4, Out);
        break;
    }
    case TRegisterFormat::F32: {
        float v = 0;
        if (!ParseFloat(s, v))
            return QStringLiteral("不是 f32 范围内的数");
        AppendWide(Order, std::bit_cast<std::uint32_t>(v), 2, Out);
        break;
    }
    case TRegisterFormat::F64: {
        double v = 0;
        if (!ParseFloat(s, v))
            return QStringLiteral("不是 f64 范围内的数");
        AppendWide(Order, std::bit_cast<std::uint64_t>(v), 4, Out);
        break;
    }
    case TRegisterFormat::Ascii:
        break;
    }
    return std::nullopt;
}
