#include "app/dialogs/ScanDialog.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "app/demo/DemoSlave.h"
#include "platform/toolkit/Toolkit.h"

namespace {

// The port's parity codes in the order the list shows them.
const std::pair<int, const char16_t*> kParities[] = {
    {0, u"无校验 (N)"}, {2, u"偶校验 (E)"}, {1, u"奇校验 (O)"}, {3, u"标记 (M)"}, {4, u"空格 (S)"},
};
const std::pair<int, const char16_t*> kStopBits[] = {{ONESTOPBIT, u"1"}, {TWOSTOPBITS, u"2"}};

QListWidget* CheckList(QWidget* Parent, const char* Name)
{
    auto* list = new QListWidget(Parent);
    list->setObjectName(QLatin1String(Name));
    list->setSelectionMode(QAbstractItemView::NoSelection);
    return list;
}

void AddCheckItem(QListWidget* List, const QString& Text, int Value, bool Checked)
{
    auto* item = new QListWidgetItem(Text, List);
    item->setData(Qt::UserRole, Value);
    item->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
    item->setCheckState(Checked ? Qt::Checked : Qt::Unchecked);
}

template <class T>
std::vector<T> Checked(const QListWidget* List)
{
    std::vector<T> values;
    for (int i = 0; i < List->count(); ++i)
        if (List->item(i)->checkState() == Qt::Checked)
            values.push_back(static_cast<T>(List->item(i)->data(Qt::UserRole).toLongLong()));
    return values;
}

QString Seconds(std::int64_t Ms)
{
    return Ms >= 60'000 ? QStringLiteral("%1 分 %2 秒").arg(Ms / 60'000).arg((Ms / 1000) % 60)
                        : QStringLiteral("%1 秒").arg((Ms + 999) / 1000);
}

} // namespace

TScanDialog::TScanDialog(QWidget* Parent, TSetup Setup) : QDialog(Parent), FSetup(std::move(Setup))
{
    setObjectName(QStringLiteral("ScanDialog"));
    setWindowTitle(QStringLiteral("扫描设备"));
    Build();
}

TScanDialog::~TScanDialog()
{
    StopScan();
    Join();
}

void TScanDialog::Build()
{
    auto* layout = new QVBoxLayout(this);
    auto* form = new QGridLayout;
    layout->addLayout(form);

    PortBox = new QComboBox(this);
    PortBox->setObjectName(QStringLiteral("PortBox"));
    PortBox->setEditable(true);
    PortBox->addItems(FSetup.Ports);
    PortBox->setEditText(FSetup.Port);
    form->addWidget(new QLabel(QStringLiteral("串口："), this), 0, 0);
    form->addWidget(PortBox, 0, 1, 1, 3);

    BaudList = CheckList(this, "BaudList");
    std::vector<unsigned long> bauds = kScanAllBauds;
    if (std::find(bauds.begin(), bauds.end(), FSetup.Baud) == bauds.end() && FSetup.Baud > 0)
        bauds.insert(std::upper_bound(bauds.begin(), bauds.end(), FSetup.Baud), FSetup.Baud);
    for (const unsigned long b : bauds)
        AddCheckItem(BaudList, QString::number(b), static_cast<int>(b), b == FSetup.Baud);
    ParityList = CheckList(this, "ParityList");
    for (const auto& [code, text] : kParities)
        AddCheckItem(ParityList, QString::fromUtf16(text), code, code == 0);
    StopBitsList = CheckList(this, "StopBitsList");
    for (const auto& [code, text] : kStopBits)
        AddCheckItem(StopBitsList, QString::fromUtf16(text), code, code == ONESTOPBIT);
    const std::pair<const char16_t*, QListWidget*> lists[] = {
        {u"波特率", BaudList}, {u"校验", ParityList}, {u"停止位", StopBitsList}};
    int column = 0;
    for (const auto& [title, list] : lists) {
        auto* box = new QGroupBox(QString::fromUtf16(title), this);
        auto* inner = new QVBoxLayout(box);
        inner->setContentsMargins(4, 4, 4, 4);
        inner->addWidget(list);
        // As tall as the entries: the table below gets the room.
        list->setFixedHeight(list->sizeHintForRow(0) * list->count() + 2 * list->frameWidth() + 2);
        form->addWidget(box, 1, column++, list == StopBitsList ? 1 : 2, 1, Qt::AlignTop);
    }

    auto* side = new QGridLayout;
    IdsEdit = new QLineEdit(QStringLiteral("1-247"), this);
    IdsEdit->setObjectName(QStringLiteral("IdsEdit"));
    IdsEdit->setToolTip(QStringLiteral("N、N-M，或用逗号分隔，地址在 1 到 255 之间"));
    TimeoutBox = new QSpinBox(this);
    TimeoutBox->setObjectName(QStringLiteral("TimeoutBox"));
    TimeoutBox->setRange(10, 60'000);
    TimeoutBox->setValue(100);
    TimeoutBox->setSuffix(QStringLiteral(" ms"));
    FirstBox = new QCheckBox(QStringLiteral("找到一个即停止"), this);
    FirstBox->setObjectName(QStringLiteral("FirstBox"));
    side->addWidget(new QLabel(QStringLiteral("地址："), this), 0, 0);
    side->addWidget(IdsEdit, 0, 1);
    side->addWidget(new QLabel(QStringLiteral("超时："), this), 1, 0);
    side->addWidget(TimeoutBox, 1, 1);
    side->addWidget(FirstBox, 2, 0, 1, 2);
    form->addLayout(side, 2, 2, Qt::AlignTop);

    auto* run = new QHBoxLayout;
    Progress = new QProgressBar(this);
    Progress->setObjectName(QStringLiteral("Progress"));
    Progress->setValue(0);
    StartButton = new QPushButton(QStringLiteral("开始扫描"), this);
    StartButton->setObjectName(QStringLiteral("StartButton"));
    StopButton = new QPushButton(QStringLiteral("停止"), this);
    StopButton->setObjectName(QStringLiteral("StopButton"));
    StopButton->setEnabled(false);
    run->addWidget(Progress, 1);
    run->addWidget(StartButton);
    run->addWidget(StopButton);
    layout->addLayout(run);
    StatusLabel = new QLabel(QStringLiteral("选好要试的设置后点“开始扫描”。"), this);
    StatusLabel->setObjectName(QStringLiteral("StatusLabel"));
    layout->addWidget(StatusLabel);

    FoundTable = new QTableWidget(0, 4, this);
    FoundTable->setObjectName(QStringLiteral("FoundTable"));
    FoundTable->setHorizontalHeaderLabels(
        {QStringLiteral("地址"), QStringLiteral("波特率"), QStringLiteral("设置"), QStringLiteral("回复")});
    FoundTable->setSelectionBehavior(QAbstractItemView::SelectRows);
    FoundTable->setSelectionMode(QAbstractItemView::SingleSelection);
    FoundTable->setEditTriggers(QAbstractItemView::NoEditTriggers);
    FoundTable->verticalHeader()->setVisible(false);
    FoundTable->horizontalHeader()->setStretchLastSection(true);
    FoundTable->setColumnWidth(0, 48);
    FoundTable->setColumnWidth(1, 70);
    FoundTable->setColumnWidth(2, 48);
    layout->addWidget(FoundTable, 1);

    HintsBox = new QPlainTextEdit(this);
    HintsBox->setObjectName(QStringLiteral("HintsBox"));
    HintsBox->setReadOnly(true);
    HintsBox->setPlaceholderText(QStringLiteral("收到但不成回复的字节（校验失败、其他地址、回显）列在这里。"));
    HintsBox->setMaximumHeight(64);
    layout->addWidget(HintsBox);

    auto* buttons = new QHBoxLayout;
    UseButton = new QPushButton(QStringLiteral("使用"), this);
    UseButton->setObjectName(QStringLiteral("UseButton"));
    UseButton->setToolTip(QStringLiteral("把所选设备的串口、波特率、校验、数据位、停止位和地址用到主窗口"));
    UseButton->setEnabled(false);
    auto* close = new QPushButton(QStringLiteral("关闭"), this);
    buttons->addStretch(1);
    buttons->addWidget(UseButton);
    buttons->addWidget(close);
    layout->addLayout(buttons);

    connect(StartButton, &QPushButton::clicked, this, [this] { Toolkit::Guarded([&] { StartScan(); }); });
    connect(StopButton, &QPushButton::clicked, this, [this] { StopScan(); });
    connect(UseButton, &QPushButton::clicked, this, [this] { Toolkit::Guarded([&] { UseSelected(); }); });
    connect(close, &QPushButton::clicked, this, &QDialog::reject);
    connect(FoundTable, &QTableWidget::itemSelectionChanged, this,
            [this] { UseButton->setEnabled(!FoundTable->selectedItems().isEmpty()); });
    connect(FoundTable, &QTableWidget::cellDoubleClicked, this, [this] { Toolkit::Guarded([&] { UseSelected(); }); });
    resize(520, 560);
}

bool TScanDialog::ReadPlan(TScanPlan& Plan, QString& Error) const
{
    Plan.Bauds = Checked<unsigned long>(BaudList);
    Plan.Parities = Checked<int>(ParityList);
    Plan.StopBits = Checked<int>(StopBitsList);
    if (Plan.Bauds.empty() || Plan.Parities.empty() || Plan.StopBits.empty()) {
        Error = QStringLiteral("请至少选一个波特率、一种校验方式和一种停止位。");
        return false;
    }
    if (!ParseIds(IdsEdit->text(), Plan.Ids, Error))
        return false;
    Plan.Base.DataBits = FSetup.DataBits;
    Plan.TimeoutMs = static_cast<unsigned long>(TimeoutBox->value());
    Plan.First = FirstBox->isChecked();
    Plan.RemoveEcho = FSetup.RemoveEcho;
    return true;
}

bool TScanDialog::StartScan()
{
    if (Scanning())
        return false;
    TScanPlan plan;
    QString error;
    if (!ReadPlan(plan, error)) {
        Toolkit::ShowMessage(error);
        return false;
    }
    FScannedPort = PortBox->currentText().trimmed();
    QString device = FSetup.DeviceFor ? FSetup.DeviceFor(FScannedPort) : FScannedPort;
    FDemo.reset();
    if (device.isEmpty()) {
        try {
            FDemo = std::make_unique<TDemoDevice>();
        } catch (const Exception& e) {
            Toolkit::ShowMessage(OpenFailedLine(FScannedPort) + QLatin1Char('\n') +
                                 QString::fromStdU16String(e.Message()));
            return false;
        }
        device = QString::fromStdString(FDemo->PortPath());
    }

    FoundTable->setRowCount(0);
    FAnswers.clear();
    HintsBox->clear();
    Progress->setRange(0, static_cast<int>(std::min<std::size_t>(plan.Probes(), 1'000'000)));
    Progress->setValue(0);
    StartButton->setEnabled(false);
    StopButton->setEnabled(true);
    UseButton->setEnabled(false);

    // The worker's events come back to this thread, in order; a dialog
    // gone by then drops them.
    FScanner = std::make_unique<TScanner>();
    FScanner->OnProgress = [this](const TScanProgress& P) {
        QMetaObject::invokeMethod(this, [this, P] { ShowProgress(P); }, Qt::QueuedConnection);
    };
    FScanner->OnFound = [this](const TScanAnswer& A) {
        QMetaObject::invokeMethod(this, [this, A] { AddFound(A); }, Qt::QueuedConnection);
    };
    FScanner->OnHint = [this](const TScanAnswer& A) {
        const QString line = QStringLiteral("%1 %2 %3 %4").arg(A.Id).arg(A.Line.Baud).arg(SettingText(A.Line), A.RxLine);
        QMetaObject::invokeMethod(this, [this, line] { AddHint(line); }, Qt::QueuedConnection);
    };
    FScanner->OnSkipped = [this](const TLineSettings& Line, const QString& Why) {
        const QString line = QStringLiteral("跳过 %1 %2：%3").arg(Line.Baud).arg(SettingText(Line), Why);
        QMetaObject::invokeMethod(this, [this, line] { AddHint(line); }, Qt::QueuedConnection);
    };
    TScanner* scanner = FScanner.get();
    FWorker = std::thread([this, scanner, device, plan] {
        QString failure;
        const TScanner::TEnd end = scanner->Run(device, plan, failure);
        QMetaObject::invokeMethod(this, [this, end, failure] { Finished(end, failure); }, Qt::QueuedConnection);
    });
    StatusLabel->setText(QStringLiteral("正在扫描 %1 ...").arg(FScannedPort));
    return true;
}

void TScanDialog::StopScan()
{
    if (FScanner)
        FScanner->Stop();
}

void TScanDialog::Join()
{
    if (FWorker.joinable())
        FWorker.join();
}

void TScanDialog::ShowProgress(const TScanProgress& P)
{
    Progress->setValue(static_cast<int>(std::min<std::size_t>(P.Done, 1'000'000)));
    StatusLabel->setText(QStringLiteral("正在尝试 %1 %2，地址 %3；已找到 %4 个；剩余至多 %5")
                             .arg(P.Line.Baud)
                             .arg(SettingText(P.Line))
                             .arg(P.Id)
                             .arg(P.Found)
                             .arg(Seconds(P.LeftMs)));
}

void TScanDialog::AddFound(const TScanAnswer& A)
{
    const int row = FoundTable->rowCount();
    FoundTable->insertRow(row);
    const QString cells[] = {QString::number(A.Id), QString::number(A.Line.Baud), SettingText(A.Line),
                             A.RxLine.mid(3).trimmed()};
    for (int c = 0; c < 4; ++c)
        FoundTable->setItem(row, c, new QTableWidgetItem(cells[c]));
    FAnswers.push_back(A);
    if (row == 0)
        FoundTable->selectRow(0);
}

void TScanDialog::AddHint(const QString& Line)
{
    HintsBox->appendPlainText(Line);
}

void TScanDialog::Finished(TScanner::TEnd End, const QString& Failure)
{
    Join();
    FDemo.reset();
    StartButton->setEnabled(true);
    StopButton->setEnabled(false);
    if (End == TScanner::CannotOpen) {
        StatusLabel->setText(OpenFailedLine(FScannedPort));
        Toolkit::ShowMessage(OpenFailedLine(FScannedPort) + QLatin1Char('\n') + Failure);
        return;
    }
    if (End == TScanner::Finished)
        Progress->setValue(Progress->maximum());
    const QString how = End == TScanner::Stopped ? QStringLiteral("扫描已停止") : QStringLiteral("扫描完成");
    StatusLabel->setText(FAnswers.empty() ? how + QStringLiteral("：没有设备应答。")
                                          : how + QStringLiteral("：%1 处应答。选一行点“使用”。").arg(FAnswers.size()));
}

void TScanDialog::UseSelected()
{
    const QList<QTableWidgetItem*> selected = FoundTable->selectedItems();
    if (selected.isEmpty() || !FSetup.Use)
        return;
    const int row = selected.first()->row();
    if (row < 0 || row >= static_cast<int>(FAnswers.size()))
        return;
    FSetup.Use(FScannedPort, FAnswers[static_cast<std::size_t>(row)]);
}

void TScanDialog::closeEvent(QCloseEvent* Event)
{
    StopScan();
    Join();
    QDialog::closeEvent(Event);
}

void TScanDialog::reject()
{
    StopScan();
    Join();
    QDialog::reject();
}
