#pragma once
// The lines of the traffic log, as the window shows them and the command
// line prints them.
#include <QDateTime>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <optional>

// The mark of a reply whose own CRC does not check.
inline constexpr const char16_t* kCheckFailedMark = u"[数据校验失败]";

// The mark of bytes that came back first after a send with echo removal on
// but were not the frame sent (a collision on the bus).
inline constexpr const char16_t* kEchoMismatchMark = u"[回显不符]";

// "TX:" and the frame's hex text.
QString TxLine(const std::uint8_t* Data, std::size_t Count);
// "RX:", the reply's hex text and, when its CRC does not check, the mark;
// then the echo mismatch's mark when asked.
QString RxLine(const std::uint8_t* Data, std::size_t Count, bool EchoMismatch = false);

// A line as shown with times: the local time as HH:MM:SS.mmm and a blank in
// front; a response time, when given, at the end as "(9.4 ms)", one blank
// after the text (the hex text's own trailing blank counts).
QString TimedLine(const QString& Line, const QDateTime& At, std::optional<double> ResponseMs = std::nullopt);

// Milliseconds between two steady-clock stamps in nanoseconds.
double ElapsedMs(std::int64_t From, std::int64_t To);
