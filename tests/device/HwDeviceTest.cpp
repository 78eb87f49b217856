// The kernel-driver channel on the virtual bench: the finds, the three driver
// requests, the Setup-API walk, and the state the channel is left in.
#include "device/HwDevice.h"
#include "device/SimSupport.h"

#include <cstring>

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

class HwDevice : public CSimTest {};

bool Idle(const CHwDevice& device)
{
    return !device.GetDevicePath() && !device.GetHandle() && !device.HasDeviceList();
}

bool OpenOn(const CHwDevice& device, int board)
{
    return device.GetDevicePath() && device.GetDevicePath() == Bench::BoardInfo(board).Path && device.GetHandle() &&
           !device.HasDeviceList() && Bench::BoardInfo(board).OpenHandles == 1;
}

struct FindCase {
    const char* name;
    std::vector<kazsim::BoardDesc> boards;
    bool held;          // the first board is held by another process
    const char* fault;  // its GetInfo refused ("" none)
    int target;         // board whose id or serial is looked for
    const char* serial; // nullptr: find by id
    KZMRESULT result;
    int opened; // board left open, -1 none
};

TEST_F(HwDevice, FindsOpenTheMatchingBoardOrNothing)
{
    const kazsim::BoardDesc a = Board(kazsim::STATE_CCL), b = Board(kazsim::STATE_CCL, "KZ000002"),
                            rom = Board(kazsim::STATE_BOOT_ROM);
    const FindCase cases[] = {
        {"no board", {}, false, "", -1, nullptr, R_FAIL, -1},
        {"second by id", {a, b}, false, "", 1, nullptr, 0, 1},
        {"first held", {a, b}, true, "", 1, nullptr, ERROR_SHARING_VIOLATION, -1},
        {"first refuses GetInfo", {a, b}, false, "Driver.GetInfo", 1, nullptr, WIN_INJECTED, -1},
        {"serial case", {rom}, false, "", 0, "abcd", R_FAIL, -1},
        {"serial prefix", {rom}, false, "", 0, "ABC", R_FAIL, -1},
        {"serial longer", {rom}, false, "", 0, "ABCDE", R_FAIL, -1},
        {"serial exact", {rom}, false, "", 0, "ABCD", 0, 0},
    };
    for (const FindCase& c : cases) {
        std::vector<kazsim::BoardDesc> boards = c.boards;
        if (c.held)
            boards[0].Held = true;
        UseBench(boards);
        if (*c.fault)
            Faults::Fail(c.fault, WIN_INJECTED, 1);
        CHwDevice device;
        const uint64_t id = c.target >= 0 ? Bench::BoardInfo(c.target).DeviceId : 0x1234;
        EXPECT_EQ(c.serial ? device.FindBySerial(c.serial) : device.FindById(id), c.result) << c.name;
        EXPECT_TRUE(c.opened < 0 ? Idle(device) : OpenOn(device, c.opened)) << c.name;
        if (c.opened == 1) {
            EXPECT_EQ(CountCalls("Driver.Open", 0), 1u) << "the first board is opened and queried on the way";
        }
        if (c.result != 0 && c.target == 1) {
            EXPECT_EQ(CountCalls("Driver.Open", 1), 0u) << c.name << ": the search went past the first board";
        }
        device.Close();
        EXPECT_EQ(kazsim::LeftBehind(), "") << c.name;
    }
}

// The flash loader is awaited on the first board of the list alone, with a
// limit that is all that ends a board that never gets there.
TEST_F(HwDevice, WaitForFlashLoaderPollsTheFirstBoardUpToItsLimit)
{
    class CShortWait : public CHwDevice {
    public:
        CShortWait() { m_dwFlashLoaderWaitMs = 200; }
    };
    const kazsim::BoardDesc rom = Board(kazsim::STATE_BOOT_ROM), fld = Board(kazsim::STATE_FLASH_LOADER, "KZ000002");
    const struct {
        const char* Name;
        std::vector<kazsim::BoardDesc> Boards;
        uint32_t OldAnswers; // GetInfo answers of the first board before it reports state 1 (0: never)
        KZMRESULT Result;
        int Opened;
    } cases[] = {
        {"empty list", {}, 0, 0, -1},
        {"flash loader on a later poll", {rom}, 3, 0, 0},
        {"second board in the flash loader is not polled", {rom, fld}, 2, 0, 0},
        {"limit", {rom, fld}, 0, KZM_E_NO_FLASH_LOADER, -1},
    };
    for (const auto& c : cases) {
        UseBench(c.Boards);
        if (c.OldAnswers)
            Bench::SetStateAfterGetInfo(0, kazsim::STATE_FLASH_LOADER, c.OldAnswers);
        CShortWait device;
        EXPECT_EQ(device.WaitForFlashLoader(), c.Result) << c.Name;
        EXPECT_TRUE(c.Opened < 0 ? Idle(device) : OpenOn(device, c.Opened)) << c.Name;
        EXPECT_TRUE(!c.OldAnswers || CountCalls("Driver.GetInfo", 0) == c.OldAnswers + 1) << c.Name;
        EXPECT_EQ(CountCalls("Driver.Open", 1), 0u) << c.Name;
        device.Close();
        EXPECT_EQ(kazsim::LeftBehind(), "") << c.Name;
    }
}

TEST_F(HwDevice, IdMustMatchInAll64BitsAndIsReadUnaligned)
{
    kazsim::BoardDesc board = Board(kazsim::STATE_BAL, "SN-4711");
    board.DeviceId = 0x8000000000000001ull;
    UseBench({board});
    CHwDevice device;
    EXPECT_EQ(device.FindById(0x0000000000000001ull), R_FAIL);
    EXPECT_EQ(device.FindById(0x8000000000000000ull), R_FAIL);
    ASSERT_EQ(device.FindById(0x8000000000000001ull), 0u);
    DEVICE_INFO_RECORD info;
    std::memset(&info, 0xCC, sizeof(info));
    ASSERT_EQ(device.GetInfo(&info), 0u);
    EXPECT_EQ(uint32_t{info.State}, kazsim::STATE_BAL); // packed record: copied out before comparing
    EXPECT_EQ(uint64_t{info.DeviceId}, 0x8000000000000001ull);
    EXPECT_STREQ(info.Serial, "SN-4711");
    device.Close();
}

TEST_F(HwDevice, RequestsNeedAnOpenChannelAndPassTheDriversAnswerOn)
{
    kazsim::BoardDesc board = Board(kazsim::STATE_CCL);
    board.FirmwareState = kazsim::STATE_BAL;
    UseBench({board});
    CHwDevice device;
    DEVICE_INFO_RECORD info;
    EXPECT_EQ(device.GetInfo(&info), R_NO_HANDLE);
    EXPECT_EQ(device.Reset(RESET_TO_FIRMWARE), R_NO_HANDLE);
    EXPECT_EQ(device.LoadFw(), R_NO_HANDLE);
    EXPECT_TRUE(kazsim::CallLog().empty());
    ASSERT_EQ(device.FindBySerial("KZ000001"), 0u);
    EXPECT_EQ(device.LoadFw(), 21u) << "the driver refuses LoadFw outside the boot ROM";
    Faults::Fail("Driver.GetInfo", WIN_INJECTED, 1);
    Faults::Fail("Driver.Reset", WIN_INJECTED + 1, 1);
    EXPECT_EQ(device.GetInfo(&info), WIN_INJECTED);
    EXPECT_EQ(device.Reset(RESET_TO_FIRMWARE), WIN_INJECTED + 1);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    // Selector 0 restarts into the boot ROM, 1 into the firmware.
    ASSERT_EQ(device.Reset(RESET_TO_BOOT_ROM), 0u);
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_EQ(device.Close(), 0u);
    EXPECT_TRUE(Idle(device));
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_BOOT_ROM);
    ASSERT_EQ(device.FindBySerial("ABCD"), 0u);
    ASSERT_EQ(device.Reset(RESET_TO_FIRMWARE), 0u);
    device.Close();
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_BAL);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(HwDevice, DetailIsAskedTwiceWithExactlyTheRequiredSize)
{
    UseBench({Board(kazsim::STATE_CCL), Board(kazsim::STATE_CCL, "KZ000002")});
    CHwDevice device;
    ASSERT_EQ(device.CreateDeviceList(), 0u);
    EXPECT_EQ(device.SelectDevice(2), R_FAIL) << "one past the end";
    ASSERT_EQ(device.SelectDevice(1), 0u);
    device.DestroyDeviceList();
    // The list asked for: present devices of the driver's interface class.
    EXPECT_EQ(kazsim::CallLog().at(0).Detail, "{48E20102-D37D-42C8-BE32-F86F4FCB2B4C} flags 0x12");
    std::vector<kazsim::Call> details;
    for (const kazsim::Call& call : kazsim::CallLog())
        if (call.Name == "SetupDiGetDeviceInterfaceDetailA")
            details.push_back(call);
    const std::string& path = Bench::BoardInfo(1).Path;
    ASSERT_EQ(details.size(), 2u);
    EXPECT_EQ(details[0].Result, static_cast<uint32_t>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(details[0].Detail, "no buffer");
    // The detail record: the 4-byte size field, then the path and its terminator.
    EXPECT_EQ(details[1].Detail, "buffer " + std::to_string(4 + path.size() + 1));
    EXPECT_EQ(std::string(device.GetDevicePath()), path);
    device.ReleaseDevicePath();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

} // namespace
