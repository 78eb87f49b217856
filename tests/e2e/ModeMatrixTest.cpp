// Every firmware state brought into every mode through the exports: the result,
// the handle, the restarts, the attaches, and what the mode's reset leaves.
#include "E2eFixture.h"

namespace {

using namespace e2e;

struct Case {
    Mode mode;
    uint32_t state;
    By by;
    uint32_t result;   // of the init
    uint32_t restarts; // the board went through
    uint32_t endState;
    uint32_t attaches; // Fld.Execute, Bal.Attach or Ccl.Start calls
};

constexpr uint32_t OK = 0;
constexpr uint32_t NO_HANDLE = KZM_E_INVALIDARG; // the board was not found again after its restart
constexpr uint32_t REFUSED = kazsim::SIM_E_WRONG_STATE;

// Opened by id, the controller knows no serial: a restart into the operating
// firmware loses the board, and the later passes find no handle. Any board
// gets a second attempt, which finds it in its new state. BAL and CCL by id
// attach twice, everything else once.
const Case CASES[] = {
    {Mode::Fld, 1, By::Id, OK, 0, 1, 1},        {Mode::Fld, 2, By::Id, OK, 2, 1, 1},
    {Mode::Fld, 3, By::Id, OK, 2, 1, 1},        {Mode::Fld, 16, By::Id, OK, 1, 1, 1},
    {Mode::Fld, 5, By::Any, REFUSED, 0, 5, 0},  {Mode::Bal, 1, By::Id, NO_HANDLE, 1, 3, 0},
    {Mode::Bal, 2, By::Id, NO_HANDLE, 1, 3, 0}, {Mode::Bal, 2, By::Any, OK, 1, 3, 2},
    {Mode::Bal, 3, By::Id, OK, 0, 3, 2},        {Mode::Bal, 3, By::Any, OK, 0, 3, 2},
    {Mode::Bal, 16, By::Id, REFUSED, 0, 16, 0}, {Mode::Bal, 5, By::Any, REFUSED, 0, 5, 0},
    {Mode::Bal, 1, By::Serial, OK, 1, 3, 1},    {Mode::Bal, 2, By::Serial, OK, 1, 3, 1},
    {Mode::Bal, 3, By::Serial, OK, 0, 3, 1},    {Mode::Bal, 5, By::Serial, REFUSED, 0, 5, 0},
    {Mode::Ccl, 1, By::Id, NO_HANDLE, 1, 3, 0}, {Mode::Ccl, 1, By::Any, OK, 1, 3, 2},
    {Mode::Ccl, 2, By::Id, OK, 0, 2, 2},        {Mode::Ccl, 3, By::Id, OK, 0, 3, 2},
    {Mode::Ccl, 16, By::Id, REFUSED, 0, 16, 0}, {Mode::Ccl, 5, By::Id, REFUSED, 0, 5, 0},
    {Mode::Ccl, 1, By::Serial, OK, 1, 3, 1},    {Mode::Ccl, 2, By::Serial, OK, 0, 2, 1},
    {Mode::Bgi, 1, By::Id, NO_HANDLE, 1, 3, 0}, {Mode::Bgi, 1, By::Any, OK, 1, 3, 1},
    {Mode::Bgi, 2, By::Id, OK, 0, 2, 1},        {Mode::Bgi, 3, By::Id, OK, 0, 3, 1},
    {Mode::Bgi, 16, By::Id, REFUSED, 0, 16, 0}, {Mode::Bgi, 5, By::Any, REFUSED, 0, 5, 0},
};

class ModeMatrix : public E2eTest, public ::testing::WithParamInterface<Case> {};

TEST_P(ModeMatrix, InitGivesTheExpectedResultAndResetLeavesNothing)
{
    const Case& c = GetParam();
    int board = AddBoard(c.state);
    uint64_t handle = 0x1234;
    EXPECT_EQ(Init(c.mode, c.by, IdOf(board), &handle), c.result);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    const kazsim::BoardStatus status = kazsim::Bench::BoardInfo(board);
    EXPECT_EQ(std::make_pair(status.Restarts, status.State), std::make_pair(c.restarts, c.endState));
    const char* attach = c.mode == Mode::Fld ? "Fld.Execute" : c.mode == Mode::Bal ? "Bal.Attach" : "Ccl.Start";
    EXPECT_EQ(CountCalls(attach), c.attaches);
    // Written only on success: the id the board has now.
    EXPECT_EQ(handle, c.result == OK ? status.DeviceId : 0x1234u);
    EXPECT_EQ(Reset(c.mode), 0u);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    kazsim::AccountingInfo now = kazsim::Accounting();
    const kazsim::AccountingInfo base = kazsim::AccountingBaseline();
    // The second attach of kzmCCLinit replaces the access object's reference
    // without releasing it: exactly one stays behind.
    const uint32_t kept = c.mode == Mode::Ccl && c.by != By::Serial && c.result == OK;
    EXPECT_EQ(now.Ccls.References - base.Ccls.References, kept);
    now.Ccls = base.Ccls;
    EXPECT_EQ(now.LeftBehind(base), "");
    EXPECT_EQ(kazsim::Bench::BoardInfo(board).OpenHandles, 0u);
}

INSTANTIATE_TEST_SUITE_P(AllStates, ModeMatrix, ::testing::ValuesIn(CASES),
                         [](const auto& info) { return Name(info.param.mode, info.param.by, info.param.state); });

} // namespace
