// Helpers for the bench's own tests: a fresh bench per test, the Setup API
// bound by name, the driver's requests and the server's objects, all typed by
// the bench's contract.
#pragma once

#include "kazsim/Bench.h"
#include "kazsim/ServerApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace simtest {

using namespace kazsim::contract;
using kazsim::Bench;

class BenchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        InitializeServer(); // as the library's hosts do before any mode
        Bench::Reset();
    }
    void TearDown() override { Bench::Quiesce(2000); }
};

using GetClassDevsA = HDEVINFO(const GUID*, const char*, HWND, DWORD);
using EnumDeviceInterfaces = BOOL(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD, PSP_DEVICE_INTERFACE_DATA);
using GetDeviceInterfaceDetailA = BOOL(HDEVINFO, PSP_DEVICE_INTERFACE_DATA, void*, DWORD, DWORD*, PSP_DEVINFO_DATA);

// SetupApi.DLL loaded; the four entries the tests call, null when missing.
struct SetupApi {
    HMODULE Module = LoadLibraryA("SetupApi.DLL");
    ~SetupApi() { Module&& FreeLibrary(Module); }
    template <class T>
    T* Proc(const char* name)
    {
        return Module ? reinterpret_cast<T*>(reinterpret_cast<void*>(GetProcAddress(Module, name))) : nullptr;
    }
    GetClassDevsA* GetClassDevs = Proc<GetClassDevsA>("SetupDiGetClassDevsA");
    EnumDeviceInterfaces* EnumInterfaces = Proc<EnumDeviceInterfaces>("SetupDiEnumDeviceInterfaces");
    GetDeviceInterfaceDetailA* GetDetail = Proc<GetDeviceInterfaceDetailA>("SetupDiGetDeviceInterfaceDetailA");
    BOOL (*DestroyList)(HDEVINFO) = Proc<BOOL(HDEVINFO)>("SetupDiDestroyDeviceInfoList");

    HDEVINFO List(DWORD flags = 0x12) { return GetClassDevs(&DRIVER_INTERFACE_CLASS, nullptr, nullptr, flags); }
    BOOL Interface(HDEVINFO list, DWORD index, SP_DEVICE_INTERFACE_DATA* data)
    {
        return EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, index, data);
    }
    // The device paths of the list as the library finds them (none when a step fails).
    std::vector<std::string> Paths(DWORD flags = 0x12)
    {
        std::vector<std::string> paths;
        HDEVINFO list = GetClassDevs && EnumInterfaces && GetDetail && DestroyList ? List(flags) : INVALID_HANDLE_VALUE;
        SP_DEVICE_INTERFACE_DATA data = {INTERFACE_DATA_SIZE, {}, 0, 0};
        for (DWORD index = 0; list != INVALID_HANDLE_VALUE && Interface(list, index, &data); ++index) {
            DWORD required = 0;
            GetDetail(list, &data, nullptr, 0, &required, nullptr);
            std::vector<char> block(required + 8);
            reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(block.data())->cbSize = INTERFACE_DETAIL_SIZE;
            if (GetDetail(list, &data, block.data(), required, &required, nullptr))
                paths.emplace_back(block.data() + 4);
        }
        if (list != INVALID_HANDLE_VALUE)
            DestroyList(list);
        return paths;
    }
};

inline HANDLE Open(const std::string& path)
{
    return CreateFileA(path.c_str(), OPEN_ACCESS, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// One driver request; 0 or the last error.
inline DWORD Request(HANDLE handle, DWORD code, const void* in, DWORD inSize, void* out, DWORD outSize)
{
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(handle, code, const_cast<void*>(in), inSize, out, outSize, &returned, nullptr);
    return ok ? 0 : GetLastError();
}
inline DWORD GetInfo(HANDLE handle, DRIVER_INFO* info)
{
    return Request(handle, IOCTL_GET_INFO, "", 1, info, 140);
}
inline DWORD Reset(HANDLE handle, uint8_t selector)
{
    return Request(handle, IOCTL_RESET, &selector, 1, &selector, 1);
}
inline DWORD LoadFw(HANDLE handle)
{
    return Request(handle, IOCTL_LOAD_FW, "\0\0\0\0\0", 6, nullptr, 0);
}

// The device records the server lists now.
inline std::vector<DEVICE_RECORD> Records()
{
    IKazDeviceManager* manager = nullptr;
    IKazDeviceEnum* deviceEnum = nullptr;
    GetDeviceManager(&manager);
    manager->EnumDevices(&deviceEnum);
    std::vector<DEVICE_RECORD> records(64);
    uint32_t fetched = 0;
    records.resize(deviceEnum->Next(64, records.data(), &fetched) == 0 ? fetched : 0);
    deviceEnum->Release();
    manager->Release();
    return records;
}

// The mode object of a board, or null (the result in *result).
template <class T = IKazUnknown>
T* OpenMode(int board, const GUID& cls, const GUID& iid, KZRESULT* result = nullptr)
{
    uint64_t id = Bench::BoardInfo(board).DeviceId;
    IKazDeviceManager* manager = nullptr;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    GetDeviceManager(&manager);
    KZRESULT r = manager->OpenDevice(&id, &device);
    if (r == 0) {
        r = device->OpenComponent(&cls, &iid, &component);
        device->Release();
    }
    manager->Release();
    if (result)
        *result = r;
    return static_cast<T*>(component);
}

inline bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace simtest
