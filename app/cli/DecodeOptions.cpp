#include "app/cli/DecodeOptions.h"

namespace cli {

bool TakeDecodeOption(TArgs& Args, TDecodeOptions& Options, bool& Given)
{
    if (Args.Is("--format")) {
        const QString text = Args.Value();
        const auto format = RegisterFormatNamed(text);
        if (!format)
            throw TUsageError(("--format is one of " + RegisterFormatNames() + ", not '" + text + "'").toStdString());
        Options.Format = *format;
    } else if (Args.Is("--order")) {
        const QString text = Args.Value();
        const auto order = ByteOrderNamed(text);
        if (!order)
            throw TUsageError(("--order is one of " + ByteOrderNames() + ", not '" + text + "'").toStdString());
        Options.Order = *order;
    } else {
        return false;
    }
    Given = true;
    return true;
}

} // namespace cli
