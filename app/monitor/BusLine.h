#pragma once
// The lines a bus monitor prints for a frame:
//   REQ:01 03 00 00 00 01 84 0A
//   RSP:01 03 02 00 2A 38 5B
//   ???:01 03 02 [数据校验失败]
// with times, the local time in front and the silence before the frame at
// the end, and for a paired reply the time since its request:
//   12:03:04.567 RSP:01 03 02 00 2A 38 5B (+1.9 ms, 12.4 ms after REQ)
#include <QDateTime>
#include <QString>

#include "app/modbus/Decode.h"
#include "app/monitor/FrameSplitter.h"

QString BusLine(const TBusFrame& Frame);
// At: the local time of the frame's last byte.
QString TimedBusLine(const TBusFrame& Frame, const QDateTime& At);
// The decoded line of a request or a reply (a reply without its request
// shows addresses relative to the start it cannot tell); empty for bytes
// that form no frame.
QString DecodedBusLine(const TBusFrame& Frame, const TDecodeOptions& Options);
