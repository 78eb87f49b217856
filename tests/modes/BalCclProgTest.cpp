// BAL and CCL access on the virtual bench, with the reference counts the
// server sees after every path.
#include "device/SimSupport.h"
#include "modes/BALProg.h"
#include "modes/CCLProg.h"

using namespace kztest;
using kazsim::Faults;

namespace {
class BalProg : public CSimTest {};
class CclProg : public CSimTest {};
} // namespace

TEST_F(BalProg, OpenKeepsTheReferenceAndEveryOtherWayGivesItBack)
{
    UseBench({CclBoard()});
    CBALProg prog;
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_TRUE(kazsim::CallLog().empty()) << "nothing held, nothing called";
    IKazBal* first = OpenBal();
    ASSERT_EQ(prog.Open(first), 0u);
    EXPECT_EQ(BalRefs(), 1u);
    ASSERT_EQ(prog.Open(OpenBal()), 0u);
    EXPECT_EQ(BalRefs(), 1u) << "a second Open gives the first object back";
    Faults::Fail("Bal.Attach", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(OpenBal()), R_INJECTED);
    EXPECT_EQ(BalRefs(), 0u) << "a refused attach holds nothing";
    ASSERT_EQ(prog.Open(OpenBal()), 0u);
    EXPECT_EQ(prog.Open(nullptr), R_FAIL);
    EXPECT_EQ(BalRefs(), 0u);
    ASSERT_EQ(prog.Open(OpenBal()), 0u);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(CclProg, OpenTakesAReferenceOfItsOwnAndCloseStopsAndReleases)
{
    UseBench({CclBoard()});
    CCCLProg prog;
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(prog.Open(nullptr), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());
    IKazCcl* ccl = OpenCcl();
    Faults::Fail("Ccl.Start", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(ccl), R_INJECTED);
    EXPECT_EQ(CclRefs(), 1u) << "a refused start takes nothing";
    ASSERT_EQ(prog.Open(ccl), 0u);
    EXPECT_EQ(CclRefs(), 2u);
    ccl->Release();
    uint16_t count = 0;
    ASSERT_EQ(prog.GetEntryCount(&count), 0u);
    EXPECT_EQ(count, kazsim::DefaultCclEntries().size());
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 1u);
    EXPECT_EQ(CclRefs(), 0u);
    count = 77;
    EXPECT_EQ(prog.GetEntryCount(&count), R_FAIL) << "closed, though the opened flag stays";
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 1u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(CclProg, EntryValuesOfKindOneOnly)
{
    UseBench({CclBoard({Entry(1, 1, 256, 11), Entry(3, 3, 64, 33), Entry(1, 2, 256, 22)})});
    CCCLProg prog;
    IKazCcl* ccl = OpenCcl();
    ASSERT_EQ(prog.Open(ccl), 0u);
    ccl->Release();
    const struct {
        uint16_t entry;
        KZMRESULT result;
        uint16_t value;
    } cases[] = {{0, 0, 11}, {2, 0, 22}, {1, 0, 99}, {3, kazsim::SIM_E_INVALIDARG, 99}};
    for (const auto& c : cases) {
        uint16_t value = 99;
        EXPECT_EQ(prog.GetEntryValue(c.entry, &value), c.result) << c.entry;
        EXPECT_EQ(value, c.value) << c.entry;
    }
    uint16_t count = 77;
    Faults::Fail("Ccl.GetSummary", R_INJECTED, 1);
    EXPECT_EQ(prog.GetEntryCount(&count), R_INJECTED);
    EXPECT_EQ(count, 77u);
    prog.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}
