#pragma once
// The newest lines of the log as Memo3 shows them. Clearing swaps in an
// empty document at once and frees the old one on a thread of its own, so a
// full log empties without freezing the window and gives its memory back.
// Every line is in the document as soon as it is appended; while lines keep
// coming, the edit is drawn at most once every kRedrawMs.
#include <QObject>
#include <QString>

class QPlainTextEdit;
class QTextDocument;
class QThread;
class QTimer;

class TLogView : public QObject {
public:
    TLogView(QPlainTextEdit* Edit, int MaxLines);
    ~TLogView() override;
    TLogView(const TLogView&) = delete;
    TLogView& operator=(const TLogView&) = delete;

    void Append(const QString& Line);
    void Clear();

    // A request and its reply, a few tens of milliseconds apart on a slow
    // line, are drawn together: drawing the edit costs far more than adding
    // a line to it.
    static constexpr int kRedrawMs = 50;

private:
    QTextDocument* MakeDocument();
    void Redraw();

    QPlainTextEdit* FEdit;
    int FMaxLines;
    QTimer* FRedraw = nullptr; // pending while the edit's drawing is held back
    QThread* FDisposer = nullptr;
    QObject* FDisposerContext = nullptr; // lives on FDisposer
};
