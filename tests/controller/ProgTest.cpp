// The board controller on the virtual bench: opening and closing, the
// switching routines' passes, and the access objects it gives out.
#include "controller/Prog.h"
#include "device/SetupApiTable.h"
#include "frame/Reporter.h"

#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr uint32_t TIMEOUT_MS = 3000;

std::vector<std::string> g_Trace;

void CollectTrace(void*, uint8_t kind, const char* text)
{
    if (kind == REPORT_TRACE)
        g_Trace.push_back(text);
}

unsigned CountCalls(const std::string& name)
{
    auto log = kazsim::CallLog();
    return static_cast<unsigned>(
        std::count_if(log.begin(), log.end(), [&](const kazsim::Call& c) { return c.Name == name; }));
}

class ProgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        kazsim::Bench::Reset(kazsim::BenchDesc::Empty());
        m_hSetupApi = BindSetupApi();
        ASSERT_NE(m_hSetupApi, nullptr);
        ASSERT_EQ(InitializeServer(), 0u);
        m_pProg = std::make_unique<CProg>();
        CReporter::Get()->SetCallback(nullptr, CollectTrace);
        g_Trace.clear();
    }
    void TearDown() override
    {
        m_pProg->Close();
        m_pProg.reset();
        UnbindSetupApi(m_hSetupApi);
        ASSERT_TRUE(kazsim::Bench::Quiesce());
        EXPECT_EQ(kazsim::LeftBehind(), "");
    }
    static int AddBoard(uint32_t state, const std::string& serial, const GUID& boardClass = kazsim::BOARD_CLASS_1)
    {
        kazsim::BoardDesc board;
        board.State = state;
        board.Serial = serial;
        board.BoardClass = boardClass;
        return kazsim::Bench::AddBoard(board);
    }
    static uint64_t IdOf(int board) { return kazsim::Bench::BoardInfo(board).DeviceId; }

    HMODULE m_hSetupApi = nullptr;
    std::unique_ptr<CProg> m_pProg;
};

TEST_F(ProgTest, OpenByIdSelectsTheBoardAndCloseKeepsItsId)
{
    AddBoard(3, "ONE");
    int second = AddBoard(3, "TWO");
    ASSERT_EQ(m_pProg->OpenById(IdOf(second)), 0u);
    EXPECT_EQ(m_pProg->GetDeviceId(), IdOf(second));
    EXPECT_EQ(m_pProg->ServerDevice().GetSelectedId(), IdOf(second));
    EXPECT_NE(m_pProg->HwDevice().GetHandle(), nullptr);
    EXPECT_EQ(m_pProg->Close(), 0u);
    EXPECT_EQ(m_pProg->GetDeviceId(), IdOf(second));
    EXPECT_EQ(m_pProg->ServerDevice().GetSelectedId(), DEVICE_ID_ANY);
    EXPECT_EQ(m_pProg->HwDevice().GetHandle(), nullptr);
}

TEST_F(ProgTest, FailedOpenClosesAndGivesTheChannelsCode)
{
    int board = AddBoard(3, "ONE");
    kazsim::Faults::Fail("Driver.GetInfo", 31);
    EXPECT_EQ(m_pProg->OpenById(IdOf(board)), 31u);
    EXPECT_EQ(m_pProg->HwDevice().GetHandle(), nullptr);
    EXPECT_EQ(kazsim::Bench::BoardInfo(board).OpenHandles, 0u);
    kazsim::Faults::Clear();

    kazsim::Faults::Fail("DeviceManager.OpenDevice", 0xE0010099);
    EXPECT_EQ(m_pProg->OpenById(IdOf(board)), 0xE0010099u);
    EXPECT_EQ(m_pProg->HwDevice().GetHandle(), nullptr);
    EXPECT_EQ(m_pProg->ServerDevice().GetSelectedId(), DEVICE_ID_ANY);
}

TEST_F(ProgTest, OpenBySerialRemembersTheSerialOnlyOnSuccess)
{
    int board = AddBoard(3, "SER-A");
    ASSERT_EQ(m_pProg->OpenBySerial("SER-A"), 0u);
    EXPECT_STREQ(m_pProg->GetSerial(), "SER-A");
    EXPECT_EQ(m_pProg->GetDeviceId(), IdOf(board));
    m_pProg->Close();
    EXPECT_EQ(m_pProg->OpenBySerial("SER-B"), KZM_E_FAIL);
    EXPECT_STREQ(m_pProg->GetSerial(), "SER-A");
    EXPECT_EQ(m_pProg->HwDevice().GetHandle(), nullptr);
}

TEST_F(ProgTest, OpenBySerialWithoutSerialOpensTheLastBoardWithoutSearching)
{
    int board = AddBoard(3, "SER-A");
    ASSERT_EQ(m_pProg->OpenById(IdOf(board)), 0u);
    m_pProg->Close();
    kazsim::ClearCallLog();
    ASSERT_EQ(m_pProg->OpenBySerial(nullptr), 0u);
    EXPECT_EQ(CountCalls("Enum.Next"), 0u);
    EXPECT_EQ(m_pProg->ServerDevice().GetSelectedId(), IdOf(board));
}

TEST_F(ProgTest, GetProgOperationsRefuseNullAndGiveTheirMembers)
{
    CFlashProg* flash = nullptr;
    CBALProg* bal = nullptr;
    CCCLProg* ccl = nullptr;
    CBGIProg* bgi = nullptr;
    EXPECT_EQ(m_pProg->GetFldProg(nullptr), KZM_E_FAIL);
    EXPECT_EQ(m_pProg->GetBalProg(nullptr), KZM_E_FAIL);
    EXPECT_EQ(m_pProg->GetCclProg(nullptr), KZM_E_FAIL);
    EXPECT_EQ(m_pProg->GetBgiProg(nullptr), KZM_E_FAIL);
    EXPECT_EQ(m_pProg->GetFldProg(&flash), 0u);
    EXPECT_EQ(m_pProg->GetBalProg(&bal), 0u);
    EXPECT_EQ(m_pProg->GetCclProg(&ccl), 0u);
    EXPECT_EQ(m_pProg->GetBgiProg(&bgi), 0u);
    EXPECT_NE(flash, nullptr);
    EXPECT_NE(static_cast<void*>(ccl), static_cast<void*>(bgi)) << "CCL and BGI have access objects of their own";
}

TEST_F(ProgTest, StatesWithoutARowRunThreeSilentPasses)
{
    int board = AddBoard(5, "S5");
    ASSERT_EQ(m_pProg->OpenById(IdOf(board)), 0u);
    for (auto routine : {&CProg::SwitchToFld, &CProg::SwitchToBal, &CProg::SwitchToCcl}) {
        kazsim::ClearCallLog();
        EXPECT_EQ(((*m_pProg).*routine)(TIMEOUT_MS), 0u);
        EXPECT_EQ(CountCalls("Driver.GetInfo"), 3u);
        EXPECT_EQ(CountCalls("Driver.Reset") + CountCalls("Driver.LoadFw"), 0u);
    }
    EXPECT_TRUE(g_Trace.empty());
}

TEST_F(ProgTest, BootRomToFlashLoaderTraceLines)
{
    int board = AddBoard(16, "S16");
    ASSERT_EQ(m_pProg->OpenById(IdOf(board)), 0u);
    EXPECT_EQ(m_pProg->SwitchToFld(TIMEOUT_MS), 0u);
    std::vector<std::string> expected = {"        DEV_STATE_ROM \n", "        m_HwDevice.LoadFw \n", "          OK\n",
                                         "        DEV_STATE_FLD \n"};
    EXPECT_EQ(g_Trace, expected);
    EXPECT_EQ(m_pProg->GetDeviceId(), IdOf(board));
}

TEST_F(ProgTest, RefusedRequestEndsThePassAndIsReported)
{
    int board = AddBoard(3, "S3");
    ASSERT_EQ(m_pProg->OpenById(IdOf(board)), 0u);
    kazsim::Faults::Fail("Driver.Reset", 31);
    EXPECT_EQ(m_pProg->SwitchToFld(TIMEOUT_MS), 31u);
    const std::vector<std::string>& lines = g_Trace;
    ASSERT_EQ(lines.size(), 6u);
    for (int pass = 0; pass < 3; ++pass) {
        EXPECT_EQ(lines[2 * pass], "        DEV_STATE_BAL, DEV_STATE_CCL \n");
        EXPECT_EQ(lines[2 * pass + 1], "        m_HwDevice.Reset COMMAND failed\n");
    }
}

TEST_F(ProgTest, FailedSelectionAtTheTargetKeepsTheOldIdAndStillSucceeds)
{
    int board = AddBoard(16, "S16");
    uint64_t firstId = IdOf(board);
    ASSERT_EQ(m_pProg->OpenById(firstId), 0u);
    // Counted from now: the next OpenDevice is the target's selection.
    kazsim::Faults::Fail("DeviceManager.OpenDevice", 0xE0010099, 1);
    EXPECT_EQ(m_pProg->SwitchToFld(TIMEOUT_MS), 0u);
    EXPECT_EQ(m_pProg->GetDeviceId(), firstId);
    EXPECT_EQ(m_pProg->ServerDevice().GetSelectedId(), DEVICE_ID_ANY);
    EXPECT_NE(IdOf(board), firstId);
}

TEST_F(ProgTest, BgiResetGivesTheStopFailureAndStillReleasesEverything)
{
    AddBoard(3, "S3");
    ASSERT_EQ(m_pProg->OpenBySerial("S3"), 0u);
    ASSERT_EQ(m_pProg->InitBgi(TIMEOUT_MS), 0u);
    kazsim::Faults::Fail("Ccl.Command.Response", 0xE0010077);
    EXPECT_EQ(m_pProg->ResetBgi(), 0xE0010077u);
}

} // namespace
