#include "app/modbus/HexText.h"

namespace {

int HexValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    return -1;
}

} // namespace

QString HexText(const std::uint8_t* Data, std::size_t Count)
{
    static const char16_t kDigits[] = u"0123456789ABCDEF";
    QString s;
    s.reserve(static_cast<qsizetype>(Count * 3));
    for (std::size_t i = 0; i < Count; ++i) {
        s += QChar(kDigits[Data[i] >> 4]);
        s += QChar(kDigits[Data[i] & 0x0F]);
        s += QChar(u' ');
    }
    return s;
}

TByteDynArray HexBytes(const QString& Text)
{
    TByteDynArray bytes;
    int high = -1;
    for (const QChar c : Text) {
        const int v = HexValue(c.unicode());
        if (v < 0)
            continue;
        if (high < 0) {
            high = v;
        } else {
            bytes.push_back(static_cast<std::uint8_t>(high * 16 + v));
            high = -1;
        }
    }
    return bytes;
}

bool HasHexDigit(const QString& Text)
{
    for (const QChar c : Text)
        if (HexValue(c.unicode()) >= 0)
            return true;
    return false;
}

QString WithFirstByte(const QString& Text, std::uint8_t Byte)
{
    const QString hex = HexText(&Byte, 1);
    QString out = Text;
    qsizetype first = -1;
    for (qsizetype i = 0; i < out.size(); ++i) {
        if (HexValue(out.at(i).unicode()) < 0)
            continue;
        if (first < 0) {
            first = i;
            continue;
        }
        out[first] = hex.at(0);
        out[i] = hex.at(1);
        return out;
    }
    // A lone digit would be dropped: the byte replaces it.
    if (first >= 0)
        return out.replace(first, 1, hex.left(2));
    return hex + out;
}
