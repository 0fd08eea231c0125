#include "comm/dialogs/Unit_ZUComm32_About.h"

#include <QEvent>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <algorithm>
#include <iterator>

#include "comm/dialogs/DialogLook.h"
#include "platform/toolkit/Toolkit.h"
#include "ui_Unit_ZUComm32_About.h"

#ifdef _WIN32
#define KW(s) L##s
#else
#define KW(s) u##s
#endif

namespace KelvorComm32 {

namespace {

using Msgs = TForm_ZUComm32_About::TMsgStrings;

#define KELVOR_NOTICE u"KelvorComm32 serial port library"
#define KELVOR_HOMEPAGE u"https://kelvorcomm.example.org/"
#define KELVOR_MAIL u"kelvorcomm@example.org"

const char16_t* const MsgZhCN[Msgs::MsgCount] = {
    u"关于 ", u"……", u"用户:", u"单位:", u"版本: 1.5.0.1", KELVOR_NOTICE, KELVOR_HOMEPAGE, KELVOR_MAIL,
    u"mailto:" KELVOR_MAIL, u"确定", u"设置(&S)...", u"关于(&A)...",
};

const char16_t* const MsgZhTW[Msgs::MsgCount] = {
    u"關於 ", u"……", u"用戶:", u"單位:", u"版本: 1.5.0.1", KELVOR_NOTICE, KELVOR_HOMEPAGE, KELVOR_MAIL,
    u"mailto:" KELVOR_MAIL, u"確定", u"設置(&S)...", u"關於(&A)...",
};

const char16_t* const MsgEn[Msgs::MsgCount] = {
    u"About ", u"...", u"User:", u"Orgn:", u"Version: 1.5.0.1", KELVOR_NOTICE, KELVOR_HOMEPAGE, KELVOR_MAIL,
    u"mailto:" KELVOR_MAIL, u"OK", u"&Settings...", u"&About...",
};

enum : int {
    idCaptionHead = 0, idCaptionTail = 1, idUser = 2, idOrgn = 3, idVersion = 4, idNotice = 5, idHomepage = 6,
    idMail = 7, idMailLink = 8, idOK = 9
};

constexpr DWORD kRegDataBytes = 512;

// Text of a wide-character buffer holding at most `Count` characters, up to
// its first NUL; the system does not promise the terminator.
QString WideText(const WCHAR* Text, std::size_t Count)
{
    std::size_t n = 0;
    while (n < Count && Text[n] != 0)
        ++n;
#ifdef _WIN32
    return QString::fromWCharArray(Text, static_cast<qsizetype>(n));
#else
    return QString::fromUtf16(Text, static_cast<qsizetype>(n));
#endif
}

TForm_ZUComm32_About::TSysInfoCalls& CurrentCalls()
{
    static TForm_ZUComm32_About::TSysInfoCalls Calls = TForm_ZUComm32_About::SystemCalls();
    return Calls;
}

} // namespace

TForm_ZUComm32_About::TMsgStrings::TMsgStrings()
{
    switch (FLanguage.LcId()) {
    case 1028: FTable = MsgZhTW; break;
    case 2052: FTable = MsgZhCN; break;
    default: FTable = MsgEn; break;
    }
}

QString TForm_ZUComm32_About::TMsgStrings::fGetMsg(int Id) const
{
    if (Id < 0 || Id >= MsgCount)
        return QString();
    return QString::fromUtf16(FTable[Id]);
}

TForm_ZUComm32_About::TSysInfoCalls TForm_ZUComm32_About::SystemCalls()
{
    TSysInfoCalls Calls;
    Calls.GetVersionEx = [](LPOSVERSIONINFOW Info) { return ::GetVersionExW(Info); };
    Calls.RegOpenKeyEx = [](HKEY Key, LPCWSTR SubKey, DWORD Options, REGSAM Access, PHKEY Result) {
        return ::RegOpenKeyExW(Key, SubKey, Options, Access, Result);
    };
    Calls.RegQueryValueEx = [](HKEY Key, LPCWSTR Name, LPDWORD Reserved, LPDWORD Type, BYTE* Data, LPDWORD Size) {
        return ::RegQueryValueExW(Key, Name, Reserved, Type, Data, Size);
    };
    Calls.RegCloseKey = [](HKEY Key) { return ::RegCloseKey(Key); };
    return Calls;
}

TForm_ZUComm32_About::TSysInfoCalls TForm_ZUComm32_About::SetSysInfoCalls(TSysInfoCalls Calls)
{
    TSysInfoCalls Old = std::move(CurrentCalls());
    CurrentCalls() = std::move(Calls);
    return Old;
}

TForm_ZUComm32_About::TForm_ZUComm32_About(TComponent* Owner, const QString& Name)
    : QDialog(dynamic_cast<QWidget*>(Owner))
{
    Ui::TForm_ZUComm32_About ui;
    ui.setupUi(this);
    BnOK = ui.BnOK;
    Image1 = ui.Image1;
    LabelCaption = ui.LabelCaption;
    LabelVersion = ui.LabelVersion;
    LabelCo = ui.LabelCo;
    LabelHomepage = ui.LabelHomepage;
    LabelEmail = ui.LabelEmail;
    Bevel1 = ui.Bevel1;
    LabelOSVer = ui.LabelOSVer;
    LabelPmtUser = ui.LabelPmtUser;
    LabelPmtOrgn = ui.LabelPmtOrgn;
    LabelUser = ui.LabelUser;
    LabelUserOrg = ui.LabelUserOrg;

    setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowCloseButtonHint);
    setFont(Look::DialogFont());
    setFixedSize(278, 132);
    Image1->setPixmap(Look::PortPicture());
    BnOK->setIcon(Look::OkGlyph());
    connect(BnOK, &QPushButton::clicked, this, [this] { Toolkit::Guarded([this] { BnOKClick(BnOK); }); });

    QFont CaptionFont = font();
    CaptionFont.setPointSize(11);
    LabelCaption->setFont(CaptionFont);

    for (QLabel* Link : {LabelHomepage, LabelEmail}) {
        QPalette p = Link->palette();
        p.setColor(QPalette::WindowText, QColor(0, 0, 255));
        Link->setPalette(p);
        QFont f = Link->font();
        f.setUnderline(true);
        Link->setFont(f);
        Link->installEventFilter(this);
    }

    TMsgStrings Msgs;
    setWindowTitle(Msgs.fGetMsg(idCaptionHead) + Name + Msgs.fGetMsg(idCaptionTail));
    LabelCaption->setText(Name);
    LabelVersion->setText(Msgs.fGetMsg(idVersion));
    LabelCo->setText(Msgs.fGetMsg(idNotice));
    LabelHomepage->setText(Msgs.fGetMsg(idHomepage));
    LabelHomepage->setToolTip(Msgs.fGetMsg(idHomepage));
    LabelEmail->setText(Msgs.fGetMsg(idMail));
    LabelEmail->setToolTip(Msgs.fGetMsg(idMailLink));
    LabelPmtUser->setText(Msgs.fGetMsg(idUser));
    LabelPmtOrgn->setText(Msgs.fGetMsg(idOrgn));
    BnOK->setText(Msgs.fGetMsg(idOK));
    // Each text keeps to its own room: the name ends before the version, the
    // prompts before the values, everything inside the box.
    const int Right = width() - 2;
    Look::FitLabel(LabelVersion, Right - LabelVersion->x());
    Look::FitLabel(LabelCaption, LabelVersion->x() - 4 - LabelCaption->x());
    for (QLabel* l : {LabelCo, LabelHomepage, LabelEmail})
        Look::FitLabel(l, Right - l->x());
    for (QLabel* l : {LabelPmtUser, LabelPmtOrgn})
        Look::FitLabel(l, LabelUser->x() - 2 - l->x());

    ShowSysInfo();
}

TForm_ZUComm32_About::~TForm_ZUComm32_About() = default;

void TForm_ZUComm32_About::ShowSysInfo()
{
    const TSysInfoCalls& Calls = CurrentCalls();
    UnicodeString Product;
    int Major = 0, Minor = 0, Build = 0;
    QString Service;
    bool NT = false;

    OSVERSIONINFOW Info{};
    Info.dwOSVersionInfoSize = sizeof(OSVERSIONINFOW);
    if (Calls.GetVersionEx && Calls.GetVersionEx(&Info)) {
        Major = static_cast<int>(Info.dwMajorVersion);
        Minor = static_cast<int>(Info.dwMinorVersion);
        Build = static_cast<int>(Info.dwBuildNumber & 0xFFFF);
        NT = Info.dwPlatformId == VER_PLATFORM_WIN32_NT;
        Product = u"Windows";
        if (NT) {
            Service = WideText(Info.szCSDVersion, std::size(Info.szCSDVersion));
            if (Major == 5 && Minor == 0)
                Product += u" 2000";
            else if (Major == 5 && Minor == 1)
                Product += u" XP";
            else if (Major == 5 && Minor == 2)
                Product += u" 2003";
            else if (Major == 6 && Minor == 0)
                Product += u" Vista";
            else
                Product += u" NT";
        } else if (Major == 4) {
            if (Minor == 0)
                Product += Build >= 1111 ? u" 95 OSR2" : u" 95";
            else if (Minor == 10)
                Product += Build >= 2222 ? u" 98 SE" : u" 98";
            else if (Minor == 90)
                Product += u" ME";
        }
    }

    QString User, Organisation;
    HKEY Key = nullptr;
    const WCHAR* Path = NT ? KW("Software\\Microsoft\\Windows NT\\CurrentVersion")
                           : KW("Software\\Microsoft\\Windows\\CurrentVersion");
    if (Calls.RegOpenKeyEx && Calls.RegQueryValueEx && Calls.RegOpenKeyEx(HKEY_LOCAL_MACHINE, Path, 0, KEY_READ, &Key) == ERROR_SUCCESS) {
        struct KeyCloser {
            const TSysInfoCalls& Calls;
            HKEY Key;
            ~KeyCloser()
            {
                if (Calls.RegCloseKey)
                    Calls.RegCloseKey(Key);
            }
        } Closer{Calls, Key};
        WCHAR Data[kRegDataBytes / sizeof(WCHAR)];
        DWORD Size = kRegDataBytes;
        if (Calls.RegQueryValueEx(Key, KW("RegisteredOwner"), nullptr, nullptr, reinterpret_cast<BYTE*>(Data), &Size) ==
            ERROR_SUCCESS)
            User = WideText(Data, std::min<DWORD>(Size, kRegDataBytes) / sizeof(WCHAR));
        Size = kRegDataBytes;
        if (Calls.RegQueryValueEx(Key, KW("RegisteredOrganization"), nullptr, nullptr, reinterpret_cast<BYTE*>(Data),
                                  &Size) == ERROR_SUCCESS)
            Organisation = WideText(Data, std::min<DWORD>(Size, kRegDataBytes) / sizeof(WCHAR));
    }

    LabelOSVer->setText(QString::fromStdU16String(
        Format(u"%s %d.%02d.%04d %s", {Product, Major, Minor, Build, Service.toStdU16String()})));
    LabelUser->setText(User);
    LabelUserOrg->setText(Organisation);
    Look::FitLabel(LabelOSVer, width() - 2 - LabelOSVer->x());
    for (QLabel* l : {LabelUser, LabelUserOrg})
        Look::FitLabel(l, BnOK->x() - 4 - l->x());
}

void TForm_ZUComm32_About::LabelHomepageClick(QObject*)
{
    TMsgStrings Msgs;
    Toolkit::OpenLink(Msgs.fGetMsg(idHomepage));
}

void TForm_ZUComm32_About::LabelEmailClick(QObject*)
{
    TMsgStrings Msgs;
    Toolkit::OpenLink(Msgs.fGetMsg(idMailLink));
}

void TForm_ZUComm32_About::BnOKClick(QObject*) { done(Toolkit::mrOK); }

void TForm_ZUComm32_About::accept() { done(Toolkit::mrOK); }
void TForm_ZUComm32_About::reject() { done(Toolkit::mrCancel); }

bool TForm_ZUComm32_About::eventFilter(QObject* Watched, QEvent* Event)
{
    if (Event->type() == QEvent::MouseButtonRelease) {
        auto* Mouse = static_cast<QMouseEvent*>(Event);
        auto* Label = qobject_cast<QLabel*>(Watched);
        if (Label && Mouse->button() == Qt::LeftButton && Label->rect().contains(Mouse->position().toPoint())) {
            if (Label == LabelHomepage) {
                Toolkit::Guarded([&] { LabelHomepageClick(Label); });
                return true;
            }
            if (Label == LabelEmail) {
                Toolkit::Guarded([&] { LabelEmailClick(Label); });
                return true;
            }
        }
    }
    return QDialog::eventFilter(Watched, Event);
}

} // namespace KelvorComm32
