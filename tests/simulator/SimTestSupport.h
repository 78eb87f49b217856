// Helpers for the bench's own tests: a fresh bench per test, the Setup API
// bound the way the library binds it, and short forms of the driver requests.
#pragma once

#include "kazsim/Bench.h"
#include "kazsim/ServerApi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace simtest {

using namespace kazsim::contract;

typedef HDEVINFO(WINAPI* PFN_SetupDiGetClassDevsA)(const GUID*, const char*, HWND, DWORD);
typedef BOOL(WINAPI* PFN_SetupDiDestroyDeviceInfoList)(HDEVINFO);
typedef BOOL(WINAPI* PFN_SetupDiEnumDeviceInfo)(HDEVINFO, DWORD, PSP_DEVINFO_DATA);
typedef BOOL(WINAPI* PFN_SetupDiEnumDeviceInterfaces)(HDEVINFO, PSP_DEVINFO_DATA, const GUID*, DWORD,
                                                      PSP_DEVICE_INTERFACE_DATA);
typedef BOOL(WINAPI* PFN_SetupDiGetDeviceInterfaceDetailA)(HDEVINFO, PSP_DEVICE_INTERFACE_DATA,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A, DWORD, DWORD*,
                                                           PSP_DEVINFO_DATA);

inline SECTOR_ADDR MakeSectorAddr(uint16_t sector)
{
    return static_cast<SECTOR_ADDR>(sector) << 16;
}

// Every test starts from the default bench (or its own) with no faults.
class BenchTest : public ::testing::Test {
protected:
    void SetUp() override { kazsim::Bench::Reset(); }
    void TearDown() override { kazsim::Bench::Quiesce(2000); }
};

// SetupApi.DLL loaded and its five called entries resolved.
struct SetupApi {
    HMODULE Module = nullptr;
    PFN_SetupDiGetClassDevsA GetClassDevs = nullptr;
    PFN_SetupDiDestroyDeviceInfoList Destroy = nullptr;
    PFN_SetupDiEnumDeviceInfo EnumInfo = nullptr;
    PFN_SetupDiEnumDeviceInterfaces EnumInterfaces = nullptr;
    PFN_SetupDiGetDeviceInterfaceDetailA Detail = nullptr;

    SetupApi()
    {
        Module = LoadLibraryA("SetupApi.DLL");
        if (!Module)
            return;
        GetClassDevs = reinterpret_cast<PFN_SetupDiGetClassDevsA>(GetProcAddress(Module, "SetupDiGetClassDevsA"));
        Destroy = reinterpret_cast<PFN_SetupDiDestroyDeviceInfoList>(
            GetProcAddress(Module, "SetupDiDestroyDeviceInfoList"));
        EnumInfo = reinterpret_cast<PFN_SetupDiEnumDeviceInfo>(GetProcAddress(Module, "SetupDiEnumDeviceInfo"));
        EnumInterfaces =
            reinterpret_cast<PFN_SetupDiEnumDeviceInterfaces>(GetProcAddress(Module, "SetupDiEnumDeviceInterfaces"));
        Detail = reinterpret_cast<PFN_SetupDiGetDeviceInterfaceDetailA>(
            GetProcAddress(Module, "SetupDiGetDeviceInterfaceDetailA"));
    }
    ~SetupApi()
    {
        if (Module)
            FreeLibrary(Module);
    }
    SetupApi(const SetupApi&) = delete;
    SetupApi& operator=(const SetupApi&) = delete;

    // The device paths of the present boards, as the library finds them.
    std::vector<std::string> Paths()
    {
        std::vector<std::string> paths;
        HDEVINFO list = GetClassDevs(&DRIVER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
        if (list == INVALID_HANDLE_VALUE)
            return paths;
        for (DWORD index = 0;; ++index) {
            SP_DEVICE_INTERFACE_DATA data = {};
            data.cbSize = sizeof(data);
            if (!EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, index, &data))
                break;
            DWORD required = 0;
            Detail(list, &data, nullptr, 0, &required, nullptr);
            std::vector<char> block(required);
            auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
            detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
            if (Detail(list, &data, detail, required, &required, nullptr))
                paths.emplace_back(detail->DevicePath);
        }
        Destroy(list);
        return paths;
    }
};

inline HANDLE Open(const std::string& path)
{
    return CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

// GetInfo; 0 on success, else the last error.
inline DWORD GetInfo(HANDLE handle, DRIVER_INFO* record)
{
    uint8_t in = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_GET_INFO, &in, 1, record, sizeof(*record), &returned, nullptr))
        return GetLastError();
    return 0;
}

inline DWORD Reset(HANDLE handle, uint8_t selector)
{
    uint8_t out = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_RESET, &selector, 1, &out, 1, &returned, nullptr))
        return GetLastError();
    return 0;
}

inline DWORD LoadFw(HANDLE handle)
{
    uint8_t in[LOAD_FW_IN_SIZE] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(handle, IOCTL_LOAD_FW, in, sizeof(in), nullptr, 0, &returned, nullptr))
        return GetLastError();
    return 0;
}

// The device manager with one reference for the test.
inline IKazDeviceManager* Manager()
{
    IKazDeviceManager* manager = nullptr;
    EXPECT_EQ(GetDeviceManager(&manager), 0u);
    return manager;
}

// The device records the server lists now.
inline std::vector<DEVICE_RECORD> Records()
{
    IKazDeviceManager* manager = Manager();
    IKazDeviceEnum* deviceEnum = nullptr;
    EXPECT_EQ(manager->EnumDevices(&deviceEnum), 0u);
    std::vector<DEVICE_RECORD> records(64);
    uint32_t fetched = 0;
    if (deviceEnum->Next(64, records.data(), &fetched) != 0)
        fetched = 0;
    records.resize(fetched);
    deviceEnum->Release();
    manager->Release();
    return records;
}

// The mode object of a listed board, or null (result in *result).
inline IKazUnknown* OpenMode(uint64_t deviceId, const GUID& cls, const GUID& iid, KZRESULT* result = nullptr)
{
    IKazDeviceManager* manager = Manager();
    IKazDevice* device = nullptr;
    KZRESULT r = manager->OpenDevice(&deviceId, &device);
    IKazUnknown* component = nullptr;
    if (r == 0) {
        r = device->OpenComponent(&cls, &iid, &component);
        device->Release();
    }
    manager->Release();
    if (result)
        *result = r;
    return component;
}

inline bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

} // namespace simtest
