#pragma once
// Test hooks of the Linux Win32 layer: calls made to fail, stand-in modem
// lines, a count of the serial monitors' wake-ups.
#include "platform/win32/Win32.h"

#include <cstdint>
#include <functional>
#include <string>

namespace win32posix {

// The `nth` call (1 = the next one) of the function `name` ("CreateFileW",
// "SetCommState", "CreateEventW", "_beginthread", "SetCommMask", ...) fails
// with `error` (as GetLastError reports it). `count` > 1 fails that many calls
// in a row from there. Thread-safe.
void FailCall(const char* name, int nth = 1, DWORD error = ERROR_GEN_FAILURE, int count = 1);
// Runs `action` once, at the start of the `nth` call (1 = the next one) of
// the faultable function `name`, on the thread that makes it, before the call
// touches the device: puts a test's step into a window too narrow to hit by
// timing. The action may call into the layer itself.
void BeforeCall(const char* name, std::function<void()> action, int nth = 1);
// Sees every ioctl the serial layer makes on a device (after it ran) and may
// change what it reports: gets the request, its argument and result, returns
// the result to report. For driver states a pseudo-terminal cannot show, such
// as an output queue held by flow control. Called on the layer's threads with
// a device locked: it must not call into the layer. Empty: none.
using IoctlSeam = std::function<int(int fd, unsigned long request, void* arg, int result)>;
void SetIoctlSeam(IoctlSeam seam);
// Forgets every pending failure and action, and the ioctl seam.
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
