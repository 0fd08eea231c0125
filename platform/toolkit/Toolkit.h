#pragma once
// Window toolkit services on Qt: message boxes and link opening through
// replaceable sinks (so tests read them instead of blocking), the
// application's exception display, and application start-up.
#include <QString>
#include <exception>
#include <functional>

class QWidget;

namespace Toolkit {

// MessageBox flags used by the program.
constexpr int MB_OK = 0x00;
constexpr int MB_ICONERROR = 0x10;
// Modal results.
constexpr int mrNone = 0;
constexpr int mrOK = 1;
constexpr int mrCancel = 2;

struct MessageBoxCall {
    enum Kind { kShowMessage, kMessageBox, kException };
    Kind kind;
    QWidget* owner;  // may be null
    QString text;
    QString caption; // empty for ShowMessage
    int flags;       // 0 for ShowMessage
};
// Returns the button pressed (mrOK). Empty sink = a modal QMessageBox.
using MessageSink = std::function<int(const MessageBoxCall&)>;
// Installs a sink and returns the previous one.
MessageSink SetMessageSink(MessageSink sink);

// Modal box with the text and one OK button.
void ShowMessage(const QString& Text);
// Modal box with text, caption and Win32-style flags (0x10: error icon).
int MessageBox(QWidget* Owner, const QString& Text, const QString& Caption, int Flags);
// The application's exception display.
void ShowException(const std::exception& E);

// Opens a web page or a mailto: link in the user's programs. Empty sink =
// QDesktopServices.
using LinkSink = std::function<void(const QString& Url)>;
LinkSink SetLinkSink(LinkSink sink);
void OpenLink(const QString& Url);

} // namespace Toolkit
