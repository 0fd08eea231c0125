#pragma once
// Shared pieces of the dialog tests: the thread locale through the
// environment, and recorders for message boxes and opened links.
#include <QApplication>
#include <QEvent>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "platform/toolkit/Toolkit.h"

// Readable failure output for Qt strings.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace dialogtest {

// Sets LC_ALL for the lifetime of the object (the Linux layer reads it on
// every GetThreadLocale call).
class LocaleScope {
public:
    explicit LocaleScope(const char* Locale)
    {
        if (const char* old = std::getenv("LC_ALL")) {
            fHadOld = true;
            fOld = old;
        }
        setenv("LC_ALL", Locale, 1);
    }
    ~LocaleScope()
    {
        if (fHadOld)
            setenv("LC_ALL", fOld.c_str(), 1);
        else
            unsetenv("LC_ALL");
    }
    LocaleScope(const LocaleScope&) = delete;
    LocaleScope& operator=(const LocaleScope&) = delete;

private:
    bool fHadOld = false;
    std::string fOld;
};

// Records every message box instead of showing it; also notes which widget
// of the box's owner held the focus when the box came up.
class MessageRecorder {
public:
    struct Entry {
        Toolkit::MessageBoxCall call;
        QWidget* focus;
    };
    MessageRecorder()
    {
        fOld = Toolkit::SetMessageSink([this](const Toolkit::MessageBoxCall& c) {
            entries.push_back({c, c.owner ? c.owner->focusWidget() : nullptr});
            return Toolkit::mrOK;
        });
    }
    ~MessageRecorder() { Toolkit::SetMessageSink(std::move(fOld)); }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    std::vector<Entry> entries;

private:
    Toolkit::MessageSink fOld;
};

class LinkRecorder {
public:
    LinkRecorder()
    {
        fOld = Toolkit::SetLinkSink([this](const QString& url) { links.push_back(url); });
    }
    ~LinkRecorder() { Toolkit::SetLinkSink(std::move(fOld)); }
    LinkRecorder(const LinkRecorder&) = delete;
    LinkRecorder& operator=(const LinkRecorder&) = delete;

    std::vector<QString> links;

private:
    Toolkit::LinkSink fOld;
};

// Runs `Action` on the first modal window that comes up while a modal loop
// runs (checked from the event loop, so exec() can be driven without a
// fixed delay). Windows shown meanwhile stay unpainted: painting a dialog
// starts Qt's pooled image threads, which the thread checker cannot see into.
class OnModal : public QObject {
public:
    explicit OnModal(std::function<void(QWidget*)> Action) : fAction(std::move(Action))
    {
        qApp->installEventFilter(this);
        fTimer.setInterval(10);
        QObject::connect(&fTimer, &QTimer::timeout, [this] {
            if (QWidget* w = QApplication::activeModalWidget()) {
                fTimer.stop();
                fRan = true;
                fAction(w);
            }
        });
        fTimer.start();
    }
    ~OnModal() override { qApp->removeEventFilter(this); }
    bool ran() const { return fRan; }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override
    {
        if (Event->type() == QEvent::Show && Watched->isWidgetType()) {
            auto* w = static_cast<QWidget*>(Watched);
            if (w->isWindow())
                w->setUpdatesEnabled(false);
        }
        return false;
    }

private:
    std::function<void(QWidget*)> fAction;
    QTimer fTimer;
    bool fRan = false;
};

} // namespace dialogtest
