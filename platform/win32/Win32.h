#pragma once
// The Win32 subset that the serial library calls: the real one on Windows,
// our own layer elsewhere.
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <process.h>
// The toolkit has its own MessageBox; the library calls MessageBoxW by name.
#undef MessageBox
#else
#include "platform/win32/posix/windows.h"
#endif
