// Shared helpers of the device and mode tests: a fixture that puts a fresh
// bench up for every case and binds the Setup API once, and readers of the
// simulator's call log and accounting.
#pragma once

#include "device/KazApi.h"
#include "device/SetupApiTable.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kztest {

constexpr KZRESULT R_FAIL = 0x80004005;
constexpr KZRESULT R_NO_HANDLE = 0x80070057;
constexpr KZRESULT R_ARRIVAL_TIMEOUT = 0xE001000B;
constexpr KZRESULT R_NO_FLASH_LOADER = 0xE0FE0010;
constexpr KZRESULT R_INJECTED = 0xC0DE0001; // a code no real layer gives
constexpr uint32_t WIN_INJECTED = 1234;     // a last-error value no real call gives here

// Binds the Setup API for the rest of the process (as the library's
// initialisation would).
inline void BindSetupApiOnce()
{
    static HMODULE s_Module = nullptr;
    if (!g_SetupApi.SetupDiGetClassDevsA)
        s_Module = BindSetupApi();
    ASSERT_NE(s_Module, nullptr);
}

inline kazsim::BoardDesc MakeBoard(const std::string& serial, uint32_t state,
                                   const GUID& boardClass = kazsim::BOARD_CLASS_1)
{
    kazsim::BoardDesc board;
    board.Serial = serial;
    board.State = state;
    board.BoardClass = boardClass;
    return board;
}

inline kazsim::BenchDesc MakeBench(std::vector<kazsim::BoardDesc> boards)
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::Empty();
    desc.Boards = std::move(boards);
    return desc;
}

// Calls of that name in the log; board -2 counts them for every board.
inline int CountCalls(const std::string& name, int board = -2)
{
    int count = 0;
    for (const kazsim::Call& call : kazsim::CallLog())
        if (call.Name == name && (board == -2 || call.Board == board))
            ++count;
    return count;
}

// Calls whose name starts with the prefix.
inline int CountCallsWithPrefix(const std::string& prefix)
{
    int count = 0;
    for (const kazsim::Call& call : kazsim::CallLog())
        if (call.Name.compare(0, prefix.size(), prefix) == 0)
            ++count;
    return count;
}

// Every case starts on a bench of its own, with no fault armed, and ends with
// the simulator's thread idle.
class CSimTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kazsim::Faults::Clear();
        kazsim::Bench::Reset(kazsim::BenchDesc::Empty());
        BindSetupApiOnce();
    }
    void TearDown() override
    {
        kazsim::Faults::Clear();
        kazsim::Bench::Quiesce();
    }

    // A bench of these boards, with the simulator idle and a clean log and
    // accounting baseline.
    static void UseBench(std::vector<kazsim::BoardDesc> boards)
    {
        kazsim::Bench::Reset(MakeBench(std::move(boards)));
        ASSERT_TRUE(kazsim::Bench::Quiesce());
        kazsim::ClearCallLog();
        kazsim::MarkBaseline();
    }
};

} // namespace kztest
