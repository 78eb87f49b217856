// Shared set-up of the end-to-end tests: the library is used only through its
// exports, as a host uses it; the bench is arranged through the simulator.
#pragma once

#include "kazmir.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {

constexpr uint32_t TIMEOUT_MS = 3000;

struct Report {
    uint8_t Kind;
    std::string Text;
};

inline std::vector<Report>& Reports()
{
    static std::vector<Report> s_Reports;
    return s_Reports;
}

inline void CollectReport(void*, uint8_t kind, const char* text)
{
    Reports().push_back({kind, text});
}

// The trace lines (kind 3) received so far, in order.
inline std::vector<std::string> TraceLines()
{
    std::vector<std::string> lines;
    for (const Report& report : Reports())
        if (report.Kind == REPORT_TRACE)
            lines.push_back(report.Text);
    return lines;
}

class E2eTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kazsim::Bench::Reset(kazsim::BenchDesc::Empty());
        ASSERT_EQ(kzmInitialize(), 0u);
        ASSERT_EQ(kzmRegisterCallback(nullptr, CollectReport), 0u);
        Reports().clear();
    }

    // One board of class 1 with the given state; its index.
    static int AddBoard(uint32_t state, const std::string& serial = "KZ000001",
                        const GUID& boardClass = kazsim::BOARD_CLASS_1)
    {
        kazsim::BoardDesc board;
        board.State = state;
        board.Serial = serial;
        board.BoardClass = boardClass;
        return kazsim::Bench::AddBoard(board);
    }

    static uint64_t IdOf(int index) { return kazsim::Bench::BoardInfo(index).DeviceId; }

    // Nothing left open or referenced beyond what the library keeps for life.
    static void ExpectNothingLeft()
    {
        ASSERT_TRUE(kazsim::Bench::Quiesce());
        EXPECT_EQ(kazsim::LeftBehind(), "");
    }
};

} // namespace e2e
