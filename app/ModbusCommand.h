#pragma once
// The main window: hex entry and Modbus CRC-16, the send-interval rule, the
// reply-length rule and reply check, and the serial panel.
#include <QPointer>
#include <QString>
#include <QWidget>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>

#include "app/log/LogCounts.h"
#include "app/log/LogLine.h"
#include "app/log/LogStore.h"
#include "app/OpenFailure.h"
#include "app/modbus/Crc16.h"
#include "app/modbus/Decode.h"
#include "app/modbus/Exchange.h"
#include "app/modbus/HexText.h"
#include "app/modbus/Reply.h"
#include "platform/rtl/Rtl.h"

class QAction;
class QComboBox;
class QPoint;
class QEvent;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QTimer;
class TLogView;
class TShape;
class TDemoDevice;
class TScanDialog;
class TRequestDialog;
class TFrameSplitter;
class TBusCounts;
class QMenu;
struct TScanAnswer;
struct TBusFrame;

namespace KelvorComm32 {
class TZuCommDevice;
}

class TForm1 : public QWidget {
    Q_OBJECT

public:
    // Builds the window from its design and runs FormCreate.
    explicit TForm1(QWidget* Parent = nullptr);
    ~TForm1() override;

    // Controls (objectName == member name).
    QGroupBox* GroupBox1 = nullptr;
    QPlainTextEdit* Memo1 = nullptr;
    QGroupBox* GroupBox2 = nullptr;
    QPlainTextEdit* Memo2 = nullptr;
    QGroupBox* GroupBox3 = nullptr;
    QLabel* Label1 = nullptr;
    TShape* Shape1 = nullptr;
    QComboBox* ComboBox1 = nullptr;
    QComboBox* ComboBox2 = nullptr;
    QComboBox* ComboBox3 = nullptr;
    QComboBox* ComboBox4 = nullptr;
    QComboBox* ComboBox5 = nullptr;
    QPushButton* Button1 = nullptr;
    QPlainTextEdit* Memo3 = nullptr;
    QPushButton* Button2 = nullptr;
    QPushButton* Button3 = nullptr;
    QLabel* Label2 = nullptr;
    QLineEdit* Edit1 = nullptr;
    QLabel* Label6 = nullptr;
    QLineEdit* Edit2 = nullptr;
    QGroupBox* GroupBox4 = nullptr;
    QLabel* Label4 = nullptr;
    QPlainTextEdit* Memo4 = nullptr;
    QLabel* Label5 = nullptr;
    QPlainTextEdit* Memo5 = nullptr;
    QTimer* Timer1 = nullptr;
    // The log's context menu beyond the edit's own entries.
    QAction* ActionShowTimes = nullptr; // times and response times on each line
    QAction* ActionPauseOnly = nullptr; // replies end by the pause only
    QAction* ActionRemoveEcho = nullptr; // take out the line's echo of each request
    QAction* ActionSaveLog = nullptr;
    QAction* ActionClearLog = nullptr;
    QAction* ActionScan = nullptr;       // opens the scan dialog
    QAction* ActionDecode = nullptr;     // a decoded line under each frame
    QMenu* FormatMenu = nullptr;         // register format and byte order of decoding
    QAction* ActionListen = nullptr;     // listen only: the monitor's lines, nothing sent
    QAction* ActionBuildRequest = nullptr; // the target box's menu: the request builder
    // Owned by the window; destroying it closes the port.
    KelvorComm32::TZuCommDevice* ZuCommDevice1 = nullptr;

    // Handlers of the calculator.
    void FormCreate(QObject* Sender);
    void Memo1Exit(QObject* Sender);
    void Memo1DblClick(QObject* Sender);
    void Memo3DblClick(QObject* Sender);
    void Label5Click(QObject* Sender);
    void Edit1Change(QObject* Sender);

    // Handlers of the serial panel.
    void Button1Click(QObject* Sender);
    void Button2Click(QObject* Sender);
    void Button3Click(QObject* Sender);
    void Timer1Timer(QObject* Sender);
    void ComboBox1Change(QObject* Sender);
    void ComboBox2Change(QObject* Sender);
    void ComboBox3Change(QObject* Sender);
    void ComboBox4Change(QObject* Sender);
    void ComboBox5Change(QObject* Sender);
    void ZuCommDevice1Package(TObject* Sender, int NotifyType);

    // Opens the port with the settings of the lists (true) or closes it
    // (false), and sets the panel's look. The panel's state lives in the
    // Tag of Button1 (port open) and Button3 (sending automatically).
    void SwitchPort(bool Open);
    // Logs FrameBytes as a TX line and writes it as one package.
    void SendFrame();
    // Reads one package, logs it as an RX line and checks its CRC.
    void ReceiveFrame();

    // Parses the hex text of Memo1, appends the CRC, stores the frame in
    // FrameBytes and shows it in Memo2.
    void CalculateCRC();

    // Sets ExpectedLength for the frame about to be sent, from Edit2 or, when
    // Edit2 holds 0, from the frame's function code. May rewrite Edit2 and
    // show the advice message. Throws EConvertError for a non-numeric Edit2,
    // leaving ExpectedLength as it was.
    void UpdateExpectedLength(const TByteDynArray& Frame);

    // Adds a line to the log: shown in Memo3 (which keeps the newest
    // kShownLogLines) and kept in the log store. With times shown, the local
    // time goes in front and a response time, when given, at the end.
    void AddLogLine(const QString& Line, std::optional<double> ResponseMs = std::nullopt);
    // Empties the log, its store and its counts.
    void ClearLog();
    // Asks for a file and writes every line of the log to it.
    void SaveLog();
    // Opens the log's context menu at a point of Memo3.
    void ShowLogMenu(const QPoint& Pos);
    // Opens the target box's context menu: the builder and the frames sent.
    void ShowTargetMenu(const QPoint& Pos);
    // Opens the request builder; its frame goes into the target box.
    void ShowRequestBuilder();
    TRequestDialog* RequestDialog() const;
    // The frames sent in this run, newest first (hex text without CRC).
    const QStringList& RecentFrames() const { return FRecent; }
    // The register format and byte order the format menu has checked.
    TDecodeOptions DecodeOptions() const;
    // Closes the port and opens the scan dialog on the port box's port.
    void ShowScanDialog();
    TScanDialog* ScanDialog() const;
    // Takes a device the scan found: its port, line settings, and its
    // address as the target's first byte.
    void UseScanned(const QString& Port, const TScanAnswer& Answer);
    const TLogCounts& LogCounts() const { return FExchange.Counts(); }
    const TLogStore& LogStore() const { return FLogStore; }

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    void ApplyLook();
    void BindEvents();
    void CreateDevice();
    // Builds the port list again: COM01..COM16, the system's other ports
    // as they are now, the demo device; keeps what the box reads.
    void RebuildPortList();
    // The port the box's text names: selects the entry it equals (any case)
    // and sets the component's port, a typed COMn, or a typed device name.
    void ChoosePort(bool& Demo);
    // The rate the box's text names; false with the reason when it names none.
    bool ChooseRate(QString& Reason);
    // Parity, data bits and stop bits from their lists; false with the
    // reason when a typed text names no entry.
    bool ChooseLineSettings(QString& Reason);
    // Stops automatic sending and shows it on Button3.
    void StopAutoSend();
    // Closes the panel, with a log line and one message, once the open
    // port's device has gone.
    void WatchLine();
    void CreateLogActions();
    // A line as it is, without the time in front (decoded lines, the
    // monitor's own timed lines).
    void AddPlainLogLine(const QString& Line);
    // Listening: the port's bytes go to the bus monitor instead of the
    // package layer, and its frames to the log.
    void StartListening();
    void StopListening();
    void ListenRead();
    void LogBusFrame(const TBusFrame& Frame);
    // Keeps a frame sent at the head of the recent frames.
    void RememberSent(const TByteDynArray& Frame);
    // Gives the package layer the end-of-reply test for this request, or
    // none when replies end by the pause only.
    void ApplyReplyEnd(const TByteDynArray& Request);

    TLogView* FLogView = nullptr; // owned as a child of the window
    QTimer* FLineWatch = nullptr;  // while the port is open
    QString FOpenedName;           // the port's name as the box read at opening
    TLogStore FLogStore;
    // Requests sent since the log was cleared, and the counts.
    TExchange FExchange;
    // The demo slave behind the DEMO entry, while its port is open.
    std::unique_ptr<TDemoDevice> FDemo;
    QPointer<TScanDialog> FScanDialog;
    QPointer<TRequestDialog> FRequestDialog;
    // While listening on an open port.
    std::unique_ptr<TFrameSplitter> FSplitter;
    std::unique_ptr<TBusCounts> FBusCounts;
    QTimer* FListenTimer = nullptr;
    QStringList FRecent;
};

// Unit-level state of the window.
extern TForm1* Form1;
extern TByteDynArray FrameBytes;  // last computed frame, CRC included
extern QString LogLine;           // log line under construction
extern int SendInterval;          // last accepted send interval, ms
extern std::int32_t ExpectedLength; // reply bytes to take from each package

// Texts the window shows.
inline constexpr const char16_t* kEmptyTargetMessage = kNoHexDigitMessage;
inline constexpr const char16_t* kReplyLengthAdvice = u"建议填写预计接收的字节数！";
inline constexpr const char16_t* kDefaultFrameText = u"01 01 00 00 00 08 ";
inline constexpr const char16_t* kEmptySendMessage = u"不能发空信息!";
// Size of the receive buffer, and the package size the window gives the
// component, so a package always fits.
inline constexpr int kReceiveBufferSize = 8192;
// How often an open port's device is looked for: a pulled cable shows within
// this, well inside a second.
inline constexpr int kLineWatchMs = 250;
// How many frames sent the target box's menu offers again.
inline constexpr int kRecentFrames = 20;
// Memo3 shows the newest lines only; the store keeps them all.
inline constexpr int kShownLogLines = 100000;
// The port list's first entries, "COM01" to "COM16", select ports by number.
inline constexpr int kNumberedPorts = 16;
// A page with the Modbus CRC-16 written out as C source.
inline constexpr const char* kAlgorithmPageUrl =
    "https://modbus.org/docs/Modbus_over_serial_line_V1_02.pdf";

// What an entry of the parity or stop-bit list selects, by its meaning: the
// component's TParity / TStopBits value, or -1 for a text that is no entry.
int ParityFromText(const QString& Text);
int StopBitsFromText(const QString& Text);

// Bytes to ask ReadPackage for: the whole package when ExpectedLength is 0
// or negative, never more than the receive buffer holds.
unsigned long ReceiveSize(std::int32_t Expected);
