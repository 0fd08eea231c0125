#pragma once
// The request builder: slave address, function, start address, count or
// values in a register format, and the frame they make, shown as it is
// typed. Wrong fields are marked and keep "确定" off; "确定" hands the
// frame's hex text (without its CRC) to the window.
#include <QDialog>
#include <functional>

#include "app/modbus/RequestBuilder.h"

class QComboBox;
class QDialogButtonBox;
class QLabel;
class QLineEdit;

class TRequestDialog : public QDialog {
    Q_OBJECT

public:
    TRequestDialog(QWidget* Parent, std::function<void(const QString& Frame)> Accepted);

    // Fields (objectName == member name), for tests.
    QLineEdit* SlaveEdit = nullptr;
    QComboBox* FunctionBox = nullptr;
    QLineEdit* StartEdit = nullptr;
    QLineEdit* CountEdit = nullptr;
    QLineEdit* WriteStartEdit = nullptr;
    QLineEdit* ValuesEdit = nullptr;
    QComboBox* FormatBox = nullptr;
    QComboBox* OrderBox = nullptr;
    QLineEdit* FrameView = nullptr;
    QLabel* ErrorLabel = nullptr;
    QDialogButtonBox* Buttons = nullptr;

    // The frame the fields make now, without CRC (empty while a field is wrong).
    const TByteDynArray& Frame() const { return FBuilt.Frame; }
    void accept() override;

private:
    void Build();
    void Rebuild();

    std::function<void(const QString&)> FAccepted;
    TBuiltRequest FBuilt;
    QLabel* FStartLabel = nullptr;
    QLabel* FCountLabel = nullptr;
    QLabel* FWriteStartLabel = nullptr;
    QLabel* FValuesLabel = nullptr;
};
