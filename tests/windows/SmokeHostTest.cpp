// Smoke test of the production KAZMIR.dll: a host loads it with a stand-in
// KAZAPI.dll of this test's own and Wine's real SetupApi.DLL. The library
// must attach to the device server at load, initialise, report its version,
// call back, bind all 27 Setup-API names, and, with no board on the machine,
// fail kzmFLDinit with 0x80004005, leaving nothing open; its unload gives
// everything back.
#include "KazmirModule.h"
#include "StandInKazApi.h"

#include "device/SetupApiTable.h"

using namespace hosttest;

namespace {

struct Report {
    uint8_t Kind;
    std::string Text;
    void* Context;
};
std::vector<Report> g_Reports;
void CollectReport(void* context, uint8_t kind, const char* text)
{
    g_Reports.push_back({kind, text, context});
}

class Smoke : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The host keeps its own reference on the stand-in, so that its
        // counters outlive KAZMIR.dll.
        m_hStandIn = LoadLibraryA("KAZAPI.dll");
        ASSERT_NE(m_hStandIn, nullptr);
        auto state = reinterpret_cast<PFN_StandInState>(
            reinterpret_cast<void*>(GetProcAddress(m_hStandIn, STAND_IN_STATE_EXPORT)));
        ASSERT_NE(state, nullptr) << "KAZAPI.dll next to the test is not the stand-in";
        m_pState = state();
        g_Reports.clear();
    }
    void TearDown() override { FreeLibrary(m_hStandIn); }

    HMODULE m_hStandIn = nullptr;
    STAND_IN_STATE* m_pState = nullptr;
};

} // namespace

TEST_F(Smoke, LoadInitialiseCallBackAndUnload)
{
    HANDLE changeEvent = nullptr;
    {
        CKazmirModule kazmir;
        ASSERT_NE(kazmir.Handle(), nullptr) << "LoadLibraryA(KAZMIR.dll) failed with " << kazmir.LoadError();
        // Attached at load: device manager, enumerator, change event; no
        // initialisation yet.
        EXPECT_EQ(std::make_pair(m_pState->ManagerRefs, m_pState->EnumRefs), std::make_pair(1, 1));
        EXPECT_EQ(std::make_pair(m_pState->AssignEventCalls, m_pState->InitializeCalls), std::make_pair(1u, 0u));
        changeEvent = m_pState->ChangeEvent;
        ASSERT_NE(changeEvent, nullptr);
        EXPECT_EQ(WaitForSingleObject(changeEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // a real, quiet event
        EXPECT_TRUE(SetEvent(changeEvent));
        EXPECT_EQ(WaitForSingleObject(changeEvent, 0), WAIT_OBJECT_0);
        EXPECT_EQ(WaitForSingleObject(changeEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // auto-reset

        ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
        EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
        EXPECT_EQ(m_pState->InitializeCalls, 1u);
        EXPECT_NE(GetModuleHandleA("setupapi.dll"), nullptr) << "Wine's Setup API was not loaded";
        uint32_t version[4] = {0, 0, 9, 9};
        EXPECT_EQ(kazmir.Ordinal<PfnGetVersion>(1001)(&version[0], &version[1], &version[2], &version[3]), KZM_OK);
        EXPECT_EQ(std::vector<uint32_t>(version, version + 4),
                  (std::vector<uint32_t>{STAND_IN_MAJOR, STAND_IN_MINOR, 0, 0}));
        int context = 0;
        ASSERT_EQ(kazmir.Ordinal<PfnRegisterCallback>(1010)(&context, CollectReport), KZM_OK);
        ASSERT_EQ(g_Reports.size(), 1u);
        EXPECT_EQ(g_Reports[0].Kind, REPORT_TEST);
        EXPECT_EQ(g_Reports[0].Text, "test");
        EXPECT_EQ(g_Reports[0].Context, nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("KAZMIR.dll"), nullptr);
    EXPECT_EQ(std::make_pair(m_pState->ManagerRefs, m_pState->EnumRefs), std::make_pair(0, 0));
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(changeEvent, &flags)) << "the change event was not closed";
}

TEST_F(Smoke, AllSetupApiNamesBindAgainstWine)
{
    HMODULE module = BindSetupApi(); // the library's own binding code and list of names
    ASSERT_NE(module, nullptr) << "one of the 27 names is missing from Wine's setupapi.dll";
    EXPECT_EQ(module, GetModuleHandleA("setupapi.dll"));
    const FARPROC* entries = reinterpret_cast<const FARPROC*>(&g_SetupApi);
    for (unsigned i = 0; i < SETUPAPI_ENTRY_COUNT; ++i)
        EXPECT_EQ(entries[i], GetProcAddress(module, g_SetupApiNames[i])) << g_SetupApiNames[i];
    UnbindSetupApi(module);
    EXPECT_EQ(g_SetupApi.SetupDiGetClassDevsA, nullptr);
}

TEST_F(Smoke, FldInitWithoutBoardFailsAndLeavesNothingOpen)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    // The device server lists a board, by its id and as any board; Wine's
    // Setup API knows no driver for it.
    auto init = kazmir.Ordinal<PfnInit>(2200);
    uint64_t handle = 0x1234;
    EXPECT_EQ(init(1000, DEVICE_ID_ANY, &handle), KZM_E_FAIL);
    EXPECT_EQ(init(1000, STAND_IN_DEVICE_ID, &handle), KZM_E_FAIL);
    EXPECT_EQ(handle, 0x1234u);
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2201)(), KZM_OK);
    EXPECT_EQ(m_pState->OpenDeviceCalls, 0u);
    EXPECT_EQ(std::make_pair(m_pState->ManagerRefs, m_pState->EnumRefs), std::make_pair(1, 1));
}
