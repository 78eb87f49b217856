// The device-server library: device list, mode objects by firmware state,
// the flash loader, the CCL object and its channels, and the arguments and
// events the real server refuses.
#include "SimTestSupport.h"

using namespace simtest;
using namespace kazsim; // the SIM_E_ result codes

class ServerTest : public BenchTest {};

TEST_F(ServerTest, ModeObjectsFollowTheStateAndGoStaleOnRestart)
{
    const KZRESULT no = SIM_E_WRONG_STATE;
    const struct {
        uint32_t State;
        KZRESULT Fld, Bal, Ccl;
    } rows[] = {{1, 0, no, no}, {2, no, no, 0}, {3, no, 0, 0}, {16, no, no, no}};
    for (const auto& row : rows) {
        Bench::SetState(0, row.State);
        const struct {
            const GUID &Cls, &Iid;
            KZRESULT Want;
        } modes[] = {{CLSID_FLD, IID_FLD, row.Fld},
                     {CLSID_BAL, IID_BAL, row.Bal},
                     {CLSID_CCL, IID_CCL, row.Ccl},
                     {CLSID_FLD, IID_BAL, SIM_E_NOINTERFACE}};
        for (const auto& mode : modes) {
            KZRESULT result = 1;
            IKazUnknown* object = OpenMode(0, mode.Cls, mode.Iid, &result);
            EXPECT_EQ(result, mode.Want) << "state " << row.State;
            void* again = nullptr;
            EXPECT_TRUE(!object || (object->QueryInterface(&mode.Iid, &again) == 0 &&
                                    object->QueryInterface(&IID_AUX_CHANNEL, &again) == SIM_E_NOINTERFACE &&
                                    object->Release() + object->Release() == 1));
        }
    }
    Bench::SetState(0, DEV_STATE_CCL);
    auto* ccl = OpenMode<IKazCcl>(0, CLSID_CCL, IID_CCL);
    EXPECT_EQ(ccl->Reserved7(), SIM_E_NOTIMPL);
    Bench::Restart(0, 3);
    EXPECT_EQ(ccl->Start(0, 0, 0), SIM_E_GONE);
    EXPECT_EQ(ccl->Release(), 0u);
    EXPECT_EQ(ccl->Stop(), SIM_E_RELEASED);
    EXPECT_EQ(LeftBehind(), "calls on released objects: 1\n");
}

TEST_F(ServerTest, FlashLoaderMovesWholeSectorsAndWritingOnlyClearsBits)
{
    Bench::SetState(0, DEV_STATE_FLD);
    auto* fld = OpenMode<IKazFlashLoader>(0, CLSID_FLD, IID_FLD);
    FLASH_INFO info = {};
    EXPECT_EQ(fld->GetFlashInfo(&info), SIM_E_NOT_READY);
    ASSERT_EQ(fld->Execute(0, 0), 0u);
    ASSERT_EQ(fld->GetFlashInfo(&info), 0u);
    EXPECT_EQ(info.FlashSize + info.SectorCount + info.Word6, 0x80000u + 8 + 0x22F6);
    SECTOR_INFO sector = {};
    ASSERT_EQ(fld->GetSectorInfo(5u << 16, &sector), 0u);
    EXPECT_EQ(sector.Size, 0x20000u);
    EXPECT_EQ(sector.Offset, 0x20000u); // 4 x 16 KiB + 64 KiB
    EXPECT_EQ(fld->GetSectorInfo(8u << 16, &sector), SIM_E_INVALIDARG);
    EXPECT_EQ(fld->EraseSector((1u << 16) | 1), SIM_E_INVALIDARG);
    std::vector<uint8_t> data(0x4000, 0x0F), back(0x4000);
    EXPECT_EQ(fld->WriteSector(1u << 16, data.data(), 0x3FFF), SIM_E_INVALIDARG);
    Bench::SetFlash(0, 0x4000, {0xF3});
    ASSERT_EQ(fld->WriteSector(1u << 16, data.data(), 0x4000), 0u);
    ASSERT_EQ(fld->ReadSector(1u << 16, back.data(), 0x4000), 0u);
    EXPECT_EQ(back[0] * 256 + back[1], 0x030F);
    ASSERT_EQ(fld->EraseSector(1u << 16), 0u);
    EXPECT_EQ(Bench::FlashContents(0)[0x4000], 0xFF);
    ASSERT_EQ(fld->Stop(), 0u);
    EXPECT_EQ(fld->EraseSector(0), SIM_E_NOT_READY);
    fld->Release();
}

// What the real server refuses from its caller, each with the refusal named.
TEST_F(ServerTest, RefusedArgumentsAndEvents)
{
    HANDLE manual = CreateEventA(nullptr, TRUE, FALSE, nullptr), set = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    IKazDeviceManager* manager = nullptr;
    IKazDeviceEnum* deviceEnum = nullptr;
    GetDeviceManager(&manager);
    manager->EnumDevices(&deviceEnum);
    auto* bal = OpenMode<IKazBal>(0, CLSID_BAL, IID_BAL);
    auto* ccl = OpenMode<IKazCcl>(0, CLSID_CCL, IID_CCL);
    Bench::SetState(0, DEV_STATE_FLD);
    auto* fld = OpenMode<IKazFlashLoader>(0, CLSID_FLD, IID_FLD);
    BAL_RECORD record = {};
    record.Bytes[69] = 1;
    CCL_REQUEST request = {12, CCL_TARGET_ALL, 0, CCL_START_ENTRY};
    CCL_RESPONSE response = {11, 0, 0};
    DEVICE_RECORD one = {};
    const struct {
        const char* Refusal;
        KZRESULT Result, Want;
    } rows[] = {
        {"Enum.AssignEvent: event (manual-reset)", deviceEnum->AssignEvent(manual), SIM_E_INVALIDARG},
        {"Enum.AssignEvent: event (signalled)", deviceEnum->AssignEvent(set), SIM_E_INVALIDARG},
        {"Enum.AssignEvent: event (not an event handle)", deviceEnum->AssignEvent(reinterpret_cast<HANDLE>(0x7FF0)),
         SIM_E_INVALIDARG},
        {"Enum.Next: fetched (null)", deviceEnum->Next(1, &one, nullptr), SIM_E_POINTER},
        {"Bal.Attach: record (not 70 zero bytes)", bal->Attach(&record), SIM_E_INVALIDARG},
        {"Ccl.Start: arguments (1, 0, 0), not (0, 0, 0)", ccl->Start(1, 0, 0), SIM_E_INVALIDARG},
        {"Ccl.Command: response->Size 11", (ccl->Start(0, 0, 0), ccl->Command(&request, &response)), SIM_E_INVALIDARG},
        {"Fld.Execute: arguments (0, 1), not (0, 0)", fld->Execute(0, 1), SIM_E_INVALIDARG},
    };
    std::vector<std::string> refusals = Refusals();
    ASSERT_EQ(refusals.size(), std::size(rows));
    for (size_t i = 0; i < std::size(rows); ++i) {
        EXPECT_EQ(rows[i].Result, rows[i].Want) << rows[i].Refusal;
        EXPECT_EQ(refusals[i], rows[i].Refusal);
    }
    EXPECT_EQ(one.DeviceId, 0u) << "nothing delivered without the count";
    record.Bytes[69] = 0;
    EXPECT_EQ(bal->Attach(&record) + deviceEnum->AssignEvent(nullptr), 0u);
    for (IKazUnknown* object : std::initializer_list<IKazUnknown*>{bal, ccl, fld, deviceEnum, manager})
        object->Release();
    CloseHandle(manual);
    CloseHandle(set);
}

struct Channel {
    IKazChannel* Object = nullptr;
    uint64_t Creation = 0;
    HANDLE Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
};

// Creates, binds and starts the channel of an entry as the library does.
static void OpenChannel(IKazCcl* ccl, Channel* channel, uint16_t index, const GUID& iid)
{
    CCL_ENTRY entry = {};
    CCL_REQUEST request = {12, CCL_TARGET_ALL, index, CCL_START_ENTRY};
    CCL_RESPONSE response = {12, 0, 1};
    ASSERT_EQ(ccl->GetEntry(index, &entry), 0u);
    ASSERT_EQ(CreateChannelObject(&channel->Creation, &entry, &iid, &channel->Object), 0u);
    ASSERT_EQ(ccl->BindEntry(index, &channel->Creation), 0u);
    ASSERT_EQ(channel->Object->AssignEvent(channel->Event), 0u);
    ASSERT_EQ(ccl->Command(&request, &response) + response.Result, 0u);
}

TEST_F(ServerTest, FullQueuesHoldBackAndEventsClosedEarlyAreCounted)
{
    auto* ccl = OpenMode<IKazCcl>(0, CLSID_CCL, IID_CCL);
    ASSERT_EQ(ccl->Start(0, 0, 0), 0u);
    Channel send, receive;
    OpenChannel(ccl, &send, 0, IID_SEND_CHANNEL);
    uint8_t* slot = nullptr;
    CHANNEL_STATUS status = {};
    for (uint8_t i = 0; i < 8; ++i) { // no receive entry started: the echo waits, the queue fills
        ASSERT_EQ(send.Object->GetCurrentEntry(&slot, &status), 0u);
        std::memset(slot, 'a' + i, 256);
        ASSERT_EQ(send.Object->ReleaseEntries(1), 0u);
        ASSERT_TRUE(Bench::Quiesce());
    }
    EXPECT_EQ(send.Object->GetCurrentEntry(&slot, &status), SIM_E_PENDING);
    EXPECT_EQ(send.Object->ReleaseEntries(1), SIM_E_INVALIDARG);
    EXPECT_EQ(send.Object->GetReceiveStatus(&status), SIM_E_UNEXPECTED);
    OpenChannel(ccl, &receive, 1, IID_RECEIVE_CHANNEL);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(WaitForSingleObject(receive.Event, 0) + WaitForSingleObject(send.Event, 0), WAIT_OBJECT_0);
    ASSERT_EQ(receive.Object->GetCurrentEntry(&slot, &status), 0u);
    EXPECT_EQ(status.Available * 1000 + slot[255], 8 * 1000 + 'a');
    // The holder releases a channel or an enumerator before it closes its
    // event; the other order is counted.
    receive.Object->Release();
    CloseHandle(receive.Event);
    CloseHandle(send.Event);
    send.Object->Release();
    ccl->Release();
    IKazDeviceManager* manager = nullptr;
    GetDeviceManager(&manager);
    for (bool releaseFirst : {true, false}) {
        IKazDeviceEnum* deviceEnum = nullptr;
        HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        manager->EnumDevices(&deviceEnum);
        ASSERT_EQ(deviceEnum->AssignEvent(event), 0u);
        if (releaseFirst)
            deviceEnum->Release();
        CloseHandle(event);
        if (!releaseFirst)
            deviceEnum->Release();
    }
    manager->Release();
    EXPECT_EQ(LeftBehind(), "events closed before their channel or enumerator was released: 2\n");
}

// OpenDevice needs the server initialised, as every host's initialisation
// does first; a failed InitializeServer does not count. Device objects come
// only from OpenDevice, so no component or mode is reached before either.
TEST(ServerInit, OpenDeviceBeforeInitializeServerIsRefusedAndCounted)
{
    Bench::Reset();
    kazsim::Faults::Fail("InitializeServer", 0xE0010001, 1);
    KZRESULT result = 0;
    EXPECT_EQ(InitializeServer(), 0xE0010001u);
    EXPECT_EQ(OpenMode(0, CLSID_CCL, IID_CCL, &result), nullptr);
    EXPECT_EQ(result, SIM_E_NOT_INITIALIZED);
    EXPECT_EQ(Refusals(), std::vector<std::string>{"DeviceManager.OpenDevice: server (InitializeServer has not "
                                                   "succeeded yet)"});
    EXPECT_EQ(LeftBehind(), "refused arguments: 1\nserver calls before InitializeServer: 1\n");
    ASSERT_EQ(InitializeServer(), 0u);
    Bench::Reset(); // the server stays initialised
    IKazUnknown* ccl = OpenMode(0, CLSID_CCL, IID_CCL, &result);
    EXPECT_EQ(result, 0u);
    EXPECT_EQ(ccl->Release(), 0u);
    EXPECT_EQ(LeftBehind(), "");
}
