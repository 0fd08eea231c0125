#pragma once
// Shared by the serial panel's tests: a main window whose COM ports are
// mapped onto test devices, a recording message sink, and helpers to drive
// the panel and read its log.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "app/ModbusCommand.h"
#include "comm/ZuCommDevice.h"
#include "platform/toolkit/Shape.h"
#include "platform/toolkit/Toolkit.h"
#include "tests/support/Pty.h"
#include "tests/support/QtPump.h"

inline void PrintTo(const QString& s, std::ostream* os)
{
    *os << '"' << s.toStdString() << '"';
}

namespace paneltest {

using namespace std::chrono_literals;
using testsupport::PumpFor;
using testsupport::PumpUntil;

inline const QString kOpenFailed = QStringLiteral("开启失败！");
inline const QString kEmptySend = QStringLiteral("不能发空信息!");
inline const QString kCheckFailed = QStringLiteral("[数据校验失败]");

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        FrameBytes.clear();
        LogLine.clear();
        ExpectedLength = 0;
        fOldSink = Toolkit::SetMessageSink([this](const Toolkit::MessageBoxCall& c) {
            fMessages.push_back(c.kind == Toolkit::MessageBoxCall::kException ? QStringLiteral("exception: ") + c.text
                                                                              : c.text);
            return Toolkit::mrOK;
        });
    }
    void TearDown() override
    {
        fForm.reset();
        Toolkit::SetMessageSink(std::move(fOldSink));
    }

    // Builds the window; the device map and the port list are read now.
    void MakeForm()
    {
        fForm.reset();
        fForm = std::make_unique<TForm1>();
        fDev = fForm->ZuCommDevice1;
        ASSERT_NE(fDev, nullptr);
    }

    // Types a target text and leaves the box, as the user does.
    void EnterFrame(const QString& text)
    {
        fForm->Memo1->setPlainText(text);
        fForm->Memo1Exit(fForm->Memo1);
    }

    // Picks a list entry as the user does (that raises the list's change).
    static void Pick(QComboBox* box, int index)
    {
        box->setCurrentIndex(index);
        emit box->activated(index);
    }

    QStringList Lines() const
    {
        const QString text = fForm->Memo3->toPlainText();
        return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    }
    int CountLines(const QString& prefix) const
    {
        int n = 0;
        for (const QString& l : Lines())
            n += l.startsWith(prefix) ? 1 : 0;
        return n;
    }
    bool WaitLines(int count, std::chrono::milliseconds limit = 20s)
    {
        return PumpUntil([&] { return Lines().size() >= count; }, limit);
    }

    int Tag(QPushButton* b) const { return b->property("Tag").toInt(); }

    // Everything the panel has written so far, pumping the event loop while
    // waiting for `want` bytes.
    static testsupport::Bytes Wire(testsupport::PtyPair& pty, std::size_t want,
                                   std::chrono::milliseconds limit = 20s)
    {
        testsupport::Bytes got;
        PumpUntil(
            [&] {
                testsupport::Bytes more = pty.read(want - got.size(), 10ms);
                got.insert(got.end(), more.begin(), more.end());
                return got.size() >= want;
            },
            limit);
        return got;
    }

    // The messages shown, each cut to its first line (a failed opening says
    // why on a second line).
    std::vector<QString> FirstLines() const
    {
        std::vector<QString> lines;
        for (const QString& m : fMessages)
            lines.push_back(m.section(QLatin1Char('\n'), 0, 0));
        return lines;
    }

    // The panel's look and flags in each state of the state table.
    void ExpectClosed()
    {
        EXPECT_EQ(Tag(fForm->Button1), 0);
        EXPECT_EQ(Tag(fForm->Button3), 0);
        EXPECT_EQ(fForm->Button1->text(), QStringLiteral("打开"));
        EXPECT_EQ(fForm->Button1->toolTip(), QStringLiteral("点击打开串口"));
        EXPECT_EQ(fForm->Shape1->BrushColor(), QColor(Qt::red));
        EXPECT_EQ(fForm->Button3->text(), QStringLiteral("自动发送"));
        EXPECT_FALSE(fForm->Timer1->isActive());
        EXPECT_FALSE(fDev->Active());
    }
    void ExpectOpen(bool sendingAutomatically)
    {
        EXPECT_EQ(Tag(fForm->Button1), 1);
        EXPECT_EQ(Tag(fForm->Button3), sendingAutomatically ? 1 : 0);
        EXPECT_EQ(fForm->Button1->text(), QStringLiteral("关闭"));
        EXPECT_EQ(fForm->Button1->toolTip(), QStringLiteral("点击关闭串口"));
        EXPECT_EQ(fForm->Shape1->BrushColor(), QColor(0, 255, 0));
        EXPECT_EQ(fForm->Button3->text(),
                  sendingAutomatically ? QStringLiteral("停止发送") : QStringLiteral("自动发送"));
        EXPECT_EQ(fForm->Timer1->isActive(), sendingAutomatically);
        EXPECT_TRUE(fDev->Active());
        EXPECT_TRUE(fDev->UsePackage());
        EXPECT_EQ(fDev->PackageType(), KelvorComm32::cptFrameTimeout);
        EXPECT_EQ(fDev->PackageSize(), 8192);
    }

    testsupport::DeviceMap fMap;
    std::vector<QString> fMessages;
    Toolkit::MessageSink fOldSink;
    std::unique_ptr<TForm1> fForm;
    KelvorComm32::TZuCommDevice* fDev = nullptr;
};

} // namespace paneltest
