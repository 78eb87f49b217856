// The faces of the bench that the platform reaches through the device host:
// module loading (SetupApi.DLL, KAZAPI.dll) and the boards' kernel driver.
#pragma once

#include "SimApi.h"

namespace kazsim::detail {

HMODULE LoadModule(const char* name);
FARPROC GetProc(HMODULE module, const char* name);
BOOL ReleaseModule(HMODULE module);
// Whether a module handle is one that LoadModule gave out.
bool IsBenchModule(HMODULE module);

// CreateFileA and DeviceIoControl on a board's device file, with every
// argument the caller gave.
void* OpenDevice(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                 HANDLE templateFile);
BOOL DeviceControl(void* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                   void* overlapped);
void CloseDevice(void* device);

// The 27 names of SetupApi.DLL, in the library's binding order.
const char* const* SetupApiNames();

// Builds the bench at load: KAZSIM_BENCH when set, else the default bench.
void StartBench();

} // namespace kazsim::detail
