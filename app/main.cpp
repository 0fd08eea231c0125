// The program's entry. `modbuscrc --screenshot FILE.png` renders the main
// window to a PNG and exits instead of running.
#include <QApplication>
#include <QPixmap>
#include <QPlainTextEdit>
#include <cstdio>
#include <cstring>

#include "app/ModbusCommand.h"
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
    const char* screenshot = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--screenshot") == 0) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "usage: %s [--screenshot FILE.png]\n", argv[0]);
                return 2;
            }
            screenshot = argv[i + 1];
        }
    }

    Toolkit::TApplication application(argc, argv);
    int result = 0;
    Toolkit::RunEntry([&] {
        Toolkit::Application->Initialize();
        Toolkit::Application->fSetMainFormOnTaskBar(true);
        Toolkit::Application->fSetTitle(QStringLiteral("Modbus RTU CRC16 计算与串口调试工具"));
        Toolkit::Application->CreateForm(Form1);
        if (screenshot) {
            if (!SaveScreenshot(Form1, QString::fromLocal8Bit(screenshot))) {
                std::fprintf(stderr, "cannot write %s\n", screenshot);
                result = 1;
            }
            return;
        }
        Toolkit::Application->Run();
    });
    return result;
}
