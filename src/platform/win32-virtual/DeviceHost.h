// The device host of the virtual-devices Windows build: what the virtual
// bench (the simulator's KAZAPI.dll) offers the platform layer in place of
// SetupApi.DLL and the boards' kernel driver. The bench exports
// KzmGetDeviceHost by name; the platform layer looks it up in the KAZAPI.dll
// the process has loaded, so the library still imports KAZAPI.dll by ordinal
// only and is not tied to the bench at link time.
//
// Every callback behaves as the Win32 call it serves: failure by its return
// value, the reason set with SetLastError.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <cstdint>

struct KZM_WIN_DEVICE_HOST {
    uint32_t Size; // sizeof(KZM_WIN_DEVICE_HOST) of the bench that filled it in

    // The bench's SetupApi.DLL. Its module handles are tokens of the bench,
    // never real modules: IsModule tells them apart.
    HMODULE (*LoadModule)(const char* name);
    FARPROC (*GetProc)(HMODULE module, const char* name);
    BOOL (*ReleaseModule)(HMODULE module);
    BOOL (*IsModule)(HMODULE module);

    // The boards' driver files. The handles are real Win32 handles held by the
    // bench as tokens (so their values never collide with other handles of the
    // process); IsDevice tells them apart from every other handle.
    // The arguments of CreateFileA and DeviceIoControl as the caller gave them.
    HANDLE(*OpenDevice)
    (const char* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
     HANDLE templateFile);
    BOOL(*DeviceControl)
    (HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
     LPOVERLAPPED overlapped);
    BOOL (*CloseDevice)(HANDLE device);
    BOOL (*IsDevice)(HANDLE device);
};

// The module and the by-name export that give the host.
#define KZM_DEVICE_HOST_MODULE "KAZAPI.dll"
#define KZM_DEVICE_HOST_EXPORT "KzmGetDeviceHost"
typedef const KZM_WIN_DEVICE_HOST* (*PFN_KzmGetDeviceHost)(void);
