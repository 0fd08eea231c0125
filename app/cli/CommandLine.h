#pragma once
// The command line of modbuscrc: its commands, `--help` and `--version`.
// Commands run without a window and without a QApplication; the serial work
// is the library core's.
#include <QString>
#include <optional>

// Runs a command when the arguments ask for one and returns its exit
// status. Returns nothing when the window is to start; Screenshot is then
// the file of `--screenshot FILE`, or empty.
std::optional<int> RunCommandLine(int argc, char** argv, QString& Screenshot);
