// The stand-in for kernel32 on systems other than Windows: recursive critical
// sections, events, waits, a per-thread last error, pages for large buffers,
// and handles for device files whose requests go to the registered device
// host.
#include "DeviceHost.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <sys/mman.h>

namespace {

thread_local DWORD t_LastError = ERROR_SUCCESS;

struct CKernelObject {
    virtual ~CKernelObject() = default;
};

struct CEventObject : CKernelObject {
    std::mutex m_Mutex;
    std::condition_variable m_Cond;
    bool m_bSignalled = false;
    bool m_bManualReset = false;
};

struct CDeviceFileObject : CKernelObject {
    void* m_pDevice = nullptr;
};

// Handles are small multiples of four, as on Windows, and never reused while
// the process runs, so a stale handle fails instead of reaching a new object.
class CHandleTable {
public:
    HANDLE Insert(std::shared_ptr<CKernelObject> object)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_NextValue += 4;
        m_Objects.emplace(m_NextValue, std::move(object));
        return reinterpret_cast<HANDLE>(m_NextValue);
    }
    std::shared_ptr<CKernelObject> Find(HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Objects.find(reinterpret_cast<uintptr_t>(handle));
        return it == m_Objects.end() ? nullptr : it->second;
    }
    std::shared_ptr<CKernelObject> Remove(HANDLE handle)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == m_Objects.end())
            return nullptr;
        auto object = std::move(it->second);
        m_Objects.erase(it);
        return object;
    }
    void Count(KZM_OBJECT_COUNTS* counts)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto& entry : m_Objects) {
            if (dynamic_cast<CEventObject*>(entry.second.get()))
                ++counts->Events;
            else if (dynamic_cast<CDeviceFileObject*>(entry.second.get()))
                ++counts->DeviceFiles;
        }
    }

private:
    std::mutex m_Mutex;
    uintptr_t m_NextValue = 0x100;
    std::unordered_map<uintptr_t, std::shared_ptr<CKernelObject>> m_Objects;
};

CHandleTable& Handles()
{
    static CHandleTable* s_pTable = new CHandleTable; // lives until the process ends
    return *s_pTable;
}

std::atomic<const KZM_DEVICE_HOST*> g_pDeviceHost{nullptr};
std::atomic<uint32_t> g_CriticalSections{0};

std::shared_ptr<CEventObject> FindEvent(HANDLE handle)
{
    auto event = std::dynamic_pointer_cast<CEventObject>(Handles().Find(handle));
    if (!event)
        t_LastError = ERROR_INVALID_HANDLE;
    return event;
}

} // namespace

KZM_PLATFORM_API void InitializeCriticalSection(CRITICAL_SECTION* cs)
{
    cs->Impl = new std::recursive_mutex;
    ++g_CriticalSections;
}

KZM_PLATFORM_API void EnterCriticalSection(CRITICAL_SECTION* cs)
{
    static_cast<std::recursive_mutex*>(cs->Impl)->lock();
}

KZM_PLATFORM_API void LeaveCriticalSection(CRITICAL_SECTION* cs)
{
    static_cast<std::recursive_mutex*>(cs->Impl)->unlock();
}

KZM_PLATFORM_API void DeleteCriticalSection(CRITICAL_SECTION* cs)
{
    if (cs->Impl) {
        delete static_cast<std::recursive_mutex*>(cs->Impl);
        cs->Impl = nullptr;
        --g_CriticalSections;
    }
}

KZM_PLATFORM_API HANDLE CreateEventA(void*, BOOL manualReset, BOOL initialState, const char*)
{
    auto event = std::make_shared<CEventObject>();
    event->m_bManualReset = manualReset != FALSE;
    event->m_bSignalled = initialState != FALSE;
    return Handles().Insert(std::move(event));
}

KZM_PLATFORM_API BOOL SetEvent(HANDLE handle)
{
    auto event = FindEvent(handle);
    if (!event)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(event->m_Mutex);
        event->m_bSignalled = true;
    }
    if (event->m_bManualReset)
        event->m_Cond.notify_all();
    else
        event->m_Cond.notify_one();
    return TRUE;
}

KZM_PLATFORM_API BOOL ResetEvent(HANDLE handle)
{
    auto event = FindEvent(handle);
    if (!event)
        return FALSE;
    std::lock_guard<std::mutex> lock(event->m_Mutex);
    event->m_bSignalled = false;
    return TRUE;
}

KZM_PLATFORM_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    auto event = FindEvent(handle);
    if (!event)
        return WAIT_FAILED;
    std::unique_lock<std::mutex> lock(event->m_Mutex);
    auto signalled = [&] { return event->m_bSignalled; };
    if (milliseconds == INFINITE)
        event->m_Cond.wait(lock, signalled);
    else if (!event->m_Cond.wait_for(lock, std::chrono::milliseconds(milliseconds), signalled))
        return WAIT_TIMEOUT;
    if (!event->m_bManualReset)
        event->m_bSignalled = false;
    return WAIT_OBJECT_0;
}

KZM_PLATFORM_API BOOL CloseHandle(HANDLE handle)
{
    auto object = Handles().Remove(handle);
    if (!object) {
        t_LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (auto file = std::dynamic_pointer_cast<CDeviceFileObject>(object)) {
        const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
        if (host)
            host->CloseDevice(file->m_pDevice);
    }
    return TRUE;
}

KZM_PLATFORM_API HANDLE CreateFileA(const char* path, DWORD access, DWORD shareMode, void* security, DWORD disposition,
                                    DWORD flags, HANDLE templateFile)
{
    const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
    if (!path || !host) {
        t_LastError = path ? ERROR_FILE_NOT_FOUND : ERROR_INVALID_PARAMETER;
        return INVALID_HANDLE_VALUE;
    }
    void* device = host->OpenDevice(path, access, shareMode, security, disposition, flags, templateFile);
    if (!device)
        return INVALID_HANDLE_VALUE;
    auto file = std::make_shared<CDeviceFileObject>();
    file->m_pDevice = device;
    return Handles().Insert(std::move(file));
}

KZM_PLATFORM_API BOOL DeviceIoControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize,
                                      DWORD* returned, void* overlapped)
{
    auto file = std::dynamic_pointer_cast<CDeviceFileObject>(Handles().Find(handle));
    const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
    if (!file || !host) {
        t_LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return host->DeviceControl(file->m_pDevice, code, in, inSize, out, outSize, returned, overlapped);
}

namespace {

// A mapping's first page holds its size, so that VirtualFree needs none; the
// caller's memory begins on the next page.
constexpr size_t MAPPING_HEADER = 4096;
// Buffers from this size on ask for huge pages where the kernel gives them on
// request: a buffer filled end to end then costs a page fault every 2 MiB
// instead of every 4 KiB.
constexpr size_t HUGE_PAGE_HINT = 2u << 20;

} // namespace

KZM_PLATFORM_API void* VirtualAlloc(void* address, size_t size, DWORD allocationType, DWORD protect)
{
    if (address != nullptr || size == 0 || allocationType != (MEM_COMMIT | MEM_RESERVE) || protect != PAGE_READWRITE ||
        size > SIZE_MAX - 2 * MAPPING_HEADER) {
        t_LastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    const size_t mapped = (size + MAPPING_HEADER + MAPPING_HEADER - 1) / MAPPING_HEADER * MAPPING_HEADER;
    void* base = mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) {
        t_LastError = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
#ifdef MADV_HUGEPAGE
    if (mapped >= HUGE_PAGE_HINT)
        madvise(base, mapped, MADV_HUGEPAGE); // a hint: without it the pages are small
#endif
    *static_cast<size_t*>(base) = mapped;
    return static_cast<char*>(base) + MAPPING_HEADER;
}

KZM_PLATFORM_API BOOL VirtualFree(void* address, size_t size, DWORD freeType)
{
    if (address == nullptr || size != 0 || freeType != MEM_RELEASE) {
        t_LastError = ERROR_INVALID_PARAMETER;
        return FALSE;
    }
    char* base = static_cast<char*>(address) - MAPPING_HEADER;
    munmap(base, *reinterpret_cast<const size_t*>(base));
    return TRUE;
}

KZM_PLATFORM_API HMODULE LoadLibraryA(const char* name)
{
    const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
    if (!name || !host) {
        t_LastError = ERROR_MOD_NOT_FOUND;
        return nullptr;
    }
    return host->LoadModule(name);
}

KZM_PLATFORM_API FARPROC GetProcAddress(HMODULE module, const char* name)
{
    const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
    if (!module || !name || !host) {
        t_LastError = module ? ERROR_PROC_NOT_FOUND : ERROR_INVALID_HANDLE;
        return nullptr;
    }
    return host->GetProc(module, name);
}

KZM_PLATFORM_API BOOL FreeLibrary(HMODULE module)
{
    const KZM_DEVICE_HOST* host = g_pDeviceHost.load();
    if (!module || !host) {
        t_LastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    return host->FreeModule(module);
}

KZM_PLATFORM_API DWORD GetLastError(void)
{
    return t_LastError;
}

KZM_PLATFORM_API void SetLastError(DWORD code)
{
    t_LastError = code;
}

KZM_PLATFORM_API void KzmSetDeviceHost(const KZM_DEVICE_HOST* host)
{
    g_pDeviceHost.store(host);
}

KZM_PLATFORM_API void KzmGetObjectCounts(KZM_OBJECT_COUNTS* counts)
{
    if (!counts)
        return;
    *counts = KZM_OBJECT_COUNTS{};
    Handles().Count(counts);
    counts->CriticalSections = g_CriticalSections.load();
}

KZM_PLATFORM_API BOOL KzmQueryEvent(HANDLE handle, BOOL* manualReset, BOOL* signalled)
{
    auto event = std::dynamic_pointer_cast<CEventObject>(Handles().Find(handle));
    if (!event)
        return FALSE;
    std::lock_guard<std::mutex> lock(event->m_Mutex);
    *manualReset = event->m_bManualReset ? TRUE : FALSE;
    *signalled = event->m_bSignalled ? TRUE : FALSE;
    return TRUE;
}
