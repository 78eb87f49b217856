// The bench's SetupApi.DLL: loading, the 27 names, and the five called entry
// points with the sizes and errors of 64-bit Windows.
#include "SimTestSupport.h"

using namespace simtest;
using kazsim::Bench;

namespace {

constexpr DWORD ERROR_INVALID_USER_BUFFER_ = 1784;

const char* const g_Names[27] = {
    "SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInfo", "SetupDiEnumDeviceInterfaces",
    "SetupDiOpenDevRegKey", "SetupDiGetClassDevsA", "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInterfaceDetailA", "SetupDiGetDeviceInterfaceDetailW", "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiSetDeviceRegistryPropertyW", "SetupDiGetDeviceRegistryPropertyA", "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiGetDeviceInstallParamsA", "SetupDiGetDriverInfoDetailA", "SetupDiGetSelectedDriverA",
    "SetupOpenInfFileA", "SetupFindFirstLineA", "SetupDiCallClassInstaller",
    "SetupDiGetClassInstallParamsA", "SetupDiSetClassInstallParamsA", "SetupDiEnumDriverInfoA",
    "SetupDiSetDriverInstallParamsA", "SetupDiGetDriverInstallParamsA", "SetupDiBuildDriverInfoList",
    "SetupDiOpenClassRegKey", "SetupDiCreateDeviceInterfaceA", "SetupDiGetDeviceInstanceIdA",
};

class SetupApiTest : public BenchTest {
protected:
    HDEVINFO List()
    {
        return m_Api.GetClassDevs(&DRIVER_INTERFACE_CLASS, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    }
    SetupApi m_Api;
};

} // namespace

TEST_F(SetupApiTest, ModuleResolvesAllNamesAndTheUncalledOnesFail)
{
    HMODULE module = LoadLibraryA("setupapi.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(module, m_Api.Module);
    using PFN_ANY = BOOL(WINAPI*)();
    for (unsigned i = 0; i < 27; ++i) {
        SCOPED_TRACE(g_Names[i]);
        FARPROC proc = GetProcAddress(module, g_Names[i]);
        ASSERT_NE(proc, nullptr);
        static const unsigned called[] = {0, 1, 2, 4, 6};
        if (std::find(std::begin(called), std::end(called), i) != std::end(called))
            continue;
        SetLastError(0);
        BOOL result = reinterpret_cast<PFN_ANY>(proc)();
        // Handle-returning ones give INVALID_HANDLE_VALUE, whose low half is not 0.
        if (i != 3 && i != 5 && i != 15 && i != 24) {
            EXPECT_EQ(result, FALSE);
        }
        EXPECT_EQ(GetLastError(), ERROR_CALL_NOT_IMPLEMENTED);
    }
    EXPECT_EQ(GetProcAddress(module, "SetupDiGetClassDevsa"), nullptr); // names are case-sensitive
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
    EXPECT_EQ(LoadLibraryA("SetupApi2.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
}

TEST_F(SetupApiTest, MissingModuleOrNameFailsTheLoad)
{
    kazsim::Faults::RemoveSetupApi();
    EXPECT_EQ(LoadLibraryA("SetupApi.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    kazsim::Faults::Clear();
    kazsim::Faults::RemoveSetupApiName("SetupDiBuildDriverInfoList");
    HMODULE module = LoadLibraryA("SetupApi.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "SetupDiBuildDriverInfoList"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_NE(GetProcAddress(module, "SetupDiOpenClassRegKey"), nullptr);
    FreeLibrary(module);
    EXPECT_THROW(kazsim::Faults::RemoveSetupApiName("SetupDiNoSuchName"), std::invalid_argument);
}

TEST_F(SetupApiTest, KazApiModuleGivesTheFunctionsByOrdinal)
{
    HMODULE module = LoadLibraryA("KAZAPI.dll");
    ASSERT_NE(module, nullptr);
    auto ordinal = [&](uintptr_t n) { return GetProcAddress(module, reinterpret_cast<const char*>(n)); };
    EXPECT_EQ(ordinal(1000), reinterpret_cast<FARPROC>(&InitializeServer));
    EXPECT_EQ(ordinal(1002), reinterpret_cast<FARPROC>(&GetServerVersion));
    EXPECT_EQ(ordinal(2000), reinterpret_cast<FARPROC>(&CreateChannelObject));
    EXPECT_EQ(ordinal(4000), reinterpret_cast<FARPROC>(&GetDeviceManager));
    EXPECT_EQ(ordinal(1001), nullptr);
#ifdef _WIN32
    // KAZAPI.dll is a real module here, exporting the four by ordinal only.
    EXPECT_EQ(GetProcAddress(module, "GetDeviceManager"), nullptr);
#else
    EXPECT_EQ(GetProcAddress(module, "GetDeviceManager"), reinterpret_cast<FARPROC>(&GetDeviceManager));
#endif
    FreeLibrary(module);
}

TEST_F(SetupApiTest, EnumerationChecksSizesAndEnds)
{
    HDEVINFO list = List();
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA info = {};
    info.cbSize = 28;
    EXPECT_FALSE(m_Api.EnumInfo(list, 0, &info));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER_);
    info.cbSize = sizeof(info);
    ASSERT_EQ(info.cbSize, 32u);
    EXPECT_TRUE(m_Api.EnumInfo(list, 0, &info));
    EXPECT_FALSE(m_Api.EnumInfo(list, 1, &info));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);

    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = 24;
    EXPECT_FALSE(m_Api.EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER_);
    data.cbSize = sizeof(data);
    ASSERT_EQ(data.cbSize, 32u);
    EXPECT_FALSE(m_Api.EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, 1, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_FALSE(m_Api.EnumInterfaces(list, nullptr, &kazsim::BOARD_CLASS_1, 0, &data));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    ASSERT_TRUE(m_Api.EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, 0, &data));
    EXPECT_TRUE(SameGuid(data.InterfaceClassGuid, DRIVER_INTERFACE_CLASS));
    // Filtered by the device just enumerated.
    EXPECT_TRUE(m_Api.EnumInterfaces(list, &info, &DRIVER_INTERFACE_CLASS, 0, &data));
    EXPECT_TRUE(m_Api.Destroy(list));
    EXPECT_FALSE(m_Api.Destroy(list));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
}

TEST_F(SetupApiTest, DetailAsksForItsSizeFirst)
{
    HDEVINFO list = List();
    SP_DEVICE_INTERFACE_DATA data = {};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(m_Api.EnumInterfaces(list, nullptr, &DRIVER_INTERFACE_CLASS, 0, &data));
    const std::string path = Bench::BoardInfo(0).Path;
    DWORD required = 0;
    EXPECT_FALSE(m_Api.Detail(list, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, 4 + path.size() + 1);

    std::vector<char> block(required + 8, 'x');
    auto* detail = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(block.data());
    detail->cbSize = 5; // the 32-bit size
    EXPECT_FALSE(m_Api.Detail(list, &data, detail, required, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_USER_BUFFER_);
    detail->cbSize = 8;
    EXPECT_FALSE(m_Api.Detail(list, &data, detail, required - 1, &required, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(m_Api.Detail(list, &data, detail, required, &required, nullptr));
    EXPECT_EQ(std::string(detail->DevicePath), path);
    EXPECT_EQ(block[required], 'x'); // nothing written past the block
    EXPECT_EQ(path.rfind("#{48e20102-d37d-42c8-be32-f86f4fcb2b4c}"), path.size() - 39);
    m_Api.Destroy(list);
}

TEST_F(SetupApiTest, ListIsASnapshotOfPresentBoards)
{
    HDEVINFO list = List();
    kazsim::BoardDesc board;
    board.Serial = "KZ000002";
    Bench::AddBoard(board);
    SP_DEVINFO_DATA info = {};
    info.cbSize = sizeof(info);
    EXPECT_FALSE(m_Api.EnumInfo(list, 1, &info)); // taken before the arrival
    m_Api.Destroy(list);
    EXPECT_EQ(m_Api.Paths().size(), 2u);

    HDEVINFO other = m_Api.GetClassDevs(&kazsim::BOARD_CLASS_1, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(m_Api.EnumInfo(other, 0, &info));
    EXPECT_EQ(GetLastError(), ERROR_NO_MORE_ITEMS);
    EXPECT_EQ(kazsim::Accounting().DeviceInfoLists, kazsim::AccountingBaseline().DeviceInfoLists + 1);
    m_Api.Destroy(other);
    EXPECT_EQ(kazsim::Accounting().DeviceInfoLists, kazsim::AccountingBaseline().DeviceInfoLists);
}
