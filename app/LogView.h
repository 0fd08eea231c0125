#pragma once
// The newest lines of the log as Memo3 shows them. Clearing swaps in an
// empty document at once and frees the old one on a thread of its own, so a
// full log empties without freezing the window and gives its memory back.
#include <QObject>
#include <QString>

class QPlainTextEdit;
class QTextDocument;
class QThread;

class TLogView : public QObject {
public:
    TLogView(QPlainTextEdit* Edit, int MaxLines);
    ~TLogView() override;
    TLogView(const TLogView&) = delete;
    TLogView& operator=(const TLogView&) = delete;

    void Append(const QString& Line);
    void Clear();

private:
    QTextDocument* MakeDocument();

    QPlainTextEdit* FEdit;
    int FMaxLines;
    QThread* FDisposer = nullptr;
    QObject* FDisposerContext = nullptr; // lives on FDisposer
};
