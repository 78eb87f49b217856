// Helpers of the mode tests: fetching a mode's object from the device server
// the way the controller does, and the simulator's reference counts.
#pragma once

#include "device/SimSupport.h"

namespace kztest {

// The component of a mode pair on the board with that id, with the one
// reference the caller then holds; null when the server refuses.
template <class T>
T* OpenModeObject(uint64_t deviceId, const GUID& classId, const GUID& interfaceId)
{
    IKazDeviceManager* manager = nullptr;
    if (GetDeviceManager(&manager) != 0 || !manager)
        return nullptr;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    if (manager->OpenDevice(&deviceId, &device) == 0 && device) {
        device->OpenComponent(&classId, &interfaceId, &component);
        device->Release();
    }
    manager->Release();
    return static_cast<T*>(component);
}

inline IKazBal* OpenBal(int board = 0)
{
    return OpenModeObject<IKazBal>(kazsim::Bench::BoardInfo(board).DeviceId, KAZ_CLSID_BAL, KAZ_IID_BAL);
}

inline IKazCcl* OpenCcl(int board = 0)
{
    return OpenModeObject<IKazCcl>(kazsim::Bench::BoardInfo(board).DeviceId, KAZ_CLSID_CCL, KAZ_IID_CCL);
}

inline uint32_t BalRefs()
{
    return kazsim::Accounting().Bals.References;
}

inline uint32_t CclRefs()
{
    return kazsim::Accounting().Ccls.References;
}

inline uint32_t ChannelRefs()
{
    return kazsim::Accounting().Channels.References;
}

inline kazsim::CclEntryDesc Entry(uint16_t kind1, uint16_t kind2, uint16_t maxLen = 256, uint16_t value = 0,
                                  uint32_t depth = 8)
{
    kazsim::CclEntryDesc entry;
    entry.Kind1 = kind1;
    entry.Kind2 = kind2;
    entry.MaxMsgLen = maxLen;
    entry.Value = value;
    entry.Depth = depth;
    return entry;
}

inline kazsim::BoardDesc CclBoard(std::vector<kazsim::CclEntryDesc> entries = kazsim::DefaultCclEntries())
{
    kazsim::BoardDesc board = MakeBoard("KZ000001", kazsim::STATE_CCL);
    board.CclEntries = std::move(entries);
    return board;
}

} // namespace kztest
