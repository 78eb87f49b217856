// The boards' kernel driver and the Setup API: restarts, exclusive opens, and
// every argument the real system refuses.
#include "SimTestSupport.h"

#include <algorithm>
#include <functional>
#include <set>

using namespace simtest;

class DriverTest : public BenchTest {};

TEST_F(DriverTest, RestartCycleGivesNewIdsAndPathsAndTheServerAgrees)
{
    std::set<uint64_t> ids;
    std::set<std::string> paths;
    // From the firmware through the boot ROM to the flash loader and back.
    const std::pair<DWORD (*)(HANDLE), const char*> steps[] = {{[](HANDLE h) { return Reset(h, 0); }, "16 ABCD"},
                                                               {[](HANDLE h) { return LoadFw(h); }, "1 KZ000001"},
                                                               {[](HANDLE h) { return Reset(h, 1); }, "3 KZ000001"}};
    for (const auto& step : steps) {
        HANDLE handle = Open(SetupApi().Paths().at(0));
        DRIVER_INFO info = {};
        ASSERT_EQ(GetInfo(handle, &info), 0u);
        EXPECT_EQ(uint64_t{info.DeviceId}, uint64_t{Records().at(0).DeviceId}); // packed records: compare copies
        ids.insert(uint64_t{info.DeviceId});
        paths.insert(Bench::BoardInfo(0).Path);
        ASSERT_EQ(step.first(handle), 0u);
        EXPECT_EQ(GetInfo(handle, &info), ERROR_DEVICE_NOT_CONNECTED); // the old arrival is gone
        CloseHandle(handle);
        ASSERT_TRUE(Bench::Quiesce());
        EXPECT_EQ(std::to_string(Bench::BoardInfo(0).State) + " " + Records().at(0).Serial, step.second);
    }
    EXPECT_EQ(ids.size() + paths.size(), 6u);
    EXPECT_EQ(Open(*paths.begin()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE handle = Open(Bench::BoardInfo(0).Path);
    EXPECT_EQ(LoadFw(handle), 21u); // ERROR_NOT_READY outside the boot ROM, no restart
    EXPECT_EQ(Open(Bench::BoardInfo(0).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION); // exclusive
    CloseHandle(handle);
    Bench::SetHeld(0, true);
    EXPECT_EQ(Open(Bench::BoardInfo(0).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 3u);
}

#ifndef _WIN32 // the stand-in platform takes untyped pointers here
using LPSECURITY_ATTRIBUTES = void*;
using LPOVERLAPPED = void*;
#endif

// Each argument the driver, Windows or the Setup API refuses: its error, and
// the refusal that names it.
TEST_F(DriverTest, RefusedArgumentsFailWithTheirErrorAndAreNamed)
{
    int other = 0;
    std::string path;
    uint8_t in[8] = {}, out[140] = {};
    DWORD returned = 0;
    auto open = [&](DWORD access, DWORD share, void* security, DWORD disposition, DWORD flags, HANDLE model) {
        return CreateFileA(path.c_str(), access, share, static_cast<LPSECURITY_ATTRIBUTES>(security), disposition,
                           flags, model) != INVALID_HANDLE_VALUE;
    };
    auto control = [&](DWORD code, DWORD inSize, DWORD outSize, DWORD* count = nullptr, void* overlapped = nullptr) {
        HANDLE handle = Open(path);
        BOOL ok = DeviceIoControl(handle, code, in, inSize, out, outSize, count, static_cast<LPOVERLAPPED>(overlapped));
        DWORD error = GetLastError();
        CloseHandle(handle);
        SetLastError(error);
        return ok != FALSE;
    };
    auto setup = [&](const std::function<BOOL(SetupApi&, HDEVINFO, SP_DEVICE_INTERFACE_DATA*)>& call) {
        SetupApi api;
        HDEVINFO list = api.List();
        SP_DEVICE_INTERFACE_DATA data = {INTERFACE_DATA_SIZE, {}, 0, 0};
        api.Interface(list, 0, &data);
        BOOL ok = call(api, list, &data);
        DWORD error = GetLastError();
        api.DestroyList(list);
        SetLastError(error);
        return ok != FALSE;
    };
    const struct {
        const char* Refusal;
        DWORD Error;
        std::function<bool()> Call;
    } rows[] = {
        {"Driver.Open: access 0x00000000", ERROR_ACCESS_DENIED, [&] { return open(0, 0, nullptr, 3, 0, nullptr); }},
        {"Driver.Open: shareMode 0x00000003", 87, [&] { return open(OPEN_ACCESS, 3, nullptr, 3, 0, nullptr); }},
        {"Driver.Open: security", 87, [&] { return open(OPEN_ACCESS, 0, &other, 3, 0, nullptr); }},
        {"Driver.Open: disposition 0x00000004", 87, [&] { return open(OPEN_ACCESS, 0, nullptr, 4, 0, nullptr); }},
        {"Driver.Open: flags 0x40000000", 87, [&] { return open(OPEN_ACCESS, 0, nullptr, 3, 0x40000000, nullptr); }},
        {"Driver.Open: templateFile", 87, [&] { return open(OPEN_ACCESS, 0, nullptr, 3, 0, &other); }},
        {"Driver.GetInfo: returned (null", 87, [&] { return control(IOCTL_GET_INFO, 1, 140); }},
        {"Driver.GetInfo: overlapped", 87, [&] { return control(IOCTL_GET_INFO, 1, 140, &returned, &other); }},
        {"Driver.Control: code 0xA0003008", 1, [&] { return control(0xA0003008, 1, 1, &returned); }},
        {"Driver.GetInfo: inSize 0x00000002", 87, [&] { return control(IOCTL_GET_INFO, 2, 140, &returned); }},
        {"Driver.GetInfo: outSize 0x0000008B", 122, [&] { return control(IOCTL_GET_INFO, 1, 139, &returned); }},
        {"Driver.Reset: outSize 0x0000008C", 87, [&] { return control(IOCTL_RESET, 1, 140, &returned); }},
        {"Driver.Reset: selector 0x00000002", 87, [&] { return in[0] = 2, control(IOCTL_RESET, 1, 1, &returned); }},
        {"Driver.LoadFw: in (not 6 zero bytes)", 87,
         [&] { return in[0] = 1, control(IOCTL_LOAD_FW, 6, 0, &returned); }},
        {"SetupDiGetClassDevsA: flags 0x16 (not DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)", 1004,
         [&] { return SetupApi().List(0x16) != INVALID_HANDLE_VALUE; }},
        {"SetupDiGetClassDevsA: flags 0x10", 1004, [&] { return SetupApi().List(0x10) != INVALID_HANDLE_VALUE; }},
        {"SetupDiEnumDeviceInterfaces: data->cbSize 28", 1784,
         [&] {
             return setup([](SetupApi& api, HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data) {
                 data->cbSize = 28;
                 return api.Interface(list, 0, data);
             });
         }},
        {"SetupDiEnumDeviceInfo: info->cbSize 33", 1784,
         [&] {
             return setup([](SetupApi& api, HDEVINFO list, SP_DEVICE_INTERFACE_DATA*) {
                 SP_DEVINFO_DATA info = {33, {}, 0, 0};
                 return api.Proc<BOOL(HDEVINFO, DWORD, PSP_DEVINFO_DATA)>("SetupDiEnumDeviceInfo")(list, 0, &info);
             });
         }},
        {"SetupDiGetDeviceInterfaceDetailA: detail->cbSize 6", 1784,
         [&] {
             return setup([](SetupApi& api, HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data) {
                 DWORD block[64] = {6};
                 return api.GetDetail(list, data, block, sizeof(block), nullptr, nullptr);
             });
         }},
        {"SetupDiGetDeviceInterfaceDetailA: size 4 (below the record's fixed part)", 1784,
         [&] {
             return setup([](SetupApi& api, HDEVINFO list, SP_DEVICE_INTERFACE_DATA* data) {
                 DWORD block[64] = {INTERFACE_DETAIL_SIZE};
                 return api.GetDetail(list, data, block, 4, nullptr, nullptr);
             });
         }},
    };
    for (const auto& row : rows) {
        Bench::Reset();
        path = Bench::BoardInfo(0).Path;
        in[0] = 0;
        EXPECT_FALSE(row.Call()) << row.Refusal;
        EXPECT_EQ(GetLastError(), row.Error) << row.Refusal;
        std::vector<std::string> refusals = kazsim::Refusals();
        ASSERT_EQ(refusals.size(), 1u) << row.Refusal;
        EXPECT_EQ(refusals[0].rfind(row.Refusal, 0), 0u) << refusals[0];
        // The call's detail, which the trace prints, names the argument too.
        const size_t colon = refusals[0].find(": ");
        const std::vector<kazsim::Call> log = kazsim::CallLog();
        EXPECT_TRUE(std::any_of(log.begin(), log.end(), [&](const kazsim::Call& call) {
            return call.Name == refusals[0].substr(0, colon) &&
                   call.Detail.find("refused " + refusals[0].substr(colon + 2)) != std::string::npos;
        })) << refusals[0];
        EXPECT_NE(kazsim::LeftBehind().find("refused arguments: 1"), std::string::npos);
        EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    }
}

TEST_F(DriverTest, SetupApiDetailSizeAndTheFreedModule)
{
    SetupApi api;
    HDEVINFO list = api.List();
    SP_DEVICE_INTERFACE_DATA data = {INTERFACE_DATA_SIZE, {}, 0, 0};
    DWORD required = 0;
    ASSERT_TRUE(api.Interface(list, 0, &data));
    EXPECT_FALSE(api.GetDetail(list, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 4 + Bench::BoardInfo(0).Path.size() + 1);
    EXPECT_TRUE(api.DestroyList(list));
    EXPECT_FALSE(api.DestroyList(list));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    // The 22 entries the library never calls fail; all fail once the module is freed.
    auto uncalled = api.Proc<BOOL()>("SetupDiBuildDriverInfoList");
    EXPECT_FALSE(uncalled());
    EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
    ASSERT_TRUE(FreeLibrary(api.Module));
    api.Module = nullptr;
    EXPECT_EQ(api.List(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_FALSE(uncalled());
    EXPECT_EQ(kazsim::Refusals().back(), "SetupDiBuildDriverInfoList: SetupApi.DLL (called after FreeLibrary)");
}

TEST_F(DriverTest, BoardNotPresentIsNeitherListedNorOpened)
{
    Bench::Reset(kazsim::BenchDesc::FromJsonText(R"({"boards": [ {}, {"serial": "KZ9", "present": false} ]})"));
    EXPECT_EQ(SetupApi().Paths(), std::vector<std::string>{Bench::BoardInfo(0).Path});
    EXPECT_EQ(Open(Bench::BoardInfo(1).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Records().size(), 1u);
}
