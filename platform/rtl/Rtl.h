#pragma once
// Runtime-library stand-ins shared by the whole program: UTF-16 strings, the
// exception base class, the root object class, closures and the few
// conversions the window and the library use. No Qt here.
#include <cstdint>
#include <exception>
#include <functional>
#include <initializer_list>
#include <string>
#include <variant>
#include <vector>

using UnicodeString = std::u16string;
using TByteDynArray = std::vector<std::uint8_t>;

class TObject {
public:
    virtual ~TObject() = default;
};

// Notification closures: empty means unassigned.
using TNotifyEvent = std::function<void(TObject* Sender)>;
using TCommNotifyEvent = std::function<void(TObject* Sender, int NotifyType)>;

// The exception base class: holds a UTF-16 message; what() gives it in UTF-8.
class Exception : public std::exception {
public:
    explicit Exception(UnicodeString Msg = UnicodeString());
    const UnicodeString& Message() const noexcept { return FMessage; }
    void SetMessage(const UnicodeString& Msg);
    const char* what() const noexcept override { return FUtf8.c_str(); }

private:
    UnicodeString FMessage;
    std::string FUtf8;
};

// Raised by StrToInt for text that is not a decimal integer.
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

std::string ToUtf8(const UnicodeString& s);
UnicodeString FromUtf8(const std::string& s);
inline UnicodeString FromUtf8(const char* s) { return FromUtf8(std::string(s ? s : "")); }

// Decimal integer: optional blanks, optional sign, digits; anything else
// (or a value outside 32 bits) raises EConvertError.
int StrToInt(const UnicodeString& s);
// Like StrToInt, but returns false instead of raising.
bool TryStrToInt(const UnicodeString& s, int& value);
UnicodeString IntToStr(long long value);
// Upper-case hexadecimal, at least `digits` digits.
UnicodeString IntToHex(unsigned long long value, int digits);
// Leading and trailing blanks and control characters removed.
UnicodeString Trim(const UnicodeString& s);
// ASCII/Latin upper case.
UnicodeString UpperCase(const UnicodeString& s);

// printf-style formatting for %s %d %i %u %ld %lu %x %X %c %% with flags,
// width and precision. Arguments are integers or UTF-16 strings. A width or
// precision above FormatMaxWidth counts as FormatMaxWidth.
constexpr int FormatMaxWidth = 4096;
using TVarRec = std::variant<long long, unsigned long long, UnicodeString>;
struct FormatArg {
    TVarRec v;
    FormatArg(int x) : v(static_cast<long long>(x)) {}
    FormatArg(long x) : v(static_cast<long long>(x)) {}
    FormatArg(long long x) : v(x) {}
    FormatArg(unsigned x) : v(static_cast<unsigned long long>(x)) {}
    FormatArg(unsigned long x) : v(static_cast<unsigned long long>(x)) {}
    FormatArg(unsigned long long x) : v(x) {}
    FormatArg(const UnicodeString& s) : v(s) {}
    FormatArg(const char16_t* s) : v(UnicodeString(s ? s : u"")) {}
};
UnicodeString Format(const UnicodeString& fmt, std::initializer_list<FormatArg> args);
