// How the two dialogs come out on screen: every text fits where the form
// puts it, the Chinese texts have a font that draws them, and (with
// KELVOR_SCREENSHOT_DIR set) pictures of both dialogs in the three languages.
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <gtest/gtest.h>
#include <memory>

#include "comm/ZuCommDevice.h"
#include "comm/dialogs/Unit_ZUComm32_About.h"
#include "comm/dialogs/Unit_ZuCommDevice_Settings.h"
#include "tests/support/Pty.h"
#include "tests/ui_dialogs_helpers.hpp"

using namespace KelvorComm32;
using namespace Qt::StringLiterals;
using dialogtest::LocaleScope;

namespace {

struct Language {
    const char* locale;
    const char* tag;
};
const Language kLanguages[] = {{"zh_CN.UTF-8", "zh"}, {"zh_TW.UTF-8", "tw"}, {"en_US.UTF-8", "en"}};

// Every character of the text can be drawn with the widget's font (through
// its fallbacks), so no character comes out as an empty box.
void ExpectDrawable(const QWidget* w, const QString& text)
{
    const QFontMetrics fm(w->font());
    for (const char32_t c : text.toUcs4())
        EXPECT_TRUE(fm.inFontUcs4(c)) << w->objectName().toStdString() << " U+" << std::hex << unsigned(c);
}

// Pictures are taken only on request: painting a window this size starts
// Qt's pooled image threads, which the thread checker cannot see into.
void Save(QWidget* w, const char* prefix, const char* tag)
{
    const QByteArray dir = qgetenv("KELVOR_SCREENSHOT_DIR");
    if (dir.isEmpty() || !tag)
        return;
    QDir().mkpath(QString::fromLocal8Bit(dir));
    const QString path = QDir(QString::fromLocal8Bit(dir)).filePath(QString::fromUtf8(prefix) + QString::fromUtf8(tag) + u".png"_s);
    EXPECT_TRUE(w->grab().save(path)) << path.toStdString();
}

TEST(DialogScreens, SettingsTextsFitBesideTheirFields)
{
    // A port of our own, so the list shows it whatever the machine has.
    testsupport::PtyPair pty;
    testsupport::DeviceMap map;
    map.map(1, pty.slavePath());
    for (const Language& lang : kLanguages) {
        SCOPED_TRACE(lang.locale);
        LocaleScope locale(lang.locale);
        TZuCommDevice dev;
        dev.fSetPortName(u"COM1");
        dev.fSetRs485(true); // the RS-485 fields drawn in full, not greyed
        TForm_ZuCommDevice_Settings d(nullptr, &dev, false);
        d.show();
        EXPECT_EQ(d.CbPort->currentText(), u"COM1"_s);
        EXPECT_EQ(d.size(), QSize(393, 324));
        for (QLabel* l : {d.lbPort, d.lbBaud, d.lbCheck, d.lbBits, d.lbStops, d.lbFlow, d.lbAAns, d.lbInbs, d.lbOutbs,
                          d.lbRtsOnSend, d.lbRtsBefore, d.lbRtsAfter}) {
            ExpectDrawable(l, l->text());
            // The fields start 64 pixels into their column; a longer text
            // would run under them.
            const int column = l->x() < 192 ? 0 : 192;
            EXPECT_LE(l->geometry().right(), column + 63) << l->objectName().toStdString();
            EXPECT_GE(l->width(), QFontMetrics(l->font()).horizontalAdvance(l->text()));
        }
        for (QGroupBox* g : {d.GboxBase, d.GBoxModem, d.GBoxBuffer, d.GBoxRs485}) {
            ExpectDrawable(g, g->title());
            EXPECT_LE(QFontMetrics(g->font()).horizontalAdvance(g->title()), g->width() - 16)
                << g->objectName().toStdString();
        }
        ExpectDrawable(d.CkRs485, d.CkRs485->text());
        // The box's text stays clear of the delay fields' column.
        EXPECT_LE(d.CkRs485->x() + d.CkRs485->sizeHint().width(), 192);
        for (int i = 0; i < d.CbRtsOnSend->count(); ++i)
            ExpectDrawable(d.CbRtsOnSend, d.CbRtsOnSend->itemText(i));
        for (QAbstractButton* b : {d.BnOK, d.BnCancel})
            ExpectDrawable(b, b->text().remove(u'&'));
        for (int i = 0; i < d.CbFlow->count(); ++i)
            ExpectDrawable(d.CbFlow, d.CbFlow->itemText(i));
        Save(&d, "screenshot-settings-", lang.tag);
    }
}

TEST(DialogScreens, AboutTextsStayInsideTheBox)
{
    for (const Language& lang : kLanguages) {
        SCOPED_TRACE(lang.locale);
        LocaleScope locale(lang.locale);
        TForm_ZUComm32_About box(nullptr, u"TZuCommDevice"_s);
        box.show();
        EXPECT_EQ(box.size(), QSize(278, 132));
        for (QLabel* l : {box.LabelCaption, box.LabelVersion, box.LabelCo, box.LabelHomepage, box.LabelEmail,
                          box.LabelOSVer, box.LabelPmtUser, box.LabelPmtOrgn}) {
            ExpectDrawable(l, l->text());
            EXPECT_LE(l->geometry().right(), 277) << l->objectName().toStdString();
        }
        // The caption line and the version share the top row.
        EXPECT_LT(box.LabelCaption->geometry().right(), box.LabelVersion->x());
        ExpectDrawable(box.BnOK, box.BnOK->text());
        Save(&box, "screenshot-about-", lang.tag);
    }
}

} // namespace
