// The server device object on the virtual bench: attaching, the snapshot of
// the device list and its comparisons, the searches by board class, the
// selection, and the wait for a restarted board.
#include "device/MyKazDevice.h"
#include "device/SimSupport.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

constexpr uint64_t NO_DEVICE = 0xFFFFFFFFFFFFFFFFull;

bool AllZero(const void* bytes, size_t size)
{
    const auto* p = static_cast<const uint8_t*>(bytes);
    for (size_t i = 0; i < size; ++i)
        if (p[i] != 0)
            return false;
    return true;
}

// The ids in the snapshot, in order.
std::vector<uint64_t> SnapshotIds(const CMyKazDevice& device)
{
    std::vector<uint64_t> ids;
    for (uint32_t i = 0; i < device.GetDeviceCount(); ++i) {
        const uint64_t id = device.GetDeviceTable()[i].DeviceId; // packed record: copied out
        ids.push_back(id);
    }
    return ids;
}

std::vector<uint64_t> ListedIds()
{
    std::vector<uint64_t> ids;
    for (int index : Bench::ListOrder())
        ids.push_back(Bench::BoardInfo(index).DeviceId);
    return ids;
}

uint8_t Refresh(CMyKazDevice& device)
{
    uint8_t change = 0xEE;
    EXPECT_EQ(device.RefreshDeviceList(0, &change), 0u);
    return change;
}

class ServerDevice : public CSimTest {};
class ServerSnapshot : public CSimTest {};
class ServerFind : public CSimTest {};
class ServerWait : public CSimTest {};

} // namespace

// --- attaching ---------------------------------------------------------------

TEST_F(ServerDevice, ConstructionAttachesAndDestructionGivesEverythingBack)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_BAL)});
    const kazsim::AccountingInfo before = kazsim::Accounting();
    {
        CMyKazDevice device;
        EXPECT_NE(device.GetDeviceManager(), nullptr);
        EXPECT_EQ(device.GetSelectedId(), NO_DEVICE);
        EXPECT_EQ(SnapshotIds(device), ListedIds());
        const kazsim::AccountingInfo held = kazsim::Accounting();
        EXPECT_EQ(held.DeviceManagers.References, before.DeviceManagers.References + 1);
        EXPECT_EQ(held.Enumerators.References, before.Enumerators.References + 1);
        EXPECT_EQ(held.Events, before.Events + 1);
        EXPECT_EQ(CountCalls("Enum.AssignEvent"), 1);
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(ServerDevice, CloseIsRepeatableAndOpenAttachesAgain)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CMyKazDevice device;
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
    EXPECT_EQ(device.GetDeviceManager(), nullptr);
    // Without an attachment every operation fails cleanly.
    uint64_t id = 0;
    EXPECT_EQ(device.SelectDevice(Bench::BoardInfo(0).DeviceId), R_FAIL);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), R_FAIL);
    EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
    EXPECT_EQ(device.WaitForArrival(10), static_cast<KZRESULT>(ERROR_INVALID_HANDLE));

    ASSERT_EQ(device.Open(), 0u);
    // Opening twice does not hold anything twice.
    ASSERT_EQ(device.Open(), 0u);
    EXPECT_EQ(kazsim::Accounting().Enumerators.References, kazsim::AccountingBaseline().Enumerators.References + 1);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), 0u);
    EXPECT_EQ(id, Bench::BoardInfo(0).DeviceId);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(ServerDevice, FailedAttachStepsAreGivenBackAndLeaveAUsableObject)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    const uint64_t boardId = Bench::BoardInfo(0).DeviceId;
    uint64_t id = 0;

    // No manager: nothing is held, every operation fails.
    Faults::Fail("GetDeviceManager", R_INJECTED, 1);
    {
        CMyKazDevice device;
        EXPECT_EQ(device.GetDeviceManager(), nullptr);
        EXPECT_EQ(device.SelectDevice(boardId), R_FAIL);
        EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), R_FAIL);
        EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
        EXPECT_EQ(device.GetDeviceCount(), 0u);
        EXPECT_EQ(device.WaitForArrival(10), static_cast<KZRESULT>(ERROR_INVALID_HANDLE));
        Faults::Fail("GetDeviceManager", R_INJECTED, 1);
        EXPECT_EQ(device.Open(), R_INJECTED);
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");

    // No enumerator: the manager is held, so a selection still works.
    Faults::Fail("DeviceManager.EnumDevices", R_INJECTED, 1);
    {
        CMyKazDevice device;
        EXPECT_NE(device.GetDeviceManager(), nullptr);
        EXPECT_EQ(device.SelectDevice(boardId), 0u);
        EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), R_FAIL);
        EXPECT_EQ(device.WaitForArrival(10), static_cast<KZRESULT>(ERROR_INVALID_HANDLE));
        device.Close();
        Faults::Fail("DeviceManager.EnumDevices", R_INJECTED, 1);
        EXPECT_EQ(device.Open(), R_INJECTED);
        EXPECT_EQ(device.GetSelectedId(), NO_DEVICE); // a failed attach deselects
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");

    // The server never got the event: no first snapshot, and changes are
    // never seen by the wait.
    Faults::Fail("Enum.AssignEvent", R_INJECTED, 1);
    {
        CMyKazDevice device;
        EXPECT_EQ(device.GetDeviceCount(), 0u);
        EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), 0u);
        Bench::AddBoard(MakeBoard("KZ000002", kazsim::STATE_CCL));
        EXPECT_EQ(device.WaitForArrival(100), R_ARRIVAL_TIMEOUT);
        device.Close();
        Faults::Fail("Enum.AssignEvent", R_INJECTED, 1);
        EXPECT_EQ(device.Open(), R_INJECTED);
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(ServerDevice, FailingFirstSnapshotDoesNotFailTheAttach)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    for (const char* operation : {"Enum.ResetEnum", "Enum.Next"}) {
        Faults::Fail(operation, R_INJECTED, 1);
        CMyKazDevice device;
        EXPECT_EQ(Faults::Fired(operation), 1u) << operation;
        EXPECT_NE(device.GetDeviceManager(), nullptr);
        EXPECT_EQ(device.GetDeviceCount(), 0u) << operation;
        // The next refresh sees the board as new.
        EXPECT_EQ(Refresh(device), LIST_MORE) << operation;
        Faults::Clear();
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- selection ---------------------------------------------------------------

TEST_F(ServerDevice, SelectionIsACheckedId)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CMyKazDevice device;
    const uint64_t first = Bench::BoardInfo(0).DeviceId;
    const uint64_t second = Bench::BoardInfo(1).DeviceId;

    kazsim::ClearCallLog();
    EXPECT_EQ(device.SelectDevice(NO_DEVICE), R_FAIL);
    EXPECT_EQ(CountCalls("DeviceManager.OpenDevice"), 0);

    ASSERT_EQ(device.SelectDevice(second), 0u);
    EXPECT_EQ(device.GetSelectedId(), second);
    // The device object was released at once.
    EXPECT_EQ(kazsim::Accounting().Devices.References, kazsim::AccountingBaseline().Devices.References);

    // An id the server does not list: its code, the selection untouched.
    EXPECT_EQ(device.SelectDevice(first + second + 1), kazsim::SIM_E_NOT_LISTED);
    EXPECT_EQ(device.GetSelectedId(), second);
    Faults::Fail("DeviceManager.OpenDevice", R_INJECTED, 1);
    EXPECT_EQ(device.SelectDevice(first), R_INJECTED);
    EXPECT_EQ(device.GetSelectedId(), second);

    uint64_t selected = 0;
    EXPECT_EQ(device.GetSelectedDevice(&selected), 0u);
    EXPECT_EQ(selected, second);
    EXPECT_EQ(device.GetSelectedDevice(nullptr), 0u);
    EXPECT_EQ(device.DeselectDevice(), 0u);
    EXPECT_EQ(device.GetSelectedId(), NO_DEVICE);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- the snapshot -------------------------------------------------------------

TEST_F(ServerSnapshot, FewerRecordsLeaveTheRestOfTheTableZero)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CMyKazDevice device;
    ASSERT_EQ(device.GetDeviceCount(), 2u);
    const KAZ_DEVICE_RECORD kept = device.GetDeviceTable()[0];
    Bench::RemoveBoard(1);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device), LIST_FEWER);
    ASSERT_EQ(device.GetDeviceCount(), 1u);
    EXPECT_EQ(std::memcmp(&device.GetDeviceTable()[0], &kept, sizeof(kept)), 0);
    EXPECT_TRUE(AllZero(&device.GetDeviceTable()[1], sizeof(KAZ_DEVICE_RECORD) * (CMyKazDevice::MAX_DEVICES - 1)));
}

TEST_F(ServerSnapshot, SameRecordsGiveNoChangeReorderedGiveContentChanged)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL),
              MakeBoard("KZ000003", kazsim::STATE_CCL)});
    CMyKazDevice device;
    EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
    EXPECT_EQ(SnapshotIds(device), ListedIds());

    Bench::MoveBoard(2, 0);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device), LIST_CONTENT_CHANGED);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
    EXPECT_EQ(Refresh(device), LIST_UNCHANGED);

    Bench::AddBoard(MakeBoard("KZ000004", kazsim::STATE_CCL));
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Refresh(device), LIST_MORE);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
    EXPECT_EQ(device.GetDeviceCount(), 4u);

    // A first snapshot replaces the table and reports nothing.
    Bench::RemoveBoard(0);
    ASSERT_TRUE(Bench::Quiesce());
    uint8_t change = 0xEE;
    EXPECT_EQ(device.RefreshDeviceList(1, &change), 0u);
    EXPECT_EQ(change, LIST_UNCHANGED);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
    EXPECT_EQ(device.RefreshDeviceList(0, nullptr), 0u);
}

TEST_F(ServerSnapshot, FailingReadLeavesTheSnapshot)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CMyKazDevice device;
    const std::vector<uint64_t> before = SnapshotIds(device);
    Bench::RemoveBoard(0);
    ASSERT_TRUE(Bench::Quiesce());
    for (const char* operation : {"Enum.ResetEnum", "Enum.Next"}) {
        Faults::Fail(operation, R_INJECTED, 1);
        EXPECT_EQ(Refresh(device), LIST_UNCHANGED) << operation;
        EXPECT_EQ(SnapshotIds(device), before) << operation;
    }
    EXPECT_EQ(Refresh(device), LIST_FEWER);
}

namespace {

// An enumerator that claims more records than it was asked for.
class COverclaimingEnum final : public IKazDeviceEnum {
public:
    explicit COverclaimingEnum(IKazDeviceEnum* inner) : m_pInner(inner) {}
    KZRESULT QueryInterface(const GUID*, void**) override { return R_FAIL; }
    uint32_t AddRef() override { return ++m_Refs; }
    uint32_t Release() override
    {
        if (--m_Refs != 0)
            return m_Refs;
        m_pInner->Release();
        delete this;
        return 0;
    }
    KZRESULT Next(uint32_t count, KAZ_DEVICE_RECORD* records, uint32_t* fetched) override
    {
        KZRESULT result = m_pInner->Next(count, records, fetched);
        if (result == 0 && *fetched == count)
            *fetched = count + 36;
        return result;
    }
    KZRESULT Reserved4() override { return m_pInner->Reserved4(); }
    KZRESULT ResetEnum() override { return m_pInner->ResetEnum(); }
    KZRESULT AssignEvent(HANDLE changeEvent) override { return m_pInner->AssignEvent(changeEvent); }

private:
    IKazDeviceEnum* m_pInner;
    uint32_t m_Refs = 1;
};

class COverclaimedDevice : public CMyKazDevice {
public:
    COverclaimedDevice() { m_DeviceEnum = new COverclaimingEnum(m_DeviceEnum); }
};

} // namespace

TEST_F(ServerSnapshot, AtMost64RecordsAreSeenEvenWhenTheServerClaimsMore)
{
    std::vector<kazsim::BoardDesc> boards;
    for (int i = 0; i < 66; ++i)
        boards.push_back(MakeBoard("KZ" + std::to_string(1000 + i), kazsim::STATE_CCL));
    UseBench(boards);
    std::vector<uint64_t> first64 = ListedIds();
    first64.resize(CMyKazDevice::MAX_DEVICES);
    {
        CMyKazDevice device;
        EXPECT_EQ(SnapshotIds(device), first64);
        // A device beyond the first 64 leaving goes unseen.
        Bench::RemoveBoard(Bench::ListOrder().back());
        ASSERT_TRUE(Bench::Quiesce());
        EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
    }
    {
        COverclaimedDevice device;
        EXPECT_EQ(SnapshotIds(device), first64);
        EXPECT_EQ(Refresh(device), LIST_UNCHANGED);
        Bench::RemoveBoard(Bench::ListOrder().front());
        ASSERT_TRUE(Bench::Quiesce());
        EXPECT_EQ(Refresh(device), LIST_CONTENT_CHANGED);
        std::vector<uint64_t> now = ListedIds();
        now.resize(CMyKazDevice::MAX_DEVICES);
        EXPECT_EQ(SnapshotIds(device), now);
    }
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- searching by board class ---------------------------------------------------

TEST_F(ServerFind, FirstOfClassSkipsOtherClassesAndIdZero)
{
    kazsim::BoardDesc zero = MakeBoard("KZ000002", kazsim::STATE_CCL, kazsim::BOARD_CLASS_2);
    zero.DeviceId = 0;
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL, kazsim::BOARD_CLASS_1), zero,
              MakeBoard("KZ000003", kazsim::STATE_CCL, kazsim::BOARD_CLASS_2),
              MakeBoard("KZ000004", kazsim::STATE_CCL, kazsim::BOARD_CLASS_2)});
    ASSERT_EQ(Bench::BoardInfo(1).DeviceId, 0u);
    CMyKazDevice device;
    uint64_t key = 77;
    uint64_t result = 99;
    ASSERT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_2, FIND_FIRST_OF_CLASS, &key, &result), 0u);
    EXPECT_EQ(result, Bench::BoardInfo(2).DeviceId);
    EXPECT_EQ(key, result);

    // The controller's way: one variable as key and result.
    uint64_t id = NO_DEVICE;
    ASSERT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), 0u);
    EXPECT_EQ(id, Bench::BoardInfo(0).DeviceId);
}

TEST_F(ServerFind, ExhaustedListGivesTheServersCodeAndLeavesTheResult)
{
    kazsim::BoardDesc zero = MakeBoard("KZ000002", kazsim::STATE_CCL, kazsim::BOARD_CLASS_3);
    zero.DeviceId = 0;
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL, kazsim::BOARD_CLASS_1), zero});
    CMyKazDevice device;
    uint64_t key = 77;
    uint64_t result = 99;
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_4, FIND_FIRST_OF_CLASS, &key, &result), kazsim::SIM_E_FAIL);
    EXPECT_EQ(key, 77u);
    EXPECT_EQ(result, 99u);
    // Only a board with id 0: the key saw it, the result did not.
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_3, FIND_FIRST_OF_CLASS, &key, &result), kazsim::SIM_E_FAIL);
    EXPECT_EQ(key, 0u);
    EXPECT_EQ(result, 99u);
}

TEST_F(ServerFind, BySerialMatchesExactlyWithinTheClass)
{
    UseBench({MakeBoard("SN-1", kazsim::STATE_CCL, kazsim::BOARD_CLASS_2),
              MakeBoard("sn-1", kazsim::STATE_CCL, kazsim::BOARD_CLASS_1),
              MakeBoard("SN-1", kazsim::STATE_CCL, kazsim::BOARD_CLASS_1)});
    CMyKazDevice device;
    uint64_t result = 99;
    char serial[] = "SN-1";
    ASSERT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_BY_SERIAL, serial, &result), 0u);
    EXPECT_EQ(result, Bench::BoardInfo(2).DeviceId);
    char prefix[] = "SN-";
    result = 99;
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_BY_SERIAL, prefix, &result), kazsim::SIM_E_FAIL);
    char longer[] = "SN-10";
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_BY_SERIAL, longer, &result), kazsim::SIM_E_FAIL);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_3, FIND_BY_SERIAL, serial, &result), kazsim::SIM_E_FAIL);
    EXPECT_EQ(result, 99u);
}

TEST_F(ServerFind, RefusedArgumentsAndFailingCalls)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CMyKazDevice device;
    uint64_t id = 5;
    kazsim::ClearCallLog();
    EXPECT_EQ(device.FindDevice(nullptr, FIND_FIRST_OF_CLASS, &id, &id), R_FAIL);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, nullptr, &id), R_FAIL);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, nullptr), R_FAIL);
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, 2, &id, &id), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());

    for (const char* operation : {"Enum.ResetEnum", "Enum.Next"}) {
        Faults::Fail(operation, R_INJECTED, 1);
        EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), R_INJECTED) << operation;
        EXPECT_EQ(id, 5u);
    }
    EXPECT_EQ(device.FindDevice(&kazsim::BOARD_CLASS_1, FIND_FIRST_OF_CLASS, &id, &id), 0u);
    EXPECT_EQ(id, Bench::BoardInfo(0).DeviceId);
}

// --- waiting for a board's return ---------------------------------------------------

TEST_F(ServerWait, LeaveAndReturnEndsTheWaitOnTheSecondChange)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CMyKazDevice device;
    const uint64_t oldId = Bench::BoardInfo(0).DeviceId;
    Bench::SetRestartDelay(0, 150);
    kazsim::ClearCallLog();
    const uint32_t signalsBefore = Bench::ChangeSignals();
    Bench::Restart(0, kazsim::STATE_FLASH_LOADER);
    ASSERT_EQ(device.WaitForArrival(5000), 0u);
    // The leave became the snapshot (fewer), the return showed as more.
    EXPECT_EQ(Bench::ChangeSignals() - signalsBefore, 2u);
    EXPECT_EQ(CountCalls("Enum.Next"), 2);
    EXPECT_EQ(device.GetDeviceCount(), 2u);
    EXPECT_EQ(SnapshotIds(device), ListedIds());
    EXPECT_NE(Bench::BoardInfo(0).DeviceId, oldId);
}

TEST_F(ServerWait, SilenceTimesOut)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CMyKazDevice device;
    EXPECT_EQ(device.WaitForArrival(0), R_ARRIVAL_TIMEOUT);
    EXPECT_EQ(device.WaitForArrival(80), R_ARRIVAL_TIMEOUT);
}

TEST_F(ServerWait, SignalsWithoutArrivalKeepWaiting)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CMyKazDevice device;
    // A signal with no change, then a removal: neither ends the wait.
    Bench::SignalChange();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(device.WaitForArrival(100), R_ARRIVAL_TIMEOUT);
    Bench::RemoveBoard(1);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(device.WaitForArrival(100), R_ARRIVAL_TIMEOUT);
    EXPECT_EQ(device.GetDeviceCount(), 1u);
    // A board added from another thread while waiting ends it.
    std::thread adder([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Bench::AddBoard(MakeBoard("KZ000003", kazsim::STATE_CCL));
    });
    EXPECT_EQ(device.WaitForArrival(5000), 0u);
    adder.join();
    EXPECT_EQ(device.GetDeviceCount(), 2u);
}
