#pragma once
// The port list of the window after COM01 to COM16: the serial ports the
// system has now that those sixteen do not already reach, each with what the
// system says of its hardware.
#include <QString>
#include <vector>

struct TPortEntry {
    QString Name; // as listed and opened: COM20, ttyUSB0
    QString Tip;  // product, maker and serial number of a USB adapter; may be empty
};

// The ports beyond the first NumberedPorts COM numbers, in the system's order.
std::vector<TPortEntry> SystemPortEntries(int NumberedPorts);

// What sysfs says of a tty's USB device ("产品：..., 序列号：..."), or empty
// for a port that is not on USB. Root is the folder of the ttys
// ($KELVORCOMM_SYSFS_TTY, else /sys/class/tty).
QString UsbPortTip(const QString& Root, const QString& Name);
