// The port settings dialog: texts, layout at run time, the field checks,
// Enter walking the fields, applying to a real (pseudo-terminal) port and
// putting the old settings back when the port refuses them.
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <gtest/gtest.h>
#include <memory>

#include "comm/ZuCommDevice.h"
#include "comm/dialogs/Unit_ZUComm32_About.h"
#include "comm/dialogs/Unit_ZuCommDevice_Settings.h"
#include "platform/win32/posix/FaultInjection.h"
#include "tests/support/Pty.h"
#include "tests/ui_dialogs_helpers.hpp"

using namespace KelvorComm32;
using dialogtest::LinkRecorder;
using dialogtest::LocaleScope;
using dialogtest::MessageRecorder;
using dialogtest::OnModal;
using Dev = TZuCustomCommDevice;
using namespace Qt::StringLiterals;

namespace {

constexpr int kPort = 7;

// What the dialog may change on the component, for before/after checks.
struct Snapshot {
    UnicodeString port;
    unsigned long baud;
    int byteSize;
    Dev::TParity parity;
    Dev::TStopBits stopBits;
    Dev::TFlowControl flow;
    int autoAnswer;
    long inSize, outSize;
    bool active;
    bool rs485 = false;
    bool rtsOnSend = true;
    long rtsBefore = 0, rtsAfter = 0;

    static Snapshot of(const Dev& d)
    {
        return {d.PortName(),   d.Comm()->Baud(), d.ByteSize(),  d.Parity(),     d.StopBits(),
                d.FlowControl(), d.AutoAnswer(),  d.InBufSize(), d.OutBufSize(), d.Active(),
                d.Rs485(),       d.RtsOnSend(),   d.RtsDelayBefore(), d.RtsDelayAfter()};
    }
    bool operator==(const Snapshot&) const = default;
};

void PressEnter(QWidget* w)
{
    QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QKeyEvent release(QEvent::KeyRelease, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(w, &release);
}

class SettingsDialog : public ::testing::Test {
protected:
    void SetUp() override
    {
        map.map(kPort, pty.slavePath());
        dev = std::make_unique<TZuCommDevice>();
        dev->fSetPortName(u"COM7");
    }
    void TearDown() override { win32posix::ResetFaults(); }

    std::unique_ptr<TForm_ZuCommDevice_Settings> open(bool activateOnOK = false)
    {
        auto d = std::make_unique<TForm_ZuCommDevice_Settings>(nullptr, dev.get(), activateOnOK);
        d->show();
        return d;
    }
    // A mouse click gives the button the focus before it runs.
    static void clickOK(TForm_ZuCommDevice_Settings& d)
    {
        d.BnOK->setFocus();
        d.BnOKClick(d.BnOK);
    }

    LocaleScope locale{"en_US.UTF-8"};
    testsupport::PtyPair pty;
    testsupport::DeviceMap map;
    MessageRecorder messages;
    std::unique_ptr<TZuCommDevice> dev;
};

TEST_F(SettingsDialog, TextsFollowTheThreadLocale)
{
    struct Case {
        const char* locale;
        QString caption, ok, autoAnswer, parity4, flow3, needPort, rtsLow;
    };
    const Case cases[] = {
        {"zh_CN.UTF-8", u"串行口设置"_s, u"确定"_s, u"自动应答"_s, u"Space (空格)"_s,
         u"RTS/CTS & Xon/Xoff (硬&软)"_s, u"必须选择串行口"_s, u"低电平"_s},
        {"zh_TW.UTF-8", u"序列埠設定"_s, u"確定"_s, u"自動回應"_s, u"Space (空白)"_s,
         u"RTS/CTS & Xon/Xoff (硬&軟)"_s, u"必須選擇序列埠"_s, u"低電位"_s},
        {"en_US.UTF-8", u"COM port Setup"_s, u"&OK"_s, u"Auto Answer"_s, u"Space Parity"_s,
         u"RTS/CTS & Xon/Xoff"_s, u"Must select COM Port"_s, u"Low"_s},
        // Other Chinese locales get English.
        {"zh_HK.UTF-8", u"COM port Setup"_s, u"&OK"_s, u"Auto Answer"_s, u"Space Parity"_s,
         u"RTS/CTS & Xon/Xoff"_s, u"Must select COM Port"_s, u"Low"_s},
    };
    dev->fSetPortName(u"COM99"); // not in the list, so OK complains
    for (const Case& c : cases) {
        SCOPED_TRACE(c.locale);
        LocaleScope scope(c.locale);
        messages.entries.clear();
        auto d = open();
        EXPECT_EQ(d->windowTitle(), c.caption);
        EXPECT_EQ(d->BnOK->text(), c.ok);
        EXPECT_EQ(d->lbAAns->text(), c.autoAnswer);
        ASSERT_EQ(d->CbParity->count(), 5);
        EXPECT_EQ(d->CbParity->itemText(4), c.parity4);
        ASSERT_EQ(d->CbFlow->count(), 4);
        EXPECT_EQ(d->CbFlow->itemText(3), c.flow3);
        ASSERT_EQ(d->CbRtsOnSend->count(), 2);
        EXPECT_EQ(d->CbRtsOnSend->itemText(1), c.rtsLow);
        EXPECT_EQ(d->CbSelBaud->itemText(12), u"115200"_s); // the form's own lists stay

        clickOK(*d);
        ASSERT_EQ(messages.entries.size(), 1u);
        EXPECT_EQ(messages.entries[0].call.text, c.needPort);
        EXPECT_EQ(messages.entries[0].call.caption, c.caption);
    }
    TForm_ZuCommDevice_Settings::TMsgStrings msgs;
    EXPECT_EQ(msgs.fGetMsg(35), u"Space Parity"_s);
    EXPECT_EQ(msgs.fGetMsg(44), u"Delay after: 0 - 1000 ms"_s);
    EXPECT_TRUE(msgs.fGetMsg(TForm_ZuCommDevice_Settings::TMsgStrings::MsgCount).isEmpty());
    EXPECT_TRUE(msgs.fGetMsg(-1).isEmpty());
}

TEST_F(SettingsDialog, ButtonsAtRunTimeAndWhileDesigned)
{
    auto d = open();
    EXPECT_FALSE(d->BnAbout->isVisible());
    EXPECT_FALSE(d->BnDefault->isVisible());
    // Measured when the form is built, before it has a frame: a pair centred
    // 60 pixels either side of the middle.
    EXPECT_EQ(d->BnOK->geometry(), QRect((393 - 75) / 2 - 60, 296, 75, 25));
    EXPECT_EQ(d->BnCancel->geometry(), QRect((393 - 75) / 2 + 60, 296, 75, 25));

    dev->SetDesigning(true);
    auto designed = open();
    QPushButton* buttons[] = {designed->BnAbout, designed->BnDefault, designed->BnOK, designed->BnCancel};
    const int lefts[] = {8, 152, 232, 312};
    for (int i = 0; i < 4; ++i) {
        EXPECT_TRUE(buttons[i]->isVisible()) << i;
        EXPECT_EQ(buttons[i]->geometry(), QRect(lefts[i], 296, 75, 25)) << i;
    }
}

TEST_F(SettingsDialog, ShowsTheComponentsSettings)
{
    dev->Comm()->fSetBaud(250000); // not one of the listed rates
    dev->fSetByteSize(7);
    dev->fSetParity(Dev::ptSpaceParity);
    dev->fSetStopBits(Dev::sbTwoStopBit);
    dev->fSetFlCtrl(Dev::fcRtsCtsXonXoff);
    dev->fSetAutAns(12);
    dev->fSetInBufSize(10000);
    dev->fSetOutBufSize(5000);
    auto d = open();
    EXPECT_EQ(d->CbPort->currentText(), u"COM7"_s);
    EXPECT_EQ(d->CbSelBaud->currentText(), u"250000"_s);
    EXPECT_EQ(d->CbByteSize->currentText(), u"7"_s);
    EXPECT_EQ(d->CbParity->currentIndex(), 4);
    EXPECT_EQ(d->CbStopBits->currentText(), u"2"_s);
    EXPECT_EQ(d->CbFlow->currentIndex(), 3);
    EXPECT_EQ(d->EditAutoAns->text(), u"12"_s);
    EXPECT_EQ(d->EditInBufSize->text(), u"10000"_s);
    EXPECT_EQ(d->EditOutBufSize->text(), u"5000"_s);

    dev->fSetPortName(u"COM99"); // a port the system does not list
    EXPECT_EQ(open()->CbPort->currentIndex(), -1);
}

TEST_F(SettingsDialog, TransmitOnlyXonXoffShowsAsXonXoffAndIsAppliedAsXonXoff)
{
    dev->fSetFlCtrl(Dev::fcTranXonXoff);
    auto d = open();
    EXPECT_EQ(d->CbFlow->currentText(), u"Xon/Xoff"_s);
    clickOK(*d);
    EXPECT_TRUE(messages.entries.empty());
    EXPECT_EQ(dev->FlowControl(), Dev::fcXonXoff);
}

TEST_F(SettingsDialog, EachCheckNamesItsFieldAndLeavesTheComponentAlone)
{
    using Form = TForm_ZuCommDevice_Settings;
    struct Case {
        const char* what;
        std::function<void(Form&)> edit;
        QString message;
        std::function<QWidget*(Form&)> field;
    };
    auto field = [](auto member) { return [member](Form& f) -> QWidget* { return f.*member; }; };
    auto text = [](auto member, const char* t) {
        return [member, t](Form& f) { (f.*member)->setText(QString::fromUtf8(t)); };
    };
    auto baud = [](const char* t) { return [t](Form& f) { f.CbSelBaud->setEditText(QString::fromUtf8(t)); }; };
    auto unselect = [](auto member) { return [member](Form& f) { (f.*member)->setCurrentIndex(-1); }; };
    const auto aa = &Form::EditAutoAns;
    const Case cases[] = {
        {"no port", unselect(&Form::CbPort), u"Must select COM Port"_s, field(&Form::CbPort)},
        {"blank baud", baud(" \t "), u"Must select baud rate"_s, field(&Form::CbSelBaud)},
        {"baud without digits", baud("abc"), u"Invalid baud rate"_s, field(&Form::CbSelBaud)},
        {"negative baud", baud("-9600"), u"Invalid baud rate"_s, field(&Form::CbSelBaud)},
        {"baud beyond 32 bits", baud("99999999999"), u"Invalid baud rate"_s, field(&Form::CbSelBaud)},
        {"no byte size", unselect(&Form::CbByteSize), u"Must select byte size"_s, field(&Form::CbByteSize)},
        {"no parity", unselect(&Form::CbParity), u"Must select parity check"_s, field(&Form::CbParity)},
        {"byte size is checked before parity",
         [](Form& f) {
             f.CbParity->setCurrentIndex(-1);
             f.CbByteSize->setCurrentIndex(-1);
         },
         u"Must select byte size"_s, field(&Form::CbByteSize)},
        {"no stop bits", unselect(&Form::CbStopBits), u"Must select stop bits"_s, field(&Form::CbStopBits)},
        {"no flow control", unselect(&Form::CbFlow), u"Must select flow control"_s, field(&Form::CbFlow)},
        {"auto answer 256", text(aa, "256"), u"Auto Answer: 0 - 255"_s, field(aa)},
        {"auto answer -1", text(aa, "-1"), u"Auto Answer: 0 - 255"_s, field(aa)},
        {"auto answer empty", text(aa, ""), u"Auto Answer: 0 - 255"_s, field(aa)},
        {"auto answer x", text(aa, "x"), u"Auto Answer: 0 - 255"_s, field(aa)},
        {"input size 4095", text(&Form::EditInBufSize, "4095"), u"Input Buffer size error"_s,
         field(&Form::EditInBufSize)},
        {"output size 4095", text(&Form::EditOutBufSize, "4095"), u"Output Buffer size error"_s,
         field(&Form::EditOutBufSize)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Snapshot before = Snapshot::of(*dev);
        messages.entries.clear();
        auto d = open();
        c.edit(*d);
        clickOK(*d);
        ASSERT_EQ(messages.entries.size(), 1u);
        const auto& m = messages.entries[0];
        EXPECT_EQ(m.call.text, c.message);
        EXPECT_EQ(m.call.caption, u"COM port Setup"_s);
        EXPECT_EQ(m.call.flags, 0x10);
        EXPECT_EQ(m.call.owner, d.get());
        EXPECT_EQ(m.focus, c.field(*d));
        EXPECT_EQ(d->result(), 0);
        EXPECT_TRUE(Snapshot::of(*dev) == before);
    }
}

TEST_F(SettingsDialog, AcceptedFieldsAreWrittenToTheComponent)
{
    auto d = open();
    d->CbSelBaud->setEditText(u"9600 baud"_s); // the leading number counts
    d->CbByteSize->setCurrentIndex(2);
    d->CbParity->setCurrentIndex(1);
    d->CbStopBits->setCurrentIndex(2);
    d->CbFlow->setCurrentIndex(1);
    d->EditAutoAns->setText(u" 255 "_s);
    d->EditInBufSize->setText(u"4096"_s);
    d->EditOutBufSize->setText(u"1000000"_s);
    clickOK(*d);
    EXPECT_TRUE(messages.entries.empty());
    EXPECT_EQ(d->result(), Toolkit::mrOK);
    EXPECT_FALSE(d->isVisible());
    // Inactive before and not asked to activate, so it stays inactive.
    const Snapshot expected{u"COM7", 9600, 7, Dev::ptOddParity, Dev::sbTwoStopBit, Dev::fcRtsCts, 255, 4096, 1000000,
                            false};
    EXPECT_TRUE(Snapshot::of(*dev) == expected);

    // Any positive rate goes to the port as a number.
    auto e = open();
    e->CbSelBaud->setEditText(u" +250000 "_s);
    clickOK(*e);
    EXPECT_TRUE(messages.entries.empty());
    EXPECT_EQ(dev->Comm()->Baud(), 250000u);
}

TEST_F(SettingsDialog, EnterWalksTheFieldsAndOnlyTheLastOneRunsTheChecks)
{
    const Snapshot before = Snapshot::of(*dev);
    auto d = open();
    QWidget* chain[] = {d->CbPort, d->CbSelBaud, d->CbParity, d->CbByteSize, d->CbStopBits,
                        d->CbFlow, d->EditAutoAns, d->EditInBufSize, d->EditOutBufSize};
    d->EditAutoAns->setText(u"300"_s);
    d->CbPort->setFocus();
    for (int i = 0; i + 1 < 9; ++i) {
        PressEnter(chain[i]);
        EXPECT_EQ(d->focusWidget(), chain[i + 1]) << i;
    }
    EXPECT_TRUE(messages.entries.empty());
    EXPECT_EQ(d->result(), 0);
    EXPECT_EQ(d->CbSelBaud->count(), 15); // Enter in the rate box adds no entry
    EXPECT_TRUE(Snapshot::of(*dev) == before);

    // Enter in the last field goes on to the checks.
    PressEnter(d->EditOutBufSize);
    ASSERT_EQ(messages.entries.size(), 1u);
    EXPECT_EQ(messages.entries[0].call.text, u"Auto Answer: 0 - 255"_s);
    EXPECT_EQ(d->focusWidget(), d->EditAutoAns);

    d->EditAutoAns->setText(u"3"_s);
    d->EditOutBufSize->setFocus();
    PressEnter(d->EditOutBufSize);
    EXPECT_EQ(messages.entries.size(), 1u);
    EXPECT_EQ(d->result(), Toolkit::mrOK);
    EXPECT_EQ(dev->AutoAnswer(), 3);
}

TEST_F(SettingsDialog, DefaultsFillOnlyTheControlsAndCancelDiscardsThem)
{
    dev->Comm()->fSetBaud(9600);
    dev->fSetByteSize(7);
    dev->fSetParity(Dev::ptEvenParity);
    dev->fSetStopBits(Dev::sbTwoStopBit);
    dev->fSetFlCtrl(Dev::fcRtsCts);
    dev->fSetAutAns(5);
    dev->fSetInBufSize(10000);
    dev->fSetOutBufSize(5000);
    dev->fSetRs485(true);
    dev->fSetRtsDelayBefore(3);
    const Snapshot before = Snapshot::of(*dev);
    dev->SetDesigning(true);
    auto d = open();
    d->BnDefault->click();
    EXPECT_EQ(d->CbPort->currentText(), u"COM7"_s);
    EXPECT_EQ(d->CbSelBaud->currentText(), u"115200"_s);
    EXPECT_EQ(d->CbParity->currentIndex(), 0);
    EXPECT_EQ(d->CbByteSize->currentText(), u"8"_s);
    EXPECT_EQ(d->CbStopBits->currentText(), u"1"_s);
    EXPECT_EQ(d->CbFlow->currentIndex(), 0);
    EXPECT_EQ(d->EditAutoAns->text(), u"0"_s);
    EXPECT_EQ(d->EditInBufSize->text(), u"8192"_s);
    EXPECT_EQ(d->EditOutBufSize->text(), u"8192"_s);
    EXPECT_FALSE(d->CkRs485->isChecked());
    EXPECT_EQ(d->CbRtsOnSend->currentIndex(), 0);
    EXPECT_EQ(d->EditRtsBefore->text(), u"0"_s);
    EXPECT_EQ(d->EditRtsAfter->text(), u"0"_s);
    EXPECT_TRUE(Snapshot::of(*dev) == before);

    d->BnCancel->click();
    EXPECT_EQ(d->result(), Toolkit::mrCancel);
    EXPECT_TRUE(Snapshot::of(*dev) == before);

    auto e = open(); // closing the window is a cancel too
    e->close();
    EXPECT_EQ(e->result(), Toolkit::mrCancel);
}

TEST_F(SettingsDialog, OkLeavesThePortActiveWhenItWasOrWhenAsked)
{
    auto d = open(false);
    clickOK(*d);
    EXPECT_FALSE(dev->Active());
    auto e = open(true);
    clickOK(*e);
    EXPECT_TRUE(dev->Active());
    // An open port takes a new rate and is open again afterwards.
    auto f = open(false);
    f->CbSelBaud->setEditText(u"19200"_s);
    clickOK(*f);
    EXPECT_TRUE(messages.entries.empty());
    EXPECT_TRUE(dev->Active());
    EXPECT_EQ(dev->Comm()->Baud(), 19200u);
}
TEST_F(SettingsDialog, RefusedSettingsPutTheOldOnesBackAndReopenThePort)
{
    dev->Comm()->fSetBaud(19200);
    dev->fSetAutAns(7);
    dev->fSetActive(true);
    ASSERT_TRUE(dev->Active());
    const Snapshot before = Snapshot::of(*dev);

    auto d = open();
    d->CbSelBaud->setEditText(u"38400"_s);
    d->EditAutoAns->setText(u"9"_s);
    d->CbStopBits->setCurrentIndex(1); // 1.5 stop bits with 8 data bits: the port refuses
    clickOK(*d);

    ASSERT_EQ(messages.entries.size(), 1u);
    const auto& m = messages.entries[0];
    EXPECT_EQ(m.call.text, u"Serial port: \"COM7\" - Cannot set COM port parameters"_s);
    EXPECT_EQ(m.call.caption, u"COM port Setup"_s);
    EXPECT_EQ(m.call.flags, 0x10);
    EXPECT_EQ(m.focus, d->CbPort);
    EXPECT_EQ(d->result(), 0);
    EXPECT_TRUE(d->isVisible());
    EXPECT_TRUE(Snapshot::of(*dev) == before);
    EXPECT_TRUE(dev->Active());
    // What the user typed is still there to correct.
    EXPECT_EQ(d->CbSelBaud->currentText(), u"38400"_s);

    d->CbStopBits->setCurrentIndex(0);
    clickOK(*d);
    EXPECT_EQ(messages.entries.size(), 1u);
    EXPECT_EQ(d->result(), Toolkit::mrOK);
    EXPECT_TRUE(dev->Active());
    EXPECT_EQ(dev->Comm()->Baud(), 38400u);
    EXPECT_EQ(dev->AutoAnswer(), 9);
}

// RS-485: shown from the component, level and delays usable only in the
// mode, delays checked, written back; a port whose driver refuses the mode
// gets its old settings back.
TEST_F(SettingsDialog, Rs485SettingsRoundTrip)
{
    dev->fSetRs485(true);
    dev->fSetRtsOnSend(false);
    dev->fSetRtsDelayBefore(5);
    auto d = open();
    EXPECT_TRUE(d->CkRs485->isChecked());
    EXPECT_EQ(d->CbRtsOnSend->currentIndex(), 1);
    EXPECT_EQ(d->EditRtsBefore->text(), u"5"_s);
    d->CkRs485->setChecked(false);
    EXPECT_FALSE(d->EditRtsBefore->isEnabled());
    d->CkRs485->setChecked(true);

    const Snapshot before = Snapshot::of(*dev);
    d->EditRtsAfter->setText(u"1001"_s);
    clickOK(*d);
    ASSERT_EQ(messages.entries.size(), 1u);
    EXPECT_EQ(messages.entries[0].call.text, u"Delay after: 0 - 1000 ms"_s);
    EXPECT_EQ(messages.entries[0].focus, d->EditRtsAfter);
    EXPECT_TRUE(Snapshot::of(*dev) == before);
    d->EditRtsAfter->setText(u" 1000 "_s);
    d->CbRtsOnSend->setCurrentIndex(0);
    clickOK(*d);
    EXPECT_EQ(d->result(), Toolkit::mrOK);
    EXPECT_TRUE(dev->RtsOnSend());
    EXPECT_EQ(dev->RtsDelayAfter(), 1000);

    auto e = open();
    e->EditRtsBefore->setText(u"x"_s); // off, the disabled fields do not count
    e->CkRs485->setChecked(false);
    clickOK(*e);
    EXPECT_EQ(e->result(), Toolkit::mrOK);
    EXPECT_FALSE(dev->Rs485());

    // The pty has no RS-485 mode: the open port is put back as it was.
    dev->fSetActive(true);
    const Snapshot active = Snapshot::of(*dev);
    auto f = open();
    f->CkRs485->setChecked(true);
    clickOK(*f);
    EXPECT_EQ(messages.entries.size(), 2u);
    EXPECT_EQ(f->result(), 0);
    EXPECT_TRUE(Snapshot::of(*dev) == active);
}

TEST_F(SettingsDialog, AFailureWhileRestoringIsSwallowedAndTheFirstOneReported)
{
    dev->Comm()->fSetBaud(19200);
    dev->fSetActive(true);
    ASSERT_TRUE(dev->Active());
    auto d = open();
    d->CbSelBaud->setEditText(u"38400"_s);
    // Both the reopening with the new settings and the one of the restore fail.
    win32posix::FailCall("SetCommState", 1, ERROR_GEN_FAILURE, 2);
    clickOK(*d);
    ASSERT_EQ(messages.entries.size(), 1u);
    EXPECT_EQ(messages.entries[0].call.text, u"Serial port: \"COM7\" - Cannot set COM port parameters"_s);
    EXPECT_EQ(d->result(), 0);
    EXPECT_EQ(dev->Comm()->Baud(), 19200u);
    EXPECT_FALSE(dev->Active());
}

TEST_F(SettingsDialog, ComponentSettingsDialogReportsWhetherTheUserConfirmed)
{
    {
        OnModal cancel([](QWidget* w) {
            auto* d = qobject_cast<TForm_ZuCommDevice_Settings*>(w);
            ASSERT_NE(d, nullptr);
            d->CbSelBaud->setEditText(u"300"_s);
            d->BnCancel->click();
        });
        EXPECT_FALSE(dev->SettingsDialog(nullptr, true));
        EXPECT_TRUE(cancel.ran());
        EXPECT_FALSE(dev->Active());
        EXPECT_EQ(dev->Comm()->Baud(), 115200u);
    }
    {
        OnModal closeWindow([](QWidget* w) { w->close(); });
        EXPECT_FALSE(dev->SettingsDialog(nullptr, false));
        EXPECT_TRUE(closeWindow.ran());
    }
    {
        OnModal ok([](QWidget* w) {
            auto* d = qobject_cast<TForm_ZuCommDevice_Settings*>(w);
            ASSERT_NE(d, nullptr);
            d->CbSelBaud->setEditText(u"4800"_s);
            d->BnOK->setFocus();
            d->BnOK->click();
            if (d->isVisible()) // a refused OK must not leave the test waiting
                d->BnCancel->click();
        });
        EXPECT_TRUE(dev->SettingsDialog(nullptr, true));
        EXPECT_TRUE(ok.ran());
        EXPECT_TRUE(dev->Active());
        EXPECT_EQ(dev->Comm()->Baud(), 4800u);
    }
}

TEST_F(SettingsDialog, AboutButtonShowsTheAboutBoxForTheComponentsClass)
{
    dev->SetDesigning(true);
    // Not shown: only the About box gets painted, which keeps Qt's pooled
    // image threads (invisible to the thread checker) out of the test.
    TForm_ZuCommDevice_Settings d(nullptr, dev.get(), false);
    QString caption;
    OnModal about([&](QWidget* w) {
        caption = w->windowTitle();
        EXPECT_NE(qobject_cast<TForm_ZUComm32_About*>(w), nullptr);
        if (auto* a = qobject_cast<TForm_ZUComm32_About*>(w))
            a->BnOK->click();
        else
            w->close();
    });
    d.BnAbout->click();
    EXPECT_TRUE(about.ran());
    EXPECT_EQ(caption, u"About TZuCommDevice..."_s);
    EXPECT_EQ(d.result(), 0); // the settings dialog goes on
}

} // namespace
