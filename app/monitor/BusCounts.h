#pragma once
// What a bus monitor saw, in all and per slave address: requests, replies,
// requests left without a reply, and frames that fail the check.
#include <QString>
#include <array>
#include <cstdint>
#include <optional>

#include "app/monitor/FrameSplitter.h"

class TBusCounts {
public:
    struct TSlaveCounts {
        std::uint64_t Requests = 0;
        std::uint64_t Replies = 0;
        std::uint64_t Unanswered = 0;
        std::uint64_t Failed = 0; // broken frames while a request to it was open
    };

    // Frames in the order the splitter gives them.
    void Add(const TBusFrame& Frame);
    // Listening ended: a request still open had no reply.
    void Finish();

    std::uint64_t Requests() const { return FTotal.Requests; }
    std::uint64_t Replies() const { return FTotal.Replies; }
    std::uint64_t Unanswered() const { return FTotal.Unanswered; }
    std::uint64_t Failed() const { return FTotal.Failed; }
    const TSlaveCounts& Slave(std::uint8_t Address) const { return FSlaves[Address]; }

    // "请求 3 帧，回复 2 帧，无回复 1 次，校验失败 1 帧", then a line per
    // address that was seen: "  站 1：请求 3，回复 2，无回复 1，校验失败 1".
    QString Summary() const;

private:
    TSlaveCounts FTotal;
    std::array<TSlaveCounts, 256> FSlaves{};
    std::optional<std::uint8_t> FOpen; // the address of the request waiting for its reply
};
