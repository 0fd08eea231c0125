#pragma once
// What a scan tries: line settings (rates, then parities, then stop bits),
// slave ids, the probe and how long to wait for each answer. Read from the
// command line's words or the scan dialog's fields alike.
#include <QString>
#include <cstdint>
#include <vector>

#include "app/OpenFailure.h"
#include "platform/rtl/Rtl.h"

struct TScanPlan {
    std::vector<unsigned long> Bauds{9600};
    std::vector<int> Parities{0}; // the port's codes: 0 none, 1 odd, 2 even, 3 mark, 4 space
    std::vector<int> StopBits{0}; // the port's codes: 0 one, 2 two
    // Data bits and RS-485 mode, the same for every setting.
    TLineSettings Base;
    std::vector<int> Ids;         // 1 to 255, in the order tried
    unsigned long TimeoutMs = 100;
    TByteDynArray Probe{3, 0, 0, 0, 1}; // read one holding register: the request without address and CRC
    bool First = false;                 // stop at the first device
    bool RemoveEcho = false;

    // Every setting in the order tried: rates in the order given, then
    // parities, then stop bits.
    std::vector<TLineSettings> Settings() const;
    std::size_t Probes() const { return Settings().size() * Ids.size(); }
};

// The rates `--baud all` means, and the parities of `--parity all`.
inline const std::vector<unsigned long> kScanAllBauds{1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
inline const std::vector<int> kScanAllParities{0, 2, 1};

// Readers of the words a user types; each returns false with the reason.
// "1-247", "17", "1,5,10-12": ids from 1 to 255, kept in the order given.
bool ParseIds(const QString& Text, std::vector<int>& Ids, QString& Error);
// "9600,19200" or "all".
bool ParseBauds(const QString& Text, std::vector<unsigned long>& Bauds, QString& Error);
// "none,even" or "all" (none, odd, even, mark, space).
bool ParseParities(const QString& Text, std::vector<int>& Parities, QString& Error);
// "1", "1,2".
bool ParseStopBits(const QString& Text, std::vector<int>& StopBits, QString& Error);
