#pragma once
// The serial library's About box.
#include <QDialog>
#include <QString>
#include <functional>

#include "comm/TKelvorComm32.h"
#include "platform/toolkit/Component.h"
#include "platform/win32/Win32.h"

class QFrame;
class QLabel;
class QPushButton;

namespace KelvorComm32 {

class TForm_ZUComm32_About : public QDialog {
    Q_OBJECT
public:
    // Name: what the box shows as the component's name.
    TForm_ZUComm32_About(TComponent* Owner, const QString& Name);
    ~TForm_ZUComm32_About() override;

    // The box's texts in the language of the thread's locale.
    class TMsgStrings {
    public:
        static constexpr int MsgCount = 12;
        TMsgStrings();
        // Empty text for an id outside the table.
        QString fGetMsg(int Id) const;

    private:
        const char16_t* const* FTable;
        TComm32Language FLanguage;
    };

    // The system calls behind ShowSysInfo. They default to the platform's
    // own; tests put in their own to play other systems.
    struct TSysInfoCalls {
        std::function<BOOL(LPOSVERSIONINFOW)> GetVersionEx;
        std::function<LSTATUS(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY)> RegOpenKeyEx;
        std::function<LSTATUS(HKEY, LPCWSTR, LPDWORD, LPDWORD, BYTE*, LPDWORD)> RegQueryValueEx;
        std::function<LSTATUS(HKEY)> RegCloseKey;
    };
    static TSysInfoCalls SystemCalls();
    // Returns the calls in use before.
    static TSysInfoCalls SetSysInfoCalls(TSysInfoCalls Calls);

    // Controls (objectName = member name).
    QPushButton* BnOK = nullptr;
    QLabel* Image1 = nullptr;
    QLabel* LabelCaption = nullptr;
    QLabel* LabelVersion = nullptr;
    QLabel* LabelCo = nullptr;
    QLabel* LabelHomepage = nullptr;
    QLabel* LabelEmail = nullptr;
    QFrame* Bevel1 = nullptr;
    QLabel* LabelOSVer = nullptr;
    QLabel* LabelPmtUser = nullptr;
    QLabel* LabelPmtOrgn = nullptr;
    QLabel* LabelUser = nullptr;
    QLabel* LabelUserOrg = nullptr;

    // Fills the system line and the registered user and organisation.
    void ShowSysInfo();

    void LabelHomepageClick(QObject* Sender);
    void LabelEmailClick(QObject* Sender);
    void BnOKClick(QObject* Sender);

    void accept() override;
    void reject() override;

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;
};

} // namespace KelvorComm32
