// The restart sequence from the operating firmware to the flash loader, as
// the host sees it: trace lines, the new id as handle, the flash layout line.
#include "E2eFixture.h"

namespace {

using namespace e2e;

TEST_F(E2eTest, OperatingFirmwareToFlashLoaderThroughTheBootRom)
{
    int board = AddBoard(3);
    uint64_t firstId = IdOf(board);
    uint64_t handle = 0;
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle), 0u);

    ASSERT_TRUE(kazsim::Bench::Quiesce());
    kazsim::BoardStatus status = kazsim::Bench::BoardInfo(board);
    EXPECT_EQ(status.State, 1u);
    EXPECT_EQ(status.Restarts, 2u);
    EXPECT_EQ(handle, status.DeviceId);
    EXPECT_NE(handle, firstId);

    std::vector<std::string> trace = TraceLines();
    std::vector<std::string> expected = {
        "        DEV_STATE_BAL, DEV_STATE_CCL \n",
        "        m_HwDevice.Reset \n",
        "          OK\n",
        "        DEV_STATE_ROM \n",
        "        m_HwDevice.LoadFw \n",
        "          OK\n",
        "        DEV_STATE_FLD \n",
        "    CFlashProg::Open",
        "    pKazObject->Execute",
        "        ok ",
    };
    ASSERT_GE(trace.size(), expected.size() + 1);
    EXPECT_EQ(std::vector<std::string>(trace.begin(), trace.begin() + expected.size()), expected);
    // The default flash: 8 sectors from base address 0.
    EXPECT_EQ(trace[expected.size()], "    0001, 22f6, 0008, 0010, 00000000");

    EXPECT_EQ(kzmFLDreset(), 0u);
    ExpectNothingLeft();
}

TEST_F(E2eTest, HandleOpensTheSameBoardAgain)
{
    int board = AddBoard(16);
    uint64_t handle = 0;
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle), 0u);
    EXPECT_EQ(kzmFLDreset(), 0u);
    uint64_t again = 0;
    ASSERT_EQ(kzmFLDinit(TIMEOUT_MS, handle, &again), 0u);
    EXPECT_EQ(again, handle);
    EXPECT_EQ(kazsim::Bench::BoardInfo(board).Restarts, 1u);
    EXPECT_EQ(kzmFLDreset(), 0u);
    ExpectNothingLeft();
}

TEST_F(E2eTest, BackFromTheFlashLoaderByItsSerial)
{
    int board = AddBoard(1);
    uint64_t handle = 0;
    ASSERT_EQ(kzmCCLinitSer(TIMEOUT_MS, "KZ000001", &handle), 0u);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    EXPECT_EQ(kazsim::Bench::BoardInfo(board).State, 3u);
    EXPECT_EQ(handle, IdOf(board));
    EXPECT_TRUE(TraceLines().empty()) << "switches other than to the flash loader trace nothing";
    EXPECT_EQ(kzmCCLreset(), 0u);
    ExpectNothingLeft();
}

} // namespace
