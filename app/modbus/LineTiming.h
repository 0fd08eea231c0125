#pragma once
// How long characters and pauses take on a serial line, from its settings.
// Stop bits in the port's codes: 0 one, 1 one and a half, 2 two; parity 0
// none, anything else one bit.

// One character in ms: start bit, data bits, parity bit, stop bits.
double CharacterMs(unsigned long Baud, int DataBits, int Parity, int StopBits);

// The pause that ends a package on this line: 3.5 character times (the
// Modbus gap between frames), never under the 50 ms that suit every rate
// from 1200 up. At 110 baud a character alone takes 100 ms.
unsigned long PackagePauseMs(unsigned long Baud, int DataBits, int Parity, int StopBits);

// The floor of PackagePauseMs.
inline constexpr unsigned long kMinPackagePauseMs = 50;
