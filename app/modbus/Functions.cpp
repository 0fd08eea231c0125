#include "app/modbus/Functions.h"

QString FunctionName(std::uint8_t Function)
{
    switch (Function) {
    case mbfn::ReadCoils:
        return QStringLiteral("读线圈");
    case mbfn::ReadDiscreteInputs:
        return QStringLiteral("读离散输入");
    case mbfn::ReadHoldingRegisters:
        return QStringLiteral("读保持寄存器");
    case mbfn::ReadInputRegisters:
        return QStringLiteral("读输入寄存器");
    case mbfn::WriteSingleCoil:
        return QStringLiteral("写单个线圈");
    case mbfn::WriteSingleRegister:
        return QStringLiteral("写单个寄存器");
    case mbfn::WriteMultipleCoils:
        return QStringLiteral("写多个线圈");
    case mbfn::WriteMultipleRegisters:
        return QStringLiteral("写多个寄存器");
    case mbfn::ReadWriteRegisters:
        return QStringLiteral("读写多个寄存器");
    default:
        return {};
    }
}

QString ExceptionName(std::uint8_t Code)
{
    switch (Code) {
    case 0x01:
        return QStringLiteral("非法功能");
    case 0x02:
        return QStringLiteral("非法数据地址");
    case 0x03:
        return QStringLiteral("非法数据值");
    case 0x04:
        return QStringLiteral("从站设备故障");
    case 0x05:
        return QStringLiteral("确认");
    case 0x06:
        return QStringLiteral("从站设备忙");
    case 0x08:
        return QStringLiteral("存储奇偶性差错");
    case 0x0A:
        return QStringLiteral("网关路径不可用");
    case 0x0B:
        return QStringLiteral("网关目标设备响应失败");
    default:
        return QStringLiteral("未知异常");
    }
}

int WholeRequestLength(const std::uint8_t* Data, std::size_t Count)
{
    if (Count < 2)
        return 0;
    switch (Data[1]) {
    case mbfn::ReadCoils:
    case mbfn::ReadDiscreteInputs:
    case mbfn::ReadHoldingRegisters:
    case mbfn::ReadInputRegisters:
    case mbfn::WriteSingleCoil:
    case mbfn::WriteSingleRegister:
        return 8;
    case mbfn::WriteMultipleCoils:
    case mbfn::WriteMultipleRegisters:
        return Count > 6 ? 9 + Data[6] : 0;
    case mbfn::ReadWriteRegisters:
        return Count > 10 ? 13 + Data[10] : 0;
    default:
        return -1;
    }
}
