#include "platform/toolkit/Toolkit.h"

#include <QLibraryInfo>
#include <QTranslator>

#include <QApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFont>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QTranslator>
#include <QUrl>
#include <QWidget>
#include <cstdio>
#if defined(Q_OS_LINUX)
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/rtl/Rtl.h"

namespace Toolkit {

TApplication* Application = nullptr;

namespace {

MessageSink gMessageSink;
LinkSink gLinkSink;
SaveFileSink gSaveFileSink;

QString AppCaption()
{
    if (Application)
        return Application->Title();
    return QString();
}

QMessageBox::Icon IconOf(int Flags)
{
    switch (Flags & 0xF0) {
    case mbIconError: return QMessageBox::Critical;
    case mbIconQuestion: return QMessageBox::Question;
    case mbIconWarning: return QMessageBox::Warning;
    case mbIconInformation: return QMessageBox::Information;
    default: return QMessageBox::NoIcon;
    }
}

int Deliver(const MessageBoxCall& Call)
{
    if (gMessageSink)
        return gMessageSink(Call);
    if (!qobject_cast<QApplication*>(QCoreApplication::instance())) {
        // No widgets yet (start-up failed early): a box cannot be built.
        std::fprintf(stderr, "%s\n", Call.text.toLocal8Bit().constData());
        return mrOK;
    }
    QMessageBox box(IconOf(Call.flags), Call.caption.isEmpty() ? AppCaption() : Call.caption,
                    Call.text, QMessageBox::Ok, Call.owner);
    box.exec();
    return mrOK;
}

// Catches what a handler run directly by Qt (an event filter, a paint event)
// throws, so that it never unwinds through the event loop.
class TQtApplication : public QApplication {
public:
    using QApplication::QApplication;
    bool notify(QObject* Receiver, QEvent* Event) override
    {
        try {
            return QApplication::notify(Receiver, Event);
        } catch (...) {
            HandleCurrentException();
            return false;
        }
    }
};

} // namespace

MessageSink SetMessageSink(MessageSink sink)
{
    MessageSink old = std::move(gMessageSink);
    gMessageSink = std::move(sink);
    return old;
}

void ShowMessage(const QString& Text)
{
    Deliver({MessageBoxCall::kShowMessage, nullptr, Text, QString(), 0});
}

int MessageBox(QWidget* Owner, const QString& Text, const QString& Caption, int Flags)
{
    return Deliver({MessageBoxCall::kMessageBox, Owner, Text, Caption, Flags});
}

void ShowException(const std::exception& E)
{
    QString text;
    if (auto* e = dynamic_cast<const Exception*>(&E))
        text = QString::fromStdU16String(e->Message());
    else
        text = QString::fromUtf8(E.what());
    Deliver({MessageBoxCall::kException, nullptr, text, AppCaption(), mbIconError});
}

LinkSink SetLinkSink(LinkSink sink)
{
    LinkSink old = std::move(gLinkSink);
    gLinkSink = std::move(sink);
    return old;
}

void OpenLink(const QString& Url)
{
    if (gLinkSink) {
        gLinkSink(Url);
        return;
    }
    // Like the shell call it stands for, the result is not looked at.
    QDesktopServices::openUrl(QUrl(Url));
}

SaveFileSink SetSaveFileSink(SaveFileSink sink)
{
    SaveFileSink old = std::move(gSaveFileSink);
    gSaveFileSink = std::move(sink);
    return old;
}

QString AskSaveFileName(QWidget* Owner, const QString& Caption, const QString& Suggested, const QString& Filter)
{
    if (gSaveFileSink)
        return gSaveFileSink(Owner, Caption, Suggested);
    return QFileDialog::getSaveFileName(Owner, Caption, Suggested, Filter);
}

void HandleCurrentException() noexcept
{
    try {
        try {
            throw;
        } catch (const Exception& e) {
            ShowException(e);
        } catch (...) {
            ShowException(Exception());
        }
    } catch (...) {
        // The display itself failed (a sink that throws); there is nowhere
        // left to report it, and the event loop must not see it.
    }
}

int RunEntry(const std::function<void()>& Steps) noexcept
{
    try {
        Steps();
    } catch (...) {
        HandleCurrentException();
    }
    return 0;
}

void InstallFontSubstitutes()
{
    static const QStringList cjk = {QStringLiteral("SimHei"), QStringLiteral("WenQuanYi Zen Hei"),
                                    QStringLiteral("Noto Sans CJK SC"),
                                    QStringLiteral("Source Han Sans SC"),
                                    QStringLiteral("Droid Sans Fallback")};
    if (!QFont::substitutes(QStringLiteral("黑体")).isEmpty())
        return;
    QFont::insertSubstitutions(QStringLiteral("黑体"), cjk);
    QFont::insertSubstitutions(QStringLiteral("SimHei"), cjk.mid(1));
    QStringList latin = {QStringLiteral("DejaVu Sans"), QStringLiteral("Liberation Sans")};
    latin += cjk;
    QFont::insertSubstitutions(QStringLiteral("Tahoma"), latin);
}

namespace {

// Started outside a login session (xvfb-run as root, a container) there is
// no runtime folder, and Qt warns about it at every start. Make the private
// folder it would fall back to and say where it is.
void EnsureRuntimeFolder()
{
#if defined(Q_OS_LINUX)
    if (!qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR"))
        return;
    const QByteArray dir = QFile::encodeName(QDir::tempPath()) + "/runtime-" + QByteArray::number(getuid());
    if (mkdir(dir.constData(), 0700) != 0 && errno != EEXIST)
        return;
    struct stat st{};
    // Only a folder of ours that nobody else may enter will do.
    if (lstat(dir.constData(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != getuid() || (st.st_mode & 077) != 0)
        return;
    qputenv("XDG_RUNTIME_DIR", dir);
#endif
}

} // namespace

TApplication::TApplication(int& argc, char** argv) : FArgc(argc), FArgv(argv)
{
    Application = this;
}

TApplication::~TApplication()
{
    // Forms go first, the newest first, while the Qt application still exists.
    for (auto it = FForms.rbegin(); it != FForms.rend(); ++it)
        delete *it;
    FForms.clear();
    FMainForm = nullptr;
    FQtApp.reset();
    if (Application == this)
        Application = nullptr;
}

QTranslator* InstallQtTranslation(const QString& Locale)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return nullptr;
    const QString folder = QLibraryInfo::path(QLibraryInfo::TranslationsPath);
    auto* translator = new QTranslator(app);
    // qtbase holds the widgets' and dialogs' texts; qt_ is the older bundle.
    if (!translator->load(QStringLiteral("qtbase_") + Locale, folder) &&
        !translator->load(QStringLiteral("qt_") + Locale, folder)) {
        delete translator;
        return nullptr;
    }
    QCoreApplication::installTranslator(translator);
    return translator;
}

void TApplication::Initialize()
{
    EnsureRuntimeFolder();
    if (!QCoreApplication::instance())
        FQtApp = std::make_unique<TQtApplication>(FArgc, FArgv);
    InstallFontSubstitutes();
}

QString TApplication::Title() const
{
    return FTitle;
}

void TApplication::fSetTitle(const QString& Value)
{
    // Kept for message box captions only: Qt would append a display name to
    // every window caption.
    FTitle = Value;
}

void TApplication::AdoptForm(QWidget* Form)
{
    FForms.push_back(Form);
    if (!FMainForm)
        FMainForm = Form;
}

int TApplication::Run()
{
    if (!QCoreApplication::instance())
        return 0;
    if (FMainForm) {
        FMainForm->setAttribute(Qt::WA_QuitOnClose, true);
        FMainForm->show();
    }
    return QApplication::exec();
}

} // namespace Toolkit
