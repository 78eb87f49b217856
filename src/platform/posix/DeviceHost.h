// The device host: where the stand-in platform sends what Windows would send
// to its loader and to kernel drivers. A provider (the virtual bench) registers
// itself once, normally from a static constructor of its own shared library;
// until then LoadLibraryA fails with ERROR_MOD_NOT_FOUND and CreateFileA with
// ERROR_FILE_NOT_FOUND.
//
// Each callback reports failure by its return value and sets the reason with
// SetLastError, exactly as the Win32 call it serves.
#pragma once

#include "PlatformOs.h"

struct KZM_DEVICE_HOST {
    // Module loading: a provider-defined module handle, or NULL.
    HMODULE (*LoadModule)(const char* name);
    FARPROC (*GetProc)(HMODULE module, const char* name);
    BOOL (*FreeModule)(HMODULE module);

    // Device files: a provider-defined device cookie (never NULL on success),
    // or NULL. The stand-in wraps the cookie in a handle of its own.
    // The arguments of CreateFileA and DeviceIoControl as the caller gave them.
    void* (*OpenDevice)(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition, DWORD flags,
                        HANDLE templateFile);
    BOOL(*DeviceControl)
    (void* device, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned, void* overlapped);
    void (*CloseDevice)(void* device);
};

// Registers the host (NULL removes it). The structure must outlive its use.
KZM_PLATFORM_API void KzmSetDeviceHost(const KZM_DEVICE_HOST* host);

// Live kernel objects of the process, for leak accounting.
struct KZM_OBJECT_COUNTS {
    uint32_t Events;
    uint32_t DeviceFiles;
    uint32_t CriticalSections;
};
KZM_PLATFORM_API void KzmGetObjectCounts(KZM_OBJECT_COUNTS* counts);

// Whether a handle is a live event, and if so its kind and state (for a
// provider that checks the events it is handed).
KZM_PLATFORM_API BOOL KzmQueryEvent(HANDLE handle, BOOL* manualReset, BOOL* signalled);
