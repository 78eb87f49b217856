// The device-server library: manager, enumerator, device objects and the
// modes each firmware state offers.
#include "SimTestSupport.h"

using namespace simtest;
using kazsim::Bench;

namespace {

class ServerTest : public BenchTest {
protected:
    void SetUp() override
    {
        kazsim::BenchDesc desc;
        for (int i = 0; i < 3; ++i) {
            kazsim::BoardDesc board;
            board.Serial = "KZ00000" + std::to_string(i + 1);
            desc.Boards.push_back(board);
        }
        desc.Boards[2].BoardClass = kazsim::BOARD_CLASS_4;
        desc.Boards[2].DeviceId = 0;
        Bench::Reset(desc);
        m_Manager = Manager();
        ASSERT_EQ(m_Manager->EnumDevices(&m_Enum), 0u);
    }
    void TearDown() override
    {
        m_Enum->Release();
        m_Manager->Release();
        BenchTest::TearDown();
    }
    IKazDeviceManager* m_Manager = nullptr;
    IKazDeviceEnum* m_Enum = nullptr;
};

} // namespace

TEST_F(ServerTest, NextDeliversThenReportsExhaustion)
{
    DEVICE_RECORD record[4] = {};
    uint32_t fetched = 99;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(m_Enum->Next(1, record, &fetched), 0u);
        EXPECT_EQ(fetched, 1u);
        EXPECT_EQ(uint64_t{record[0].DeviceId}, Bench::BoardInfo(i).DeviceId);
        EXPECT_EQ(std::string(record[0].Serial), "KZ00000" + std::to_string(i + 1));
    }
    EXPECT_EQ(uint64_t{record[0].DeviceId}, 0u); // a board may be configured with id 0
    EXPECT_TRUE(SameGuid(record[0].BoardClass, kazsim::BOARD_CLASS_4));
    EXPECT_EQ(m_Enum->Next(1, record, &fetched), kazsim::SIM_E_FAIL);
    EXPECT_EQ(fetched, 0u);

    ASSERT_EQ(m_Enum->ResetEnum(), 0u);
    EXPECT_EQ(m_Enum->Next(0, record, &fetched), 0u); // records left, none asked for
    EXPECT_EQ(fetched, 0u);
    EXPECT_EQ(m_Enum->Next(4, record, &fetched), 0u); // fewer than asked still succeeds
    EXPECT_EQ(fetched, 3u);
    EXPECT_EQ(m_Enum->Next(4, record, &fetched), kazsim::SIM_E_FAIL);
    EXPECT_EQ(m_Enum->Next(0, record, &fetched), kazsim::SIM_E_FAIL);
}

TEST_F(ServerTest, EnumeratorSeesChangesOnlyAfterResetEnum)
{
    Bench::RemoveBoard(0);
    DEVICE_RECORD records[4] = {};
    uint32_t fetched = 0;
    ASSERT_EQ(m_Enum->Next(4, records, &fetched), 0u);
    EXPECT_EQ(fetched, 3u); // the list as it was when the enumerator was made
    ASSERT_EQ(m_Enum->ResetEnum(), 0u);
    ASSERT_EQ(m_Enum->Next(4, records, &fetched), 0u);
    EXPECT_EQ(fetched, 2u);
    EXPECT_EQ(uint64_t{records[0].DeviceId}, Bench::BoardInfo(1).DeviceId);
    // Serial bytes after the terminator are zero, so records compare stably.
    EXPECT_EQ(records[0].Serial[8], 0);
    EXPECT_EQ(records[0].Serial[271], 0);
}

TEST_F(ServerTest, BenchResetKeepsTheHeldObjectsWorking)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(m_Enum->AssignEvent(event), 0u);
    uint64_t oldId = Bench::BoardInfo(0).DeviceId;
    Bench::Reset(kazsim::BenchDesc::Default(), kazsim::Signal::Signalled);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(m_Enum->ResetEnum(), 0u);
    DEVICE_RECORD records[4] = {};
    uint32_t fetched = 0;
    ASSERT_EQ(m_Enum->Next(4, records, &fetched), 0u);
    EXPECT_EQ(fetched, 1u);
    IKazDevice* device = nullptr;
    EXPECT_EQ(m_Manager->OpenDevice(&oldId, &device), kazsim::SIM_E_NOT_LISTED);
    EXPECT_EQ(device, nullptr);
    // The manager is the process's one manager.
    IKazDeviceManager* again = Manager();
    EXPECT_EQ(again, m_Manager);
    again->Release();
    Bench::Reset(kazsim::BenchDesc::Default(), kazsim::Signal::Silent);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(ServerTest, ChangeEventFollowsArrivals)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_EQ(m_Enum->AssignEvent(event), 0u);
    kazsim::BoardDesc board;
    Bench::AddBoard(board);
    EXPECT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(m_Enum->AssignEvent(nullptr), 0u);
    Bench::RemoveBoard(3);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST_F(ServerTest, ComponentsFollowTheFirmwareState)
{
    struct Mode {
        const GUID* Cls;
        const GUID* Iid;
        bool Offered[4]; // in states 1, 2, 3, 16
    };
    const Mode modes[] = {
        {&CLSID_FLD, &IID_FLD, {true, false, false, false}},
        {&CLSID_BAL, &IID_BAL, {false, false, true, false}},
        {&CLSID_CCL, &IID_CCL, {false, true, true, false}},
    };
    const uint32_t states[] = {1, 2, 3, 16};
    for (int s = 0; s < 4; ++s) {
        Bench::SetState(0, states[s]);
        for (const Mode& mode : modes) {
            KZRESULT result = 1;
            IKazUnknown* component = OpenMode(Bench::BoardInfo(0).DeviceId, *mode.Cls, *mode.Iid, &result);
            EXPECT_EQ(result, mode.Offered[s] ? 0u : kazsim::SIM_E_WRONG_STATE) << "state " << states[s];
            EXPECT_EQ(component != nullptr, mode.Offered[s]);
            if (component) {
                EXPECT_EQ(component->Release(), 0u);
            }
        }
    }
    KZRESULT result = 0;
    EXPECT_EQ(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_FLD, IID_BAL, &result), nullptr);
    EXPECT_EQ(result, kazsim::SIM_E_NOINTERFACE);
}

TEST_F(ServerTest, DeviceObjectGoesStaleWhenTheBoardRestarts)
{
    uint64_t id = Bench::BoardInfo(1).DeviceId;
    IKazDevice* device = nullptr;
    ASSERT_EQ(m_Manager->OpenDevice(&id, &device), 0u);
    IKazUnknown* ccl = nullptr;
    ASSERT_EQ(device->OpenComponent(&CLSID_CCL, &IID_CCL, &ccl), 0u);
    CCL_SUMMARY summary = {};
    EXPECT_EQ(static_cast<IKazCcl*>(ccl)->GetSummary(&summary), 0u);
    Bench::Restart(1, 3);
    ASSERT_TRUE(Bench::Quiesce());
    IKazUnknown* again = nullptr;
    EXPECT_EQ(device->OpenComponent(&CLSID_CCL, &IID_CCL, &again), kazsim::SIM_E_GONE);
    EXPECT_EQ(again, nullptr);
    EXPECT_EQ(static_cast<IKazCcl*>(ccl)->GetSummary(&summary), kazsim::SIM_E_GONE);
    ccl->Release();
    device->Release();
    IKazDevice* old = nullptr;
    EXPECT_EQ(m_Manager->OpenDevice(&id, &old), kazsim::SIM_E_NOT_LISTED);
    EXPECT_EQ(old, nullptr);
    uint64_t fresh = Bench::BoardInfo(1).DeviceId;
    ASSERT_EQ(m_Manager->OpenDevice(&fresh, &device), 0u);
    device->Release();
}

TEST_F(ServerTest, VersionAndInitialisation)
{
    SERVER_VERSION version = {};
    ASSERT_EQ(GetServerVersion(&version), 0u);
    EXPECT_EQ(version.Major, 5u);
    EXPECT_EQ(version.Minor, 3u);
    Bench::SetServerVersion(7, 12, 4);
    ASSERT_EQ(GetServerVersion(&version), 0u);
    EXPECT_EQ(version.Major, 7u);
    EXPECT_EQ(version.Minor, 12u);
    EXPECT_EQ(version.Build, 4u);
    EXPECT_EQ(GetServerVersion(nullptr), kazsim::SIM_E_POINTER);
    EXPECT_EQ(InitializeServer(), 0u);
    EXPECT_EQ(InitializeServer(), 0u);
}

TEST_F(ServerTest, QueryInterfaceAndReservedSlots)
{
    IKazUnknown* bal = OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_BAL, IID_BAL);
    ASSERT_NE(bal, nullptr);
    void* same = nullptr;
    ASSERT_EQ(bal->QueryInterface(&IID_BAL, &same), 0u);
    EXPECT_EQ(same, bal);
    EXPECT_EQ(bal->QueryInterface(&IID_CCL, &same), kazsim::SIM_E_NOINTERFACE);
    EXPECT_EQ(same, nullptr);
    BAL_RECORD record = {};
    EXPECT_EQ(static_cast<IKazBal*>(bal)->Attach(&record), 0u);
    EXPECT_EQ(static_cast<IKazBal*>(bal)->Attach(nullptr), kazsim::SIM_E_POINTER);
    EXPECT_EQ(bal->Release(), 1u);
    EXPECT_EQ(bal->Release(), 0u);
    EXPECT_EQ(m_Enum->Reserved4(), kazsim::SIM_E_NOTIMPL);
}
