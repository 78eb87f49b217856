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
#include <regex>
#include <sstream>
#include <string>

namespace bench = kazsim::contract;

static GUID Parse(const char* text)
{
    unsigned d1 = 0, d2 = 0, d3 = 0, b[8] = {};
    std::sscanf(text, "{%8x-%4x-%4x-%2x%2x-%2x%2x%2x%2x%2x%2x}", &d1, &d2, &d3, b, b + 1, b + 2, b + 3, b + 4, b + 5,
                b + 6, b + 7);
    GUID guid = {d1, static_cast<uint16_t>(d2), static_cast<uint16_t>(d3), {}};
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = static_cast<uint8_t>(b[i]);
    return guid;
}

TEST(Contract, Identifiers)
{
    struct Row {
        const char* Published;
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
        GUID published = Parse(row.Published);
        EXPECT_EQ(std::memcmp(&published, row.Bench, sizeof(GUID)), 0) << "bench: " << row.Published;
        EXPECT_TRUE(!row.Library || std::memcmp(&published, row.Library, sizeof(GUID)) == 0)
            << "library: " << row.Published;
    }
    const char* channels[3][2] = {{"{E1CC08CE-99C0-483B-8E5F-4C43358E1CE2}", "11"},
                                  {"{19286603-A9CD-433A-A495-72E5C9D97A97}", "12"},
                                  {"{EFA8FE87-C6C4-4C13-85AE-BA318AB6D345}", "33"}};
    for (int i = 0; i < 3; ++i) {
        GUID iid = Parse(channels[i][0]);
        EXPECT_EQ(std::memcmp(bench::CHANNEL_KINDS[i].Iid, &iid, sizeof(GUID)), 0) << i;
        EXPECT_EQ(bench::CHANNEL_KINDS[i].Kind1 * 10 + bench::CHANNEL_KINDS[i].Kind2, std::stoi(channels[i][1])) << i;
    }
}

TEST(Contract, CodesSizesAndOffsets)
{
    struct Row {
        const char* Name;
        uint64_t Published, Bench, Library;
    };
#define OFF(B, L, field, n) Row(#L "." #field, n, offsetof(bench::B, field), offsetof(L, field))
#define SIZE(B, L, n) Row(#L, n, sizeof(bench::B), sizeof(L))
    const Row rows[] = {
        {"IOCTL GetInfo", 0xA0003000, bench::IOCTL_GET_INFO, IOCTL_KAZ_GET_INFO},
        {"IOCTL LoadFw", 0xA0003005, bench::IOCTL_LOAD_FW, IOCTL_KAZ_LOAD_FW},
        {"IOCTL Reset", 0xA000300C, bench::IOCTL_RESET, IOCTL_KAZ_RESET},
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
        {"Setup-API names", 27, bench::SETUPAPI_NAME_COUNT, SETUPAPI_ENTRY_COUNT},
        {"CCL start entry", 586, bench::CCL_START_ENTRY, CCL_CMD_START_ENTRY},
        {"CCL stop entry", 587, bench::CCL_STOP_ENTRY, CCL_CMD_STOP_ENTRY},
        SIZE(DRIVER_INFO, DEVICE_INFO_RECORD, 140),
        OFF(DRIVER_INFO, DEVICE_INFO_RECORD, DeviceId, 4),
        OFF(DRIVER_INFO, DEVICE_INFO_RECORD, Serial, 12),
        SIZE(DEVICE_RECORD, KAZ_DEVICE_RECORD, 304),
        OFF(DEVICE_RECORD, KAZ_DEVICE_RECORD, BoardClass, 8),
        OFF(DEVICE_RECORD, KAZ_DEVICE_RECORD, Serial, 32),
        OFF(SERVER_VERSION, KAZ_SERVER_VERSION, Minor, 4),
        SIZE(FLASH_INFO, FLASH_INFO, 100),
        OFF(FLASH_INFO, FLASH_INFO, Word4, 4),
        OFF(FLASH_INFO, FLASH_INFO, Word6, 6),
        OFF(FLASH_INFO, FLASH_INFO, SectorCount, 8),
        OFF(FLASH_INFO, FLASH_INFO, Word10, 10),
        OFF(FLASH_INFO, FLASH_INFO, BaseAddress, 12),
        SIZE(SECTOR_INFO, SECTOR_INFO, 8),
        {"sector 3 address", 0x30000, 3u << 16, MakeSectorAddr(3)},
        SIZE(BAL_RECORD, KAZ_BAL_RECORD, 70),
        SIZE(CCL_SUMMARY, CCL_SUMMARY, 24),
        OFF(CCL_SUMMARY, CCL_SUMMARY, EntryCount, 2),
        SIZE(CCL_ENTRY, CCL_ENTRY, 24),
        OFF(CCL_ENTRY, CCL_ENTRY, Kind1, 12),
        OFF(CCL_ENTRY, CCL_ENTRY, Kind2, 14),
        OFF(CCL_ENTRY, CCL_ENTRY, Value, 16),
        SIZE(CCL_REQUEST, CCL_COMMAND_REQUEST, 12),
        OFF(CCL_REQUEST, CCL_COMMAND_REQUEST, Target, 4),
        OFF(CCL_REQUEST, CCL_COMMAND_REQUEST, EntryIndex, 6),
        OFF(CCL_REQUEST, CCL_COMMAND_REQUEST, Command, 8),
        SIZE(CCL_RESPONSE, CCL_COMMAND_RESPONSE, 12),
        OFF(CCL_RESPONSE, CCL_COMMAND_RESPONSE, Result, 8),
        SIZE(CHANNEL_STATUS, CHANNEL_STATUS, 8),
    };
#undef OFF
#undef SIZE
    for (const Row& row : rows) {
        EXPECT_EQ(row.Bench, row.Published) << "bench: " << row.Name;
        EXPECT_EQ(row.Library, row.Published) << "library: " << row.Name;
    }
    // Declared by the library alone: result codes, report kinds, sizes.
    const uint64_t library[][2] = {{0x80004005, KZM_E_FAIL},
                                   {0x80070057, KZM_E_INVALIDARG},
                                   {0xE001000B, KZM_E_TIMEOUT},
                                   {0xE0FE0002, KZM_E_FLASH_NOT_STARTED},
                                   {0xE0FE0003, KZM_E_TOO_MANY_SECTORS},
                                   {0xE0FE0004, KZM_E_BEYOND_FLASH},
                                   {0xE0FE0005, KZM_E_RANGE_END},
                                   {0xE0FE0006, KZM_E_ALLOC_RANGE},
                                   {0xE0FE0007, KZM_E_READ_RANGE},
                                   {0xE0FE0009, KZM_E_WRITE_RANGE},
                                   {0xE0FE000A, KZM_E_VERIFY},
                                   {0xA0FE0001, CFwInfo::NOT_FOUND},
                                   {9, CFwInfo::MARKER_SIZE},
                                   {0xFFFFFFFFFFFFFFFF, DEVICE_ID_ANY},
                                   {0, REPORT_MESSAGE},
                                   {1, REPORT_PROGRESS},
                                   {2, REPORT_NEWLINE},
                                   {3, REPORT_TRACE},
                                   {512, CReporter::LINE_SIZE},
                                   {64, CMyKazDevice::MAX_DEVICES},
                                   {4, offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath)}};
    for (const auto& row : library)
        EXPECT_EQ(row[1], row[0]) << std::hex << "library: 0x" << row[0];
}

// The vtable slot of a virtual member function (Itanium C++ ABI, as g++ and
// mingw-w64 lay it out: the pointer holds 1 + the slot's byte offset).
template <class M>
static std::ptrdiff_t Slot(M member)
{
    std::ptrdiff_t raw = 0;
    std::memcpy(&raw, &member, sizeof(raw));
    return (raw - 1) / static_cast<std::ptrdiff_t>(sizeof(void*));
}

TEST(Contract, InterfaceSlots)
{
    struct Row {
        const char* Name;
        std::ptrdiff_t Published, Bench, Library;
    };
#define ROW(I, Op, n) Row(#I "::" #Op, n, Slot(&bench::I::Op), Slot(&::I::Op))
    const Row rows[] = {ROW(IKazUnknown, QueryInterface, 0),
                        ROW(IKazUnknown, AddRef, 1),
                        ROW(IKazUnknown, Release, 2),
                        ROW(IKazDeviceManager, EnumDevices, 3),
                        ROW(IKazDeviceManager, OpenDevice, 4),
                        ROW(IKazDeviceEnum, Next, 3),
                        ROW(IKazDeviceEnum, ResetEnum, 5),
                        ROW(IKazDeviceEnum, AssignEvent, 6),
                        ROW(IKazDevice, OpenComponent, 5),
                        ROW(IKazFlashLoader, Execute, 5),
                        ROW(IKazFlashLoader, Stop, 6),
                        ROW(IKazFlashLoader, GetFlashInfo, 7),
                        ROW(IKazFlashLoader, GetSectorInfo, 8),
                        ROW(IKazFlashLoader, EraseSector, 9),
                        ROW(IKazFlashLoader, ReadSector, 10),
                        ROW(IKazFlashLoader, WriteSector, 11),
                        ROW(IKazBal, Attach, 3),
                        ROW(IKazCcl, Start, 5),
                        ROW(IKazCcl, Stop, 6),
                        ROW(IKazCcl, Command, 9),
                        ROW(IKazCcl, GetSummary, 10),
                        ROW(IKazCcl, GetEntry, 11),
                        ROW(IKazCcl, BindEntry, 12),
                        ROW(IKazChannel, AssignEvent, 5),
                        ROW(IKazChannel, GetMaxMsgLen, 9),
                        ROW(IKazChannel, GetReceiveStatus, 10),
                        ROW(IKazChannel, GetSendStatus, 11),
                        ROW(IKazChannel, GetCurrentEntry, 13),
                        ROW(IKazChannel, ReleaseEntries, 14)};
#undef ROW
    for (const Row& row : rows) {
        EXPECT_EQ(row.Bench, row.Published) << "bench: " << row.Name;
        EXPECT_EQ(row.Library, row.Published) << "library: " << row.Name;
    }
}

TEST(Contract, SetupApiNamesInBindingOrder)
{
    std::istringstream published(
        "SetupDiDestroyDeviceInfoList SetupDiEnumDeviceInfo SetupDiEnumDeviceInterfaces SetupDiOpenDevRegKey "
        "SetupDiGetClassDevsA SetupDiGetClassDevsW SetupDiGetDeviceInterfaceDetailA "
        "SetupDiGetDeviceInterfaceDetailW SetupDiSetDeviceRegistryPropertyA SetupDiSetDeviceRegistryPropertyW "
        "SetupDiGetDeviceRegistryPropertyA SetupDiGetDeviceRegistryPropertyW SetupDiGetDeviceInstallParamsA "
        "SetupDiGetDriverInfoDetailA SetupDiGetSelectedDriverA SetupOpenInfFileA SetupFindFirstLineA "
        "SetupDiCallClassInstaller SetupDiGetClassInstallParamsA SetupDiSetClassInstallParamsA "
        "SetupDiEnumDriverInfoA SetupDiSetDriverInstallParamsA SetupDiGetDriverInstallParamsA "
        "SetupDiBuildDriverInfoList SetupDiOpenClassRegKey SetupDiCreateDeviceInterfaceA "
        "SetupDiGetDeviceInstanceIdA");
    std::string name;
    for (int i = 0; i < 27 && published >> name; ++i) {
        EXPECT_EQ(bench::SETUPAPI_NAMES[i], name) << "bench, entry " << i + 1;
        EXPECT_EQ(g_SetupApiNames[i], name) << "library, entry " << i + 1;
    }
    EXPECT_FALSE(published >> name) << "27 names";
}

// The ordinals in the library's import library and the bench's KAZAPI.dll
// (their .def files) and in the bench's contract.
TEST(Contract, DeviceServerOrdinals)
{
    const std::pair<const char*, unsigned> rows[] = {{"InitializeServer", 1000},
                                                     {"GetServerVersion", 1002},
                                                     {"CreateChannelObject", 2000},
                                                     {"GetDeviceManager", 4000}};
    const unsigned contract[] = {bench::ORDINAL_INITIALIZE_SERVER, bench::ORDINAL_GET_SERVER_VERSION,
                                 bench::ORDINAL_CREATE_CHANNEL_OBJECT, bench::ORDINAL_GET_DEVICE_MANAGER};
    for (const char* def : {"src/device/kazapi.def", "simulator/kazapi.def"}) {
        std::ifstream file(std::string(KAZMIR_SOURCE_DIR) + "/" + def);
        std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        for (size_t i = 0; i < 4; ++i) {
            std::regex line(std::string(rows[i].first) + "\\s+@" + std::to_string(rows[i].second) + "\\s+NONAME\\b");
            EXPECT_TRUE(std::regex_search(text, line)) << def << ": " << rows[i].first;
            EXPECT_EQ(contract[i], rows[i].second) << "bench: " << rows[i].first;
        }
    }
}

// The bench speaks for the maker's side on its own: no header of the library.
TEST(Contract, BenchIncludesNoLibraryHeader)
{
    std::regex library("#\\s*include\\s*[\"<](frame|controller|device|modes|flash)/");
    for (const auto& entry :
         std::filesystem::recursive_directory_iterator(std::string(KAZMIR_SOURCE_DIR) + "/simulator")) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream file(entry.path());
        std::string line;
        for (int number = 1; std::getline(file, line); ++number)
            EXPECT_FALSE(std::regex_search(line, library)) << entry.path().string() << ":" << number;
    }
}
