#pragma once
// The commands the dispatcher runs. Each takes the arguments after its
// name, returns the exit status and throws TUsageError for bad arguments.
#include <QStringList>

namespace cli {

// What the dispatcher needs to know of a command.
struct TCommand {
    const char* Name;
    const char* Usage; // one line: "Usage: modbuscrc NAME ..."
    int (*Run)(const QStringList& Args);
};

extern const TCommand kCrcCommand;
extern const TCommand kSendCommand;
extern const TCommand kSlaveCommand;
extern const TCommand kScanCommand;
extern const TCommand kDecodeCommand;
extern const TCommand kMonitorCommand;

} // namespace cli
