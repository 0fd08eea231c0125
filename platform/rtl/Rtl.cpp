#include "platform/rtl/Rtl.h"

#include <algorithm>
#include <climits>

Exception::Exception(UnicodeString Msg) : FMessage(std::move(Msg)), FUtf8(ToUtf8(FMessage)) {}

void Exception::SetMessage(const UnicodeString& Msg)
{
    FMessage = Msg;
    FUtf8 = ToUtf8(Msg);
}

std::string ToUtf8(const UnicodeString& s)
{
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (s[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD; // lone surrogate
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

UnicodeString FromUtf8(const std::string& s)
{
    UnicodeString out;
    out.reserve(s.size());
    std::size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<unsigned char>(s[i]);
        std::uint32_t c;
        int extra;
        if (b < 0x80) { c = b; extra = 0; }
        else if ((b & 0xE0) == 0xC0) { c = b & 0x1F; extra = 1; }
        else if ((b & 0xF0) == 0xE0) { c = b & 0x0F; extra = 2; }
        else if ((b & 0xF8) == 0xF0) { c = b & 0x07; extra = 3; }
        else { out += u'\uFFFD'; ++i; continue; }
        bool bad = false;
        for (int k = 1; k <= extra; ++k) {
            if (i + k >= s.size() || (static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) { bad = true; break; }
            c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
        }
        if (bad) { out += u'\uFFFD'; ++i; continue; }
        i += extra + 1;
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<char16_t>(0xD800 + (c >> 10));
            out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
        } else {
            out += static_cast<char16_t>(c);
        }
    }
    return out;
}

bool TryStrToInt(const UnicodeString& s, int& value)
{
    std::size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    bool neg = false;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) {
        neg = s[i] == u'-';
        ++i;
    }
    if (i >= s.size())
        return false;
    long long v = 0;
    for (; i < s.size(); ++i) {
        if (s[i] < u'0' || s[i] > u'9')
            return false;
        v = v * 10 + (s[i] - u'0');
        if (v > static_cast<long long>(INT_MAX) + 1)
            return false;
    }
    if (neg)
        v = -v;
    if (v > INT_MAX || v < INT_MIN)
        return false;
    value = static_cast<int>(v);
    return true;
}

int StrToInt(const UnicodeString& s)
{
    int v = 0;
    if (!TryStrToInt(s, v))
        throw EConvertError(u"'" + s + u"' is not a valid integer value");
    return v;
}

UnicodeString IntToStr(long long value)
{
    return FromUtf8(std::to_string(value));
}

UnicodeString IntToHex(unsigned long long value, int digits)
{
    static const char16_t hex[] = u"0123456789ABCDEF";
    char16_t buf[16];
    int n = 0;
    do {
        buf[15 - n++] = hex[value & 0xF];
        value >>= 4;
    } while (value != 0);
    const int width = std::min(digits, FormatMaxWidth);
    UnicodeString out(width > n ? static_cast<std::size_t>(width - n) : 0, u'0');
    out.append(buf + 16 - n, buf + 16);
    return out;
}

UnicodeString Trim(const UnicodeString& s)
{
    std::size_t b = 0, e = s.size();
    while (b < e && s[b] <= u' ')
        ++b;
    while (e > b && s[e - 1] <= u' ')
        --e;
    return s.substr(b, e - b);
}

UnicodeString UpperCase(const UnicodeString& s)
{
    UnicodeString out = s;
    for (auto& c : out)
        if ((c >= u'a' && c <= u'z') || (c >= 0xE0 && c <= 0xFE && c != 0xF7))
            c = static_cast<char16_t>(c - 32);
    return out;
}

UnicodeString Format(const UnicodeString& fmt, std::initializer_list<FormatArg> args)
{
    UnicodeString out;
    auto arg = args.begin();
    for (std::size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] != u'%') {
            out += fmt[i];
            continue;
        }
        if (++i >= fmt.size())
            break;
        if (fmt[i] == u'%') {
            out += u'%';
            continue;
        }
        bool left = false, zero = false, plus = false;
        for (; i < fmt.size(); ++i) {
            if (fmt[i] == u'-') left = true;
            else if (fmt[i] == u'0') zero = true;
            else if (fmt[i] == u'+') plus = true;
            else break;
        }
        // Digits beyond the limit only keep it at the limit.
        auto number = [&] {
            int v = 0;
            for (; i < fmt.size() && fmt[i] >= u'0' && fmt[i] <= u'9'; ++i)
                v = std::min(v * 10 + (fmt[i] - u'0'), FormatMaxWidth);
            return v;
        };
        int width = number(), prec = -1;
        if (i < fmt.size() && fmt[i] == u'.') {
            ++i;
            prec = number();
        }
        while (i < fmt.size() && (fmt[i] == u'l' || fmt[i] == u'h' || fmt[i] == u'z'))
            ++i;
        if (i >= fmt.size())
            break;
        char16_t conv = fmt[i];
        UnicodeString field;
        bool numeric = false;
        if (arg != args.end()) {
            const TVarRec& v = arg->v;
            ++arg;
            auto asSigned = [&]() -> long long {
                if (auto p = std::get_if<long long>(&v)) return *p;
                if (auto p = std::get_if<unsigned long long>(&v)) return static_cast<long long>(*p);
                return 0;
            };
            auto asUnsigned = [&]() -> unsigned long long {
                if (auto p = std::get_if<unsigned long long>(&v)) return *p;
                if (auto p = std::get_if<long long>(&v)) return static_cast<unsigned long long>(*p);
                return 0;
            };
            switch (conv) {
            case u'd': case u'i': {
                long long n = asSigned();
                numeric = true;
                // The magnitude in unsigned arithmetic: -n overflows for the most negative value.
                const unsigned long long mag = n < 0 ? 0ull - static_cast<unsigned long long>(n) : n;
                field = FromUtf8(std::to_string(mag));
                if (static_cast<int>(field.size()) < prec)
                    field.insert(0, static_cast<std::size_t>(prec) - field.size(), u'0');
                if (n < 0) field.insert(field.begin(), u'-');
                else if (plus) field.insert(field.begin(), u'+');
                break;
            }
            case u'u':
                numeric = true;
                field = FromUtf8(std::to_string(asUnsigned()));
                break;
            case u'x':
            case u'X': {
                numeric = true;
                field = IntToHex(asUnsigned(), prec > 0 ? prec : 1);
                if (conv == u'x')
                    for (auto& c : field) if (c >= u'A' && c <= u'F') c = static_cast<char16_t>(c + 32);
                break;
            }
            case u'c':
                field = UnicodeString(1, static_cast<char16_t>(asUnsigned()));
                break;
            case u's':
            default:
                if (auto p = std::get_if<UnicodeString>(&v)) field = *p;
                else field = IntToStr(asSigned());
                if (prec >= 0 && static_cast<int>(field.size()) > prec) field.resize(prec);
                break;
            }
        }
        int pad = width - static_cast<int>(field.size());
        if (pad > 0) {
            if (left) {
                field.append(pad, u' ');
            } else if (zero && numeric) {
                std::size_t at = (!field.empty() && (field[0] == u'-' || field[0] == u'+')) ? 1 : 0;
                field.insert(at, pad, u'0');
            } else {
                field.insert(0, pad, u' ');
            }
        }
        out += field;
    }
    return out;
}
