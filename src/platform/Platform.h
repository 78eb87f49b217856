// The platform boundary of the Kazmir library.
//
// Everything the library needs from the operating system goes through the
// Win32 names below and nothing else. On Windows they are the real calls from
// windows.h and kernel32 (platform/win32); elsewhere a stand-in (platform/posix)
// gives the same names the same meaning, and hands module loading, device paths
// and device-control requests to a registered device host (see
// platform/posix/DeviceHost.h). The virtual-devices Windows build
// (KAZMIR_VIRTUAL_DEVICES, platform/win32-virtual) is real Windows except that
// SetupApi.DLL and the boards' device files go to the virtual bench's KAZAPI.dll.
// CMake picks the implementation; code above this header never tests the
// operating system.
//
// The calls, with what they give on success and on failure (failures also set
// the calling thread's last error, read with GetLastError):
//
// Critical sections (recursive: the owning thread may enter again)
//   InitializeCriticalSection(cs)          no result
//   EnterCriticalSection(cs) / LeaveCriticalSection(cs)   no result
//   DeleteCriticalSection(cs)              no result; cs must not be held
//
// Events and waits
//   CreateEventA(sa, manualReset, initial, name)
//                                          event handle; NULL on failure
//   SetEvent(h) / ResetEvent(h)            TRUE; FALSE (ERROR_INVALID_HANDLE)
//   WaitForSingleObject(h, ms)             WAIT_OBJECT_0 when signalled (an
//                                          auto-reset event is reset by the
//                                          wake), WAIT_TIMEOUT after ms
//                                          milliseconds (INFINITE: no limit),
//                                          WAIT_FAILED for a bad handle
//   CloseHandle(h)                         TRUE; FALSE (ERROR_INVALID_HANDLE)
//
// Device files
//   CreateFileA(path, access, share, sa, disposition, flags, template)
//                                          handle; INVALID_HANDLE_VALUE with
//                                          the reason as last error (e.g.
//                                          ERROR_FILE_NOT_FOUND,
//                                          ERROR_SHARING_VIOLATION)
//   DeviceIoControl(h, code, in, inLen, out, outLen, returned, overlapped)
//                                          TRUE; FALSE with the driver's error
//
// Memory for large buffers (images of many MiB), in these forms only
//   VirtualAlloc(NULL, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE)
//                                          zero-filled, page-aligned memory;
//                                          NULL (ERROR_NOT_ENOUGH_MEMORY;
//                                          ERROR_INVALID_PARAMETER for size 0)
//   VirtualFree(p, 0, MEM_RELEASE)         TRUE for p from VirtualAlloc;
//                                          FALSE (ERROR_INVALID_PARAMETER)
//                                          with a size other than 0
//
// Modules
//   LoadLibraryA(name)                     module handle; NULL
//                                          (ERROR_MOD_NOT_FOUND)
//   GetProcAddress(module, name)           entry point; NULL
//                                          (ERROR_PROC_NOT_FOUND)
//   FreeLibrary(module)                    TRUE; FALSE
//
// Thread state
//   GetLastError() / SetLastError(code)    the calling thread's last error
//
// Library entry
//   KZM_LIBRARY_ENTRY(fn) placed after the library's static objects defines
//   the entry hook: fn(module, DLL_PROCESS_ATTACH, 0) runs after those objects
//   are constructed and fn(module, DLL_PROCESS_DETACH, 0) before they are
//   destroyed. fn has the signature BOOL fn(HMODULE, DWORD, void*).
#pragma once

#include <PlatformOs.h>
