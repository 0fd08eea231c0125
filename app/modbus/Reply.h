#pragma once
// What a Modbus RTU reply should look like, worked out from its request:
// the length rule of the reply-length box, the CRC check of every reply, and
// the test that tells when the bytes received so far are a whole reply.
#include <cstddef>
#include <cstdint>
#include <functional>

#include "comm/TKelvorCommPkg.h"
#include "platform/rtl/Rtl.h"

// Reply length the function-code table gives for a request (CRC included),
// or -1 when the function is not in the table or the request is too short
// to hold the bytes the table reads.
int ReplyLengthFor(const TByteDynArray& Request);

// A reply passes when the CRC over all of it, its own CRC included, is 0.
bool ReplyPasses(const std::uint8_t* Data, unsigned long Count);

// The longest RTU frame: address, 253 bytes of PDU, CRC.
inline constexpr std::size_t kMaxRtuFrame = 256;

// What a package is to the request it follows.
enum class TReplyKind {
    Good,      // the request's address and function, CRC checks
    Exception, // the request's address and function + 0x80, CRC checks
    BadCrc,    // its own CRC does not check
    Echo,      // a byte-for-byte copy of the request: the line's echo, not the device
    Foreign,   // CRC checks but another address or function
};
// Functions whose normal reply is the request itself (write single coil or
// register, diagnostics, write file record, mask write): for them a copy of
// the request is the reply.
bool RepliesWithTheRequest(std::uint8_t Function);
// Request is the frame sent, CRC included.
TReplyKind ClassifyReply(const TByteDynArray& Request, const std::uint8_t* Data, std::size_t Count);
// Replies that answer: good, exception, or broken (CRC).
inline bool IsAnswer(TReplyKind Kind) { return Kind != TReplyKind::Echo && Kind != TReplyKind::Foreign; }

// Length of a whole reply to (Address, Function) as far as the bytes in
// hand tell it: 5 for an exception reply, 5 + byte count for functions 1 to
// 4 and 23, 8 for 5, 6, 15 and 16. 0 while too few bytes are in to tell,
// -1 when the bytes cannot begin such a reply or the function's reply
// length is not fixed by its fields.
int WholeReplyLength(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count);

// True when Data is exactly one whole reply to (Address, Function) whose
// CRC checks.
bool IsWholeReply(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count);

// The end-of-reply test for a request (CRC included): the bytes so far are
// one whole reply (KelvorComm32::cpeYes), or a whole copy of the request (a
// line's echo, which stands alone before the reply); they can still become
// one of them (cpeWait: no pause cuts them); or neither (cpeNo: the pause
// ends them). Empty for a frame too short to name its address and function.
using TReplyEndTest = std::function<int(const std::uint8_t* Data, std::size_t Count)>;
TReplyEndTest ReplyEndTest(const TByteDynArray& Request);
// The same, in the form the package layer takes.
KelvorComm32::TCommPackageEndEvent PackageEndTest(const TByteDynArray& Request);
