// The server device object on the virtual bench: attaching, the snapshot of the
// device list, the searches by board class, the selection, the wait.
#include "device/MyKazDevice.h"
#include "device/SimSupport.h"

#include <cstring>

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

constexpr uint64_t NO_DEVICE = 0xFFFFFFFFFFFFFFFFull;

class ServerDevice : public CSimTest {};

// The ids in the snapshot, and in the device list, in order.
std::vector<uint64_t> SnapshotIds(const CMyKazDevice& device)
{
    std::vector<uint64_t> ids;
    for (uint32_t i = 0; i < device.GetDeviceCount(); ++i)
        ids.push_back(uint64_t{device.GetDeviceTable()[i].DeviceId}); // packed record: copied out
    return ids;
}
std::vector<uint64_t> ListedIds()
{
    std::vector<uint64_t> ids;
    for (int index : Bench::ListOrder())
        ids.push_back(Bench::BoardInfo(index).DeviceId);
    return ids;
}

uint8_t Refresh(CMyKazDevice& device, uint32_t first = 0)
{
    uint8_t change = 0xEE;
    EXPECT_EQ(device.RefreshDeviceList(first, &change), 0u);
    return change;
}

} // namespace

// Each attach step refused in turn: nothing is held beyond the steps before,
// and every operation that needs the missing part fails cleanly.
TEST_F(ServerDevice, RefusedAttachStepsLeaveAUsableObject)
{
    for (const char* step : {"GetDeviceManager", "DeviceManager.EnumDevices", "Enum.AssignEvent"}) {
        UseBench({Board(kazsim::STATE_CCL)});
        const uint64_t boardId = Bench::BoardInfo(0).DeviceId;
        Faults::Fail(step, R_INJECTED, 1);
        {
            CMyKazDevice device;
            const bool manager = std::string(step) != "GetDeviceManager";
            const bool enumerator = std::string(step) == "Enum.AssignEvent";
            uint64_t id = 0;
            EXPECT_EQ(device.SelectDevice(boardId), manager ? 0u : R_FAIL) << step;
            EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id),
                      enumerator ? 0 : R_FAIL);
            EXPECT_EQ(device.GetDeviceCount(), 0u) << step;
            EXPECT_EQ(device.WaitForArrival(50), enumerator ? R_ARRIVAL_TIMEOUT : KZMRESULT(ERROR_INVALID_HANDLE));
            device.Close();
            Faults::Fail(step, R_INJECTED, 1);
            EXPECT_EQ(device.Open(), R_INJECTED) << step;
            EXPECT_EQ(device.GetSelectedId(), NO_DEVICE) << step;
        }
        EXPECT_EQ(kazsim::LeftBehind(), "") << step;
    }
}

TEST_F(ServerDevice, RefreshComparesWithTheSnapshot)
{
    UseBench({Board(kazsim::STATE_CCL), Board(kazsim::STATE_CCL, "KZ000002"), Board(kazsim::STATE_CCL, "KZ000003")});
    CMyKazDevice device;
    EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
    Bench::MoveBoard(2, 0);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device), LIST_CONTENT_CHANGED);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
    Bench::AddBoard(Board(kazsim::STATE_CCL, "KZ000004"));
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device), LIST_MORE);
    Bench::RemoveBoard(0);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device, 1), LIST_UNCHANGED) << "a first snapshot reports nothing";
    EXPECT_EQ(SnapshotIds(device), ListedIds());

    const KAZ_DEVICE_RECORD kept = device.GetDeviceTable()[0];
    for (int board : {1, 3})
        Bench::RemoveBoard(board);
    ASSERT_TRUE(Bench::Quiesce());
    Faults::Fail("Enum.Next", R_INJECTED, 1);
    EXPECT_EQ(Refresh(device), LIST_UNCHANGED) << "a failing fetch keeps the snapshot";
    EXPECT_EQ(device.GetDeviceCount(), 3u);
    // The restart's result is not looked at: the list is read all the same.
    Faults::Fail("Enum.ResetEnum", R_INJECTED, 1);
    EXPECT_EQ(Refresh(device), LIST_FEWER);
    ASSERT_EQ(device.GetDeviceCount(), 1u);
    EXPECT_EQ(std::memcmp(&device.GetDeviceTable()[0], &kept, sizeof(kept)), 0);
    const auto* rest = reinterpret_cast<const uint8_t*>(&device.GetDeviceTable()[1]);
    EXPECT_EQ(std::vector<uint8_t>(rest, rest + sizeof(KAZ_DEVICE_RECORD) * (CMyKazDevice::MAX_DEVICES - 1)),
              std::vector<uint8_t>(sizeof(KAZ_DEVICE_RECORD) * (CMyKazDevice::MAX_DEVICES - 1), 0));
}

TEST_F(ServerDevice, FindsByClassAndExactSerial)
{
    kazsim::BoardDesc zero = Board(kazsim::STATE_CCL, "SN-1", kazsim::BOARD_CLASS_2);
    zero.DeviceId = 0;
    UseBench({zero, Board(kazsim::STATE_CCL, "sn-1", kazsim::BOARD_CLASS_1),
              Board(kazsim::STATE_CCL, "SN-1", kazsim::BOARD_CLASS_2),
              Board(kazsim::STATE_CCL, "SN-1", kazsim::BOARD_CLASS_1)});
    CMyKazDevice device;
    uint64_t key = 77, result = 99;
    ASSERT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_2, FIND_FIRST_OF_CLASS, &key, &result), 0u);
    EXPECT_EQ(result, Bench::BoardInfo(2).DeviceId) << "id 0 is skipped";
    EXPECT_EQ(key, result);
    struct {
        const GUID* boardClass;
        char serial[8];
        int board; // found, or -1: the server's "exhausted"
    } cases[] = {{&kazsim::BOARD_CLASS_1, "SN-1", 3},
                 {&kazsim::BOARD_CLASS_1, "SN-", -1},
                 {&kazsim::BOARD_CLASS_1, "SN-10", -1},
                 {&kazsim::BOARD_CLASS_3, "SN-1", -1}};
    for (auto& c : cases) {
        result = 99;
        EXPECT_EQ(device.FindDevice(c.boardClass, FIND_BY_SERIAL, c.serial, &result),
                  c.board < 0 ? kazsim::SIM_E_FAIL : 0);
        EXPECT_EQ(result, c.board < 0 ? 99u : Bench::BoardInfo(c.board).DeviceId) << c.serial;
    }
    Faults::Fail("Enum.Next", R_INJECTED, 1);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &key, &key), R_INJECTED);
    // Nor does a failing restart stop the search.
    Faults::Fail("Enum.ResetEnum", R_INJECTED, 1);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &key, &key), 0u);
    EXPECT_EQ(key, Bench::BoardInfo(1).DeviceId);
}

TEST_F(ServerDevice, SelectionIsACheckedId)
{
    UseBench({Board(kazsim::STATE_CCL), Board(kazsim::STATE_CCL, "KZ000002")});
    CMyKazDevice device;
    const uint64_t first = Bench::BoardInfo(0).DeviceId, second = Bench::BoardInfo(1).DeviceId;
    kazsim::ClearCallLog();
    EXPECT_EQ(device.SelectDevice(NO_DEVICE), R_FAIL);
    EXPECT_EQ(CountCalls("DeviceManager.OpenDevice"), 0u);
    ASSERT_EQ(device.SelectDevice(second), 0u);
    EXPECT_EQ(device.GetSelectedId(), second);
    EXPECT_EQ(device.SelectDevice(first + second + 1), kazsim::SIM_E_NOT_LISTED);
    Faults::Fail("DeviceManager.OpenDevice", R_INJECTED, 1);
    EXPECT_EQ(device.SelectDevice(first), R_INJECTED);
    EXPECT_EQ(device.GetSelectedId(), second) << "a refused selection keeps the last one";
    EXPECT_EQ(device.DeselectDevice(), 0u);
    EXPECT_EQ(device.GetSelectedId(), NO_DEVICE);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "") << "the device object of a selection is released at once";
}

TEST_F(ServerDevice, WaitEndsOnlyWhenABoardArrives)
{
    UseBench({Board(kazsim::STATE_CCL), Board(kazsim::STATE_CCL, "KZ000002")});
    CMyKazDevice device;
    EXPECT_EQ(device.WaitForArrival(0), R_ARRIVAL_TIMEOUT);
    Bench::SignalChange();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(device.WaitForArrival(80), R_ARRIVAL_TIMEOUT) << "a signal without a change";
    Bench::RemoveBoard(1);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(device.WaitForArrival(80), R_ARRIVAL_TIMEOUT) << "a board leaving";
    // A board that leaves and comes back: the leave becomes the snapshot, the
    // return ends the wait.
    Bench::SetRestartDelay(0, 150);
    const uint32_t signals = Bench::ChangeSignals();
    Bench::Restart(0, kazsim::STATE_FLASH_LOADER);
    ASSERT_EQ(device.WaitForArrival(5000), 0u);
    EXPECT_EQ(Bench::ChangeSignals() - signals, 2u);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
}
