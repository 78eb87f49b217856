// BAL and CCL access on the virtual bench, with the reference counts the
// server sees after every path.
#include "modes/BALProg.h"
#include "modes/CCLProg.h"
#include "modes/ModeSupport.h"

using namespace kztest;
using kazsim::Faults;

namespace {
class BalProg : public CSimTest {};
class CclProg : public CSimTest {};
} // namespace

// --- BAL ------------------------------------------------------------------------

TEST_F(BalProg, OpenTakesOverTheReferenceAndCloseGivesItBack)
{
    UseBench({CclBoard()});
    CBALProg prog;
    EXPECT_EQ(prog.Close(), 0u); // nothing held: nothing called
    EXPECT_TRUE(kazsim::CallLog().empty());

    IKazBal* bal = OpenBal();
    ASSERT_NE(bal, nullptr);
    ASSERT_EQ(prog.Open(bal), 0u);
    EXPECT_EQ(prog.GetObject(), bal);
    EXPECT_EQ(BalRefs(), 1u);
    EXPECT_EQ(CountCalls("Bal.Attach"), 1);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(prog.GetObject(), nullptr);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BalProg, FailedAttachReleasesTheObjectItWasHanded)
{
    UseBench({CclBoard()});
    CBALProg prog;
    Faults::Fail("Bal.Attach", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(OpenBal()), R_INJECTED);
    EXPECT_EQ(prog.GetObject(), nullptr);
    EXPECT_EQ(BalRefs(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BalProg, SecondOpenReleasesTheFirstWhateverFollows)
{
    UseBench({CclBoard()});
    CBALProg prog;
    IKazBal* first = OpenBal();
    IKazBal* second = OpenBal();
    ASSERT_EQ(prog.Open(first), 0u);
    ASSERT_EQ(BalRefs(), 2u);
    ASSERT_EQ(prog.Open(second), 0u);
    EXPECT_EQ(prog.GetObject(), second);
    EXPECT_EQ(BalRefs(), 1u);

    // A failing second Open: neither object is held any more.
    Faults::Fail("Bal.Attach", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(OpenBal()), R_INJECTED);
    EXPECT_EQ(prog.GetObject(), nullptr);
    EXPECT_EQ(BalRefs(), 0u);

    // A null object after a successful Open.
    ASSERT_EQ(prog.Open(OpenBal()), 0u);
    EXPECT_EQ(prog.Open(nullptr), R_FAIL);
    EXPECT_EQ(prog.GetObject(), nullptr);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- CCL ------------------------------------------------------------------------

TEST_F(CclProg, OpenTakesAReferenceOfItsOwnAndCloseStopsAndReleases)
{
    UseBench({CclBoard()});
    CCCLProg prog;
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(prog.Open(nullptr), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());
    EXPECT_FALSE(prog.IsOpened());

    IKazCcl* ccl = OpenCcl();
    ASSERT_NE(ccl, nullptr);
    ASSERT_EQ(prog.Open(ccl), 0u);
    EXPECT_EQ(CclRefs(), 2u);
    EXPECT_EQ(CountCalls("Ccl.Start"), 1);
    EXPECT_TRUE(prog.IsOpened());
    ccl->Release();
    EXPECT_EQ(CclRefs(), 1u);

    uint16_t count = 0;
    ASSERT_EQ(prog.GetEntryCount(&count), 0u);
    EXPECT_EQ(count, kazsim::DefaultCclEntries().size());
    EXPECT_EQ(prog.GetEntryCount(nullptr), R_FAIL);

    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 1);
    EXPECT_EQ(CclRefs(), 0u);
    EXPECT_TRUE(prog.IsOpened()); // the flag stays
    count = 77;
    EXPECT_EQ(prog.GetEntryCount(&count), R_FAIL);
    EXPECT_EQ(count, 77u);
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 1);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(CclProg, SecondOpenWithoutCloseLeavesExactlyOneReferenceBehind)
{
    UseBench({CclBoard()});
    CCCLProg prog;
    IKazCcl* first = OpenCcl();
    IKazCcl* second = OpenCcl();
    ASSERT_EQ(prog.Open(first), 0u);
    ASSERT_EQ(prog.Open(second), 0u);
    EXPECT_EQ(prog.GetObject(), second);
    EXPECT_EQ(CclRefs(), 4u); // each object: the caller's and one taken by Open
    first->Release();
    second->Release();
    prog.Close();
    // The reference taken on the first object was replaced, not released.
    EXPECT_EQ(kazsim::Accounting().Ccls.Objects, 1u);
    EXPECT_EQ(CclRefs(), 1u);
    EXPECT_NE(kazsim::LeftBehind(), "");
    first->Release();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(CclProg, RefusedStartChangesNothing)
{
    UseBench({CclBoard()});
    CCCLProg prog;
    IKazCcl* ccl = OpenCcl();
    Faults::Fail("Ccl.Start", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(ccl), R_INJECTED);
    EXPECT_FALSE(prog.IsOpened());
    EXPECT_EQ(prog.GetObject(), nullptr);
    EXPECT_EQ(CclRefs(), 1u);

    // With an object held, a refused Open keeps it.
    IKazCcl* other = OpenCcl();
    ASSERT_EQ(prog.Open(ccl), 0u);
    Faults::Fail("Ccl.Start", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(other), R_INJECTED);
    EXPECT_EQ(prog.GetObject(), ccl);
    EXPECT_EQ(CclRefs(), 3u);
    other->Release();
    ccl->Release();
    prog.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(CclProg, EntryCountAndValues)
{
    UseBench({CclBoard({Entry(1, 1, 256, 11), Entry(3, 3, 64, 33), Entry(1, 2, 256, 22)})});
    CCCLProg prog;
    uint16_t value = 99;
    EXPECT_EQ(prog.GetEntryValue(0, &value), R_FAIL); // no object
    EXPECT_EQ(prog.GetEntryValue(0, nullptr), 0u);
    EXPECT_EQ(value, 99u);
    IKazCcl* ccl = OpenCcl();
    ASSERT_EQ(prog.Open(ccl), 0u);
    ccl->Release();

    ASSERT_EQ(prog.GetEntryValue(0, &value), 0u);
    EXPECT_EQ(value, 11u);
    ASSERT_EQ(prog.GetEntryValue(2, &value), 0u);
    EXPECT_EQ(value, 22u);
    value = 99;
    EXPECT_EQ(prog.GetEntryValue(1, &value), 0u); // first kind 3: nothing stored
    EXPECT_EQ(value, 99u);
    EXPECT_EQ(prog.GetEntryValue(3, &value), kazsim::SIM_E_INVALIDARG);
    kazsim::ClearCallLog();
    EXPECT_EQ(prog.GetEntryValue(0, nullptr), 0u);
    EXPECT_EQ(CountCalls("Ccl.GetEntry"), 0);
    Faults::Fail("Ccl.GetEntry", R_INJECTED, 1);
    EXPECT_EQ(prog.GetEntryValue(0, &value), R_INJECTED);
    EXPECT_EQ(value, 99u);

    uint16_t count = 77;
    Faults::Fail("Ccl.GetSummary", R_INJECTED, 1);
    EXPECT_EQ(prog.GetEntryCount(&count), R_INJECTED);
    EXPECT_EQ(count, 77u);
    ASSERT_EQ(prog.GetEntryCount(&count), 0u);
    EXPECT_EQ(count, 3u);
    prog.Close();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}
