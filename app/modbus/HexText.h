#pragma once
// Frames as hex text, in and out: the entry box, the result box, the log
// and the command line all read and write this form.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "platform/rtl/Rtl.h"

// Every byte as two upper-case hex digits and a space, the last included.
QString HexText(const std::uint8_t* Data, std::size_t Count);

// The bytes of a typed target text: only hex digits count, whatever stands
// between them; pairs of digits make bytes and an odd last digit is dropped.
// Empty when the text holds no hex digit.
TByteDynArray HexBytes(const QString& Text);

// The target text with its first byte (the first two hex digits) set to
// Byte, everything else as typed; a text without a whole byte gets it in
// front.
QString WithFirstByte(const QString& Text, std::uint8_t Byte);

// True when the text holds at least one hex digit.
bool HasHexDigit(const QString& Text);

// What the user is told about a target text without a hex digit.
inline constexpr const char16_t* kNoHexDigitMessage = u"目标字串为空或无有效字符！";

// What the user is told about a frame longer than Modbus RTU allows, which
// is not sent (%1: its length, CRC included).
inline constexpr const char16_t* kFrameTooLongMessage = u"帧长 %1 字节，超过 Modbus RTU 帧的上限 256 字节，不能发送。";
