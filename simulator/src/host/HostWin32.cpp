// The bench on Windows: KAZAPI.dll. The four device-server functions are
// exported by ordinal only (kazapi.def); the control interface and the device
// host (KzmGetDeviceHost) by name. The library's virtual-devices platform
// layer finds the host here and sends SetupApi.DLL and the boards' device
// files to it; events, waits and everything else are Windows' own, so the
// bench signals the library's events with the real SetEvent.
//
// Accounting on Windows counts:
//   Events       the events handed to the bench (change event of an
//                enumerator, event of a channel) whose handle the holder has
//                not closed yet. Each one is duplicated when handed over and
//                compared with the duplicate at every count, so a handle value
//                that Windows gives out again to another object after the
//                close is not taken for the event. Events the library creates
//                but never hands over are not seen.
//   DeviceFiles  the boards' device files open now (the bench's own table).
#include "Faces.h"
#include "Sim.h"

#include "platform/win32-virtual/DeviceHost.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace kazsim::detail {

namespace {

// --- device files ------------------------------------------------------------

// Device handles are real handles (unnamed events nobody waits on) owned by
// the bench, each standing for one open driver file.
std::mutex g_FilesMutex;
std::unordered_map<HANDLE, void*>& Files()
{
    static auto* s_pFiles = new std::unordered_map<HANDLE, void*>; // lives until the process ends
    return *s_pFiles;
}

void* FindFile(HANDLE handle)
{
    std::lock_guard<std::mutex> lock(g_FilesMutex);
    auto it = Files().find(handle);
    return it == Files().end() ? nullptr : it->second;
}

HANDLE HostOpenDevice(const char* path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                      DWORD disposition, DWORD flags, HANDLE templateFile)
{
    void* device = OpenDevice(path, access, shareMode, security, disposition, flags, templateFile);
    if (!device)
        return INVALID_HANDLE_VALUE; // the driver set the last error
    HANDLE token = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!token) {
        DWORD error = GetLastError();
        CloseDevice(device);
        SetLastError(error);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(g_FilesMutex);
    Files().emplace(token, device);
    return token;
}

BOOL HostDeviceControl(HANDLE handle, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                       LPOVERLAPPED overlapped)
{
    void* device = FindFile(handle);
    if (!device) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return DeviceControl(device, code, in, inSize, out, outSize, returned, overlapped);
}

BOOL HostCloseDevice(HANDLE handle)
{
    void* device = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_FilesMutex);
        auto it = Files().find(handle);
        if (it == Files().end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        device = it->second;
        Files().erase(it);
    }
    CloseDevice(device);
    ::CloseHandle(handle);
    return TRUE;
}

BOOL HostIsDevice(HANDLE handle)
{
    return FindFile(handle) != nullptr;
}

BOOL HostIsModule(HMODULE module)
{
    return IsBenchModule(module);
}

const KZM_WIN_DEVICE_HOST g_Host = {
    sizeof(KZM_WIN_DEVICE_HOST), LoadModule,      GetProc,      ReleaseModule, HostIsModule, HostOpenDevice,
    HostDeviceControl,           HostCloseDevice, HostIsDevice,
};

// --- events ------------------------------------------------------------------

struct CHandedEvent {
    HANDLE Handle;    // as the holder knows it
    HANDLE Duplicate; // the bench's own handle on the same object
};

std::mutex g_EventsMutex;
std::vector<CHandedEvent>& HandedEvents()
{
    static auto* s_pEvents = new std::vector<CHandedEvent>; // lives until the process ends
    return *s_pEvents;
}

typedef BOOL(WINAPI* PFN_CompareObjectHandles)(HANDLE, HANDLE);

// Whether the holder's handle still refers to the object of the duplicate.
bool StillHeld(const CHandedEvent& event)
{
    static const PFN_CompareObjectHandles s_Compare = [] {
        HMODULE kernelBase = GetModuleHandleA("kernelbase.dll");
        return kernelBase ? reinterpret_cast<PFN_CompareObjectHandles>(
                                reinterpret_cast<void*>(GetProcAddress(kernelBase, "CompareObjectHandles")))
                          : nullptr;
    }();
    DWORD error = GetLastError();
    bool held;
    if (s_Compare) {
        held = s_Compare(event.Handle, event.Duplicate) != FALSE;
    } else {
        // Windows before 10: only whether the value is still a handle.
        DWORD flags = 0;
        held = GetHandleInformation(event.Handle, &flags) != FALSE;
    }
    SetLastError(error);
    return held;
}

} // namespace

// --- flash files: a handle kept open that shares reading only ------------------

CLockedFile::Status CLockedFile::Open(const std::string& path, bool create, std::string* error)
{
    Close();
    // The share mode is the lock: others may open the file to read it (as
    // flock, being advisory, lets them on POSIX), but not to write, so a
    // second bench, which opens it for writing, is kept out. A byte-range
    // lock would also fail every reader's ReadFile. A reparse point (a
    // symbolic link or junction) is opened as itself and refused below.
    HANDLE file = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                create ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD code = GetLastError();
        if (code == ERROR_SHARING_VIOLATION)
            return Status::InUse;
        if (code == ERROR_FILE_NOT_FOUND && !create)
            return Status::Missing;
        *error = "cannot be opened: Windows error " + std::to_string(code);
        return Status::Failed;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool regular = ::GetFileType(file) == FILE_TYPE_DISK && ::GetFileInformationByHandle(file, &info) &&
                         (info.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) == 0;
    if (!regular) {
        const bool link = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        ::CloseHandle(file);
        *error = std::string(link ? "is a symbolic link" : "is not a regular file") +
                 "; the bench keeps a board's flash only in a file of its own";
        return Status::Failed;
    }
    m_Handle = reinterpret_cast<intptr_t>(file);
    return Status::Locked;
}

void CLockedFile::Close()
{
    if (m_Handle != NO_HANDLE)
        ::CloseHandle(reinterpret_cast<HANDLE>(m_Handle)); // the lock goes with the handle
    m_Handle = NO_HANDLE;
}

namespace {

OVERLAPPED At(uint64_t offset)
{
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    return at;
}

} // namespace

bool CLockedFile::ReadAt(uint64_t offset, uint8_t* data, size_t size, size_t* got, std::string* error)
{
    HANDLE file = reinterpret_cast<HANDLE>(m_Handle);
    *got = 0;
    while (*got < size) {
        OVERLAPPED at = At(offset + *got);
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(size - *got, 1u << 30));
        if (!::ReadFile(file, data + *got, want, &n, &at)) {
            if (GetLastError() == ERROR_HANDLE_EOF)
                break;
            *error = "Windows error " + std::to_string(GetLastError());
            return false;
        }
        if (n == 0)
            break;
        *got += n;
    }
    return true;
}

bool CLockedFile::WriteAt(uint64_t offset, const uint8_t* data, size_t size, std::string* error)
{
    HANDLE file = reinterpret_cast<HANDLE>(m_Handle);
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at = At(offset + done);
        DWORD n = 0;
        DWORD want = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 30));
        const BOOL written = ::WriteFile(file, data + done, want, &n, &at);
        if (!written || n == 0) {
            *error = written ? "the file took no more bytes" : "Windows error " + std::to_string(GetLastError());
            return false;
        }
        done += n;
    }
    return true;
}

bool CLockedFile::Size(uint64_t* size)
{
    LARGE_INTEGER value = {};
    if (!::GetFileSizeEx(reinterpret_cast<HANDLE>(m_Handle), &value))
        return false;
    *size = static_cast<uint64_t>(value.QuadPart);
    return true;
}

bool CLockedFile::Sync()
{
    return ::FlushFileBuffers(reinterpret_cast<HANDLE>(m_Handle)) != FALSE;
}

void NoteEvent(HANDLE event)
{
    if (!event || event == INVALID_HANDLE_VALUE)
        return;
    DWORD error = GetLastError();
    std::lock_guard<std::mutex> lock(g_EventsMutex);
    auto& events = HandedEvents();
    for (auto it = events.begin(); it != events.end();) {
        if (it->Handle != event) {
            ++it;
        } else if (StillHeld(*it)) {
            SetLastError(error);
            return; // handed over before and still the same event
        } else {
            ::CloseHandle(it->Duplicate); // a closed event whose value came back
            it = events.erase(it);
        }
    }
    HANDLE process = GetCurrentProcess();
    HANDLE duplicate = nullptr;
    if (DuplicateHandle(process, event, process, &duplicate, 0, FALSE, DUPLICATE_SAME_ACCESS))
        events.push_back({event, duplicate});
    SetLastError(error);
}

// The kind and state of an event, from ntdll (EventBasicInformation).
bool QueryEvent(HANDLE event, bool* manualReset, bool* signalled)
{
    struct CEventBasicInformation {
        LONG EventType; // 0 notification (manual reset), 1 synchronisation (auto reset)
        LONG EventState;
    };
    typedef LONG(WINAPI * PFN_NtQueryEvent)(HANDLE, int, void*, ULONG, ULONG*);
    static const PFN_NtQueryEvent s_Query = [] {
        HMODULE ntdll = GetModuleHandleA("ntdll.dll");
        return ntdll
                   ? reinterpret_cast<PFN_NtQueryEvent>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQueryEvent")))
                   : nullptr;
    }();
    if (!s_Query || !event)
        return false;
    DWORD error = GetLastError();
    CEventBasicInformation info = {};
    LONG status = s_Query(event, 0, &info, sizeof(info), nullptr);
    SetLastError(error);
    if (status < 0)
        return false;
    *manualReset = info.EventType == 0;
    *signalled = info.EventState != 0;
    return true;
}

void PlatformObjectCounts(uint32_t* events, uint32_t* deviceFiles)
{
    {
        std::lock_guard<std::mutex> lock(g_EventsMutex);
        auto& handed = HandedEvents();
        uint32_t held = 0;
        for (auto it = handed.begin(); it != handed.end();) {
            if (StillHeld(*it)) {
                ++held;
                ++it;
            } else {
                ::CloseHandle(it->Duplicate);
                it = handed.erase(it);
            }
        }
        *events = held;
    }
    std::lock_guard<std::mutex> lock(g_FilesMutex);
    *deviceFiles = static_cast<uint32_t>(Files().size());
}

} // namespace kazsim::detail

using namespace kazsim::detail;

extern "C" __declspec(dllexport) const KZM_WIN_DEVICE_HOST* KzmGetDeviceHost(void)
{
    return &g_Host;
}

// The bench is built when KAZAPI.dll is attached, after its static objects and
// before any module that imports it runs its own. The module pins itself: the
// simulator's thread runs in it until the process ends, so it must never be
// unloaded under that thread. Nothing is left to do at process exit: every
// change of a flash file was written through when it was made.
extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        HMODULE pinned = nullptr;
        GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                           reinterpret_cast<LPCSTR>(&KzmGetDeviceHost), &pinned);
        StartBench();
    }
    return TRUE;
}
