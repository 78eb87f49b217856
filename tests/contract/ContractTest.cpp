// The published values of the driver, the Setup API and the device server,
// typed once here. The bench's contract (kazsim/Contract.h) and the library's
// own declarations are each held against this table, so a wrong constant on
// either side fails here and nowhere else decides.
#include "device/KazApi.h"
#include "device/KazDriver.h"
#include "device/MyKazDevice.h"
#include "device/SetupApiTable.h"
#include "flash/FwInfo.h"
#include "frame/Reporter.h"
#include "kazmir.h"
#include "kazsim/Bench.h"
#include "kazsim/Contract.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <regex>
#include <string>

namespace bench = kazsim::contract;

namespace {

GUID Parse(const char* text)
{
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    EXPECT_EQ(std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, &b[0], &b[1], &b[2], &b[3],
                          &b[4], &b[5], &b[6], &b[7]),
              11)
        << text;
    GUID guid = {d1, static_cast<uint16_t>(d2), static_cast<uint16_t>(d3), {}};
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<uint8_t>(b[i]);
    return guid;
}

TEST(Contract, Identifiers)
{
    struct Row {
        const char* Spec;
        const GUID* Bench;
        const GUID* Library; // null: the library declares it where no header reaches
    };
    const Row rows[] = {
        {"{48E20102-D37D-42C8-BE32-F86F4FCB2B4C}", &bench::DRIVER_INTERFACE_CLASS, &KAZ_DRIVER_INTERFACE_CLASS},
        {"{DE8DA3BA-0856-4DEB-B5F2-E0B7B2FFA14A}", &bench::CLSID_FLD, &KAZ_CLSID_FLD},
        {"{89F89748-0FE2-4828-AF44-E5A3DAB47E18}", &bench::IID_FLD, &KAZ_IID_FLD},
        {"{3CB880F4-2791-40BD-B852-09349D1A7B37}", &bench::CLSID_BAL, &KAZ_CLSID_BAL},
        {"{A2B958AA-9188-4CDB-8307-25D9F1F843E9}", &bench::IID_BAL, &KAZ_IID_BAL},
        {"{F6998E02-E42A-4867-954A-8101451FE053}", &bench::CLSID_CCL, &KAZ_CLSID_CCL},
        {"{DE4B8CBC-CBE2-4C6F-A9DC-D565DF73260C}", &bench::IID_CCL, &KAZ_IID_CCL},
        {"{E1CC08CE-99C0-483B-8E5F-4C43358E1CE2}", &bench::IID_SEND_CHANNEL, &KAZ_IID_SEND_CHANNEL},
        {"{19286603-A9CD-433A-A495-72E5C9D97A97}", &bench::IID_RECEIVE_CHANNEL, &KAZ_IID_RECEIVE_CHANNEL},
        {"{EFA8FE87-C6C4-4C13-85AE-BA318AB6D345}", &bench::IID_AUX_CHANNEL, &KAZ_IID_AUX_CHANNEL},
        {"{2219F6A0-732A-4750-B66F-0AE731FB40E1}", &kazsim::BOARD_CLASS_1, nullptr},
        {"{B9AAAF39-B9B9-4850-9402-7D8250C7B88F}", &kazsim::BOARD_CLASS_2, nullptr},
        {"{0F254982-BCEE-40AC-8EB8-906F773D00FA}", &kazsim::BOARD_CLASS_3, nullptr},
        {"{EDCCFFED-C78C-4242-B617-56320E33A361}", &kazsim::BOARD_CLASS_4, nullptr},
        {"{D55C1655-3F48-463F-9B91-C7448BDC7C22}", &kazsim::BOARD_CLASS_5, nullptr},
    };
    for (const Row& row : rows) {
        GUID spec = Parse(row.Spec);
        EXPECT_EQ(std::memcmp(&spec, row.Bench, sizeof(GUID)), 0) << "bench: " << row.Spec;
        EXPECT_TRUE(!row.Library || std::memcmp(&spec, row.Library, sizeof(GUID)) == 0) << "library: " << row.Spec;
    }
    const uint16_t kinds[3][2] = {{1, 1}, {1, 2}, {3, 3}};
    const GUID* iids[3] = {&KAZ_IID_SEND_CHANNEL, &KAZ_IID_RECEIVE_CHANNEL, &KAZ_IID_AUX_CHANNEL};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(std::memcmp(bench::CHANNEL_KINDS[i].Iid, iids[i], sizeof(GUID)), 0) << i;
        EXPECT_EQ(bench::CHANNEL_KINDS[i].Kind1, kinds[i][0]) << i;
        EXPECT_EQ(bench::CHANNEL_KINDS[i].Kind2, kinds[i][1]) << i;
    }
}

constexpr std::nullopt_t NONE = std::nullopt;

TEST(Contract, CodesSizesAndOffsets)
{
    struct Row {
        const char* Name;
        uint64_t Spec;
        std::optional<uint64_t> Bench, Library; // NONE: that side has no such declaration
    };
    const Row rows[] = {
        {"IOCTL GetInfo", 0xA0003000, bench::IOCTL_GET_INFO, IOCTL_KAZ_GET_INFO},
        {"IOCTL LoadFw", 0xA0003005, bench::IOCTL_LOAD_FW, IOCTL_KAZ_LOAD_FW},
        {"IOCTL Reset", 0xA000300C, bench::IOCTL_RESET, IOCTL_KAZ_RESET},
        {"GetInfo input", 1, bench::GET_INFO_IN_SIZE, NONE},
        {"LoadFw input", 6, bench::LOAD_FW_IN_SIZE, LOAD_FW_INPUT_SIZE},
        {"Reset selector to boot ROM", 0, bench::RESET_BOOT_ROM, RESET_TO_BOOT_ROM},
        {"Reset selector to firmware", 1, bench::RESET_FIRMWARE, RESET_TO_FIRMWARE},
        {"state FLD", 1, bench::DEV_STATE_FLD, DEV_STATE_FLD},
        {"state BAL", 2, bench::DEV_STATE_BAL, DEV_STATE_BAL},
        {"state CCL", 3, bench::DEV_STATE_CCL, DEV_STATE_CCL},
        {"state ROM", 16, bench::DEV_STATE_ROM, DEV_STATE_ROM},
        {"open access", 0xC0000000, bench::OPEN_ACCESS, GENERIC_READ | GENERIC_WRITE},
        {"open disposition", 3, bench::OPEN_DISPOSITION, OPEN_EXISTING},
        {"DIGCF_PRESENT", 0x02, bench::FLAG_PRESENT, DIGCF_PRESENT},
        {"DIGCF_DEVICEINTERFACE", 0x10, bench::FLAG_DEVICEINTERFACE, DIGCF_DEVICEINTERFACE},
        {"device-information record", 32, bench::DEVINFO_DATA_SIZE, sizeof(SP_DEVINFO_DATA)},
        {"device-interface record", 32, bench::INTERFACE_DATA_SIZE, sizeof(SP_DEVICE_INTERFACE_DATA)},
        {"detail record size field", 8, bench::INTERFACE_DETAIL_SIZE, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A)},
        {"detail path offset", 4, NONE, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)},
        {"Setup-API names", 27, bench::SETUPAPI_NAME_COUNT, SETUPAPI_ENTRY_COUNT},
        {"CCL start entry", 586, bench::CCL_START_ENTRY, CCL_CMD_START_ENTRY},
        {"CCL stop entry", 587, bench::CCL_STOP_ENTRY, CCL_CMD_STOP_ENTRY},
        {"GetInfo record", 140, sizeof(bench::DRIVER_INFO), sizeof(DEVICE_INFO_RECORD)},
        {"GetInfo DeviceId", 4, offsetof(bench::DRIVER_INFO, DeviceId), offsetof(DEVICE_INFO_RECORD, DeviceId)},
        {"GetInfo Serial", 12, offsetof(bench::DRIVER_INFO, Serial), offsetof(DEVICE_INFO_RECORD, Serial)},
        {"device record", 304, sizeof(bench::DEVICE_RECORD), sizeof(KAZ_DEVICE_RECORD)},
        {"device record class", 8, offsetof(bench::DEVICE_RECORD, BoardClass), offsetof(KAZ_DEVICE_RECORD, BoardClass)},
        {"device record Serial", 32, offsetof(bench::DEVICE_RECORD, Serial), offsetof(KAZ_DEVICE_RECORD, Serial)},
        {"device snapshot", 64, NONE, CMyKazDevice::MAX_DEVICES},
        {"version minor", 4, offsetof(bench::SERVER_VERSION, Minor), offsetof(KAZ_SERVER_VERSION, Minor)},
        {"FLASH_INFO", 100, sizeof(bench::FLASH_INFO), sizeof(FLASH_INFO)},
        {"FLASH_INFO word 4", 4, offsetof(bench::FLASH_INFO, Word4), offsetof(FLASH_INFO, Word4)},
        {"FLASH_INFO word 6", 6, offsetof(bench::FLASH_INFO, Word6), offsetof(FLASH_INFO, Word6)},
        {"FLASH_INFO sectors", 8, offsetof(bench::FLASH_INFO, SectorCount), offsetof(FLASH_INFO, SectorCount)},
        {"FLASH_INFO word 10", 10, offsetof(bench::FLASH_INFO, Word10), offsetof(FLASH_INFO, Word10)},
        {"FLASH_INFO base", 12, offsetof(bench::FLASH_INFO, BaseAddress), offsetof(FLASH_INFO, BaseAddress)},
        {"SECTOR_INFO", 8, sizeof(bench::SECTOR_INFO), sizeof(SECTOR_INFO)},
        {"sector 3 address", 0x30000, 3u << 16, MakeSectorAddr(3)},
        {"BAL record", 70, sizeof(bench::BAL_RECORD), sizeof(KAZ_BAL_RECORD)},
        {"CCL summary", 24, sizeof(bench::CCL_SUMMARY), sizeof(CCL_SUMMARY)},
        {"CCL summary count", 2, offsetof(bench::CCL_SUMMARY, EntryCount), offsetof(CCL_SUMMARY, EntryCount)},
        {"CCL entry", 24, sizeof(bench::CCL_ENTRY), sizeof(CCL_ENTRY)},
        {"CCL entry kind 1", 12, offsetof(bench::CCL_ENTRY, Kind1), offsetof(CCL_ENTRY, Kind1)},
        {"CCL entry kind 2", 14, offsetof(bench::CCL_ENTRY, Kind2), offsetof(CCL_ENTRY, Kind2)},
        {"CCL entry value", 16, offsetof(bench::CCL_ENTRY, Value), offsetof(CCL_ENTRY, Value)},
        {"command request", 12, sizeof(bench::CCL_REQUEST), sizeof(CCL_COMMAND_REQUEST)},
        {"request target", 4, offsetof(bench::CCL_REQUEST, Target), offsetof(CCL_COMMAND_REQUEST, Target)},
        {"request index", 6, offsetof(bench::CCL_REQUEST, EntryIndex), offsetof(CCL_COMMAND_REQUEST, EntryIndex)},
        {"request command", 8, offsetof(bench::CCL_REQUEST, Command), offsetof(CCL_COMMAND_REQUEST, Command)},
        {"command response", 12, sizeof(bench::CCL_RESPONSE), sizeof(CCL_COMMAND_RESPONSE)},
        {"response result", 8, offsetof(bench::CCL_RESPONSE, Result), offsetof(CCL_COMMAND_RESPONSE, Result)},
        {"channel status", 8, sizeof(bench::CHANNEL_STATUS), sizeof(CHANNEL_STATUS)},
        {"general failure", 0x80004005, NONE, KZM_E_FAIL},
        {"no handle or path", 0x80070057, NONE, KZM_E_INVALIDARG},
        {"arrival timed out", 0xE001000B, NONE, KZM_E_TIMEOUT},
        {"flash not started", 0xE0FE0002, NONE, KZM_E_FLASH_NOT_STARTED},
        {"too many sectors", 0xE0FE0003, NONE, KZM_E_TOO_MANY_SECTORS},
        {"beyond the flash", 0xE0FE0004, NONE, KZM_E_BEYOND_FLASH},
        {"range end", 0xE0FE0005, NONE, KZM_E_RANGE_END},
        {"range allocation", 0xE0FE0006, NONE, KZM_E_ALLOC_RANGE},
        {"range read", 0xE0FE0007, NONE, KZM_E_READ_RANGE},
        {"range write", 0xE0FE0009, NONE, KZM_E_WRITE_RANGE},
        {"verify", 0xE0FE000A, NONE, KZM_E_VERIFY},
        {"no firmware information", 0xA0FE0001, NONE, CFwInfo::NOT_FOUND},
        {"firmware marker", 9, NONE, CFwInfo::MARKER_SIZE},
        {"any device", 0xFFFFFFFFFFFFFFFF, NONE, DEVICE_ID_ANY},
        {"REPORT_MESSAGE", 0, NONE, REPORT_MESSAGE},
        {"REPORT_PROGRESS", 1, NONE, REPORT_PROGRESS},
        {"REPORT_NEWLINE", 2, NONE, REPORT_NEWLINE},
        {"REPORT_TRACE", 3, NONE, REPORT_TRACE},
        {"report line", 512, NONE, CReporter::LINE_SIZE},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(row.Bench.value_or(row.Spec), row.Spec) << "bench: " << row.Name;
        EXPECT_EQ(row.Library.value_or(row.Spec), row.Spec) << "library: " << row.Name;
    }
}

// The vtable slot of a virtual member function (Itanium C++ ABI, as g++ and
// mingw-w64 lay it out: the pointer holds 1 + the slot's byte offset).
template <class M>
std::ptrdiff_t Slot(M member)
{
    std::ptrdiff_t raw = 0;
    std::memcpy(&raw, &member, sizeof(raw));
    return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(Contract, InterfaceSlots)
{
    struct Row {
        const char* Name;
        std::ptrdiff_t Spec, Bench, Library;
    };
#define ROW(I, Op, n) {#I "::" #Op, n, Slot(&bench::I::Op), Slot(&::I::Op)}
    const Row rows[] = {
        ROW(IKazUnknown, QueryInterface, 0),   ROW(IKazUnknown, AddRef, 1),
        ROW(IKazUnknown, Release, 2),          ROW(IKazDeviceManager, EnumDevices, 3),
        ROW(IKazDeviceManager, OpenDevice, 4), ROW(IKazDeviceEnum, Next, 3),
        ROW(IKazDeviceEnum, ResetEnum, 5),     ROW(IKazDeviceEnum, AssignEvent, 6),
        ROW(IKazDevice, OpenComponent, 5),     ROW(IKazFlashLoader, Execute, 5),
        ROW(IKazFlashLoader, Stop, 6),         ROW(IKazFlashLoader, GetFlashInfo, 7),
        ROW(IKazFlashLoader, GetSectorInfo, 8), ROW(IKazFlashLoader, EraseSector, 9),
        ROW(IKazFlashLoader, ReadSector, 10),  ROW(IKazFlashLoader, WriteSector, 11),
        ROW(IKazBal, Attach, 3),               ROW(IKazCcl, Start, 5),
        ROW(IKazCcl, Stop, 6),                 ROW(IKazCcl, Command, 9),
        ROW(IKazCcl, GetSummary, 10),          ROW(IKazCcl, GetEntry, 11),
        ROW(IKazCcl, BindEntry, 12),           ROW(IKazChannel, AssignEvent, 5),
        ROW(IKazChannel, GetMaxMsgLen, 9),     ROW(IKazChannel, GetReceiveStatus, 10),
        ROW(IKazChannel, GetSendStatus, 11),   ROW(IKazChannel, GetCurrentEntry, 13),
        ROW(IKazChannel, ReleaseEntries, 14),
    };
#undef ROW
    for (const Row& row : rows) {
        EXPECT_EQ(row.Bench, row.Spec) << "bench: " << row.Name;
        EXPECT_EQ(row.Library, row.Spec) << "library: " << row.Name;
    }
}

TEST(Contract, SetupApiNamesInBindingOrder)
{
    const char* const spec[27] = {
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
    for (int i = 0; i < 27; ++i) {
        EXPECT_STREQ(bench::SETUPAPI_NAMES[i], spec[i]) << "bench, entry " << i + 1;
        EXPECT_STREQ(g_SetupApiNames[i], spec[i]) << "library, entry " << i + 1;
    }
}

// The ordinals as the library's import library and the bench's KAZAPI.dll
// declare them (their .def files), and the bench's contract.
TEST(Contract, DeviceServerOrdinals)
{
    struct Row {
        const char* Name;
        unsigned Spec, Bench;
    };
    const Row rows[] = {
        {"InitializeServer", 1000, bench::ORDINAL_INITIALIZE_SERVER},
        {"GetServerVersion", 1002, bench::ORDINAL_GET_SERVER_VERSION},
        {"CreateChannelObject", 2000, bench::ORDINAL_CREATE_CHANNEL_OBJECT},
        {"GetDeviceManager", 4000, bench::ORDINAL_GET_DEVICE_MANAGER},
    };
    for (const char* def : {"src/device/kazapi.def", "simulator/kazapi.def"}) {
        std::ifstream file(std::string(KAZMIR_SOURCE_DIR) + "/" + def);
        ASSERT_TRUE(file) << def;
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (const Row& row : rows) {
            std::regex line(std::string("\\b") + row.Name + "\\s+@" + std::to_string(row.Spec) + "\\s+NONAME\\b");
            EXPECT_TRUE(std::regex_search(text, line)) << def << ": " << row.Name;
            EXPECT_EQ(row.Bench, row.Spec) << "bench: " << row.Name;
        }
    }
}

// The bench speaks for the maker's side on its own: no header of the library.
TEST(Contract, BenchIncludesNoLibraryHeader)
{
    std::regex library("#\\s*include\\s*[\"<](frame|controller|device|modes|flash)/");
    for (const auto& entry : std::filesystem::recursive_directory_iterator(std::string(KAZMIR_SOURCE_DIR) + "/simulator")) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream file(entry.path());
        std::string line;
        for (int number = 1; std::getline(file, line); ++number)
            EXPECT_FALSE(std::regex_search(line, library)) << entry.path().string() << ":" << number;
    }
}

} // namespace
