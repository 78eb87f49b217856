// What the bench serves, declared from the maker's side: the boards' kernel
// driver (interface class, control codes, records), the Setup API as the
// boards' driver package presents it, and the device-server library KAZAPI
// (ordinals, objects with their slot order, identifiers, records, commands).
// The Kazmir library declares the same things on its own; the contract test
// holds both against one table of the published values.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

namespace kazsim::contract {

typedef uint32_t KZRESULT;

// ---------------------------------------------------------------------------
// Kernel driver
// ---------------------------------------------------------------------------

inline constexpr GUID DRIVER_INTERFACE_CLASS = {
    0x48E20102, 0xD37D, 0x42C8, {0xBE, 0x32, 0xF8, 0x6F, 0x4F, 0xCB, 0x2B, 0x4C}};

inline constexpr DWORD IOCTL_GET_INFO = 0xA0003000; // in 1 byte, out DRIVER_INFO
inline constexpr DWORD IOCTL_LOAD_FW = 0xA0003005;  // in 6 zero bytes, no output
inline constexpr DWORD IOCTL_RESET = 0xA000300C;    // in 1-byte selector, out 1 byte
inline constexpr DWORD GET_INFO_IN_SIZE = 1;
inline constexpr DWORD LOAD_FW_IN_SIZE = 6;
inline constexpr DWORD RESET_IN_SIZE = 1;
inline constexpr DWORD RESET_OUT_SIZE = 1;
inline constexpr uint8_t RESET_BOOT_ROM = 0;
inline constexpr uint8_t RESET_FIRMWARE = 1;

// How the driver's device files are opened: read and write, exclusive,
// existing files only, synchronous, no template.
inline constexpr DWORD OPEN_ACCESS = 0xC0000000;
inline constexpr DWORD OPEN_SHARE_MODE = 0;
inline constexpr DWORD OPEN_DISPOSITION = 3;
inline constexpr DWORD OPEN_FLAGS = 0;

inline constexpr uint32_t DEV_STATE_FLD = 1;
inline constexpr uint32_t DEV_STATE_BAL = 2;
inline constexpr uint32_t DEV_STATE_CCL = 3;
inline constexpr uint32_t DEV_STATE_ROM = 16;

#pragma pack(push, 1)
struct DRIVER_INFO {
    uint32_t State;
    uint64_t DeviceId; // unaligned
    char Serial[128];
};
#pragma pack(pop)
static_assert(sizeof(DRIVER_INFO) == 140, "GetInfo record");

// ---------------------------------------------------------------------------
// Setup API
// ---------------------------------------------------------------------------

inline constexpr unsigned SETUPAPI_NAME_COUNT = 27;
// The entry points the boards' clients bind, in their binding order.
inline constexpr const char* SETUPAPI_NAMES[SETUPAPI_NAME_COUNT] = {
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiOpenDevRegKey",
    "SetupDiGetClassDevsA",
    "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiGetDeviceInterfaceDetailW",
    "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiSetDeviceRegistryPropertyW",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiGetDeviceInstallParamsA",
    "SetupDiGetDriverInfoDetailA",
    "SetupDiGetSelectedDriverA",
    "SetupOpenInfFileA",
    "SetupFindFirstLineA",
    "SetupDiCallClassInstaller",
    "SetupDiGetClassInstallParamsA",
    "SetupDiSetClassInstallParamsA",
    "SetupDiEnumDriverInfoA",
    "SetupDiSetDriverInstallParamsA",
    "SetupDiGetDriverInstallParamsA",
    "SetupDiBuildDriverInfoList",
    "SetupDiOpenClassRegKey",
    "SetupDiCreateDeviceInterfaceA",
    "SetupDiGetDeviceInstanceIdA",
};
// Size fields of the 64-bit platform's records.
inline constexpr DWORD DEVINFO_DATA_SIZE = 32;
inline constexpr DWORD INTERFACE_DATA_SIZE = 32;
inline constexpr DWORD INTERFACE_DETAIL_SIZE = 8;
// The flags of the one device list the boards' clients ask for.
inline constexpr DWORD FLAG_PRESENT = 0x02;
inline constexpr DWORD FLAG_DEVICEINTERFACE = 0x10;

// ---------------------------------------------------------------------------
// Device server: functions, identifiers, records
// ---------------------------------------------------------------------------

inline constexpr uint16_t ORDINAL_INITIALIZE_SERVER = 1000;
inline constexpr uint16_t ORDINAL_GET_SERVER_VERSION = 1002;
inline constexpr uint16_t ORDINAL_CREATE_CHANNEL_OBJECT = 2000;
inline constexpr uint16_t ORDINAL_GET_DEVICE_MANAGER = 4000;

inline constexpr GUID CLSID_FLD = {0xDE8DA3BA, 0x0856, 0x4DEB, {0xB5, 0xF2, 0xE0, 0xB7, 0xB2, 0xFF, 0xA1, 0x4A}};
inline constexpr GUID IID_FLD = {0x89F89748, 0x0FE2, 0x4828, {0xAF, 0x44, 0xE5, 0xA3, 0xDA, 0xB4, 0x7E, 0x18}};
inline constexpr GUID CLSID_BAL = {0x3CB880F4, 0x2791, 0x40BD, {0xB8, 0x52, 0x09, 0x34, 0x9D, 0x1A, 0x7B, 0x37}};
inline constexpr GUID IID_BAL = {0xA2B958AA, 0x9188, 0x4CDB, {0x83, 0x07, 0x25, 0xD9, 0xF1, 0xF8, 0x43, 0xE9}};
inline constexpr GUID CLSID_CCL = {0xF6998E02, 0xE42A, 0x4867, {0x95, 0x4A, 0x81, 0x01, 0x45, 0x1F, 0xE0, 0x53}};
inline constexpr GUID IID_CCL = {0xDE4B8CBC, 0xCBE2, 0x4C6F, {0xA9, 0xDC, 0xD5, 0x65, 0xDF, 0x73, 0x26, 0x0C}};
inline constexpr GUID IID_SEND_CHANNEL = {0xE1CC08CE, 0x99C0, 0x483B, {0x8E, 0x5F, 0x4C, 0x43, 0x35, 0x8E, 0x1C, 0xE2}};
inline constexpr GUID IID_RECEIVE_CHANNEL = {
    0x19286603, 0xA9CD, 0x433A, {0xA4, 0x95, 0x72, 0xE5, 0xC9, 0xD9, 0x7A, 0x97}};
inline constexpr GUID IID_AUX_CHANNEL = {0xEFA8FE87, 0xC6C4, 0x4C13, {0x85, 0xAE, 0xBA, 0x31, 0x8A, 0xB6, 0xD3, 0x45}};
inline constexpr GUID IID_UNKNOWN = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// The entry kinds each channel interface serves.
struct CHANNEL_KIND {
    const GUID* Iid;
    uint16_t Kind1, Kind2;
};
inline constexpr CHANNEL_KIND CHANNEL_KINDS[] = {
    {&IID_SEND_CHANNEL, 1, 1},
    {&IID_RECEIVE_CHANNEL, 1, 2},
    {&IID_AUX_CHANNEL, 3, 3},
};

inline constexpr uint32_t CCL_START_ENTRY = 586;
inline constexpr uint32_t CCL_STOP_ENTRY = 587;
inline constexpr uint16_t CCL_TARGET_ALL = 0xFFFF;

#pragma pack(push, 1)
struct DEVICE_RECORD {
    uint64_t DeviceId;
    GUID BoardClass;
    uint8_t ServerBytes[8];
    char Serial[272];
};
static_assert(sizeof(DEVICE_RECORD) == 304, "device record");

struct SERVER_VERSION {
    uint32_t Major, Minor, Build, Reserved;
};

struct FLASH_INFO {
    uint32_t FlashSize;
    uint16_t Word4, Word6, SectorCount, Word10;
    uint32_t BaseAddress;
    uint8_t Rest[84];
};
static_assert(sizeof(FLASH_INFO) == 100, "FLASH_INFO");

struct SECTOR_INFO {
    uint32_t Size;
    uint32_t Offset;
};
static_assert(sizeof(SECTOR_INFO) == 8, "SECTOR_INFO");

// The sector number in bits 16 to 31, low bits 0.
typedef uint32_t SECTOR_ADDR;

// Handed to the BAL object when it is taken over: 70 zero bytes.
struct BAL_RECORD {
    uint8_t Bytes[70];
};

struct CCL_SUMMARY {
    uint16_t Reserved0;
    uint16_t EntryCount;
    uint8_t Rest[20];
};
static_assert(sizeof(CCL_SUMMARY) == 24, "CCL summary");

struct CCL_ENTRY {
    uint8_t ServerBytes[12];
    uint16_t Kind1, Kind2, Value;
    uint8_t Rest[6];
};
static_assert(sizeof(CCL_ENTRY) == 24, "CCL entry");

struct CCL_REQUEST {
    uint32_t Size; // 12
    uint16_t Target;
    uint16_t EntryIndex;
    uint32_t Command;
};
struct CCL_RESPONSE {
    uint32_t Size; // 12, set by the caller
    uint32_t Reserved;
    uint32_t Result;
};
static_assert(sizeof(CCL_REQUEST) == 12 && sizeof(CCL_RESPONSE) == 12, "command records");

struct CHANNEL_STATUS {
    uint16_t Available;
    uint8_t Rest[6];
};
static_assert(sizeof(CHANNEL_STATUS) == 8, "channel status");
#pragma pack(pop)

// ---------------------------------------------------------------------------
// Device server: objects, in slot order
// ---------------------------------------------------------------------------

struct IKazUnknown {
    virtual KZRESULT QueryInterface(const GUID* iid, void** object) = 0; // 0
    virtual uint32_t AddRef() = 0;                                       // 1
    virtual uint32_t Release() = 0;                                      // 2
};

struct IKazDeviceEnum : IKazUnknown {
    virtual KZRESULT Next(uint32_t count, DEVICE_RECORD* records, uint32_t* fetched) = 0; // 3
    virtual KZRESULT Reserved4() = 0;                                                     // 4
    virtual KZRESULT ResetEnum() = 0;                                                     // 5
    virtual KZRESULT AssignEvent(HANDLE changeEvent) = 0;                                 // 6
};

struct IKazDevice;

struct IKazDeviceManager : IKazUnknown {
    virtual KZRESULT EnumDevices(IKazDeviceEnum** deviceEnum) = 0;                  // 3
    virtual KZRESULT OpenDevice(const uint64_t* deviceId, IKazDevice** device) = 0; // 4
};

struct IKazDevice : IKazUnknown {
    virtual KZRESULT Reserved3() = 0;                                                                          // 3
    virtual KZRESULT Reserved4() = 0;                                                                          // 4
    virtual KZRESULT OpenComponent(const GUID* classId, const GUID* interfaceId, IKazUnknown** component) = 0; // 5
};

struct IKazFlashLoader : IKazUnknown {
    virtual KZRESULT Reserved3() = 0;                                                         // 3
    virtual KZRESULT Reserved4() = 0;                                                         // 4
    virtual KZRESULT Execute(uint32_t arg1, uint32_t arg2) = 0;                               // 5
    virtual KZRESULT Stop() = 0;                                                              // 6
    virtual KZRESULT GetFlashInfo(FLASH_INFO* info) = 0;                                      // 7
    virtual KZRESULT GetSectorInfo(SECTOR_ADDR sector, SECTOR_INFO* info) = 0;                // 8
    virtual KZRESULT EraseSector(SECTOR_ADDR sector) = 0;                                     // 9
    virtual KZRESULT ReadSector(SECTOR_ADDR sector, uint8_t* buffer, uint32_t size) = 0;      // 10
    virtual KZRESULT WriteSector(SECTOR_ADDR sector, const uint8_t* data, uint32_t size) = 0; // 11
};

struct IKazBal : IKazUnknown {
    virtual KZRESULT Attach(BAL_RECORD* record) = 0; // 3
};

struct IKazCcl : IKazUnknown {
    virtual KZRESULT Reserved3() = 0;                                                 // 3
    virtual KZRESULT Reserved4() = 0;                                                 // 4
    virtual KZRESULT Start(uint32_t arg1, uint32_t arg2, uint32_t arg3) = 0;          // 5
    virtual KZRESULT Stop() = 0;                                                      // 6
    virtual KZRESULT Reserved7() = 0;                                                 // 7
    virtual KZRESULT Reserved8() = 0;                                                 // 8
    virtual KZRESULT Command(const CCL_REQUEST* request, CCL_RESPONSE* response) = 0; // 9
    virtual KZRESULT GetSummary(CCL_SUMMARY* summary) = 0;                            // 10
    virtual KZRESULT GetEntry(uint16_t index, CCL_ENTRY* entry) = 0;                  // 11
    virtual KZRESULT BindEntry(uint16_t index, uint64_t* creationField) = 0;          // 12
};

struct IKazChannel : IKazUnknown {
    virtual KZRESULT Reserved3() = 0;                                              // 3
    virtual KZRESULT Reserved4() = 0;                                              // 4
    virtual KZRESULT AssignEvent(HANDLE event) = 0;                                // 5
    virtual KZRESULT Reserved6() = 0;                                              // 6
    virtual KZRESULT Reserved7() = 0;                                              // 7
    virtual KZRESULT Reserved8() = 0;                                              // 8
    virtual KZRESULT GetMaxMsgLen(uint16_t* maxLength) = 0;                        // 9
    virtual KZRESULT GetReceiveStatus(CHANNEL_STATUS* status) = 0;                 // 10
    virtual KZRESULT GetSendStatus(CHANNEL_STATUS* status) = 0;                    // 11
    virtual KZRESULT Reserved12() = 0;                                             // 12
    virtual KZRESULT GetCurrentEntry(uint8_t** entry, CHANNEL_STATUS* status) = 0; // 13
    virtual KZRESULT ReleaseEntries(uint32_t count) = 0;                           // 14
};

} // namespace kazsim::contract
