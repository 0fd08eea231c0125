#pragma once
// The Modbus functions this tool knows by name, their exception codes, and
// how long a request is by its own fields.
#include <QString>
#include <cstddef>
#include <cstdint>

#include "app/modbus/Reply.h" // kMaxRtuFrame

// Function codes.
namespace mbfn {
constexpr std::uint8_t ReadCoils = 1;
constexpr std::uint8_t ReadDiscreteInputs = 2;
constexpr std::uint8_t ReadHoldingRegisters = 3;
constexpr std::uint8_t ReadInputRegisters = 4;
constexpr std::uint8_t WriteSingleCoil = 5;
constexpr std::uint8_t WriteSingleRegister = 6;
constexpr std::uint8_t WriteMultipleCoils = 15;
constexpr std::uint8_t WriteMultipleRegisters = 16;
constexpr std::uint8_t ReadWriteRegisters = 23;
constexpr std::uint8_t ExceptionBit = 0x80;
} // namespace mbfn

// The highest address a request may carry; 0 is the broadcast.
constexpr std::uint8_t kMaxSlaveAddress = 247;

// "读保持寄存器" for 3; empty for a function this tool does not name.
QString FunctionName(std::uint8_t Function);
// "非法数据地址" for 2; "未知异常" for a code it does not name.
QString ExceptionName(std::uint8_t Code);

// Length of a whole request (CRC included) as far as its bytes tell: 8 for
// functions 1 to 6, 9 + byte count for 15 and 16, 13 + byte count for 23.
// 0 while too few bytes are in to tell, -1 when the function is not one of
// these.
int WholeRequestLength(const std::uint8_t* Data, std::size_t Count);
