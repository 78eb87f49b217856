// The boards' kernel driver on the bench: restarts with new ids and paths,
// change signals from the simulator's thread, exclusive opens, buffer checks.
#include "SimTestSupport.h"

#include <set>

using namespace simtest;
using kazsim::Bench;

namespace {

struct Arrival {
    uint64_t Id;
    std::string Path;
};

// Opens the bench's only board through the Setup API path.
HANDLE OpenOnly(SetupApi& api)
{
    std::vector<std::string> paths = api.Paths();
    EXPECT_EQ(paths.size(), 1u);
    return paths.empty() ? INVALID_HANDLE_VALUE : Open(paths[0]);
}

} // namespace

class DriverTest : public BenchTest {};

TEST_F(DriverTest, GetInfoAgreesWithTheServerRecord)
{
    SetupApi api;
    HANDLE handle = OpenOnly(api);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    DRIVER_INFO record = {};
    ASSERT_EQ(GetInfo(handle, &record), 0u);
    EXPECT_EQ(record.State, 3u);
    EXPECT_STREQ(record.Serial, "KZ000001");
    uint64_t unaligned = 0;
    std::memcpy(&unaligned, reinterpret_cast<const uint8_t*>(&record) + 4, 8);
    std::vector<DEVICE_RECORD> records = Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(unaligned, uint64_t{records[0].DeviceId});
    EXPECT_EQ(Bench::BoardInfo(0).DeviceId, uint64_t{records[0].DeviceId});
    EXPECT_STREQ(records[0].Serial, "KZ000001");
    EXPECT_TRUE(SameGuid(records[0].BoardClass, kazsim::BOARD_CLASS_1));
    CloseHandle(handle);
}

TEST_F(DriverTest, FullRestartCycleGivesNewIdsAndPathsEachTime)
{
    SetupApi api;
    std::set<uint64_t> ids{Bench::BoardInfo(0).DeviceId};
    std::set<std::string> paths{Bench::BoardInfo(0).Path};
    struct Step {
        const char* Request;
        uint8_t Selector;
        uint32_t State;
        const char* Serial;
    };
    const Step steps[] = {
        {"reset", 0, 16, "ABCD"},     // operating firmware -> boot ROM
        {"loadfw", 0, 1, "KZ000001"}, // boot ROM -> flash loader
        {"reset", 1, 3, "KZ000001"},  // flash loader -> operating firmware
        {"reset", 1, 3, "KZ000001"},  // a restart of the firmware itself
        {"reset", 0, 16, "ABCD"},
        {"reset", 0, 16, "ABCD"},     // the boot ROM restarts into itself
        {"reset", 1, 3, "KZ000001"},  // the boot ROM starts the firmware in flash
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(std::string(step.Request) + " to state " + std::to_string(step.State));
        HANDLE handle = OpenOnly(api);
        ASSERT_NE(handle, INVALID_HANDLE_VALUE);
        DWORD result = std::string(step.Request) == "loadfw" ? LoadFw(handle) : Reset(handle, step.Selector);
        ASSERT_EQ(result, 0u);
        // The old handle reaches nothing any more.
        DRIVER_INFO record = {};
        EXPECT_EQ(GetInfo(handle, &record), ERROR_DEVICE_NOT_CONNECTED);
        CloseHandle(handle);
        ASSERT_TRUE(Bench::Quiesce());
        kazsim::BoardStatus status = Bench::BoardInfo(0);
        EXPECT_TRUE(status.Listed);
        EXPECT_TRUE(ids.insert(status.DeviceId).second) << "id reused";
        EXPECT_TRUE(paths.insert(status.Path).second) << "path reused";
        handle = OpenOnly(api);
        ASSERT_EQ(GetInfo(handle, &record), 0u);
        EXPECT_EQ(record.State, step.State);
        EXPECT_STREQ(record.Serial, step.Serial);
        EXPECT_EQ(uint64_t{record.DeviceId}, status.DeviceId);
        CloseHandle(handle);
    }
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 7u);
}

TEST_F(DriverTest, FirmwareStateDecidesWhatResetOneStarts)
{
    kazsim::BenchDesc desc;
    kazsim::BoardDesc board;
    board.State = 1;
    board.FirmwareState = 2;
    desc.Boards = {board, board};
    desc.Boards[1].FirmwareState = 3;
    desc.Boards[1].State = 2;
    desc.Boards[1].Serial = "KZ000002";
    Bench::Reset(desc);
    SetupApi api;
    for (int round = 0; round < 2; ++round) {
        for (const std::string& path : api.Paths()) {
            HANDLE handle = Open(path);
            ASSERT_EQ(Reset(handle, 1), 0u);
            CloseHandle(handle);
        }
        ASSERT_TRUE(Bench::Quiesce());
        // A board that comes up in state 2 stays there; the other goes to 3.
        EXPECT_EQ(Bench::BoardInfo(0).State, 2u);
        EXPECT_EQ(Bench::BoardInfo(1).State, 3u);
    }
}

TEST_F(DriverTest, LoadFwOutsideTheBootRomChangesNothing)
{
    SetupApi api;
    uint64_t id = Bench::BoardInfo(0).DeviceId;
    HANDLE handle = OpenOnly(api);
    EXPECT_EQ(LoadFw(handle), 21u); // ERROR_NOT_READY
    DRIVER_INFO record = {};
    EXPECT_EQ(GetInfo(handle, &record), 0u);
    EXPECT_EQ(record.State, 3u);
    CloseHandle(handle);
    EXPECT_EQ(Bench::BoardInfo(0).DeviceId, id);
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
}

TEST_F(DriverTest, NextRestartStateOverridesTheFirmware)
{
    SetupApi api;
    Bench::SetNextRestartState(0, 7);
    HANDLE handle = OpenOnly(api);
    ASSERT_EQ(Reset(handle, 0), 0u);
    CloseHandle(handle);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).State, 7u);
    handle = OpenOnly(api);
    ASSERT_EQ(Reset(handle, 0), 0u); // only the next one
    CloseHandle(handle);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::BoardInfo(0).State, 16u);
}

TEST_F(DriverTest, OpeningIsExclusive)
{
    SetupApi api;
    std::string path = api.Paths().at(0);
    HANDLE first = Open(path);
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 1u);
    CloseHandle(first);
    // Paths are case-insensitive, as on Windows.
    std::string upper = path;
    for (char& c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    HANDLE second = Open(upper);
    ASSERT_NE(second, INVALID_HANDLE_VALUE);
    CloseHandle(second);

    Bench::SetHeld(0, true);
    EXPECT_EQ(Open(path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    Bench::SetHeld(0, false);
    EXPECT_EQ(Open(path + "x"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST_F(DriverTest, StaleHandleDoesNotBlockTheNewArrival)
{
    SetupApi api;
    std::string oldPath = api.Paths().at(0);
    HANDLE stale = Open(oldPath);
    ASSERT_EQ(Reset(stale, 0), 0u);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Open(oldPath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    HANDLE fresh = OpenOnly(api);
    EXPECT_NE(fresh, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Reset(stale, 1), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(fresh);
    CloseHandle(stale);
}

TEST_F(DriverTest, RequestsCheckCodesAndBufferSizes)
{
    SetupApi api;
    HANDLE handle = OpenOnly(api);
    uint8_t in[8] = {};
    uint8_t out[160] = {};
    DWORD returned = 7;
    auto control = [&](DWORD code, DWORD inSize, void* outBuffer, DWORD outSize) -> DWORD {
        return DeviceIoControl(handle, code, in, inSize, outBuffer, outSize, &returned, nullptr) ? 0 : GetLastError();
    };
    EXPECT_EQ(control(0xA0003004, 1, out, 140), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(control(IOCTL_GET_INFO, 0, out, 140), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_GET_INFO, 1, out, 139), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(control(IOCTL_GET_INFO, 1, out, 141), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_GET_INFO, 1, out, 140), 0u);
    EXPECT_EQ(returned, 140u);
    EXPECT_EQ(control(IOCTL_RESET, 1, out, 0), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(control(IOCTL_RESET, 2, out, 1), ERROR_INVALID_PARAMETER);
    in[0] = 2;
    EXPECT_EQ(control(IOCTL_RESET, 1, out, 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_LOAD_FW, 6, out, 1), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(control(IOCTL_LOAD_FW, 5, nullptr, 0), ERROR_INVALID_PARAMETER);
    in[3] = 1;
    EXPECT_EQ(control(IOCTL_LOAD_FW, 6, nullptr, 0), ERROR_INVALID_PARAMETER);
    // None of the refused requests restarted the board.
    EXPECT_EQ(Bench::BoardInfo(0).Restarts, 0u);
    CloseHandle(handle);
}

TEST_F(DriverTest, RestartIsSignalledFromTheSimulatorThread)
{
    Bench::SetRestartDelay(0, 200);
    IKazDeviceManager* manager = Manager();
    IKazDeviceEnum* deviceEnum = nullptr;
    ASSERT_EQ(manager->EnumDevices(&deviceEnum), 0u);
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(deviceEnum->AssignEvent(event), 0u);
    SetupApi api;
    HANDLE handle = OpenOnly(api);
    ASSERT_EQ(Reset(handle, 0), 0u);
    CloseHandle(handle);
    // Gone from both lists at once; back only after the delay.
    EXPECT_FALSE(Bench::BoardInfo(0).Listed);
    EXPECT_TRUE(api.Paths().empty());
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0); // left
    // This thread now blocks: only the simulator's thread can signal.
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0); // back
    EXPECT_TRUE(Bench::BoardInfo(0).Listed);
    EXPECT_EQ(api.Paths().size(), 1u);
    EXPECT_EQ(Bench::ChangeSignals(), 2u);
    deviceEnum->Release();
    manager->Release();
    CloseHandle(event);
}

TEST_F(DriverTest, BoardThatNeverReturnsStaysAway)
{
    Bench::SetNeverReturns(0, true);
    SetupApi api;
    HANDLE handle = OpenOnly(api);
    ASSERT_EQ(Reset(handle, 0), 0u);
    CloseHandle(handle);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_FALSE(Bench::BoardInfo(0).Listed);
    EXPECT_TRUE(Bench::BoardInfo(0).Present);
    EXPECT_TRUE(api.Paths().empty());
    EXPECT_TRUE(Records().empty());
}

TEST_F(DriverTest, BoardsArriveAndLeaveAtRunTime)
{
    kazsim::BoardDesc second;
    second.Serial = "KZ000002";
    second.BoardClass = kazsim::BOARD_CLASS_3;
    int index = Bench::AddBoard(second);
    EXPECT_EQ(index, 1);
    SetupApi api;
    std::vector<std::string> paths = api.Paths();
    ASSERT_EQ(paths.size(), 2u);
    EXPECT_EQ(paths[1], Bench::BoardInfo(1).Path);
    // A restarted board comes back at the end of the list.
    HANDLE handle = Open(paths[0]);
    ASSERT_EQ(Reset(handle, 1), 0u);
    CloseHandle(handle);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::ListOrder(), (std::vector<int>{1, 0}));
    Bench::MoveBoard(0, 0);
    EXPECT_EQ(Bench::ListOrder(), (std::vector<int>{0, 1}));

    handle = Open(Bench::BoardInfo(1).Path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    Bench::RemoveBoard(1);
    DRIVER_INFO record = {};
    EXPECT_EQ(GetInfo(handle, &record), ERROR_DEVICE_NOT_CONNECTED);
    CloseHandle(handle);
    EXPECT_FALSE(Bench::BoardInfo(1).Present);
    EXPECT_EQ(api.Paths().size(), 1u);
    EXPECT_EQ(Records().size(), 1u);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::ChangeSignals(), 5u); // add, leave, back, move, remove
    EXPECT_THROW(Bench::BoardInfo(2), std::out_of_range);
}

TEST_F(DriverTest, StateChangesWithoutARestart)
{
    SetupApi api;
    HANDLE handle = OpenOnly(api);
    uint64_t id = Bench::BoardInfo(0).DeviceId;
    DRIVER_INFO record = {};
    Bench::SetStateAfterGetInfo(0, 1, 2);
    for (uint32_t expected : {3u, 3u, 1u, 1u}) {
        ASSERT_EQ(GetInfo(handle, &record), 0u);
        EXPECT_EQ(record.State, expected);
    }
    Bench::SetStateLater(0, 16, 100);
    ASSERT_EQ(GetInfo(handle, &record), 0u);
    EXPECT_EQ(record.State, 1u);
    ASSERT_TRUE(Bench::Quiesce());
    ASSERT_EQ(GetInfo(handle, &record), 0u);
    EXPECT_EQ(record.State, 16u);
    EXPECT_STREQ(record.Serial, "ABCD");
    EXPECT_EQ(uint64_t{record.DeviceId}, id); // same arrival throughout
    CloseHandle(handle);
}
