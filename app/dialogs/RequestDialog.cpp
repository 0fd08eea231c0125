#include "app/dialogs/RequestDialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/modbus/Crc16.h"
#include "app/modbus/Functions.h"
#include "app/modbus/HexText.h"

namespace {

const std::uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16, 23};
const char* const kFormats[] = {"u16", "s16", "hex", "u32", "s32", "f32", "u64", "s64", "f64", "ascii"};
const char* const kOrders[] = {"ABCD", "CDAB", "BADC", "DCBA"};

// A typed whole number; out of range when it is none, so the builder names
// the field.
long long Number(const QLineEdit* Edit)
{
    bool ok = false;
    const long long v = Edit->text().trimmed().toLongLong(&ok);
    return ok ? v : -1;
}

QLineEdit* NumberEdit(QWidget* Parent, const char* Name, const QString& Text)
{
    auto* edit = new QLineEdit(Text, Parent);
    edit->setObjectName(QLatin1String(Name));
    return edit;
}

} // namespace

TRequestDialog::TRequestDialog(QWidget* Parent, std::function<void(const QString& Frame)> Accepted)
    : QDialog(Parent), FAccepted(std::move(Accepted))
{
    setObjectName(QStringLiteral("RequestDialog"));
    setWindowTitle(QStringLiteral("构造请求"));
    Build();
    Rebuild();
}

void TRequestDialog::Build()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    layout->addLayout(form);

    SlaveEdit = NumberEdit(this, "SlaveEdit", QStringLiteral("1"));
    FunctionBox = new QComboBox(this);
    FunctionBox->setObjectName(QStringLiteral("FunctionBox"));
    for (const std::uint8_t f : kFunctions)
        FunctionBox->addItem(QStringLiteral("%1 %2").arg(f, 2, 10, QLatin1Char('0')).arg(FunctionName(f)), f);
    FunctionBox->setCurrentIndex(2); // read holding registers
    StartEdit = NumberEdit(this, "StartEdit", QStringLiteral("0"));
    CountEdit = NumberEdit(this, "CountEdit", QStringLiteral("1"));
    WriteStartEdit = NumberEdit(this, "WriteStartEdit", QStringLiteral("0"));
    ValuesEdit = new QLineEdit(this);
    ValuesEdit->setObjectName(QStringLiteral("ValuesEdit"));
    ValuesEdit->setPlaceholderText(QStringLiteral("用空格或逗号分开，如 10 20 30"));
    FormatBox = new QComboBox(this);
    FormatBox->setObjectName(QStringLiteral("FormatBox"));
    for (const char* f : kFormats)
        FormatBox->addItem(QLatin1String(f));
    OrderBox = new QComboBox(this);
    OrderBox->setObjectName(QStringLiteral("OrderBox"));
    for (const char* o : kOrders)
        OrderBox->addItem(QLatin1String(o));
    FrameView = new QLineEdit(this);
    FrameView->setObjectName(QStringLiteral("FrameView"));
    FrameView->setReadOnly(true);
    FrameView->setMinimumWidth(420);

    FStartLabel = new QLabel(this);
    FCountLabel = new QLabel(QStringLiteral("数量："), this);
    FWriteStartLabel = new QLabel(QStringLiteral("写入起始地址："), this);
    FValuesLabel = new QLabel(QStringLiteral("值："), this);
    form->addRow(QStringLiteral("从站地址："), SlaveEdit);
    form->addRow(QStringLiteral("功能："), FunctionBox);
    form->addRow(FStartLabel, StartEdit);
    form->addRow(FCountLabel, CountEdit);
    form->addRow(FWriteStartLabel, WriteStartEdit);
    form->addRow(FValuesLabel, ValuesEdit);
    form->addRow(QStringLiteral("寄存器格式："), FormatBox);
    form->addRow(QStringLiteral("字节序："), OrderBox);
    form->addRow(QStringLiteral("帧（含 CRC）："), FrameView);

    ErrorLabel = new QLabel(this);
    ErrorLabel->setObjectName(QStringLiteral("ErrorLabel"));
    ErrorLabel->setStyleSheet(QStringLiteral("color: #c00000;"));
    ErrorLabel->setWordWrap(true);
    layout->addWidget(ErrorLabel);

    Buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    Buttons->setObjectName(QStringLiteral("Buttons"));
    Buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
    Buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
    layout->addWidget(Buttons);
    connect(Buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(Buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    for (QLineEdit* e : {SlaveEdit, StartEdit, CountEdit, WriteStartEdit, ValuesEdit})
        connect(e, &QLineEdit::textChanged, this, [this] { Rebuild(); });
    for (QComboBox* b : {FunctionBox, FormatBox, OrderBox})
        connect(b, &QComboBox::currentIndexChanged, this, [this] { Rebuild(); });
}

void TRequestDialog::Rebuild()
{
    TRequestFields f;
    const int function = FunctionBox->currentData().toInt();
    f.Slave = Number(SlaveEdit);
    f.Function = function;
    f.Start = Number(StartEdit);
    f.Count = Number(CountEdit);
    f.WriteStart = Number(WriteStartEdit);
    f.Values = ValuesEdit->text();
    f.Format = RegisterFormatNamed(FormatBox->currentText()).value_or(TRegisterFormat::U16);
    f.Order = ByteOrderNamed(OrderBox->currentText()).value_or(TByteOrder::ABCD);

    // Only the fields the function has.
    const bool reads = function >= 1 && function <= 4;
    const bool writes = function == 5 || function == 6 || function == 15 || function == 16 || function == 23;
    FStartLabel->setText(function == 23 ? QStringLiteral("读起始地址：")
                                        : function == 5 || function == 6 ? QStringLiteral("地址：")
                                                                         : QStringLiteral("起始地址："));
    CountEdit->setEnabled(reads || function == 23);
    WriteStartEdit->setEnabled(function == 23);
    ValuesEdit->setEnabled(writes);
    const bool registers = function == 6 || function == 16 || function == 23;
    FormatBox->setEnabled(registers);
    OrderBox->setEnabled(registers);

    FBuilt = BuildRequest(f);
    const std::pair<TRequestField, QLineEdit*> edits[] = {{TRequestField::Slave, SlaveEdit},
                                                          {TRequestField::Start, StartEdit},
                                                          {TRequestField::Count, CountEdit},
                                                          {TRequestField::WriteStart, WriteStartEdit},
                                                          {TRequestField::Values, ValuesEdit}};
    QStringList messages;
    for (const auto& [field, edit] : edits) {
        bool wrong = false;
        for (const TFieldError& e : FBuilt.Errors)
            wrong = wrong || e.Field == field;
        edit->setStyleSheet(wrong ? QStringLiteral("QLineEdit { border: 1px solid #c00000; }") : QString());
    }
    for (const TFieldError& e : FBuilt.Errors)
        messages << e.Message;
    ErrorLabel->setText(messages.join(QLatin1Char('\n')));
    const TByteDynArray frame = FBuilt.Ok() ? WithCrc(FBuilt.Frame) : TByteDynArray();
    FrameView->setText(HexText(frame.data(), frame.size()).trimmed());
    FrameView->setCursorPosition(0); // the frame from its address on
    FrameView->setToolTip(FrameView->text());
    Buttons->button(QDialogButtonBox::Ok)->setEnabled(FBuilt.Ok());
}

void TRequestDialog::accept()
{
    if (!FBuilt.Ok())
        return;
    if (FAccepted)
        FAccepted(HexText(FBuilt.Frame.data(), FBuilt.Frame.size()).trimmed());
    QDialog::accept();
}
