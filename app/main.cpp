// The program's entry: a command of the command line when the arguments
// name one (no window, no display needed), else the window.
// `modbuscrc --screenshot FILE.png` renders the main window to a PNG and
// exits instead of running.
#include <QApplication>
#include <QIcon>
#include <QPixmap>
#include <QPlainTextEdit>
#include <cstdio>

#include "app/ModbusCommand.h"
#include "app/cli/CommandLine.h"
#include "platform/toolkit/Toolkit.h"

namespace {

// Shows the window, moves the focus out of the target box once (as Tab
// would, so the result box shows the computed frame) and saves the window.
bool SaveScreenshot(TForm1* Form, const QString& File)
{
    Form->show();
    Form->activateWindow();
    QApplication::processEvents();
    Form->Memo2->setFocus(Qt::TabFocusReason);
    QApplication::processEvents();
    return Form->grab().save(File, "PNG");
}

} // namespace

int main(int argc, char** argv)
{
    QString screenshot;
    if (const auto status = RunCommandLine(argc, argv, screenshot))
        return *status;

    Toolkit::TApplication application(argc, argv);
    int result = 0;
    Toolkit::RunEntry([&] {
        Toolkit::Application->Initialize();
        // Qt's own menus and dialogs in the window's language.
        Toolkit::InstallQtTranslation(QStringLiteral("zh_CN"));
        Toolkit::Application->fSetMainFormOnTaskBar(true);
        Toolkit::Application->fSetTitle(QStringLiteral("Modbus RTU CRC16 计算与串口调试工具"));
        // The icon the package installs, when it is installed.
        QApplication::setWindowIcon(QIcon::fromTheme(QStringLiteral("modbuscrc")));
        Toolkit::Application->CreateForm(Form1);
        if (!screenshot.isEmpty()) {
            if (!SaveScreenshot(Form1, screenshot)) {
                std::fprintf(stderr, "cannot write %s\n", qPrintable(screenshot));
                result = 1;
            }
            return;
        }
        Toolkit::Application->Run();
    });
    return result;
}
