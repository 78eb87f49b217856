// The smoke test's stand-in device server (see StandInKazApi.h).
#include "StandInKazApi.h"

#include <cstring>

namespace {

typedef uint32_t RESULT;
constexpr RESULT R_OK = 0;
constexpr RESULT R_FAIL = 0x80004005;
constexpr RESULT R_POINTER = 0x80004003;
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

// COM-style objects: slots in vtable order.
struct IUnknownSlots {
    virtual RESULT QueryInterface(const GUID*, void**) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;
};

class CEnum final : public IUnknownSlots {
public:
    RESULT QueryInterface(const GUID*, void** object) override
    {
        if (object)
            *object = nullptr;
        return R_NOT_IMPLEMENTED;
    }
    uint32_t AddRef() override
    {
        ++m_Refs;
        return static_cast<uint32_t>(++g_State.EnumRefs);
    }
    uint32_t Release() override
    {
        int32_t left = --g_State.EnumRefs;
        if (m_Refs-- == 1)
            delete this;
        return static_cast<uint32_t>(left);
    }
    virtual RESULT Next(uint32_t count, DEVICE_RECORD* records, uint32_t* fetched) // 3
    {
        if (fetched)
            *fetched = 0;
        if (count > 0 && !records)
            return R_POINTER;
        if (m_bDelivered)
            return R_FAIL;
        if (count == 0)
            return R_OK;
        std::memset(records, 0, sizeof(DEVICE_RECORD));
        records[0].DeviceId = STAND_IN_DEVICE_ID;
        records[0].BoardClass = BOARD_CLASS_1;
        std::strcpy(records[0].Serial, "SMOKE001");
        m_bDelivered = true;
        if (fetched)
            *fetched = 1;
        return R_OK;
    }
    virtual RESULT Reserved4() { return R_NOT_IMPLEMENTED; } // 4
    virtual RESULT ResetEnum()                                  // 5
    {
        m_bDelivered = false;
        return R_OK;
    }
    virtual RESULT AssignEvent(HANDLE event) // 6
    {
        ++g_State.AssignEventCalls;
        g_State.ChangeEvent = event;
        return R_OK;
    }

    int m_Refs = 1;

private:
    bool m_bDelivered = false;
};

class CManager final : public IUnknownSlots {
public:
    RESULT QueryInterface(const GUID*, void** object) override
    {
        if (object)
            *object = nullptr;
        return R_NOT_IMPLEMENTED;
    }
    uint32_t AddRef() override { return static_cast<uint32_t>(++g_State.ManagerRefs); }
    uint32_t Release() override { return static_cast<uint32_t>(--g_State.ManagerRefs); }
    virtual RESULT EnumDevices(CEnum** deviceEnum) // 3
    {
        ++g_State.EnumDevicesCalls;
        if (!deviceEnum)
            return R_POINTER;
        *deviceEnum = new CEnum;
        ++g_State.EnumRefs;
        return R_OK;
    }
    virtual RESULT OpenDevice(const uint64_t*, void** device) // 4: no board is ever opened here
    {
        ++g_State.OpenDeviceCalls;
        if (device)
            *device = nullptr;
        return R_NOT_LISTED;
    }
};

CManager g_Manager; // one per process, as the device server keeps it

} // namespace

extern "C" RESULT InitializeServer(void)
{
    ++g_State.InitializeCalls;
    return R_OK;
}

extern "C" RESULT GetServerVersion(uint32_t* version)
{
    ++g_State.VersionCalls;
    if (!version)
        return R_POINTER;
    version[0] = STAND_IN_MAJOR;
    version[1] = STAND_IN_MINOR;
    version[2] = 0;
    version[3] = 0;
    return R_OK;
}

extern "C" RESULT GetDeviceManager(CManager** manager)
{
    ++g_State.ManagerCalls;
    if (!manager)
        return R_POINTER;
    g_Manager.AddRef();
    *manager = &g_Manager;
    return R_OK;
}

extern "C" RESULT CreateChannelObject(uint64_t*, const void*, const GUID*, void** channel)
{
    ++g_State.ChannelCalls;
    if (channel)
        *channel = nullptr;
    return R_NOT_IMPLEMENTED;
}

extern "C" __declspec(dllexport) STAND_IN_STATE* StandInState(void)
{
    return &g_State;
}
