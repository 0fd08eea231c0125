#pragma once
// --format F and --order O, read alike by every command that decodes frames.
#include "app/cli/Common.h"
#include "app/modbus/Decode.h"

namespace cli {

// True when the current argument was --format or --order; Given is set then.
bool TakeDecodeOption(TArgs& Args, TDecodeOptions& Options, bool& Given);

} // namespace cli
