#pragma once
// Requests to the demo slave and its answers from its start values, one per
// supported function and two exceptions. In this order each answer holds
// also when the requests go to one slave one after the other.
namespace testsupport {

struct DemoRequest {
    const char* name;
    const char* typed; // the request as typed, without its CRC
    const char* tx;    // the TX line's hex text
    const char* rx;    // the RX line's hex text
};

inline const DemoRequest kDemoRequests[] = {
    {"ReadCoils", "01 01 00 00 00 08", "01 01 00 00 00 08 3D CC ", "01 01 01 AA D1 F7 "},
    {"ReadDiscreteInputs", "01 02 00 01 00 08", "01 02 00 01 00 08 28 0C ", "01 02 01 55 61 B7 "},
    {"ReadHoldingRegisters", "01 03 00 00 00 02", "01 03 00 00 00 02 C4 0B ", "01 03 04 10 00 10 01 32 F3 "},
    {"ReadInputRegisters", "01 04 03 E6 00 02", "01 04 03 E6 00 02 90 78 ", "01 04 04 03 E6 03 E7 5A 8D "},
    {"WriteSingleCoil", "01 05 00 02 FF 00", "01 05 00 02 FF 00 2D FA ", "01 05 00 02 FF 00 2D FA "},
    {"WriteSingleRegister", "01 06 00 0A 12 34", "01 06 00 0A 12 34 A4 BF ", "01 06 00 0A 12 34 A4 BF "},
    {"WriteMultipleCoils", "01 0F 00 00 00 0A 02 FF 03", "01 0F 00 00 00 0A 02 FF 03 E4 C9 ",
     "01 0F 00 00 00 0A D5 CC "},
    {"WriteMultipleRegisters", "01 10 00 00 00 02 04 00 01 00 02", "01 10 00 00 00 02 04 00 01 00 02 23 AE ",
     "01 10 00 00 00 02 41 C8 "},
    {"ReadWriteRegisters", "01 17 00 05 00 01 00 05 00 01 02 AB CD",
     "01 17 00 05 00 01 00 05 00 01 02 AB CD FA 4E ", "01 17 02 AB CD 03 11 "},
    {"RegisterPastTheEnd", "01 03 03 E7 00 02", "01 03 03 E7 00 02 74 78 ", "01 83 02 C0 F1 "},
    {"CoilPastTheEnd", "01 01 03 E7 00 02", "01 01 03 E7 00 02 0D B8 ", "01 81 02 C1 91 "},
};

} // namespace testsupport
