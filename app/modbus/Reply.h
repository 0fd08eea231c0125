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

// Length of a whole reply to (Address, Function) as far as the bytes in
// hand tell it: 5 for an exception reply, 5 + byte count for functions 1 to
// 4 and 23, 8 for 5, 6, 15 and 16. 0 while too few bytes are in to tell,
// -1 when the bytes cannot begin such a reply or the function's reply
// length is not fixed by its fields.
int WholeReplyLength(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count);

// True when Data is exactly one whole reply to (Address, Function) whose
// CRC checks.
bool IsWholeReply(std::uint8_t Address, std::uint8_t Function, const std::uint8_t* Data, std::size_t Count);

// The end-of-reply test for a request (CRC included), or an empty function
// when the request's reply length cannot be known from the reply's fields.
using TReplyEndTest = std::function<bool(const std::uint8_t* Data, std::size_t Count)>;
TReplyEndTest ReplyEndTest(const TByteDynArray& Request);
// The same, in the form the package layer takes.
KelvorComm32::TCommPackageEndEvent PackageEndTest(const TByteDynArray& Request);
