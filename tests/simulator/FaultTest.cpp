// Fault injection, the call log and accounting.
#include "SimTestSupport.h"

using namespace simtest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

class FaultTest : public BenchTest {};

// A short host session: find the board, open it, read its state, and list
// the server's devices. Gives the first failure met (0 when none).
uint32_t Session()
{
    SetupApi api;
    if (!api.Module || !api.GetClassDevs || !api.EnumInterfaces || !api.Detail || !api.Destroy || !api.EnumInfo)
        return GetLastError();
    HDEVINFO list = api.GetClassDevs(&DRIVER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE)
        return GetLastError();
    uint32_t failure = 0;
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    DWORD required = 0;
    std::vector<char> block;
    if (!api.EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, 0, &data)) {
        failure = GetLastError();
    } else if (api.Detail(list, &data, nullptr, 0, &required, nullptr) || GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        failure = GetLastError() ? GetLastError() : 1;
    } else {
        block.resize(required);
        auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
        detail->cbSize = 8;
        if (!api.Detail(list, &data, detail, required, &required, nullptr))
            failure = GetLastError();
    }
    if (!api.Destroy(list) && !failure)
        failure = GetLastError();
    if (failure)
        return failure;
    HANDLE handle = Open(reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data())->DevicePath);
    if (handle == INVALID_HANDLE_VALUE)
        return GetLastError();
    DRIVER_INFO record = {};
    failure = GetInfo(handle, &record);
    CloseHandle(handle);
    if (failure)
        return failure;
    IKazDeviceManager* manager = nullptr;
    if (KZRESULT r = GetDeviceManager(&manager))
        return r;
    IKazDeviceEnum* deviceEnum = nullptr;
    KZRESULT r = manager->EnumDevices(&deviceEnum);
    if (r == 0) {
        DEVICE_RECORD records[4];
        uint32_t fetched = 0;
        r = deviceEnum->Next(4, records, &fetched);
        deviceEnum->Release();
    }
    manager->Release();
    return r;
}

} // namespace

TEST_F(FaultTest, AlwaysAndNthCall)
{
    SetupApi api;
    HANDLE handle = Open(api.Paths().at(0));
    Faults::Fail("Driver.GetInfo", ERROR_GEN_FAILURE);
    DRIVER_INFO record = {};
    EXPECT_EQ(GetInfo(handle, &record), ERROR_GEN_FAILURE);
    EXPECT_EQ(GetInfo(handle, &record), ERROR_GEN_FAILURE);
    Faults::Clear();
    EXPECT_EQ(GetInfo(handle, &record), 0u);

    Faults::Fail("Driver.Reset", ERROR_ACCESS_DENIED, 2);
    EXPECT_EQ(Reset(handle, 7), ERROR_INVALID_PARAMETER); // first call: the driver's own refusal
    EXPECT_EQ(Reset(handle, 1), ERROR_ACCESS_DENIED);      // second: the fault, no restart
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    EXPECT_EQ(Reset(handle, 1), 0u);
    EXPECT_EQ(Faults::Fired("Driver.Reset"), 1u);
    CloseHandle(handle);
    EXPECT_THROW(Faults::Fail("Driver.Frobnicate", 1), std::invalid_argument);
}

TEST_F(FaultTest, FaultsForOneBoardOnly)
{
    kazsim::BoardDesc second;
    second.Serial = "KZ000002";
    Bench::AddBoard(second);
    Faults::Fail("Driver.Open", ERROR_ACCESS_DENIED, 0, 1);
    Faults::Fail("DeviceManager.OpenDevice", 0x80041234, 0, 1);
    EXPECT_NE(Open(Bench::BoardInfo(0).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(Bench::BoardInfo(1).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    KZRESULT result = 1;
    IKazUnknown* ccl = OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_CCL, IID_CCL, &result);
    EXPECT_EQ(result, 0u);
    ASSERT_NE(ccl, nullptr);
    ccl->Release();
    EXPECT_EQ(OpenMode(Bench::BoardInfo(1).DeviceId, CLSID_CCL, IID_CCL, &result), nullptr);
    EXPECT_EQ(result, 0x80041234u);
}

TEST_F(FaultTest, FunctionsAndTheCommandResponse)
{
    Faults::Fail("InitializeServer", 0x80040001);
    Faults::Fail("GetDeviceManager", 0x80040002, 1);
    EXPECT_EQ(InitializeServer(), 0x80040001u);
    IKazDeviceManager* manager = reinterpret_cast<IKazDeviceManager*>(1);
    EXPECT_EQ(GetDeviceManager(&manager), 0x80040002u);
    EXPECT_EQ(manager, nullptr);

    auto* ccl = static_cast<IKazCcl*>(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_CCL, IID_CCL));
    ASSERT_NE(ccl, nullptr);
    ASSERT_EQ(ccl->Start(0, 0, 0), 0u);
    Faults::Fail("Ccl.Command.Response", 0xE0AB0001, 1);
    CCL_REQUEST request = {12, 0xFFFF, 0, CCL_START_ENTRY};
    CCL_RESPONSE response = {12, 0, 0};
    EXPECT_EQ(ccl->Command(&request, &response), 0u);
    EXPECT_EQ(response.Result, 0xE0AB0001u);
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started);
    EXPECT_EQ(ccl->Command(&request, &response), 0u);
    EXPECT_EQ(response.Result, 0u);
    EXPECT_TRUE(Bench::CclEntry(0, 0).Started);
    ccl->Release();

    Faults::Fail("SetupDiGetClassDevsA", ERROR_NOT_ENOUGH_MEMORY);
    SetupApi api;
    EXPECT_EQ(api.GetClassDevs(&DRIVER_INTERFACE_CLASS, nullptr, nullptr, 0x12), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(FaultTest, CallLogRecordsTheSessionInOrder)
{
    ASSERT_EQ(Session(), 0u);
    std::vector<std::string> expected = {
        "LoadLibraryA", "GetProcAddress", "GetProcAddress", "GetProcAddress", "GetProcAddress", "GetProcAddress",
        "SetupDiGetClassDevsA", "SetupDiEnumDeviceInterfaces", "SetupDiGetDeviceInterfaceDetailA",
        "SetupDiGetDeviceInterfaceDetailA", "SetupDiDestroyDeviceInfoList", "Driver.Open", "Driver.GetInfo",
        "GetDeviceManager", "DeviceManager.EnumDevices", "Enum.Next", "FreeLibrary"};
    EXPECT_EQ(kazsim::CallNames(), expected);
    std::vector<kazsim::Call> log = kazsim::CallLog();
    ASSERT_EQ(log.size(), expected.size());
    EXPECT_EQ(log[1].Detail, "SetupDiGetClassDevsA");
    EXPECT_EQ(log[5].Occurrence, 5u);
    EXPECT_EQ(log[8].Result, ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(log[9].Result, 0u);
    EXPECT_EQ(log[11].Board, 0);
    EXPECT_EQ(log[11].Detail, Bench::BoardInfo(0).Path);
    kazsim::ClearCallLog();
    EXPECT_TRUE(kazsim::CallLog().empty());
}

TEST_F(FaultTest, AccountingFindsWhatIsLeftOpen)
{
    EXPECT_EQ(kazsim::LeftBehind(), "");
    kazsim::AccountingInfo before = kazsim::Accounting();
    IKazDeviceManager* manager = Manager();
    uint64_t id = Bench::BoardInfo(0).DeviceId;
    IKazDevice* device = nullptr;
    ASSERT_EQ(manager->OpenDevice(&id, &device), 0u);
    SetupApi api;
    HANDLE handle = Open(api.Paths().at(0));
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
#ifdef _WIN32
    // On Windows the bench counts the events handed to it, not every event.
    IKazDeviceEnum* deviceEnum = nullptr;
    ASSERT_EQ(manager->EnumDevices(&deviceEnum), 0u);
    ASSERT_EQ(deviceEnum->AssignEvent(event), 0u);
    deviceEnum->Release();
#endif
    std::string left = kazsim::LeftBehind();
    EXPECT_NE(left.find("devices: 1 references"), std::string::npos) << left;
    EXPECT_NE(left.find("device managers: 1 references"), std::string::npos) << left;
    EXPECT_NE(left.find("driver handles: 1"), std::string::npos) << left;
    EXPECT_NE(left.find("device files: 1"), std::string::npos) << left;
    EXPECT_NE(left.find("events: 1"), std::string::npos) << left;
    kazsim::AccountingInfo now = kazsim::Accounting();
    EXPECT_EQ(now.Devices.Objects, before.Devices.Objects + 1);
    EXPECT_EQ(now.SetupApiModules, before.SetupApiModules + 1);
    EXPECT_NE(now.Describe().find("devices: 1 objects, 1 references"), std::string::npos);

    EXPECT_EQ(device->AddRef(), 2u);
    EXPECT_EQ(device->Release(), 1u);
    EXPECT_EQ(device->Release(), 0u);
    CloseHandle(handle);
    CloseHandle(event);
    manager->Release();
    EXPECT_EQ(kazsim::LeftBehind(), "");

    // Late calls on a released object are caught, not crashed on.
    IKazUnknown* component = nullptr;
    EXPECT_EQ(device->OpenComponent(&CLSID_CCL, &IID_CCL, &component), kazsim::SIM_E_RELEASED);
    EXPECT_EQ(device->Release(), 0u);
    left = kazsim::LeftBehind();
    EXPECT_NE(left.find("over-releases: 1"), std::string::npos) << left;
    EXPECT_NE(left.find("calls on released objects: 1"), std::string::npos) << left;
    kazsim::MarkBaseline();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}
