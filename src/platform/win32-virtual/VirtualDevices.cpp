// The routing of the virtual-devices build: SetupApi.DLL and the boards'
// device files go to the virtual bench's device host, everything else to the
// real Win32 calls. The host is looked up once in the loaded KAZAPI.dll; when
// that module is not the bench (or not loaded), SetupApi.DLL is missing and
// device paths are not found, as on a machine without the driver.
#include "PlatformOs.h"

#include "DeviceHost.h"

#include <atomic>
#include <cstring>

// This file implements the renamed calls, so it needs the real ones.
#undef LoadLibraryA
#undef GetProcAddress
#undef FreeLibrary
#undef CreateFileA
#undef DeviceIoControl
#undef CloseHandle

namespace {

std::atomic<const KZM_WIN_DEVICE_HOST*> g_pHost{nullptr};

const KZM_WIN_DEVICE_HOST* Host()
{
    const KZM_WIN_DEVICE_HOST* host = g_pHost.load(std::memory_order_acquire);
    if (host)
        return host;
    DWORD error = GetLastError(); // the look-up must not disturb the caller's last error
    HMODULE module = GetModuleHandleA(KZM_DEVICE_HOST_MODULE);
    auto get = module ? reinterpret_cast<PFN_KzmGetDeviceHost>(
                            reinterpret_cast<void*>(GetProcAddress(module, KZM_DEVICE_HOST_EXPORT)))
                      : nullptr;
    host = get ? get() : nullptr;
    if (host && host->Size < sizeof(KZM_WIN_DEVICE_HOST))
        host = nullptr;
    SetLastError(error);
    if (host)
        g_pHost.store(host, std::memory_order_release);
    return host;
}

bool EqualNoCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a - 'A' + 'a') : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

bool IsSetupApiName(const char* name)
{
    return EqualNoCase(name, "SetupApi.dll") || EqualNoCase(name, "SetupApi");
}

// "\\?\..." or "\\.\..." naming a device, not a drive ("\\?\C:\...") or a
// network share ("\\?\UNC\...").
bool IsDevicePath(const char* path)
{
    if (std::strncmp(path, "\\\\?\\", 4) != 0 && std::strncmp(path, "\\\\.\\", 4) != 0)
        return false;
    const char* rest = path + 4;
    bool letter = (rest[0] >= 'A' && rest[0] <= 'Z') || (rest[0] >= 'a' && rest[0] <= 'z');
    if (letter && rest[1] == ':')
        return false;
    return !(std::strncmp(rest, "UNC\\", 4) == 0 || std::strncmp(rest, "unc\\", 4) == 0);
}

} // namespace

extern "C" HMODULE WINAPI KzmVirtualLoadLibraryA(LPCSTR name)
{
    if (!name || !IsSetupApiName(name))
        return LoadLibraryA(name);
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (!host) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return host->LoadModule(name);
}

extern "C" FARPROC WINAPI KzmVirtualGetProcAddress(HMODULE module, LPCSTR name)
{
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (host && module && host->IsModule(module))
        return host->GetProc(module, name);
    return GetProcAddress(module, name);
}

extern "C" BOOL WINAPI KzmVirtualFreeLibrary(HMODULE module)
{
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (host && module && host->IsModule(module))
        return host->ReleaseModule(module);
    return FreeLibrary(module);
}

extern "C" HANDLE WINAPI KzmVirtualCreateFileA(LPCSTR path, DWORD access, DWORD shareMode,
                                               LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                               HANDLE templateFile)
{
    if (!path || !IsDevicePath(path))
        return CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (!host) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    return host->OpenDevice(path, access, shareMode, security, disposition, flags, templateFile);
}

extern "C" BOOL WINAPI KzmVirtualDeviceIoControl(HANDLE device, DWORD code, LPVOID in, DWORD inSize, LPVOID out,
                                                 DWORD outSize, LPDWORD returned, LPOVERLAPPED overlapped)
{
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (!host || !host->IsDevice(device))
        return DeviceIoControl(device, code, in, inSize, out, outSize, returned, overlapped);
    return host->DeviceControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

extern "C" BOOL WINAPI KzmVirtualCloseHandle(HANDLE handle)
{
    const KZM_WIN_DEVICE_HOST* host = Host();
    if (host && host->IsDevice(handle))
        return host->CloseDevice(handle);
    return CloseHandle(handle);
}
