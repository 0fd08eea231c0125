// The window's scan: the dialog finds a device at another rate than the
// panel's, and "使用" gives the panel its settings and address; the echo
// switch takes a 2-wire adapter's echo out of the log.
#include <QAction>
#include <QListWidget>
#include <QProgressBar>
#include <QSpinBox>
#include <QTableWidget>

#include "app/dialogs/ScanDialog.h"
#include "tests/support/ModbusPeer.h"
#include "tests/support/PacedLink.h"
#include "tests/support/PanelFixture.h"

using namespace paneltest;

namespace {

void CheckOnly(QListWidget* List, const QStringList& Texts)
{
    for (int i = 0; i < List->count(); ++i)
        List->item(i)->setCheckState(Texts.contains(List->item(i)->text()) ? Qt::Checked : Qt::Unchecked);
}

} // namespace

TEST_F(PanelTest, ScanDialogFindsTheDeviceAndUseSetsThePanel)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE, 17, 19200);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink link(peer.path(), {.baud = 19200, .matchRates = true});
    ASSERT_TRUE(link.ok());
    fMap.map(1, link.path());
    MakeForm();
    fForm->Button1->click(); // open: the scan closes it first
    ExpectOpen(false);

    fForm->findChild<QAction*>(QStringLiteral("ActionScan"))->trigger();
    TScanDialog* dialog = fForm->ScanDialog();
    ASSERT_NE(dialog, nullptr);
    ExpectClosed();
    EXPECT_EQ(dialog->PortBox->currentText(), QStringLiteral("COM01"));
    CheckOnly(dialog->BaudList, {QStringLiteral("9600"), QStringLiteral("19200")});
    dialog->IdsEdit->setText(QStringLiteral("16-18"));
    dialog->TimeoutBox->setValue(50);
    ASSERT_TRUE(dialog->StartScan());
    EXPECT_FALSE(dialog->StartButton->isEnabled());
    ASSERT_TRUE(PumpUntil([&] { return dialog->StartButton->isEnabled(); }, 20s));
    ASSERT_EQ(dialog->FoundTable->rowCount(), 1);
    EXPECT_EQ(dialog->FoundTable->item(0, 0)->text(), QStringLiteral("17"));
    EXPECT_EQ(dialog->FoundTable->item(0, 1)->text(), QStringLiteral("19200"));
    EXPECT_EQ(dialog->FoundTable->item(0, 2)->text(), QStringLiteral("8N1"));
    EXPECT_EQ(dialog->Progress->value(), dialog->Progress->maximum());

    dialog->UseSelected();
    EXPECT_EQ(fForm->ComboBox1->currentText(), QStringLiteral("COM01"));
    EXPECT_EQ(fForm->ComboBox2->currentText(), QStringLiteral("19200"));
    EXPECT_EQ(fForm->ComboBox3->currentText(), QStringLiteral("None"));
    EXPECT_EQ(fForm->Memo2->toPlainText(), QStringLiteral("11 01 00 00 00 08 3F 5C "));
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2));
    EXPECT_EQ(Lines().at(1), QStringLiteral("RX:11 01 01 49 94 BE "));
    EXPECT_TRUE(fMessages.empty()) << fMessages.front().toStdString();
}

// Against an adapter that echoes: off, the echo is an RX line of its own
// and the reply follows it whole; on, only the reply is shown.
TEST_F(PanelTest, EchoSwitchTakesTheEchoOut)
{
    testsupport::ModbusPeer peer(KELVOR_MODBUS_SLAVE);
    ASSERT_TRUE(peer.ok()) << peer.error();
    testsupport::PacedLink link(peer.path(), {.baud = 9600, .echo = true});
    ASSERT_TRUE(link.ok());
    fMap.map(1, link.path());
    MakeForm();
    EnterFrame(QStringLiteral("01 03 00 00 00 02"));
    fForm->Edit2->setText(QStringLiteral("0"));
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(3));
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("TX:01 03 00 00 00 02 C4 0B "),
                                    QStringLiteral("RX:01 03 00 00 00 02 C4 0B "),
                                    QStringLiteral("RX:01 03 04 10 00 10 01 32 F3 ")}));
    fForm->ClearLog();
    fForm->findChild<QAction*>(QStringLiteral("ActionRemoveEcho"))->trigger();
    fForm->Button2->click();
    ASSERT_TRUE(WaitLines(2));
    PumpFor(200ms);
    EXPECT_EQ(Lines(), (QStringList{QStringLiteral("TX:01 03 00 00 00 02 C4 0B "),
                                    QStringLiteral("RX:01 03 04 10 00 10 01 32 F3 ")}));
    EXPECT_EQ(fForm->LogCounts().Replies(), 1u);
}
