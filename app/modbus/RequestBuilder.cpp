#include "app/modbus/RequestBuilder.h"

#include <QRegularExpression>
#include <QStringList>
#include <optional>

#include "app/modbus/Functions.h"

namespace {

// Quantities the protocol allows in one request.
constexpr int kMaxReadBits = 2000;
constexpr int kMaxReadRegisters = 125;
constexpr int kMaxWriteCoils = 1968;
constexpr int kMaxWriteRegisters = 123;
constexpr int kMaxReadWriteRegisters = 121; // 23's write part, so the frame stays within 256 bytes
constexpr long long kLastAddress = 65535;

class TBuilder {
public:
    explicit TBuilder(const TRequestFields& Fields) : F(Fields) {}

    TBuiltRequest Build()
    {
        if (F.Slave < 0 || F.Slave > kMaxSlaveAddress)
            Fail(TRequestField::Slave, QStringLiteral("从站地址应为 0 到 247"));
        const bool known = F.Function >= 0 && F.Function <= 255 &&
                           !FunctionName(static_cast<std::uint8_t>(F.Function)).isEmpty();
        if (!known) {
            Fail(TRequestField::Function, QStringLiteral("不支持的功能码 %1，可用 1 到 6、15、16、23").arg(F.Function));
            return Result();
        }
        const auto function = static_cast<std::uint8_t>(F.Function);
        Frame = {static_cast<std::uint8_t>(F.Slave), function};
        const bool startOk = CheckAddress(TRequestField::Start, F.Start, QStringLiteral("起始地址"));
        switch (function) {
        case mbfn::ReadCoils:
        case mbfn::ReadDiscreteInputs:
            Read(startOk, kMaxReadBits);
            break;
        case mbfn::ReadHoldingRegisters:
        case mbfn::ReadInputRegisters:
            Read(startOk, kMaxReadRegisters);
            break;
        case mbfn::WriteSingleCoil:
            WriteSingleCoil();
            break;
        case mbfn::WriteSingleRegister:
            WriteSingleRegister();
            break;
        case mbfn::WriteMultipleCoils:
            WriteCoils(startOk);
            break;
        case mbfn::WriteMultipleRegisters:
            WriteRegisters(startOk);
            break;
        case mbfn::ReadWriteRegisters:
            ReadWrite(startOk);
            break;
        }
        return Result();
    }

private:
    void Fail(TRequestField Field, const QString& Message) { Errors.push_back({Field, Message}); }

    TBuiltRequest Result()
    {
        TBuiltRequest r;
        r.Errors = std::move(Errors);
        if (r.Errors.empty())
            r.Frame = std::move(Frame);
        return r;
    }

    void Word(long long Value)
    {
        Frame.push_back(static_cast<std::uint8_t>((Value >> 8) & 0xFF));
        Frame.push_back(static_cast<std::uint8_t>(Value & 0xFF));
    }

    bool CheckAddress(TRequestField Field, long long Address, const QString& What)
    {
        if (Address >= 0 && Address <= kLastAddress)
            return true;
        Fail(Field, What + QStringLiteral("应为 0 到 65535"));
        return false;
    }

    // A count of Max at most, from a valid start, must not run past the
    // last address.
    bool CheckCount(TRequestField Field, bool StartOk, long long Start, long long Count, int Max,
                    const QString& What)
    {
        if (Count < 1 || Count > Max) {
            Fail(Field, What + QStringLiteral("应为 1 到 %1").arg(Max));
            return false;
        }
        if (StartOk && Start + Count - 1 > kLastAddress) {
            Fail(Field, QStringLiteral("从地址 %1 起 %2 个超出了地址 65535").arg(Start).arg(Count));
            return false;
        }
        return true;
    }

    void Read(bool StartOk, int Max)
    {
        CheckCount(TRequestField::Count, StartOk, F.Start, F.Count, Max, QStringLiteral("数量"));
        Word(F.Start);
        Word(F.Count);
    }

    // The typed values as words; none when the text holds none.
    QStringList Words() const
    {
        static const QRegularExpression kSeparators(QStringLiteral("[\\s,;，；]+"));
        return F.Values.split(kSeparators, Qt::SkipEmptyParts);
    }

    std::optional<std::vector<bool>> Coils(bool OnOff)
    {
        const QStringList words = Words();
        if (words.isEmpty()) {
            Fail(TRequestField::Values, QStringLiteral("没有写入值"));
            return std::nullopt;
        }
        std::vector<bool> bits;
        for (qsizetype i = 0; i < words.size(); ++i) {
            const QString& w = words[i];
            if (w == QLatin1String("1") || (OnOff && w.compare(QLatin1String("on"), Qt::CaseInsensitive) == 0)) {
                bits.push_back(true);
            } else if (w == QLatin1String("0") ||
                       (OnOff && w.compare(QLatin1String("off"), Qt::CaseInsensitive) == 0)) {
                bits.push_back(false);
            } else {
                Fail(TRequestField::Values, QStringLiteral("第 %1 个值“%2”应为 %3")
                                                .arg(i + 1)
                                                .arg(w, OnOff ? QStringLiteral("0、1、on 或 off")
                                                              : QStringLiteral("0 或 1")));
                return std::nullopt;
            }
        }
        return bits;
    }

    std::optional<std::vector<std::uint16_t>> Registers()
    {
        std::vector<std::uint16_t> regs;
        if (F.Format == TRegisterFormat::Ascii) {
            if (auto error = ParseValue(F.Format, F.Order, F.Values, regs)) {
                Fail(TRequestField::Values, *error);
                return std::nullopt;
            }
            return regs;
        }
        const QStringList words = Words();
        if (words.isEmpty()) {
            Fail(TRequestField::Values, QStringLiteral("没有写入值"));
            return std::nullopt;
        }
        for (qsizetype i = 0; i < words.size(); ++i) {
            if (auto error = ParseValue(F.Format, F.Order, words[i], regs)) {
                Fail(TRequestField::Values, QStringLiteral("第 %1 个值“%2”").arg(i + 1).arg(words[i]) + *error);
                return std::nullopt;
            }
        }
        return regs;
    }

    void WriteSingleCoil()
    {
        const auto bits = Coils(true);
        if (bits && bits->size() != 1)
            Fail(TRequestField::Values, QStringLiteral("写单个线圈只写一个值，这里有 %1 个").arg(bits->size()));
        Word(F.Start);
        Word(bits && !bits->empty() && bits->front() ? 0xFF00 : 0x0000);
    }

    void WriteSingleRegister()
    {
        if (RegistersPerValue(F.Format) != 1) {
            Fail(TRequestField::Values, QStringLiteral("写单个寄存器只写一个 16 位的值，请选 u16、s16、hex 或 ascii"));
            return;
        }
        const auto regs = Registers();
        if (regs && regs->size() != 1)
            Fail(TRequestField::Values, QStringLiteral("写单个寄存器只写一个寄存器，这里有 %1 个").arg(regs->size()));
        Word(F.Start);
        Word(regs && !regs->empty() ? regs->front() : 0);
    }

    void WriteCoils(bool StartOk)
    {
        const auto bits = Coils(false);
        const long long n = bits ? static_cast<long long>(bits->size()) : 0;
        if (bits)
            CheckCount(TRequestField::Values, StartOk, F.Start, n, kMaxWriteCoils, QStringLiteral("线圈个数"));
        Word(F.Start);
        Word(n);
        Frame.push_back(static_cast<std::uint8_t>((n + 7) / 8));
        for (long long i = 0; i < n; i += 8) {
            std::uint8_t b = 0;
            for (long long j = 0; j < 8 && i + j < n; ++j)
                b |= static_cast<std::uint8_t>((*bits)[static_cast<std::size_t>(i + j)] ? 1 << j : 0);
            Frame.push_back(b);
        }
    }

    void AppendRegisters(const std::vector<std::uint16_t>& Regs)
    {
        Frame.push_back(static_cast<std::uint8_t>(2 * Regs.size()));
        for (const std::uint16_t r : Regs)
            Word(r);
    }

    void WriteRegisters(bool StartOk)
    {
        const auto regs = Registers();
        if (regs)
            CheckCount(TRequestField::Values, StartOk, F.Start, static_cast<long long>(regs->size()),
                       kMaxWriteRegisters, QStringLiteral("寄存器个数"));
        Word(F.Start);
        Word(regs ? static_cast<long long>(regs->size()) : 0);
        AppendRegisters(regs.value_or(std::vector<std::uint16_t>()));
    }

    void ReadWrite(bool StartOk)
    {
        CheckCount(TRequestField::Count, StartOk, F.Start, F.Count, kMaxReadRegisters, QStringLiteral("读的数量"));
        const bool writeStartOk = CheckAddress(TRequestField::WriteStart, F.WriteStart, QStringLiteral("写起始地址"));
        const auto regs = Registers();
        if (regs)
            CheckCount(TRequestField::Values, writeStartOk, F.WriteStart, static_cast<long long>(regs->size()),
                       kMaxReadWriteRegisters, QStringLiteral("写的寄存器个数"));
        Word(F.Start);
        Word(F.Count);
        Word(F.WriteStart);
        Word(regs ? static_cast<long long>(regs->size()) : 0);
        AppendRegisters(regs.value_or(std::vector<std::uint16_t>()));
    }

    const TRequestFields& F;
    TByteDynArray Frame;
    std::vector<TFieldError> Errors;
};

} // namespace

TBuiltRequest BuildRequest(const TRequestFields& Fields)
{
    return TBuilder(Fields).Build();
}
