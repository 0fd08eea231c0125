#pragma once
// Test hooks of the Linux Win32 layer: calls made to fail, stand-in modem
// lines, a count of the serial monitors' wake-ups.
#include "platform/win32/Win32.h"

#include <cstdint>
#include <string>

namespace win32posix {

// The `nth` call (1 = the next one) of the function `name` ("CreateFileW",
// "SetCommState", "CreateEventW", "_beginthread", "SetCommMask", ...) fails
// with `error` (as GetLastError reports it). `count` > 1 fails that many calls
// in a row from there. Thread-safe.
void FailCall(const char* name, int nth = 1, DWORD error = ERROR_GEN_FAILURE, int count = 1);
// Forgets every pending failure.
void ResetFaults();
// Called by the layer at the start of each faultable call: true (and
// SetLastError) when this call is to fail.
bool ShouldFail(const char* name);

// Stand-in modem lines for devices that have none (pseudo-terminals). While
// enabled, every serial handle reports `inputs` (MS_CTS_ON, MS_DSR_ON,
// MS_RING_ON, MS_RLSD_ON) from GetCommModemStatus and as line events when
// they change; EscapeCommFunction and SetCommState set the outputs instead of
// the device's, readable with FakeModemOutputs(). Thread-safe.
void SetFakeModemLines(bool enabled, DWORD inputs = 0);
constexpr DWORD kFakeDtr = 0x01;
constexpr DWORD kFakeRts = 0x02;
DWORD FakeModemOutputs();

// How many times the serial monitor threads have woken up so far, in total
// (a port that spins shows here long before it shows as CPU time).
std::uint64_t MonitorWakeups();

// Where COMn points: the device-map folder ($KELVORCOMM_DEVICES, else
// ~/.config/kelvorcomm/devices), else /dev/ttyS<n-1>. Exposed for tests.
std::string ResolveDevicePath(const std::u16string& win32Name);

} // namespace win32posix
