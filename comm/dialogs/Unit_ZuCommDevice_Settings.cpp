// Placeholder until the dialog is built: an empty dialog.
#include "comm/dialogs/Unit_ZuCommDevice_Settings.h"

namespace KelvorComm32 {

TForm_ZuCommDevice_Settings::TForm_ZuCommDevice_Settings(TComponent*, TZuCustomCommDevice*, bool) {}
TForm_ZuCommDevice_Settings::~TForm_ZuCommDevice_Settings() = default;

} // namespace KelvorComm32
