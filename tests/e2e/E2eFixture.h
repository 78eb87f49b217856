// Shared set-up of the end-to-end and fault tests: the library is used only
// through its exports, as a host uses it; the bench is arranged through the
// simulator.
#pragma once

#include "kazmir.h"
#include "kazsim/Bench.h"
#include "support/SimCalls.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace e2e {

constexpr uint32_t TIMEOUT_MS = 3000;
const char SERIAL[] = "KZ000001";

enum class Mode { Fld, Bal, Ccl, Bgi };
enum class By { Id, Any, Serial };

// The mode's init by an explicit id, by DEVICE_ID_ANY or by the serial.
inline uint32_t Init(Mode mode, By by, uint64_t id, uint64_t* handle, uint32_t timeout = TIMEOUT_MS)
{
    id = by == By::Any ? DEVICE_ID_ANY : id;
    const bool ser = by == By::Serial;
    switch (mode) {
    case Mode::Fld:
        return kzmFLDinit(timeout, id, handle);
    case Mode::Bal:
        return ser ? kzmBALinitSer(timeout, SERIAL, handle) : kzmBALinit(timeout, id, handle);
    case Mode::Ccl:
        return ser ? kzmCCLinitSer(timeout, SERIAL, handle) : kzmCCLinit(timeout, id, handle);
    default:
        return ser ? kzmBGIinitSer(timeout, SERIAL, handle) : kzmBGIinit(timeout, id, handle);
    }
}

inline std::string Name(Mode mode, By by, uint32_t state)
{
    static const char* modes[] = {"FLD", "BAL", "CCL", "BGI"};
    static const char* bys[] = {"id", "any", "serial"};
    return std::string(modes[int(mode)]) + "_from_" + std::to_string(state) + "_by_" + bys[int(by)];
}

inline uint32_t Reset(Mode mode)
{
    return mode == Mode::Fld   ? kzmFLDreset()
           : mode == Mode::Bal ? kzmBALreset()
           : mode == Mode::Ccl ? kzmCCLreset()
                               : kzmBGIreset();
}

struct Report {
    uint8_t Kind;
    std::string Text;
};
inline std::vector<Report> g_Reports;
inline void CollectReport(void*, uint8_t kind, const char* text)
{
    g_Reports.push_back({kind, text});
}

// The trace lines (kind 3) received so far, in order.
inline std::vector<std::string> TraceLines()
{
    std::vector<std::string> lines;
    for (const Report& report : g_Reports)
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
        g_Reports.clear();
    }
    static int AddBoard(uint32_t state, const std::string& serial = SERIAL, const GUID& cls = kazsim::BOARD_CLASS_1)
    {
        return kazsim::Bench::AddBoard(Board(state, serial, cls));
    }
    static uint64_t IdOf(int index) { return kazsim::Bench::BoardInfo(index).DeviceId; }
    // The mode's reset; then nothing is left beyond what the library keeps for life.
    static void ResetAndExpectNothingLeft(Mode mode)
    {
        EXPECT_EQ(Reset(mode), 0u);
        ASSERT_TRUE(kazsim::Bench::Quiesce());
        EXPECT_EQ(kazsim::LeftBehind(), "");
    }
};

} // namespace e2e
