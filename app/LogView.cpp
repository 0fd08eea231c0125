#include "app/LogView.h"

#include <QPlainTextDocumentLayout>
#include <QPlainTextEdit>
#include <QTextDocument>
#include <QThread>
#include <QTimer>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

TLogView::TLogView(QPlainTextEdit* Edit, int MaxLines) : QObject(Edit->window()), FEdit(Edit), FMaxLines(MaxLines)
{
    // Documents belong to this object, not to the edit, so that the edit
    // never deletes one itself when another is set.
    FEdit->setDocument(MakeDocument());
    FRedraw = new QTimer(this);
    FRedraw->setSingleShot(true);
    FRedraw->setInterval(kRedrawMs);
    connect(FRedraw, &QTimer::timeout, this, &TLogView::Redraw);
    // Drawn whole, the edit would otherwise have the group box behind its
    // frame drawn again each time; filled with the same colour, it covers it.
    FEdit->setAutoFillBackground(true);
}

TLogView::~TLogView()
{
    if (FDisposer) {
        // Queued behind any document still being freed.
        QMetaObject::invokeMethod(FDisposerContext, [thread = FDisposer] { thread->quit(); });
        FDisposer->wait();
        delete FDisposerContext;
        delete FDisposer;
    }
}

QTextDocument* TLogView::MakeDocument()
{
    auto* doc = new QTextDocument(this);
    doc->setDocumentLayout(new QPlainTextDocumentLayout(doc));
    doc->setDefaultFont(FEdit->font());
    // Older lines leave the document (this also switches its undo history
    // off); the log store keeps them.
    doc->setMaximumBlockCount(FMaxLines);
    return doc;
}

void TLogView::Append(const QString& Line)
{
    // Each line would otherwise draw the text area, its scroll bar and the
    // group box behind them once more. Held back, the edit keeps its text,
    // its scroll position and the user's scrolling; it is drawn whole when
    // the timer lets it. A hidden edit draws nothing anyway.
    if (!FRedraw->isActive() && FEdit->isVisible()) {
        FEdit->setUpdatesEnabled(false);
        FRedraw->start();
    }
    FEdit->appendPlainText(Line);
}

void TLogView::Redraw()
{
    FEdit->setUpdatesEnabled(true);
}

void TLogView::Clear()
{
    QTextDocument* old = FEdit->document();
    FEdit->setDocument(MakeDocument());
    if (!FDisposer) {
        FDisposer = new QThread();
        FDisposer->setObjectName(QStringLiteral("LogDisposer"));
        FDisposerContext = new QObject();
        FDisposerContext->moveToThread(FDisposer);
        FDisposer->start(QThread::LowPriority);
    }
    // Freeing a hundred thousand laid-out lines takes far longer than a
    // frame; nothing refers to the old document any more.
    old->setParent(nullptr);
    old->moveToThread(FDisposer);
    QMetaObject::invokeMethod(FDisposerContext, [old] {
        delete old;
#if defined(__GLIBC__)
        malloc_trim(0);
#endif
    });
}
