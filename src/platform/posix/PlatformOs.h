// The Win32 subset of Platform.h for systems other than Windows. The calls
// live in libkzmplatform, which plays the part that kernel32 plays on Windows:
// one process-wide handle table, one last error per thread.
#pragma once

#include <cstddef>
#include <cstdint>

#define KZM_PLATFORM_API extern "C" __attribute__((visibility("default")))

typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef int64_t LONG64;
typedef uintptr_t ULONG_PTR;
typedef char CHAR;
typedef void* HANDLE;
typedef void* HWND;
typedef struct KzmModule* HMODULE;
typedef HMODULE HINSTANCE;
typedef void (*FARPROC)(void);

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif
#define WINAPI

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define OPEN_EXISTING 3u

#define ERROR_SUCCESS 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_GEN_FAILURE 31u
#define ERROR_READ_FAULT 30u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_DEVICE_NOT_CONNECTED 1167u

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

// Recursive lock; the implementation lives behind the pointer.
typedef struct _CRITICAL_SECTION {
    void* Impl;
} CRITICAL_SECTION;

// Setup-API records, in the layout of the 64-bit platform.
typedef void* HDEVINFO;
typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;
typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;
typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[1];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

#define MEM_COMMIT 0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_RELEASE 0x00008000u
#define PAGE_READWRITE 0x04u

#define DIGCF_PRESENT 0x00000002u
#define DIGCF_DEVICEINTERFACE 0x00000010u

KZM_PLATFORM_API void InitializeCriticalSection(CRITICAL_SECTION* cs);
KZM_PLATFORM_API void EnterCriticalSection(CRITICAL_SECTION* cs);
KZM_PLATFORM_API void LeaveCriticalSection(CRITICAL_SECTION* cs);
KZM_PLATFORM_API void DeleteCriticalSection(CRITICAL_SECTION* cs);

KZM_PLATFORM_API HANDLE CreateEventA(void* security, BOOL manualReset, BOOL initialState, const char* name);
KZM_PLATFORM_API BOOL SetEvent(HANDLE event);
KZM_PLATFORM_API BOOL ResetEvent(HANDLE event);
KZM_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
KZM_PLATFORM_API BOOL CloseHandle(HANDLE handle);

KZM_PLATFORM_API HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition,
                                    DWORD flags, HANDLE templateFile);
KZM_PLATFORM_API BOOL DeviceIoControl(HANDLE device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                      DWORD* returned, void* overlapped);

KZM_PLATFORM_API void* VirtualAlloc(void* address, size_t size, DWORD allocationType, DWORD protect);
KZM_PLATFORM_API BOOL VirtualFree(void* address, size_t size, DWORD freeType);

KZM_PLATFORM_API HMODULE LoadLibraryA(const char* name);
KZM_PLATFORM_API FARPROC GetProcAddress(HMODULE module, const char* name);
KZM_PLATFORM_API BOOL FreeLibrary(HMODULE module);

KZM_PLATFORM_API DWORD GetLastError(void);
KZM_PLATFORM_API void SetLastError(DWORD code);

// Runs fn(module, DLL_PROCESS_ATTACH, 0) after the static objects defined
// before it in the same file, and fn(module, DLL_PROCESS_DETACH, 0) before they
// are destroyed: the order Windows keeps around DllMain.
#define KZM_LIBRARY_ENTRY(fn)                                                                                          \
    namespace {                                                                                                        \
    struct CLibraryEntryHook {                                                                                         \
        CLibraryEntryHook() { fn(nullptr, DLL_PROCESS_ATTACH, nullptr); }                                              \
        ~CLibraryEntryHook() { fn(nullptr, DLL_PROCESS_DETACH, nullptr); }                                             \
        CLibraryEntryHook(const CLibraryEntryHook&) = delete;                                                          \
        CLibraryEntryHook& operator=(const CLibraryEntryHook&) = delete;                                               \
    } s_LibraryEntryHook;                                                                                              \
    }
