#pragma once
// Builds a Modbus request from its fields as a request dialog holds them,
// or says per field what is wrong, so each message can stand beside its
// field. The reverse of decoding: a frame built here decodes to the values
// typed.
#include <QString>
#include <cstdint>
#include <vector>

#include "app/modbus/Formats.h"
#include "platform/rtl/Rtl.h"

struct TRequestFields {
    long long Slave = 1;    // 0 (broadcast) to 247
    long long Function = 3; // 1 to 6, 15, 16, 23
    long long Start = 0;    // data address, 0-based; for 23 the read start
    long long Count = 1;    // for the reads: how many (coils, inputs, registers)
    long long WriteStart = 0; // 23: where the values go
    // For 5, 6, 15, 16 and 23: numbers separated by blanks or commas, in
    // Format (coils as 0 or 1; 5 also takes on and off). In ascii the whole
    // text is one string, two characters to a register.
    QString Values;
    TRegisterFormat Format = TRegisterFormat::U16;
    TByteOrder Order = TByteOrder::ABCD;
};

enum class TRequestField { Slave, Function, Start, Count, WriteStart, Values };

struct TFieldError {
    TRequestField Field;
    QString Message;
};

struct TBuiltRequest {
    TByteDynArray Frame; // without the CRC; empty when there are errors
    std::vector<TFieldError> Errors;
    bool Ok() const { return Errors.empty(); }
};

TBuiltRequest BuildRequest(const TRequestFields& Fields);
