// The kernel-driver channel on the virtual bench: the finds, the three driver
// requests, the bounded wait for the flash loader, and the state the channel
// is left in after each of them.
#include "device/HwDevice.h"
#include "device/SimSupport.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

// The channel with a shorter time limit for the flash-loader wait.
class CQuickHwDevice : public CHwDevice {
public:
    explicit CQuickHwDevice(uint32_t waitMs) { m_dwFlashLoaderWaitMs = waitMs; }
};

void ExpectIdle(const CHwDevice& device)
{
    EXPECT_EQ(device.GetDevicePath(), nullptr);
    EXPECT_EQ(device.GetHandle(), nullptr);
    EXPECT_FALSE(device.HasDeviceList());
}

void ExpectOpenOn(const CHwDevice& device, int board)
{
    ASSERT_NE(device.GetDevicePath(), nullptr);
    EXPECT_EQ(std::string(device.GetDevicePath()), Bench::BoardInfo(board).Path);
    EXPECT_NE(device.GetHandle(), nullptr);
    EXPECT_FALSE(device.HasDeviceList());
    EXPECT_EQ(Bench::BoardInfo(board).OpenHandles, 1u);
}

class HwDeviceFind : public CSimTest {};
class HwDeviceRequests : public CSimTest {};
class HwFlashLoaderWait : public CSimTest {};
class HwDiscovery : public CSimTest {};

} // namespace

// --- finds ------------------------------------------------------------------

TEST_F(HwDeviceFind, NoBoardFailsAndLeavesChannelIdle)
{
    UseBench({});
    CHwDevice device;
    EXPECT_EQ(device.FindById(0x1234), R_FAIL);
    ExpectIdle(device);
    EXPECT_EQ(device.FindBySerial("KZ000001"), R_FAIL);
    ExpectIdle(device);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceFind, ByIdOpensMatchingSecondBoardAfterQueryingTheFirst)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    const uint64_t second = Bench::BoardInfo(1).DeviceId;
    CHwDevice device;
    ASSERT_EQ(device.FindById(second), 0u);
    ExpectOpenOn(device, 1);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 0u);
    EXPECT_EQ(CountCalls("Driver.Open", 0), 1);
    EXPECT_EQ(CountCalls("Driver.GetInfo", 0), 1);
    EXPECT_EQ(CountCalls("SetupDiDestroyDeviceInfoList"), 1);

    // The first board wins when both would match the serial.
    EXPECT_EQ(device.Close(), 0u);
    ExpectIdle(device);
    ASSERT_EQ(Bench::BoardInfo(0).Serial, "KZ000001");
    ASSERT_EQ(device.FindBySerial("KZ000002"), 0u);
    ExpectOpenOn(device, 1);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceFind, WithTwoMatchingBoardsTheFirstListedIsOpened)
{
    UseBench({MakeBoard("SAME", kazsim::STATE_CCL), MakeBoard("SAME", kazsim::STATE_BAL)});
    Bench::MoveBoard(1, 0);
    ASSERT_TRUE(Bench::Quiesce());
    CHwDevice device;
    ASSERT_EQ(device.FindBySerial("SAME"), 0u);
    ExpectOpenOn(device, 1);
    device.Close();
}

TEST_F(HwDeviceFind, UnopenableFirstBoardEndsTheSearch)
{
    kazsim::BoardDesc held = MakeBoard("KZ000001", kazsim::STATE_CCL);
    held.Held = true;
    UseBench({held, MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CHwDevice device;
    EXPECT_EQ(device.FindById(Bench::BoardInfo(1).DeviceId), static_cast<KZRESULT>(ERROR_SHARING_VIOLATION));
    ExpectIdle(device);
    EXPECT_EQ(CountCalls("Driver.Open", 1), 0);
    EXPECT_EQ(device.FindBySerial("KZ000002"), static_cast<KZRESULT>(ERROR_SHARING_VIOLATION));
    ExpectIdle(device);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceFind, FirstBoardRefusingGetInfoEndsTheSearch)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    Faults::Fail("Driver.GetInfo", WIN_INJECTED, 1);
    CHwDevice device;
    EXPECT_EQ(device.FindById(Bench::BoardInfo(1).DeviceId), WIN_INJECTED);
    ExpectIdle(device);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 0u);
    EXPECT_EQ(CountCalls("Driver.Open", 1), 0);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceFind, SerialIsComparedByteForByte)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_BOOT_ROM)});
    ASSERT_EQ(Bench::BoardInfo(0).Serial, "ABCD");
    CHwDevice device;
    EXPECT_EQ(device.FindBySerial("abcd"), R_FAIL);
    EXPECT_EQ(device.FindBySerial("ABC"), R_FAIL);
    EXPECT_EQ(device.FindBySerial("ABCDE"), R_FAIL);
    EXPECT_EQ(device.FindBySerial(""), R_FAIL);
    ExpectIdle(device);
    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    ExpectOpenOn(device, 0);
    device.Close();
}

TEST_F(HwDeviceFind, NullSerialIsRefusedWithoutAList)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CHwDevice device;
    EXPECT_EQ(device.FindBySerial(nullptr), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());
}

TEST_F(HwDeviceFind, IdMustMatchInAll64Bits)
{
    kazsim::BoardDesc board = MakeBoard("KZ000001", kazsim::STATE_CCL);
    board.DeviceId = 0x8000000000000001ull;
    UseBench({board});
    CHwDevice device;
    EXPECT_EQ(device.FindById(0x0000000000000001ull), R_FAIL);
    EXPECT_EQ(device.FindById(0x8000000000000000ull), R_FAIL);
    ASSERT_EQ(device.FindById(0x8000000000000001ull), 0u);
    device.Close();
}

// --- requests ---------------------------------------------------------------

TEST_F(HwDeviceRequests, GetInfoReadsStateUnalignedIdAndSerial)
{
    kazsim::BoardDesc board = MakeBoard("SN-4711", kazsim::STATE_BAL);
    board.DeviceId = 0x1122334455667788ull;
    UseBench({board});
    CHwDevice device;
    ASSERT_EQ(device.FindById(0x1122334455667788ull), 0u);
    DEVICE_INFO_RECORD info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(device.GetInfo(&info), 0u);
    const uint32_t state = info.State;
    const uint64_t id = info.DeviceId; // packed record: copied out before comparing
    EXPECT_EQ(state, kazsim::STATE_BAL);
    EXPECT_EQ(id, 0x1122334455667788ull);
    EXPECT_STREQ(info.Serial, "SN-4711");
    device.Close();
}

TEST_F(HwDeviceRequests, RequestsOnAClosedChannelReachNoDriver)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_BOOT_ROM)});
    CHwDevice device;
    DEVICE_INFO_RECORD info;
    EXPECT_EQ(device.GetInfo(&info), R_NO_HANDLE);
    EXPECT_EQ(device.Reset(RESET_TO_FIRMWARE), R_NO_HANDLE);
    EXPECT_EQ(device.LoadFw(), R_NO_HANDLE);
    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    device.Close();
    kazsim::ClearCallLog();
    EXPECT_EQ(device.GetInfo(&info), R_NO_HANDLE);
    EXPECT_EQ(device.Reset(RESET_TO_BOOT_ROM), R_NO_HANDLE);
    EXPECT_EQ(device.LoadFw(), R_NO_HANDLE);
    EXPECT_EQ(CountCallsWithPrefix("Driver."), 0);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
}

TEST_F(HwDeviceRequests, CloseIsIdempotentButTheBaseCloseNeedsAHandle)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CHwDevice device;
    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(device.Close(), 0u);
    ExpectIdle(device);
    EXPECT_EQ(device.CDeviceBase::Close(), R_NO_HANDLE);

    // The base Close closes the handle but keeps the path.
    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    EXPECT_EQ(device.CDeviceBase::Close(), 0u);
    EXPECT_EQ(device.GetHandle(), nullptr);
    EXPECT_NE(device.GetDevicePath(), nullptr);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 0u);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceRequests, OpenNeedsAPathAndKeepsTheHandleWhenItFails)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CHwDevice device;
    EXPECT_EQ(device.Open(), R_NO_HANDLE);
    EXPECT_EQ(CountCalls("Driver.Open"), 0);

    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    HANDLE open = device.GetHandle();
    // The driver is exclusive: a second open of the same path is refused.
    EXPECT_EQ(device.Open(), static_cast<KZRESULT>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(device.GetHandle(), open);
    DEVICE_INFO_RECORD info;
    EXPECT_EQ(device.GetInfo(&info), 0u);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceRequests, ResetSelectorsRestartTheBoard)
{
    kazsim::BoardDesc board = MakeBoard("KZ000001", kazsim::STATE_CCL);
    board.FirmwareState = kazsim::STATE_BAL;
    UseBench({board});
    CHwDevice device;
    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    ASSERT_EQ(device.Reset(RESET_TO_BOOT_ROM), 0u);
    device.Close();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 1u);
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_BOOT_ROM);

    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    ASSERT_EQ(device.Reset(RESET_TO_FIRMWARE), 0u);
    device.Close();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 2u);
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_BAL);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDeviceRequests, LoadFwStartsTheFlashLoaderFromTheBootRomOnly)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CHwDevice device;
    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    // The driver's refusal comes back unchanged.
    EXPECT_EQ(device.LoadFw(), 21u);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    device.Close();

    Bench::SetState(0, kazsim::STATE_BOOT_ROM);
    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    ASSERT_EQ(device.LoadFw(), 0u);
    device.Close();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_FLASH_LOADER);
}

TEST_F(HwDeviceRequests, RefusedRequestsPassTheDriversErrorOn)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_BOOT_ROM)});
    CHwDevice device;
    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    Faults::Fail("Driver.GetInfo", WIN_INJECTED, 1);
    Faults::Fail("Driver.Reset", WIN_INJECTED + 1, 1);
    Faults::Fail("Driver.LoadFw", WIN_INJECTED + 2, 1);
    DEVICE_INFO_RECORD info;
    EXPECT_EQ(device.GetInfo(&info), WIN_INJECTED);
    EXPECT_EQ(device.Reset(RESET_TO_FIRMWARE), WIN_INJECTED + 1);
    EXPECT_EQ(device.LoadFw(), WIN_INJECTED + 2);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    // Still open and usable after the refusals.
    EXPECT_EQ(device.GetInfo(&info), 0u);
    EXPECT_EQ(info.State, kazsim::STATE_BOOT_ROM);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- the wait for the flash loader -------------------------------------------

TEST_F(HwFlashLoaderWait, EmptyListGivesZeroWithNothingOpen)
{
    UseBench({});
    CHwDevice device;
    EXPECT_EQ(device.WaitForFlashLoader(), 0u);
    ExpectIdle(device);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwFlashLoaderWait, BoardThatReachesTheFlashLoaderLaterIsLeftOpen)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_BOOT_ROM)});
    std::thread later([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        Bench::SetState(0, kazsim::STATE_FLASH_LOADER);
    });
    CHwDevice device;
    const KZRESULT result = device.WaitForFlashLoader();
    later.join();
    ASSERT_EQ(result, 0u);
    ExpectOpenOn(device, 0);
    EXPECT_GT(CountCalls("Driver.GetInfo"), 1);
    device.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwFlashLoaderWait, OnlyTheFirstBoardIsPolledAndTheWaitIsBounded)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_FLASH_LOADER)});
    constexpr uint32_t LIMIT_MS = 150;
    CQuickHwDevice device(LIMIT_MS);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(device.WaitForFlashLoader(), R_NO_FLASH_LOADER);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(LIMIT_MS));
    ExpectIdle(device);
    EXPECT_EQ(CountCalls("Driver.Open", 1), 0);
    // Polls are paused: no more of them than pauses fit into the limit.
    const int polls = CountCalls("Driver.GetInfo", 0);
    EXPECT_GT(polls, 1);
    EXPECT_LE(polls, static_cast<int>(LIMIT_MS / CHwDevice::FLASH_LOADER_POLL_MS) + 1);
    // The list is taken once for the whole wait.
    EXPECT_EQ(CountCalls("SetupDiGetClassDevsA"), 1);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwFlashLoaderWait, OpenFailureEndsSelectedButNotOpen)
{
    kazsim::BoardDesc board = MakeBoard("KZ000001", kazsim::STATE_FLASH_LOADER);
    board.Held = true;
    UseBench({board});
    CHwDevice device;
    EXPECT_EQ(device.WaitForFlashLoader(), static_cast<KZRESULT>(ERROR_SHARING_VIOLATION));
    ASSERT_NE(device.GetDevicePath(), nullptr);
    EXPECT_EQ(std::string(device.GetDevicePath()), Bench::BoardInfo(0).Path);
    EXPECT_EQ(device.GetHandle(), nullptr);
    EXPECT_FALSE(device.HasDeviceList());
    EXPECT_EQ(device.Close(), 0u);
    ExpectIdle(device);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwFlashLoaderWait, FailedGetInfoDoesNotEndTheWait)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_FLASH_LOADER)});
    Faults::Fail("Driver.GetInfo", WIN_INJECTED, 1);
    CHwDevice device;
    ASSERT_EQ(device.WaitForFlashLoader(), 0u);
    ExpectOpenOn(device, 0);
    EXPECT_EQ(CountCalls("Driver.GetInfo"), 2);
    device.Close();
}

TEST_F(HwFlashLoaderWait, LostBoardStopsWithTheLastResult)
{
    // The second path lookup fails: the wait stops with GetInfo's result of
    // the first poll (a board outside the flash loader: 0), nothing open.
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    Faults::Fail("SetupDiEnumDeviceInfo", WIN_INJECTED, 2);
    CHwDevice device;
    EXPECT_EQ(device.WaitForFlashLoader(), 0u);
    ExpectIdle(device);

    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    Faults::Fail("Driver.GetInfo", WIN_INJECTED, 1);
    Faults::Fail("SetupDiEnumDeviceInfo", WIN_INJECTED, 2);
    EXPECT_EQ(device.WaitForFlashLoader(), WIN_INJECTED);
    ExpectIdle(device);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- discovery ---------------------------------------------------------------

TEST_F(HwDiscovery, SelectingByPositionAndOnePastTheEnd)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL), MakeBoard("KZ000002", kazsim::STATE_CCL)});
    CHwDevice device;
    EXPECT_EQ(device.SelectDevice(0), R_FAIL); // no list yet
    ASSERT_EQ(device.CreateDeviceList(), 0u);
    EXPECT_EQ(device.SelectDevice(2), R_FAIL);
    EXPECT_EQ(device.GetDevicePath(), nullptr);
    ASSERT_EQ(device.SelectDevice(1), 0u);
    EXPECT_EQ(std::string(device.GetDevicePath()), Bench::BoardInfo(1).Path);
    ASSERT_EQ(device.SelectDevice(0), 0u);
    EXPECT_EQ(std::string(device.GetDevicePath()), Bench::BoardInfo(0).Path);
    EXPECT_EQ(device.DestroyDeviceList(), 0u);
    EXPECT_EQ(device.DestroyDeviceList(), R_FAIL);
    EXPECT_EQ(device.ReleaseDevicePath(), 0u);
    EXPECT_EQ(device.GetDevicePath(), nullptr);
    EXPECT_EQ(device.GetAuxText(), nullptr);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDiscovery, DetailIsAskedTwiceWithExactlyTheRequiredSize)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_CCL)});
    CHwDevice device;
    ASSERT_EQ(device.CreateDeviceList(), 0u);
    ASSERT_EQ(device.SelectDevice(0), 0u);
    device.DestroyDeviceList();
    std::vector<kazsim::Call> details;
    for (const kazsim::Call& call : kazsim::CallLog())
        if (call.Name == "SetupDiGetDeviceInterfaceDetailA")
            details.push_back(call);
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(details[0].Result, static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(details[1].Result, 0u);
    const std::string& path = Bench::BoardInfo(0).Path;
    // The detail record: the 4-byte size field, then the path and its terminator.
    const size_t required = 4 + path.size() + 1;
    EXPECT_EQ(details[0].Detail, "no buffer");
    EXPECT_EQ(details[1].Detail, "buffer " + std::to_string(required));
    EXPECT_EQ(std::string(device.GetDevicePath()), path);
    device.ReleaseDevicePath();
}

TEST_F(HwDiscovery, UnboundSetupApiFailsEveryFindWithoutCallingIt)
{
    UseBench({MakeBoard("KZ000001", kazsim::STATE_FLASH_LOADER)});
    const SetupApiTable bound = g_SetupApi;
    std::memset(&g_SetupApi, 0, sizeof(g_SetupApi));
    CHwDevice device;
    const KZRESULT byId = device.FindById(Bench::BoardInfo(0).DeviceId);
    const KZRESULT bySerial = device.FindBySerial("KZ000001");
    const KZRESULT wait = device.WaitForFlashLoader();
    g_SetupApi = bound;
    EXPECT_EQ(byId, R_FAIL);
    EXPECT_EQ(bySerial, R_FAIL);
    EXPECT_EQ(wait, R_FAIL);
    ExpectIdle(device);
    EXPECT_TRUE(kazsim::CallLog().empty());
}
