#pragma once
// Port settings dialog of the device component.
#include <QDialog>
#include <QString>

#include "comm/ZuCommDevice.h"
#include "platform/toolkit/Component.h"

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace KelvorComm32 {

class TZuCustomCommDevice;

class TForm_ZuCommDevice_Settings : public QDialog {
    Q_OBJECT
public:
    TForm_ZuCommDevice_Settings(TComponent* Owner, TZuCustomCommDevice* Device, bool ActivateOnOK);
    ~TForm_ZuCommDevice_Settings() override;

    // The dialog's texts in the language of the thread's locale.
    class TMsgStrings {
    public:
        static constexpr int MsgCount = 45;
        TMsgStrings();
        // Empty text for an id outside the table.
        QString fGetMsg(int Id) const;
        unsigned long LcId() const { return FLanguage.LcId(); }

    private:
        const char16_t* const* FTable;
        TComm32Language FLanguage;
    };

    // Controls (objectName = member name).
    QGroupBox* GBoxBuffer = nullptr;
    QLabel* lbInbs = nullptr;
    QLabel* lbOutbs = nullptr;
    QLineEdit* EditInBufSize = nullptr;
    QLineEdit* EditOutBufSize = nullptr;
    QPushButton* BnAbout = nullptr;
    QPushButton* BnDefault = nullptr;
    QPushButton* BnOK = nullptr;
    QPushButton* BnCancel = nullptr;
    QGroupBox* GboxBase = nullptr;
    QLabel* lbPort = nullptr;
    QLabel* lbBaud = nullptr;
    QLabel* lbCheck = nullptr;
    QLabel* lbBits = nullptr;
    QLabel* lbStops = nullptr;
    QComboBox* CbStopBits = nullptr;
    QComboBox* CbSelBaud = nullptr;
    QComboBox* CbParity = nullptr;
    QComboBox* CbByteSize = nullptr;
    QComboBox* CbPort = nullptr;
    QGroupBox* GBoxModem = nullptr;
    QLabel* lbFlow = nullptr;
    QLabel* lbAAns = nullptr;
    QComboBox* CbFlow = nullptr;
    QLineEdit* EditAutoAns = nullptr;
    QGroupBox* GBoxRs485 = nullptr;
    QCheckBox* CkRs485 = nullptr;
    QLabel* lbRtsOnSend = nullptr;
    QComboBox* CbRtsOnSend = nullptr; // 0 high while sending, 1 low
    QLabel* lbRtsBefore = nullptr;
    QLineEdit* EditRtsBefore = nullptr;
    QLabel* lbRtsBeforeMs = nullptr;
    QLabel* lbRtsAfter = nullptr;
    QLineEdit* EditRtsAfter = nullptr;
    QLabel* lbRtsAfterMs = nullptr;

    void BnAboutClick(QObject* Sender);
    void BnDefaultClick(QObject* Sender);
    void BnOKClick(QObject* Sender);
    void BnCancelClick(QObject* Sender);

    // Enter walks the input fields: moves the focus to the next one and
    // returns true, or returns false on the last field and on anything else
    // (the RS-485 fields too, so Enter there runs the checks).
    bool MoveCtrlFocus();

    // Both end with the dialog's own results: 1 for OK, 2 for Cancel (also
    // when the window is closed or Esc is pressed).
    void accept() override;
    void reject() override;

private:
    // The component's RS-485 settings (TZuCustomCommDevice::Rs485).
    struct TRs485 {
        bool On = false;
        bool RtsOnSend = true;
        long DelayBefore = 0;
        long DelayAfter = 0;
    };

    void ShowRs485Enabled(bool On);
    void ShowMessageFor(QWidget* Field, const TMsgStrings& Msgs, int Id);
    void ApplySettings(const UnicodeString& PortName, unsigned long Baud, TZuCustomCommDevice::TParity Parity,
                       int ByteSize, TZuCustomCommDevice::TStopBits StopBits,
                       TZuCustomCommDevice::TFlowControl FlowControl, const TRs485& Rs485, int AutoAnswer,
                       long InBufSize, long OutBufSize, bool Active);

    TZuCustomCommDevice* FDevice;
    bool FWasActive = false;
    bool FActivateOnOK;
    UnicodeString FPortName;
    int FByteSize = 8;
    int FAutoAnswer = 0;
    long FInBufSize = 8192;
    long FOutBufSize = 8192;
    unsigned long FBaud = 115200;
    TZuCustomCommDevice::TParity FParity = TZuCustomCommDevice::ptNoParity;
    TZuCustomCommDevice::TStopBits FStopBits = TZuCustomCommDevice::sbOneStopBit;
    TZuCustomCommDevice::TFlowControl FFlowControl = TZuCustomCommDevice::fcNone;
    TRs485 FRs485;
};

} // namespace KelvorComm32
