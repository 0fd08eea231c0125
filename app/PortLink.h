#pragma once
// A port and the package layer on it, for what drives the library core
// without the device component: the command line and the scan. The port is
// closed before the layer goes, since the port's threads call into it.
#include "comm/TKelvorCommPkg.h"

struct TPortLink {
    KelvorComm32::TComm32 Port;
    KelvorComm32::TCommPackage Package{&Port};

    TPortLink() = default;
    ~TPortLink()
    {
        try {
            Port.Close();
        } catch (...) {
        }
    }
    // Takes the oldest package (at most Size bytes of it); returns its
    // length, 0 when none, and when its last byte was read.
    unsigned long Take(std::uint8_t* Buffer, unsigned long Size, std::int64_t& LastByte)
    {
        const unsigned long n = Package.ReadPackage(Buffer, Size);
        LastByte = Package.LastPackageTime();
        if (LastByte == 0)
            LastByte = KelvorComm32::TComm32::RxTimeNow();
        return n;
    }

    TPortLink(const TPortLink&) = delete;
    TPortLink& operator=(const TPortLink&) = delete;
};
