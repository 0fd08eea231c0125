#pragma once
// Window toolkit services on Qt: message boxes and link opening through
// replaceable sinks (so tests read them instead of blocking), the
// application's exception display, and application start-up.
#include <QString>
#include <exception>
#include <functional>
#include <memory>
#include <vector>

class QWidget;
class QApplication;

class QTranslator;

namespace Toolkit {

// MessageBox flags used by the program (the Win32 values; named apart from
// the Win32 macros so both can be seen at once).
constexpr int mbOK = 0x00;
constexpr int mbIconError = 0x10;
constexpr int mbIconQuestion = 0x20;
constexpr int mbIconWarning = 0x30;
constexpr int mbIconInformation = 0x40;
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

// Asks where to save a file; empty when the user cancels. Empty sink = a
// modal QFileDialog.
using SaveFileSink = std::function<QString(QWidget* Owner, const QString& Caption, const QString& Suggested)>;
SaveFileSink SetSaveFileSink(SaveFileSink sink);
QString AskSaveFileName(QWidget* Owner, const QString& Caption, const QString& Suggested, const QString& Filter);

// Call only from inside a catch block: shows the exception being handled
// through ShowException. A toolkit Exception is shown as it is; anything else
// is replaced by an Exception with an empty message. Never throws.
void HandleCurrentException() noexcept;

// Runs a window handler so that nothing it throws reaches Qt's event loop:
// an escaping exception goes to the application's exception display and the
// program goes on.
template <class F>
void Guarded(F&& Handler) noexcept
{
    try {
        Handler();
    } catch (...) {
        HandleCurrentException();
    }
}

// The program entry's safety net: runs the start-up steps, shows whatever
// escapes them through ShowException and returns 0.
int RunEntry(const std::function<void()>& Steps) noexcept;

// Windows fonts the form designs name, mapped onto fonts a Linux desktop has
// (the CJK ones are needed or the Chinese texts render as boxes). Safe to
// call more than once.
void InstallFontSubstitutes();

// The application object of the program.
// Loads Qt's own translation for Locale ("zh_CN"), so the edits' menus and
// the file dialogs speak the window's language. Returns the installed
// translator (owned by the Qt application), or null when none is there.
QTranslator* InstallQtTranslation(const QString& Locale);

class TApplication {
public:
    TApplication(int& argc, char** argv);
    ~TApplication();
    TApplication(const TApplication&) = delete;
    TApplication& operator=(const TApplication&) = delete;

    // Creates the Qt application unless one exists already.
    void Initialize();

    // On Qt every top-level window has its own taskbar entry; kept so the
    // start-up reads like the design.
    bool MainFormOnTaskBar() const { return FMainFormOnTaskBar; }
    void fSetMainFormOnTaskBar(bool Value) { FMainFormOnTaskBar = Value; }

    QString Title() const;
    void fSetTitle(const QString& Value);

    // Builds a form (its constructor runs its design and OnCreate). The first
    // form created is the main form. The application owns its forms.
    template <class TForm>
    void CreateForm(TForm*& Reference)
    {
        auto* form = new TForm();
        Reference = form;
        AdoptForm(form);
    }
    QWidget* MainForm() const { return FMainForm; }

    // Shows the main form and delivers events until it closes.
    int Run();

    void ShowException(const std::exception& E) { Toolkit::ShowException(E); }

private:
    void AdoptForm(QWidget* Form);

    int& FArgc;
    char** FArgv;
    bool FMainFormOnTaskBar = false;
    QString FTitle;
    QWidget* FMainForm = nullptr;
    std::unique_ptr<QApplication> FQtApp; // only when we created it
    std::vector<QWidget*> FForms;
};

// The one application object, set while a TApplication exists.
extern TApplication* Application;

} // namespace Toolkit
