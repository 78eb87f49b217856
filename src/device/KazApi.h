// The interface of the maker's device-server library KAZAPI.dll: its four
// functions (imported by ordinal on Windows) and the COM-style objects it hands
// out. Slot order is the vtable order and must not change: operation 0 is
// QueryInterface, 1 AddRef, 2 Release, then each interface's own operations at
// the positions given. Slots the library never calls are named ReservedN.
//
// Every operation returns a 32-bit result code, 0 for success (AddRef and
// Release return the new reference count).
#pragma once

#include "kazmir.h"
#include "platform/Platform.h"

#include <cstdint>
#include <type_traits>

// The device server's own code type, used only in the declarations below. Its
// codes pass unchanged up to the exports, so the library holds them as
// KZMRESULT from the first caller on; this is the one place the two meet.
typedef uint32_t KZRESULT;
static_assert(std::is_same_v<KZRESULT, KZMRESULT>, "server codes pass to the host unchanged");

#pragma pack(push, 1)

// One entry of the device server's device list (304 bytes). The library reads
// DeviceId, BoardClass and Serial; the rest belongs to the server.
struct KAZ_DEVICE_RECORD {
    uint64_t DeviceId;
    GUID BoardClass;
    uint8_t Reserved[8];
    char Serial[272];
};
static_assert(sizeof(KAZ_DEVICE_RECORD) == 304, "device record is 304 bytes");

// GetServerVersion's record; the first two fields are major and minor.
struct KAZ_SERVER_VERSION {
    uint32_t Major;
    uint32_t Minor;
    uint32_t Build;
    uint32_t Reserved;
};

// The flash loader's description of the flash (100 bytes reserved; the
// library reads the first 16).
struct FLASH_INFO {
    uint32_t Reserved0;
    uint16_t Word4;
    uint16_t Word6;
    uint16_t SectorCount;
    uint16_t Word10;
    uint32_t BaseAddress;
    uint8_t Reserved16[84];
};
static_assert(sizeof(FLASH_INFO) == 100, "FLASH_INFO reserves 100 bytes");

struct SECTOR_INFO {
    uint32_t Size;
    uint32_t Reserved;
};
static_assert(sizeof(SECTOR_INFO) == 8, "SECTOR_INFO is 8 bytes");

// A sector as the flash loader addresses it: the sector number in bits 16-31.
typedef uint32_t SECTOR_ADDR;
inline SECTOR_ADDR MakeSectorAddr(uint16_t sector)
{
    return static_cast<SECTOR_ADDR>(sector) << 16;
}

// The record handed to the BAL object when it is taken over (all zero).
struct KAZ_BAL_RECORD {
    uint8_t Bytes[70];
};

// The CCL object's summary of its entry list (at most 24 bytes).
struct CCL_SUMMARY {
    uint16_t Reserved0;
    uint16_t EntryCount;
    uint8_t Reserved4[20];
};
static_assert(sizeof(CCL_SUMMARY) == 24, "CCL summary is 24 bytes");

// One entry of the CCL object's list (24 bytes).
struct CCL_ENTRY {
    uint8_t Reserved0[12];
    uint16_t Kind1;
    uint16_t Kind2;
    uint16_t Value;
    uint8_t Reserved18[6];
};
static_assert(sizeof(CCL_ENTRY) == 24, "CCL entry is 24 bytes");

// The command exchanged through the CCL object's operation 9.
struct CCL_COMMAND_REQUEST {
    uint32_t Size;   // 12
    uint16_t Target; // 0xFFFF
    uint16_t EntryIndex;
    uint32_t Command; // CCL_CMD_START_ENTRY or CCL_CMD_STOP_ENTRY
};
struct CCL_COMMAND_RESPONSE {
    uint32_t Size; // 12, set by the caller
    uint32_t Reserved;
    uint32_t Result; // the command's result code
};
static_assert(sizeof(CCL_COMMAND_REQUEST) == 12 && sizeof(CCL_COMMAND_RESPONSE) == 12, "command records");

// A channel's status (at most 8 bytes); Available 0 means no entry now.
struct CHANNEL_STATUS {
    uint16_t Available;
    uint8_t Reserved2[6];
};
static_assert(sizeof(CHANNEL_STATUS) == 8, "channel status is 8 bytes");

#pragma pack(pop)

constexpr uint32_t CCL_CMD_START_ENTRY = 586;
constexpr uint32_t CCL_CMD_STOP_ENTRY = 587;

// Operations 0 to 2 of every object.
struct IKazUnknown {
    virtual KZRESULT QueryInterface(const GUID* iid, void** object) = 0; // 0
    virtual uint32_t AddRef() = 0;                                       // 1
    virtual uint32_t Release() = 0;                                      // 2
};

struct IKazDeviceEnum : IKazUnknown {
    // Fetches up to count records; 0 while records are delivered (fetched may
    // be 0), non-zero once the list is exhausted.
    virtual KZRESULT Next(uint32_t count, KAZ_DEVICE_RECORD* records, uint32_t* fetched) = 0; // 3
    virtual KZRESULT Reserved4() = 0;                                                         // 4
    virtual KZRESULT ResetEnum() = 0;                                                         // 5
    virtual KZRESULT AssignEvent(HANDLE changeEvent) = 0;                                     // 6
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

// FLD object: the board's flash loader.
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

// BAL object: the operating firmware's basic access layer.
struct IKazBal : IKazUnknown {
    virtual KZRESULT Attach(KAZ_BAL_RECORD* record) = 0; // 3
};

// CCL object: the operating firmware's entry list and commands.
struct IKazCcl : IKazUnknown {
    virtual KZRESULT Reserved3() = 0;                                                                 // 3
    virtual KZRESULT Reserved4() = 0;                                                                 // 4
    virtual KZRESULT Start(uint32_t arg1, uint32_t arg2, uint32_t arg3) = 0;                          // 5
    virtual KZRESULT Stop() = 0;                                                                      // 6
    virtual KZRESULT Reserved7() = 0;                                                                 // 7
    virtual KZRESULT Reserved8() = 0;                                                                 // 8
    virtual KZRESULT Command(const CCL_COMMAND_REQUEST* request, CCL_COMMAND_RESPONSE* response) = 0; // 9
    virtual KZRESULT GetSummary(CCL_SUMMARY* summary) = 0;                                            // 10
    virtual KZRESULT GetEntry(uint16_t index, CCL_ENTRY* entry) = 0;                                  // 11
    virtual KZRESULT BindEntry(uint16_t index, uint64_t* creationField) = 0;                          // 12
};

// Channel object: a queue of entries of the channel's maximum message length.
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

// Identifiers of the mode objects (class, interface) and channel interfaces.
constexpr GUID KAZ_CLSID_FLD = {0xDE8DA3BA, 0x0856, 0x4DEB, {0xB5, 0xF2, 0xE0, 0xB7, 0xB2, 0xFF, 0xA1, 0x4A}};
constexpr GUID KAZ_IID_FLD = {0x89F89748, 0x0FE2, 0x4828, {0xAF, 0x44, 0xE5, 0xA3, 0xDA, 0xB4, 0x7E, 0x18}};
constexpr GUID KAZ_CLSID_BAL = {0x3CB880F4, 0x2791, 0x40BD, {0xB8, 0x52, 0x09, 0x34, 0x9D, 0x1A, 0x7B, 0x37}};
constexpr GUID KAZ_IID_BAL = {0xA2B958AA, 0x9188, 0x4CDB, {0x83, 0x07, 0x25, 0xD9, 0xF1, 0xF8, 0x43, 0xE9}};
constexpr GUID KAZ_CLSID_CCL = {0xF6998E02, 0xE42A, 0x4867, {0x95, 0x4A, 0x81, 0x01, 0x45, 0x1F, 0xE0, 0x53}};
constexpr GUID KAZ_IID_CCL = {0xDE4B8CBC, 0xCBE2, 0x4C6F, {0xA9, 0xDC, 0xD5, 0x65, 0xDF, 0x73, 0x26, 0x0C}};
constexpr GUID KAZ_IID_SEND_CHANNEL = {0xE1CC08CE, 0x99C0, 0x483B, {0x8E, 0x5F, 0x4C, 0x43, 0x35, 0x8E, 0x1C, 0xE2}};
constexpr GUID KAZ_IID_RECEIVE_CHANNEL = {0x19286603, 0xA9CD, 0x433A, {0xA4, 0x95, 0x72, 0xE5, 0xC9, 0xD9, 0x7A, 0x97}};
constexpr GUID KAZ_IID_AUX_CHANNEL = {0xEFA8FE87, 0xC6C4, 0x4C13, {0x85, 0xAE, 0xBA, 0x31, 0x8A, 0xB6, 0xD3, 0x45}};

// The four functions of the device-server library (ordinals 1000, 1002, 4000
// and 2000 on Windows).
#ifndef KAZAPI_FUNCTION
#define KAZAPI_FUNCTION extern "C"
#endif
KAZAPI_FUNCTION KZRESULT InitializeServer(void);
KAZAPI_FUNCTION KZRESULT GetServerVersion(KAZ_SERVER_VERSION* version);
KAZAPI_FUNCTION KZRESULT GetDeviceManager(IKazDeviceManager** manager);
KAZAPI_FUNCTION KZRESULT CreateChannelObject(uint64_t* creationField, const CCL_ENTRY* entry, const GUID* interfaceId,
                                             IKazChannel** channel);
