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
    TPortLink(const TPortLink&) = delete;
    TPortLink& operator=(const TPortLink&) = delete;
};
