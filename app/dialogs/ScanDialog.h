#pragma once
// The window's scan dialog: which rates, parities, stop bits and ids to try
// on a port, the scan's progress, and a table of the devices that answered.
// The scan runs on a worker thread (the window stays responsive); "使用"
// hands a found device's settings back to the window.
#include <QDialog>
#include <functional>
#include <memory>
#include <thread>

#include "app/scan/Scanner.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;
class QSpinBox;
class QTableWidget;
class TDemoDevice;

class TScanDialog : public QDialog {
    Q_OBJECT

public:
    // What the dialog needs of the window.
    struct TSetup {
        QStringList Ports;        // the port list's entries
        QString Port;             // the port box's text
        unsigned long Baud = 9600;
        int DataBits = 8;
        bool RemoveEcho = false;
        // The device a port box text opens ("COM03" is COM3), or empty for
        // the demo device.
        std::function<QString(const QString&)> DeviceFor;
        // Takes a found device's port, settings and address.
        std::function<void(const QString& Port, const TScanAnswer&)> Use;
    };

    TScanDialog(QWidget* Parent, TSetup Setup);
    ~TScanDialog() override;

    // Controls, for tests (objectName == member name).
    QComboBox* PortBox = nullptr;
    QListWidget* BaudList = nullptr;
    QListWidget* ParityList = nullptr;
    QListWidget* StopBitsList = nullptr;
    QLineEdit* IdsEdit = nullptr;
    QSpinBox* TimeoutBox = nullptr;
    QCheckBox* FirstBox = nullptr;
    QProgressBar* Progress = nullptr;
    QLabel* StatusLabel = nullptr;
    QPushButton* StartButton = nullptr;
    QPushButton* StopButton = nullptr;
    QTableWidget* FoundTable = nullptr;
    QPlainTextEdit* HintsBox = nullptr;
    QPushButton* UseButton = nullptr;

    // Starts a scan with the fields as they are; false (and a message box)
    // when a field is wrong or the port cannot be opened.
    bool StartScan();
    void StopScan();
    bool Scanning() const { return FWorker.joinable(); }
    // Hands the selected row to the window.
    void UseSelected();

protected:
    void closeEvent(QCloseEvent* Event) override;
    void reject() override;

private:
    void Build();
    bool ReadPlan(TScanPlan& Plan, QString& Error) const;
    void ShowProgress(const TScanProgress& P);
    void AddFound(const TScanAnswer& A);
    void AddHint(const QString& Line);
    void Finished(TScanner::TEnd End, const QString& Failure);
    void Join();

    TSetup FSetup;
    std::unique_ptr<TScanner> FScanner;
    std::unique_ptr<TDemoDevice> FDemo;
    std::thread FWorker;
    QString FScannedPort;              // the port box's text the scan ran on
    std::vector<TScanAnswer> FAnswers; // by table row
};
