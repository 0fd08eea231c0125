// Toolkit services: message sinks, the exception display and the entry's
// safety net, the application object and the lamp shape.
#include <gtest/gtest.h>

#include <QMenu>
#include <QPlainTextEdit>
#include <QTranslator>
#include <memory>

#include <QApplication>
#include <QImage>
#include <QPointer>
#include <QWidget>
#include <stdexcept>
#include <vector>

#include "platform/rtl/Rtl.h"
#include "platform/toolkit/Shape.h"
#include "platform/toolkit/Toolkit.h"

namespace {

class Recorder {
public:
    Recorder()
    {
        fOld = Toolkit::SetMessageSink([this](const Toolkit::MessageBoxCall& c) {
            calls.push_back(c);
            return Toolkit::mrOK;
        });
    }
    ~Recorder() { Toolkit::SetMessageSink(std::move(fOld)); }
    std::vector<Toolkit::MessageBoxCall> calls;

private:
    Toolkit::MessageSink fOld;
};

} // namespace

TEST(Toolkit, MessagesReachTheSink)
{
    Recorder rec;
    QWidget owner;
    Toolkit::ShowMessage(QStringLiteral("不能发空信息!"));
    EXPECT_EQ(Toolkit::MessageBox(&owner, QStringLiteral("text"), QStringLiteral("caption"),
                                  Toolkit::mbOK | Toolkit::mbIconError),
              Toolkit::mrOK);
    ASSERT_EQ(rec.calls.size(), 2u);
    EXPECT_EQ(rec.calls[0].kind, Toolkit::MessageBoxCall::kShowMessage);
    EXPECT_EQ(rec.calls[0].text, QStringLiteral("不能发空信息!"));
    EXPECT_EQ(rec.calls[1].kind, Toolkit::MessageBoxCall::kMessageBox);
    EXPECT_EQ(rec.calls[1].owner, &owner);
    EXPECT_EQ(rec.calls[1].caption, QStringLiteral("caption"));
    EXPECT_EQ(rec.calls[1].flags, Toolkit::mbIconError);
}

TEST(Toolkit, EntryShowsWhatEscapesAndReturnsZero)
{
    Recorder rec;
    bool ran = false;
    EXPECT_EQ(Toolkit::RunEntry([&] { ran = true; }), 0);
    EXPECT_TRUE(ran);
    EXPECT_TRUE(rec.calls.empty());

    EXPECT_EQ(Toolkit::RunEntry([] { throw EConvertError(u"'x' is not a valid integer value"); }), 0);
    EXPECT_EQ(Toolkit::RunEntry([] { throw std::runtime_error("not ours"); }), 0);
    EXPECT_EQ(Toolkit::RunEntry([] { throw 42; }), 0);
    ASSERT_EQ(rec.calls.size(), 3u);
    for (const auto& c : rec.calls) {
        EXPECT_EQ(c.kind, Toolkit::MessageBoxCall::kException);
        EXPECT_EQ(c.flags, Toolkit::mbIconError);
    }
    EXPECT_EQ(rec.calls[0].text, QStringLiteral("'x' is not a valid integer value"));
    // Foreign exceptions become toolkit exceptions with an empty message.
    EXPECT_TRUE(rec.calls[1].text.isEmpty());
    EXPECT_TRUE(rec.calls[2].text.isEmpty());
}

TEST(Toolkit, ADisplayThatThrowsIsSwallowed)
{
    auto old = Toolkit::SetMessageSink([](const Toolkit::MessageBoxCall&) -> int {
        throw std::runtime_error("sink broke");
    });
    bool after = false;
    Toolkit::Guarded([] { throw Exception(u"first"); });
    after = true;
    Toolkit::SetMessageSink(std::move(old));
    EXPECT_TRUE(after);
}

TEST(Toolkit, ApplicationOwnsItsForms)
{
    Recorder rec;
    int argc = 1;
    char name[] = "test";
    char* argv[] = {name, nullptr};
    QPointer<QWidget> first;
    QPointer<QWidget> second;
    {
        Toolkit::TApplication app(argc, argv);
        EXPECT_EQ(Toolkit::Application, &app);
        app.Initialize(); // the test's QApplication is reused
        EXPECT_EQ(QCoreApplication::instance(), qApp);
        app.fSetTitle(QStringLiteral("工具"));
        app.fSetMainFormOnTaskBar(true);
        EXPECT_TRUE(app.MainFormOnTaskBar());
        QWidget* a = nullptr;
        QWidget* b = nullptr;
        app.CreateForm(a);
        app.CreateForm(b);
        first = a;
        second = b;
        EXPECT_EQ(app.MainForm(), a);
        // Messages carry the application's title.
        app.ShowException(Exception(u"boom"));
        ASSERT_EQ(rec.calls.size(), 1u);
        EXPECT_EQ(rec.calls[0].caption, QStringLiteral("工具"));
        EXPECT_EQ(rec.calls[0].text, QStringLiteral("boom"));
    }
    EXPECT_TRUE(first.isNull());
    EXPECT_TRUE(second.isNull());
    EXPECT_EQ(Toolkit::Application, nullptr);
}

// Qt's own texts follow the window's language once its translation is in.
TEST(Toolkit, QtsOwnTextsInChinese)
{
    QPlainTextEdit edit;
    QTranslator* zh = Toolkit::InstallQtTranslation(QStringLiteral("zh_CN"));
    ASSERT_NE(zh, nullptr) << "qt6-translations-l10n is missing";
    std::unique_ptr<QMenu> menu(edit.createStandardContextMenu());
    QStringList texts;
    for (QAction* a : menu->actions())
        texts << a->text();
    QCoreApplication::removeTranslator(zh);
    delete zh;
    EXPECT_TRUE(texts.join(QLatin1Char('|')).contains(QStringLiteral("全选"))) << texts.join(QLatin1Char('|')).toStdString();
    EXPECT_EQ(Toolkit::InstallQtTranslation(QStringLiteral("xx_XX")), nullptr);
}

TEST(Toolkit, ShapePaintsAFilledCircle)
{
    TShape shape;
    shape.resize(14, 14);
    shape.fSetBrushColor(QColor(0, 255, 0));
    const QImage green = shape.grab().toImage();
    EXPECT_EQ(green.pixelColor(7, 7), QColor(0, 255, 0));
    // The corners lie outside the circle.
    EXPECT_NE(green.pixelColor(0, 0), QColor(0, 255, 0));
    shape.fSetBrushColor(Qt::red);
    EXPECT_EQ(shape.BrushColor(), QColor(Qt::red));
    EXPECT_EQ(shape.grab().toImage().pixelColor(7, 7), QColor(Qt::red));
}
