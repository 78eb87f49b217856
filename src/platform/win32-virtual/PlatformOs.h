// Windows on the virtual bench: the platform is Windows itself (windows.h,
// kernel32, setupapi.h types) except for what reaches the boards. Loading
// SetupApi.DLL and resolving or freeing its entry points, and opening, driving
// and closing the boards' device files go to the virtual bench's device host
// (DeviceHost.h); every other module, file and handle stays with Win32.
//
// The routing is done by renaming those six calls to the functions of
// VirtualDevices.cpp, which decide per call: SetupApi.DLL and its module
// handle, device-namespace paths ("\\?\..." and "\\.\..." other than drive and
// UNC paths) and the handles opened on them go to the bench; anything else is
// passed to the real call unchanged.
#pragma once

#include "../win32/PlatformOs.h"

extern "C" {
HMODULE WINAPI KzmVirtualLoadLibraryA(LPCSTR name);
FARPROC WINAPI KzmVirtualGetProcAddress(HMODULE module, LPCSTR name);
BOOL WINAPI KzmVirtualFreeLibrary(HMODULE module);
HANDLE WINAPI KzmVirtualCreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile);
BOOL WINAPI KzmVirtualDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                                      LPDWORD returned, LPOVERLAPPED overlapped);
BOOL WINAPI KzmVirtualCloseHandle(HANDLE handle);
}

#undef LoadLibraryA
#undef GetProcAddress
#undef FreeLibrary
#undef CreateFileA
#undef DeviceIoControl
#undef CloseHandle
#define LoadLibraryA KzmVirtualLoadLibraryA
#define GetProcAddress KzmVirtualGetProcAddress
#define FreeLibrary KzmVirtualFreeLibrary
#define CreateFileA KzmVirtualCreateFileA
#define DeviceIoControl KzmVirtualDeviceIoControl
#define CloseHandle KzmVirtualCloseHandle
