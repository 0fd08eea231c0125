// Thread locale from the environment, and the system version query.
#include "platform/win32/posix/FaultInjection.h"
#include "platform/win32/posix/Internal.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct LocaleId {
    const char* name;
    LCID lcid;
};

// Language and territory as the C library names them, with their Windows ids.
constexpr LocaleId kLocales[] = {
    {"zh_CN", 0x0804}, {"zh_SG", 0x0804}, {"zh_TW", 0x0404}, {"zh_HK", 0x0C04}, {"zh_MO", 0x1404},
    {"en_US", 0x0409}, {"en_GB", 0x0809}, {"en_AU", 0x0C09}, {"en_CA", 0x1009}, {"en_NZ", 0x1409},
    {"en_IE", 0x1809}, {"en_ZA", 0x1C09}, {"en_IN", 0x4009}, {"en_SG", 0x4809},
    {"de_DE", 0x0407}, {"de_CH", 0x0807}, {"de_AT", 0x0C07}, {"de_LU", 0x1007}, {"de_LI", 0x1407},
    {"fr_FR", 0x040C}, {"fr_BE", 0x080C}, {"fr_CA", 0x0C0C}, {"fr_CH", 0x100C}, {"fr_LU", 0x140C},
    {"es_ES", 0x0C0A}, {"es_MX", 0x080A}, {"es_AR", 0x2C0A}, {"es_CO", 0x240A}, {"es_CL", 0x340A},
    {"it_IT", 0x0410}, {"it_CH", 0x0810}, {"pt_BR", 0x0416}, {"pt_PT", 0x0816},
    {"nl_NL", 0x0413}, {"nl_BE", 0x0813}, {"sv_SE", 0x041D}, {"sv_FI", 0x081D},
    {"ja_JP", 0x0411}, {"ko_KR", 0x0412}, {"ru_RU", 0x0419}, {"uk_UA", 0x0422}, {"pl_PL", 0x0415},
    {"cs_CZ", 0x0405}, {"sk_SK", 0x041B}, {"hu_HU", 0x040E}, {"ro_RO", 0x0418}, {"bg_BG", 0x0402},
    {"el_GR", 0x0408}, {"tr_TR", 0x041F}, {"he_IL", 0x040D}, {"ar_SA", 0x0401}, {"ar_EG", 0x0C01},
    {"da_DK", 0x0406}, {"fi_FI", 0x040B}, {"nb_NO", 0x0414}, {"nn_NO", 0x0814}, {"is_IS", 0x040F},
    {"th_TH", 0x041E}, {"vi_VN", 0x042A}, {"id_ID", 0x0421}, {"ms_MY", 0x043E}, {"hi_IN", 0x0439},
    {"hr_HR", 0x041A}, {"sl_SI", 0x0424}, {"sr_RS", 0x241A}, {"lt_LT", 0x0427}, {"lv_LV", 0x0426},
    {"et_EE", 0x0425}, {"ca_ES", 0x0403}, {"eu_ES", 0x042D}, {"gl_ES", 0x0456}, {"fa_IR", 0x0429},
};

// A language on its own gets the id of its main territory.
constexpr LocaleId kLanguages[] = {
    {"zh", 0x0804}, {"en", 0x0409}, {"de", 0x0407}, {"fr", 0x040C}, {"es", 0x0C0A}, {"it", 0x0410},
    {"pt", 0x0416}, {"nl", 0x0413}, {"sv", 0x041D}, {"ja", 0x0411}, {"ko", 0x0412}, {"ru", 0x0419},
    {"uk", 0x0422}, {"pl", 0x0415}, {"cs", 0x0405}, {"sk", 0x041B}, {"hu", 0x040E}, {"ro", 0x0418},
    {"bg", 0x0402}, {"el", 0x0408}, {"tr", 0x041F}, {"he", 0x040D}, {"ar", 0x0401}, {"da", 0x0406},
    {"fi", 0x040B}, {"nb", 0x0414}, {"no", 0x0414}, {"nn", 0x0814}, {"is", 0x040F}, {"th", 0x041E},
    {"vi", 0x042A}, {"id", 0x0421}, {"ms", 0x043E}, {"hi", 0x0439}, {"hr", 0x041A}, {"sl", 0x0424},
    {"sr", 0x241A}, {"lt", 0x0427}, {"lv", 0x0426}, {"et", 0x0425}, {"ca", 0x0403}, {"eu", 0x042D},
    {"gl", 0x0456}, {"fa", 0x0429},
};

LCID LookupLocale(std::string name)
{
    // "zh_CN.UTF-8@modifier" -> "zh_CN"
    std::size_t cut = name.find_first_of(".@");
    if (cut != std::string::npos)
        name.resize(cut);
    if (name.empty() || name == "C" || name == "POSIX")
        return 0;
    for (const auto& l : kLocales)
        if (name == l.name)
            return l.lcid;
    // Unknown territory of a known language, or a language alone.
    std::string lang = name.substr(0, name.find('_'));
    for (const auto& l : kLanguages)
        if (lang == l.name)
            return l.lcid;
    return 0;
}

} // namespace

LCID GetThreadLocale()
{
    // Read at every call, so a changed environment takes effect at once.
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v)
            return LookupLocale(v);
    }
    return 0;
}

BOOL GetVersionExW(LPOSVERSIONINFOW)
{
    SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}
