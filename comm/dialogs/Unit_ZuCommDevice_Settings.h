#pragma once
// Port settings dialog of the device component.
#include <QDialog>

#include "platform/toolkit/Component.h"

namespace KelvorComm32 {

class TZuCustomCommDevice;

class TForm_ZuCommDevice_Settings : public QDialog {
    Q_OBJECT
public:
    TForm_ZuCommDevice_Settings(TComponent* Owner, TZuCustomCommDevice* Device, bool ActivateOnOK);
    ~TForm_ZuCommDevice_Settings() override;
};

} // namespace KelvorComm32
