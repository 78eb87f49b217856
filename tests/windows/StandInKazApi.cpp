// The smoke test's stand-in device server (see StandInKazApi.h).
#include "StandInKazApi.h"

#include <cstring>

namespace {

typedef uint32_t RESULT;
constexpr RESULT R_FAIL = 0x80004005;
constexpr RESULT R_NOT_LISTED = 0x80070490;
constexpr RESULT R_NOT_IMPLEMENTED = 0x80004001;

STAND_IN_STATE g_State = {};

#pragma pack(push, 1)
struct DEVICE_RECORD { // 304 bytes, as the device server lists its boards
    uint64_t DeviceId;
    GUID BoardClass;
    uint8_t Reserved[8];
    char Serial[272];
};
#pragma pack(pop)
static_assert(sizeof(DEVICE_RECORD) == 304, "device record");

// Board class 1 of the family.
constexpr GUID BOARD_CLASS_1 = {0x2219F6A0, 0x732A, 0x4750, {0xB6, 0x6F, 0x0A, 0xE7, 0x31, 0xFB, 0x40, 0xE1}};

// COM-style objects, one of each kind for the process: slots in vtable order,
// references counted in the state the host reads.
template <int32_t STAND_IN_STATE::*REFS>
struct CObject {
    virtual RESULT QueryInterface(const GUID*, void** object)
    {
        *object = nullptr;
        return R_NOT_IMPLEMENTED;
    }
    virtual uint32_t AddRef() { return static_cast<uint32_t>(++(g_State.*REFS)); }
    virtual uint32_t Release() { return static_cast<uint32_t>(--(g_State.*REFS)); }
};

struct CEnum final : CObject<&STAND_IN_STATE::EnumRefs> {
    virtual RESULT Next(uint32_t count, DEVICE_RECORD* records, uint32_t* fetched) // 3
    {
        *fetched = 0;
        if (m_bDelivered)
            return R_FAIL;
        if (count == 0)
            return 0;
        std::memset(records, 0, sizeof(DEVICE_RECORD));
        records[0].DeviceId = STAND_IN_DEVICE_ID;
        records[0].BoardClass = BOARD_CLASS_1;
        std::strcpy(records[0].Serial, "SMOKE001");
        m_bDelivered = true;
        *fetched = 1;
        return 0;
    }
    virtual RESULT Reserved4() { return R_NOT_IMPLEMENTED; } // 4
    virtual RESULT ResetEnum()                               // 5
    {
        m_bDelivered = false;
        return 0;
    }
    virtual RESULT AssignEvent(HANDLE event) // 6
    {
        ++g_State.AssignEventCalls;
        g_State.ChangeEvent = event;
        return 0;
    }
    bool m_bDelivered = false;
} g_Enum;

struct CManager final : CObject<&STAND_IN_STATE::ManagerRefs> {
    virtual RESULT EnumDevices(CEnum** deviceEnum) // 3
    {
        g_Enum.AddRef();
        *deviceEnum = &g_Enum;
        return 0;
    }
    virtual RESULT OpenDevice(const uint64_t*, void** device) // 4: no board is ever opened here
    {
        ++g_State.OpenDeviceCalls;
        *device = nullptr;
        return R_NOT_LISTED;
    }
} g_Manager;

} // namespace

extern "C" RESULT InitializeServer(void)
{
    ++g_State.InitializeCalls;
    return 0;
}

extern "C" RESULT GetServerVersion(uint32_t* version)
{
    const uint32_t values[4] = {STAND_IN_MAJOR, STAND_IN_MINOR, 0, 0};
    std::memcpy(version, values, sizeof(values));
    return 0;
}

extern "C" RESULT GetDeviceManager(CManager** manager)
{
    g_Manager.AddRef();
    *manager = &g_Manager;
    return 0;
}

extern "C" RESULT CreateChannelObject(uint64_t*, const void*, const GUID*, void** channel)
{
    *channel = nullptr;
    return R_NOT_IMPLEMENTED;
}

extern "C" __declspec(dllexport) STAND_IN_STATE* StandInState(void)
{
    return &g_State;
}
