#pragma once
// How register values are read and typed: the formats (u16 ... f64, ascii)
// and the byte orders of the wider ones. Decoding turns registers into text
// with these, the request builder turns typed text back into registers.
#include <QString>
#include <QStringView>
#include <cstdint>
#include <optional>
#include <vector>

enum class TRegisterFormat { U16, S16, Hex, U32, S32, F32, U64, S64, F64, Ascii };

// Where the value's bytes stand on the wire, its most significant byte
// being A: ABCD as Modbus sends (big-endian), CDAB with the registers in
// reverse order, BADC with the bytes of each register swapped, DCBA all
// reversed. Only the wider formats are affected.
enum class TByteOrder { ABCD, CDAB, BADC, DCBA };

// By name, any case ("u16", "F32", "ascii"; "abcd", "CDAB"); nothing for
// another name.
std::optional<TRegisterFormat> RegisterFormatNamed(QStringView Name);
std::optional<TByteOrder> ByteOrderNamed(QStringView Name);
// The names, for the user: "u16, s16, ..., ascii" and "ABCD, CDAB, BADC, DCBA".
QString RegisterFormatNames();
QString ByteOrderNames();

// Registers one value takes: 1, 2 (32-bit) or 4 (64-bit).
int RegistersPerValue(TRegisterFormat Format);

// The text of one value from RegistersPerValue(Format) registers in wire
// order. Floats in the shortest form that reads back to the same value;
// hex as four upper-case digits; ascii as the register's two characters in
// quotes, with \0, \\, \" and \xNN for the rest.
QString ValueText(TRegisterFormat Format, TByteOrder Order, const std::uint16_t* Registers);

// The registers of one typed value, appended to Out in wire order, or the
// reason it is not a value of that format (Out then unchanged). For ascii
// the text is a string of characters (escapes as ValueText writes them,
// without quotes), two to a register, an odd last one padded with \0.
std::optional<QString> ParseValue(TRegisterFormat Format, TByteOrder Order, QStringView Text,
                                  std::vector<std::uint16_t>& Out);
