// The switch towards the flash loader as the host sees it: the trace lines of
// every pass, with refused driver requests and a board that never comes back.
#include "E2eFixture.h"

namespace {

using namespace e2e;

const std::string I = "        ", FLD = I + "DEV_STATE_FLD \n", ROM = I + "DEV_STATE_ROM \n",
                  FW = I + "DEV_STATE_BAL, DEV_STATE_CCL \n", RESET = I + "m_HwDevice.Reset \n",
                  RESET_FAILED = I + "m_HwDevice.Reset COMMAND failed\n", LOADFW = I + "m_HwDevice.LoadFw \n",
                  LOADFW_FAILED = I + "m_HwDevice.LoadFw COMMAND failed\n", OK = I + "  OK\n",
                  FAILED = I + "  failed\n", NO_INFO = I + "GetInfo failed \n";
constexpr uint32_t STALE = 1; // the driver's answer on the handle of the board that left

struct Case {
    const char* name;
    uint32_t state;
    const char* fault; // driver request refused with 31 ("" none); "away": the board never returns
    uint32_t nth;
    uint32_t result;
    std::vector<std::string> lines;
};
// By name: printed as raw bytes, the case's padding would read as uninitialised.
void PrintTo(const Case& c, std::ostream* os)
{
    *os << c.name;
}

const Case CASES[] = {
    {"FlashLoader", 1, "", 0, 0, {FLD}},
    {"BootRom", 16, "", 0, 0, {ROM, LOADFW, OK, FLD}},
    {"Firmware", 3, "", 0, 0, {FW, RESET, OK, ROM, LOADFW, OK, FLD}},
    {"ResetRefused", 3, "Driver.Reset", 0, 31, {FW, RESET_FAILED, FW, RESET_FAILED, FW, RESET_FAILED}},
    {"LoadFwRefused", 16, "Driver.LoadFw", 0, 31, {ROM, LOADFW_FAILED, ROM, LOADFW_FAILED, ROM, LOADFW_FAILED}},
    {"GetInfoRefusedOnce", 1, "Driver.GetInfo", 2, 0, {NO_INFO, FLD}},
    {"NeverReturns", 3, "away", 0, STALE, {FW, RESET, FAILED, NO_INFO, NO_INFO}},
    {"NoRow", 5, "", 0, kazsim::SIM_E_WRONG_STATE, {}},
};

class Trace : public E2eTest, public ::testing::WithParamInterface<Case> {};

TEST_P(Trace, LinesOfEveryPass)
{
    const Case& c = GetParam();
    int board = AddBoard(c.state);
    const std::string fault = c.fault;
    if (fault == "away")
        kazsim::Bench::SetNeverReturns(board, true);
    else if (!fault.empty())
        kazsim::Faults::Fail(fault, 31, c.nth);
    uint32_t result = kzmFLDinit(200, DEVICE_ID_ANY, nullptr);
    uint32_t stale = 0; // the last GetInfo's answer
    for (const kazsim::Call& call : kazsim::CallLog())
        stale = call.Name == "Driver.GetInfo" ? call.Result : stale;
    EXPECT_EQ(result, c.result == STALE ? stale : c.result);
    // More lines (the flash loader's) follow only on success.
    std::vector<std::string> trace = TraceLines();
    trace.resize(result == 0 ? std::min(trace.size(), c.lines.size()) : trace.size());
    EXPECT_EQ(trace, c.lines);
    ResetAndExpectNothingLeft(Mode::Fld);
}

INSTANTIATE_TEST_SUITE_P(Switch, Trace, ::testing::ValuesIn(CASES),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

} // namespace
