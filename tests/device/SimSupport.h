// Shared helpers of the device and mode tests: a fixture that puts a fresh
// bench up for every case and binds the Setup API once, the call log, and the
// mode objects fetched the way the controller does.
#pragma once

#include "device/KazApi.h"
#include "device/SetupApiTable.h"
#include "kazsim/Bench.h"
#include "support/SimCalls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kztest {

constexpr KZMRESULT R_FAIL = 0x80004005;
constexpr KZMRESULT R_NO_HANDLE = 0x80070057;
constexpr KZMRESULT R_ARRIVAL_TIMEOUT = 0xE001000B;
constexpr KZMRESULT R_INJECTED = 0xC0DE0001; // a code no real layer gives
constexpr uint32_t WIN_INJECTED = 1234;      // a last-error value no real call gives here

class CSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        static HMODULE s_Module = BindSetupApi(); // for the process, as the library's initialisation does
        ASSERT_NE(s_Module, nullptr);
        ASSERT_EQ(InitializeServer(), 0u);
        UseBench({});
    }
    void TearDown() override { kazsim::Bench::Quiesce(); }

    // A bench of these boards, no fault armed, the simulator idle, a clean log
    // and a new accounting baseline.
    static void UseBench(std::vector<kazsim::BoardDesc> boards)
    {
        kazsim::Faults::Clear();
        kazsim::BenchDesc desc = kazsim::BenchDesc::Empty();
        desc.Boards = std::move(boards);
        kazsim::Bench::Reset(desc);
        ASSERT_TRUE(kazsim::Bench::Quiesce());
        kazsim::ClearCallLog();
        kazsim::MarkBaseline();
    }
};

// The board's object of a mode pair with the one reference the caller then
// holds; null when the server refuses.
template <class T>
T* OpenModeObject(int board, const GUID& classId, const GUID& interfaceId)
{
    uint64_t deviceId = kazsim::Bench::BoardInfo(board).DeviceId;
    IKazDeviceManager* manager = nullptr;
    if (GetDeviceManager(&manager) != 0)
        return nullptr;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    if (manager->OpenDevice(&deviceId, &device) == 0) {
        device->OpenComponent(&classId, &interfaceId, &component);
        device->Release();
    }
    manager->Release();
    return static_cast<T*>(component);
}
inline IKazBal* OpenBal()
{
    return OpenModeObject<IKazBal>(0, KAZ_CLSID_BAL, KAZ_IID_BAL);
}
inline IKazCcl* OpenCcl()
{
    return OpenModeObject<IKazCcl>(0, KAZ_CLSID_CCL, KAZ_IID_CCL);
}
inline uint32_t BalRefs()
{
    return kazsim::Accounting().Bals.References;
}
inline uint32_t CclRefs()
{
    return kazsim::Accounting().Ccls.References;
}

inline kazsim::CclEntryDesc Entry(uint16_t kind1, uint16_t kind2, uint16_t maxLen = 256, uint16_t value = 0)
{
    return {kind1, kind2, maxLen, value};
}

inline kazsim::BoardDesc CclBoard(std::vector<kazsim::CclEntryDesc> entries = kazsim::DefaultCclEntries())
{
    kazsim::BoardDesc board = Board(kazsim::STATE_CCL);
    board.CclEntries = std::move(entries);
    return board;
}

} // namespace kztest
