// Format and StrToInt on any text. Format: never more than a bounded
// output, and %d of any 64-bit value as std::to_string gives it. StrToInt:
// the same answer as a plain reading of the rule (blanks, one sign, decimal
// digits, 32 bits), and a raise exactly when that reading refuses.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <string>

#include "platform/rtl/Rtl.h"

namespace {

void Check(bool ok)
{
    if (!ok)
        std::abort();
}

bool ReferenceInt(const UnicodeString& s, int& value)
{
    std::size_t i = 0;
    while (i < s.size() && (s[i] == u' ' || s[i] == u'\t'))
        ++i;
    const bool negative = i < s.size() && s[i] == u'-';
    if (i < s.size() && (s[i] == u'-' || s[i] == u'+'))
        ++i;
    if (i == s.size())
        return false;
    std::string digits;
    for (; i < s.size(); ++i) {
        if (s[i] < u'0' || s[i] > u'9')
            return false;
        if (!(digits.empty() && s[i] == u'0'))
            digits.push_back(static_cast<char>(s[i]));
    }
    if (digits.size() > 10)
        return false;
    const long long v = digits.empty() ? 0 : std::stoll(digits) * (negative ? -1 : 1);
    if (v < std::numeric_limits<int>::min() || v > std::numeric_limits<int>::max())
        return false;
    value = static_cast<int>(v);
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // Bytes read as text: ASCII mostly, so specifiers are common.
    UnicodeString text;
    for (std::size_t i = 0; i < size; ++i)
        text.push_back(data[i] < 0xF0 ? static_cast<char16_t>(data[i] & 0x7F) : static_cast<char16_t>(0x4E00 + data[i]));

    const UnicodeString out = Format(text, {std::numeric_limits<long long>::min(), -1, 4294967295ul, u"串行口",
                                            std::numeric_limits<unsigned long long>::max(), 'A', UnicodeString(600, u'x')});
    // Each specifier gives at most its padding or its argument (600 + a sign).
    std::size_t specs = 0;
    for (char16_t c : text)
        specs += c == u'%';
    Check(out.size() <= text.size() + specs * (FormatMaxWidth + 1 + 600));

    if (size >= sizeof(long long)) {
        long long v;
        std::memcpy(&v, data, sizeof v);
        const std::string expect = std::to_string(v);
        Check(Format(u"%d", {v}) == UnicodeString(expect.begin(), expect.end()));
    }

    int got = 0, want = 0;
    const bool ok = TryStrToInt(text, got);
    Check(ok == ReferenceInt(text, want));
    if (ok)
        Check(got == want);
    bool raised = false;
    try {
        Check(StrToInt(text) == got);
    } catch (const EConvertError&) {
        raised = true;
    }
    Check(raised == !ok);
    return 0;
}
