// The About box: caption and texts per locale, the system line for the
// versions it knows, the registered user and organisation, and its links.
#include <QApplication>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <gtest/gtest.h>
#include <map>
#include <string>
#include <vector>

#include "comm/dialogs/Unit_ZUComm32_About.h"
#include "tests/ui_dialogs_helpers.hpp"

using namespace KelvorComm32;
using namespace Qt::StringLiterals;
using dialogtest::LinkRecorder;
using dialogtest::LocaleScope;
using About = TForm_ZUComm32_About;

namespace {

// A system that answers the version query and the registry as told, and
// keeps track of what the box asked.
class FakeSystem {
public:
    FakeSystem() { fOld = About::SetSysInfoCalls(calls()); }
    ~FakeSystem() { About::SetSysInfoCalls(std::move(fOld)); }
    FakeSystem(const FakeSystem&) = delete;
    FakeSystem& operator=(const FakeSystem&) = delete;

    void version(DWORD major, DWORD minor, DWORD build, DWORD platform, const char16_t* csd)
    {
        versionOk = true;
        info = {};
        info.dwMajorVersion = major;
        info.dwMinorVersion = minor;
        info.dwBuildNumber = build;
        info.dwPlatformId = platform;
        std::u16string s(csd);
        std::copy(s.begin(), s.end(), info.szCSDVersion);
    }

    bool versionOk = false;
    OSVERSIONINFOW info{};
    DWORD sizeAsked = 0;
    bool keyExists = true;
    std::vector<std::u16string> openedKeys;
    int closes = 0;
    std::map<std::u16string, std::vector<BYTE>> values;
    std::vector<DWORD> bufferSizes;

private:
    HKEY fakeKey() { return reinterpret_cast<HKEY>(static_cast<std::uintptr_t>(0x1234)); }

    About::TSysInfoCalls calls()
    {
        About::TSysInfoCalls c;
        c.GetVersionEx = [this](LPOSVERSIONINFOW out) {
            sizeAsked = out->dwOSVersionInfoSize;
            if (!versionOk)
                return FALSE;
            *out = info;
            out->dwOSVersionInfoSize = sizeAsked;
            return TRUE;
        };
        c.RegOpenKeyEx = [this](HKEY root, LPCWSTR path, DWORD, REGSAM access, PHKEY result) -> LSTATUS {
            EXPECT_EQ(root, HKEY_LOCAL_MACHINE);
            EXPECT_EQ(access, KEY_READ);
            openedKeys.emplace_back(path);
            if (!keyExists)
                return ERROR_FILE_NOT_FOUND;
            *result = fakeKey();
            return ERROR_SUCCESS;
        };
        c.RegQueryValueEx = [this](HKEY key, LPCWSTR name, LPDWORD, LPDWORD, BYTE* data, LPDWORD size) -> LSTATUS {
            EXPECT_EQ(key, fakeKey());
            bufferSizes.push_back(*size);
            auto it = values.find(name);
            if (it == values.end())
                return ERROR_FILE_NOT_FOUND;
            if (it->second.size() > *size)
                return ERROR_MORE_DATA;
            std::copy(it->second.begin(), it->second.end(), data);
            *size = static_cast<DWORD>(it->second.size());
            return ERROR_SUCCESS;
        };
        c.RegCloseKey = [this](HKEY key) -> LSTATUS {
            EXPECT_EQ(key, fakeKey());
            ++closes;
            return ERROR_SUCCESS;
        };
        return c;
    }

    About::TSysInfoCalls fOld;
};

std::vector<BYTE> RegText(const std::u16string& s, bool terminated = true)
{
    std::vector<BYTE> out(reinterpret_cast<const BYTE*>(s.data()),
                          reinterpret_cast<const BYTE*>(s.data() + s.size()));
    if (terminated)
        out.insert(out.end(), {0, 0});
    return out;
}

void Click(QWidget* w, Qt::MouseButton button = Qt::LeftButton)
{
    const QPointF at(w->width() / 2.0, w->height() / 2.0);
    QMouseEvent press(QEvent::MouseButtonPress, at, w->mapToGlobal(at), button, button, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QMouseEvent release(QEvent::MouseButtonRelease, at, w->mapToGlobal(at), button, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

TEST(AboutBox, VersionLineForEachKnownSystem)
{
    struct Case {
        DWORD major, minor, build, platform;
        const char16_t* csd;
        QString line;
    };
    const Case cases[] = {
        {5, 1, 2600, 2, u"Service Pack 3", u"Windows XP 5.01.2600 Service Pack 3"_s},
        {6, 0, 6002, 2, u"Service Pack 2", u"Windows Vista 6.00.6002 Service Pack 2"_s},
        {6, 1, 7601, 2, u"Service Pack 1", u"Windows NT 6.01.7601 Service Pack 1"_s},
        {5, 2, 3790, 2, u"", u"Windows 2003 5.02.3790 "_s},
        {5, 0, 2195, 2, u"", u"Windows 2000 5.00.2195 "_s},
        // Only the low 16 bits of the build count; the service text of the
        // older family is not shown.
        {4, 10, 0x040A08AE, 1, u" A ", u"Windows 98 SE 4.10.2222 "_s},
        {4, 10, 1998, 1, u"", u"Windows 98 4.10.1998 "_s},
        {4, 0, 950, 1, u"", u"Windows 95 4.00.0950 "_s},
        {4, 0, 1111, 1, u"", u"Windows 95 OSR2 4.00.1111 "_s},
        {4, 90, 3000, 1, u"", u"Windows ME 4.90.3000 "_s},
        {3, 10, 0, 1, u"", u"Windows 3.10.0000 "_s},
    };
    LocaleScope locale("en_US.UTF-8");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.line.toStdString());
        FakeSystem sys;
        sys.version(c.major, c.minor, c.build, c.platform, c.csd);
        About box(nullptr, u"TZuCommDevice"_s);
        EXPECT_EQ(box.LabelOSVer->text(), c.line);
        EXPECT_EQ(sys.sizeAsked, 276u);
    }
}

TEST(AboutBox, FailedVersionQueryGivesZerosAndTheOlderRegistryPath)
{
    LocaleScope locale("en_US.UTF-8");
    FakeSystem sys;
    sys.values[u"RegisteredOwner"] = RegText(u"Ada");
    About box(nullptr, u"TZuCommDevice"_s);
    EXPECT_EQ(box.LabelOSVer->text(), u" 0.00.0000 "_s);
    ASSERT_EQ(sys.openedKeys.size(), 1u);
    EXPECT_EQ(sys.openedKeys[0], u"Software\\Microsoft\\Windows\\CurrentVersion");
    EXPECT_EQ(box.LabelUser->text(), u"Ada"_s);
    EXPECT_EQ(sys.closes, 1);
}

TEST(AboutBox, RegisteredUserAndOrganisationComeFromTheSystemKey)
{
    LocaleScope locale("en_US.UTF-8");
    {
        FakeSystem sys;
        sys.version(5, 1, 2600, 2, u"Service Pack 3");
        sys.values[u"RegisteredOwner"] = RegText(u"Ada Lovelace");
        sys.values[u"RegisteredOrganization"] = RegText(u"示例公司");
        About box(nullptr, u"TZuCommDevice"_s);
        ASSERT_EQ(sys.openedKeys.size(), 1u);
        EXPECT_EQ(sys.openedKeys[0], u"Software\\Microsoft\\Windows NT\\CurrentVersion");
        EXPECT_EQ(box.LabelUser->text(), u"Ada Lovelace"_s);
        EXPECT_EQ(box.LabelUserOrg->text(), u"示例公司"_s);
        // Each read gets the whole 512-byte buffer, whatever the first one used.
        EXPECT_EQ(sys.bufferSizes, (std::vector<DWORD>{512, 512}));
        EXPECT_EQ(sys.closes, 1);
    }
    {
        // A missing owner leaves its label empty and still reads the organisation.
        FakeSystem sys;
        sys.version(5, 1, 2600, 2, u"");
        sys.values[u"RegisteredOrganization"] = RegText(u"Example Ltd");
        About box(nullptr, u"TZuCommDevice"_s);
        EXPECT_TRUE(box.LabelUser->text().isEmpty());
        EXPECT_EQ(box.LabelUserOrg->text(), u"Example Ltd"_s);
        EXPECT_EQ(sys.closes, 1);
    }
    {
        // Data that fills the buffer without a terminator is cut at the buffer.
        FakeSystem sys;
        sys.values[u"RegisteredOwner"] = RegText(std::u16string(256, u'x'), false);
        About box(nullptr, u"TZuCommDevice"_s);
        EXPECT_EQ(box.LabelUser->text(), QString(256, u'x'));
    }
    {
        // No key: nothing to close, both labels empty.
        FakeSystem sys;
        sys.keyExists = false;
        About box(nullptr, u"TZuCommDevice"_s);
        EXPECT_TRUE(box.LabelUser->text().isEmpty());
        EXPECT_TRUE(box.LabelUserOrg->text().isEmpty());
        EXPECT_EQ(sys.closes, 0);
    }
}

TEST(AboutBox, OnThisSystemTheFailurePathsApply)
{
    LocaleScope locale("en_US.UTF-8");
    About box(nullptr, u"TZuCommDevice"_s);
    EXPECT_EQ(box.LabelOSVer->text(), u" 0.00.0000 "_s);
    EXPECT_TRUE(box.LabelUser->text().isEmpty());
    EXPECT_TRUE(box.LabelUserOrg->text().isEmpty());
}

TEST(AboutBox, TextsFollowTheThreadLocale)
{
    struct Case {
        const char* locale;
        QString caption, ok, user, orgn, version;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", u"关于 TZuCommDevice……"_s, u"确定"_s, u"用户:"_s, u"单位:"_s, u"版本: 1.5.0.1"_s},
        {"zh_TW.UTF-8", u"關於 TZuCommDevice……"_s, u"確定"_s, u"用戶:"_s, u"單位:"_s, u"版本: 1.5.0.1"_s},
        {"en_US.UTF-8", u"About TZuCommDevice..."_s, u"OK"_s, u"User:"_s, u"Orgn:"_s, u"Version: 1.5.0.1"_s},
        {"zh_HK.UTF-8", u"About TZuCommDevice..."_s, u"OK"_s, u"User:"_s, u"Orgn:"_s, u"Version: 1.5.0.1"_s},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        LocaleScope locale(c.locale);
        About box(nullptr, u"TZuCommDevice"_s);
        EXPECT_EQ(box.windowTitle(), c.caption);
        EXPECT_EQ(box.LabelCaption->text(), u"TZuCommDevice"_s);
        EXPECT_EQ(box.BnOK->text(), c.ok);
        EXPECT_EQ(box.LabelPmtUser->text(), c.user);
        EXPECT_EQ(box.LabelPmtOrgn->text(), c.orgn);
        EXPECT_EQ(box.LabelVersion->text(), c.version);
        EXPECT_FALSE(box.LabelCo->text().isEmpty());
    }
    LocaleScope locale("en_US.UTF-8");
    About::TMsgStrings msgs;
    EXPECT_EQ(msgs.fGetMsg(10), u"&Settings..."_s);
    EXPECT_TRUE(msgs.fGetMsg(12).isEmpty());
    EXPECT_TRUE(msgs.fGetMsg(-1).isEmpty());
}

TEST(AboutBox, LinksOpenTheHomePageAndAMailToTheSameAddressTheyShow)
{
    LocaleScope locale("en_US.UTF-8");
    LinkRecorder links;
    About box(nullptr, u"TZuCommDevice"_s);
    box.show();
    EXPECT_EQ(box.LabelHomepage->toolTip(), box.LabelHomepage->text());
    EXPECT_EQ(box.LabelEmail->toolTip(), u"mailto:"_s + box.LabelEmail->text());

    Click(box.LabelHomepage);
    Click(box.LabelEmail);
    Click(box.LabelEmail, Qt::RightButton); // only the left button follows a link
    Click(box.LabelCo);
    ASSERT_EQ(links.links.size(), 2u);
    EXPECT_EQ(links.links[0], box.LabelHomepage->text());
    EXPECT_EQ(links.links[1], box.LabelEmail->toolTip());
    EXPECT_TRUE(box.isVisible());
}

TEST(AboutBox, OkClosesTheBoxWithOk)
{
    LocaleScope locale("en_US.UTF-8");
    About box(nullptr, u"TZuCommDevice"_s);
    box.show();
    box.BnOK->click();
    EXPECT_FALSE(box.isVisible());
    EXPECT_EQ(box.result(), Toolkit::mrOK);
}

} // namespace
