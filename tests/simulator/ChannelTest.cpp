// The CCL object and the channel objects: entry list, start/stop commands,
// queues, events and the firmware's echo.
#include "SimTestSupport.h"

using namespace simtest;
using kazsim::Bench;

namespace {

struct Channel {
    IKazChannel* Object = nullptr;
    uint64_t Creation = 0;
    HANDLE Event = nullptr;
    uint16_t Index = 0;
};

class ChannelTest : public BenchTest {
protected:
    void SetUp() override
    {
        BenchTest::SetUp();
        m_Ccl = static_cast<IKazCcl*>(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_CCL, IID_CCL));
        ASSERT_NE(m_Ccl, nullptr);
        ASSERT_EQ(m_Ccl->Start(0, 0, 0), 0u);
    }
    void TearDown() override
    {
        for (Channel* channel : {&m_Send, &m_Receive}) {
            if (channel->Object)
                channel->Object->Release();
            if (channel->Event)
                CloseHandle(channel->Event);
        }
        if (m_Ccl)
            m_Ccl->Release();
        BenchTest::TearDown();
    }

    KZRESULT Command(uint16_t index, uint32_t command, uint32_t* result)
    {
        CCL_REQUEST request = {12, 0xFFFF, index, command};
        CCL_RESPONSE response = {12, 0, 0xDEADBEEF};
        KZRESULT r = m_Ccl->Command(&request, &response);
        *result = response.Result;
        return r;
    }

    // Creates, binds and starts the channel of an entry as the library does.
    void OpenChannel(Channel* channel, uint16_t index, const GUID& iid)
    {
        CCL_ENTRY entry = {};
        ASSERT_EQ(m_Ccl->GetEntry(index, &entry), 0u);
        ASSERT_EQ(CreateChannelObject(&channel->Creation, &entry, &iid, &channel->Object), 0u);
        ASSERT_EQ(m_Ccl->BindEntry(index, &channel->Creation), 0u);
        channel->Event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        ASSERT_EQ(channel->Object->AssignEvent(channel->Event), 0u);
        uint32_t result = 1;
        ASSERT_EQ(Command(index, CCL_START_ENTRY, &result), 0u);
        ASSERT_EQ(result, 0u);
        channel->Index = index;
    }

    void Send(uint8_t fill)
    {
        uint8_t* entry = nullptr;
        CHANNEL_STATUS status = {};
        ASSERT_EQ(m_Send.Object->GetCurrentEntry(&entry, &status), 0u);
        std::memset(entry, fill, 256);
        ASSERT_EQ(m_Send.Object->ReleaseEntries(1), 0u);
    }

    uint16_t Available(IKazChannel* channel, bool send)
    {
        CHANNEL_STATUS status = {};
        EXPECT_EQ(send ? channel->GetSendStatus(&status) : channel->GetReceiveStatus(&status), 0u);
        return status.Available;
    }

    IKazCcl* m_Ccl = nullptr;
    Channel m_Send, m_Receive;
};

} // namespace

TEST_F(ChannelTest, EntryListDescribesTheChannels)
{
    CCL_SUMMARY summary = {};
    ASSERT_EQ(m_Ccl->GetSummary(&summary), 0u);
    ASSERT_EQ(summary.EntryCount, 3u);
    const uint16_t kinds[3][2] = {{1, 1}, {1, 2}, {3, 3}};
    for (uint16_t i = 0; i < 3; ++i) {
        CCL_ENTRY entry = {};
        ASSERT_EQ(m_Ccl->GetEntry(i, &entry), 0u);
        EXPECT_EQ(entry.Kind1, kinds[i][0]);
        EXPECT_EQ(entry.Kind2, kinds[i][1]);
    }
    CCL_ENTRY entry = {};
    EXPECT_EQ(m_Ccl->GetEntry(3, &entry), kazsim::SIM_E_INVALIDARG);

    // A channel must match its entry's kinds; a made-up record is refused.
    ASSERT_EQ(m_Ccl->GetEntry(0, &entry), 0u);
    IKazChannel* channel = nullptr;
    uint64_t creation = 0;
    EXPECT_EQ(CreateChannelObject(&creation, &entry, &IID_RECEIVE_CHANNEL, &channel), kazsim::SIM_E_NOINTERFACE);
    CCL_ENTRY forged = {};
    forged.Kind1 = forged.Kind2 = 1;
    EXPECT_EQ(CreateChannelObject(&creation, &forged, &IID_SEND_CHANNEL, &channel), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(channel, nullptr);
}

TEST_F(ChannelTest, CommandsStartAndStopEntries)
{
    uint32_t result = 0;
    ASSERT_EQ(Command(1, CCL_START_ENTRY, &result), 0u);
    EXPECT_EQ(result, 0u);
    EXPECT_TRUE(Bench::CclEntry(0, 1).Started);
    ASSERT_EQ(Command(1, CCL_STOP_ENTRY, &result), 0u);
    EXPECT_FALSE(Bench::CclEntry(0, 1).Started);
    ASSERT_EQ(Command(7, CCL_START_ENTRY, &result), 0u);
    EXPECT_EQ(result, kazsim::SIM_E_INVALIDARG);
    ASSERT_EQ(Command(0, 600, &result), 0u);
    EXPECT_EQ(result, kazsim::SIM_E_NOTIMPL);

    CCL_REQUEST request = {8, 0xFFFF, 0, CCL_START_ENTRY};
    CCL_RESPONSE response = {12, 0, 0};
    EXPECT_EQ(m_Ccl->Command(&request, &response), kazsim::SIM_E_INVALIDARG);
    ASSERT_EQ(m_Ccl->Stop(), 0u);
    EXPECT_EQ(Command(0, CCL_START_ENTRY, &result), kazsim::SIM_E_NOT_READY);
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started);
}

TEST_F(ChannelTest, RoundTripThroughTheEcho)
{
    OpenChannel(&m_Send, 0, IID_SEND_CHANNEL);
    OpenChannel(&m_Receive, 1, IID_RECEIVE_CHANNEL);
    uint16_t length = 0;
    ASSERT_EQ(m_Send.Object->GetMaxMsgLen(&length), 0u);
    EXPECT_EQ(length, 256u);
    EXPECT_EQ(Available(m_Send.Object, true), 8u);
    EXPECT_EQ(Available(m_Receive.Object, false), 0u);
    EXPECT_EQ(m_Receive.Object->GetSendStatus(nullptr), kazsim::SIM_E_POINTER);
    CHANNEL_STATUS status = {};
    EXPECT_EQ(m_Receive.Object->GetSendStatus(&status), kazsim::SIM_E_UNEXPECTED);

    uint8_t* entry = nullptr;
    ASSERT_EQ(m_Send.Object->GetCurrentEntry(&entry, &status), 0u);
    EXPECT_EQ(status.Available, 8u);
    std::memcpy(entry, "hello", 5);
    ASSERT_EQ(m_Send.Object->ReleaseEntries(1), 0u);
    // The test thread waits; the simulator's thread echoes and signals.
    ASSERT_EQ(WaitForSingleObject(m_Receive.Event, 5000), WAIT_OBJECT_0);
    ASSERT_EQ(m_Receive.Object->GetCurrentEntry(&entry, &status), 0u);
    EXPECT_EQ(status.Available, 1u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(entry), 5), "hello");
    EXPECT_EQ(entry[5], 0); // the rest of a fresh entry is zero
    ASSERT_EQ(m_Receive.Object->ReleaseEntries(1), 0u);
    EXPECT_EQ(Available(m_Receive.Object, false), 0u);
    EXPECT_EQ(WaitForSingleObject(m_Send.Event, 5000), WAIT_OBJECT_0); // a send entry came free
    ASSERT_EQ(Bench::SentMessages(0).size(), 1u);
    EXPECT_EQ(Bench::SentMessages(0)[0].size(), 256u);
}

TEST_F(ChannelTest, FullQueuesHoldMessagesBack)
{
    OpenChannel(&m_Send, 0, IID_SEND_CHANNEL);
    OpenChannel(&m_Receive, 1, IID_RECEIVE_CHANNEL);
    Bench::PauseFirmware(0, true);
    for (uint8_t i = 0; i < 8; ++i)
        Send(i);
    EXPECT_EQ(Available(m_Send.Object, true), 0u);
    uint8_t* entry = nullptr;
    CHANNEL_STATUS status = {};
    status.Available = 5;
    EXPECT_EQ(m_Send.Object->GetCurrentEntry(&entry, &status), kazsim::SIM_E_PENDING);
    EXPECT_EQ(status.Available, 0u);
    EXPECT_EQ(m_Send.Object->ReleaseEntries(1), kazsim::SIM_E_INVALIDARG);

    // Unpaused, the firmware moves all 8 into the receive queue (8 deep).
    Bench::PauseFirmware(0, false);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Available(m_Send.Object, true), 8u);
    EXPECT_EQ(Available(m_Receive.Object, false), 8u);
    // The receive queue is full: further messages wait in the send queue.
    Send(8);
    Send(9);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::CclEntry(0, 0).Queued, 2u);
    for (uint8_t expected = 0; expected < 10; ++expected) {
        if (Available(m_Receive.Object, false) == 0) {
            ASSERT_TRUE(Bench::Quiesce());
        }
        ASSERT_EQ(m_Receive.Object->GetCurrentEntry(&entry, &status), 0u);
        EXPECT_EQ(entry[0], expected);
        EXPECT_EQ(entry[255], expected);
        ASSERT_EQ(m_Receive.Object->ReleaseEntries(1), 0u);
    }
    EXPECT_EQ(Bench::SentMessages(0).size(), 10u);
}

TEST_F(ChannelTest, ChannelNeedsBindingAndItsEntryStarted)
{
    CCL_ENTRY entry = {};
    ASSERT_EQ(m_Ccl->GetEntry(0, &entry), 0u);
    ASSERT_EQ(CreateChannelObject(&m_Send.Creation, &entry, &IID_SEND_CHANNEL, &m_Send.Object), 0u);
    uint8_t* pointer = nullptr;
    EXPECT_EQ(m_Send.Object->GetCurrentEntry(&pointer, nullptr), kazsim::SIM_E_NOT_READY);
    uint64_t wrong = m_Send.Creation + 1;
    EXPECT_EQ(m_Ccl->BindEntry(0, &wrong), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Ccl->BindEntry(1, &m_Send.Creation), kazsim::SIM_E_INVALIDARG);
    ASSERT_EQ(m_Ccl->BindEntry(0, &m_Send.Creation), 0u);
    // Bound but not started: the firmware leaves the message where it is.
    ASSERT_EQ(m_Send.Object->GetCurrentEntry(&pointer, nullptr), 0u);
    ASSERT_EQ(m_Send.Object->ReleaseEntries(1), 0u);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::CclEntry(0, 0).Queued, 1u);
    EXPECT_TRUE(Bench::SentMessages(0).empty());
    uint32_t result = 1;
    ASSERT_EQ(Command(0, CCL_START_ENTRY, &result), 0u);
    ASSERT_TRUE(Bench::Quiesce());
    // No receive entry started: with echo the message still waits; without it is taken.
    EXPECT_EQ(Bench::CclEntry(0, 0).Queued, 1u);
    Bench::SetEcho(0, false);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(Bench::CclEntry(0, 0).Queued, 0u);
    EXPECT_EQ(Bench::SentMessages(0).size(), 1u);
}

TEST_F(ChannelTest, InjectedMessagesAndReleasedChannels)
{
    OpenChannel(&m_Receive, 1, IID_RECEIVE_CHANNEL);
    ASSERT_TRUE(Bench::InjectReceive(0, {1, 2, 3}));
    ASSERT_EQ(WaitForSingleObject(m_Receive.Event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(Available(m_Receive.Object, false), 1u);
    for (int i = 1; i < 8; ++i)
        ASSERT_TRUE(Bench::InjectReceive(0, {static_cast<uint8_t>(i)}));
    EXPECT_FALSE(Bench::InjectReceive(0, {9})); // queue full
    EXPECT_EQ(m_Receive.Object->ReleaseEntries(9), kazsim::SIM_E_INVALIDARG);
    EXPECT_EQ(m_Receive.Object->ReleaseEntries(0), kazsim::SIM_E_INVALIDARG);
    ASSERT_EQ(m_Receive.Object->ReleaseEntries(8), 0u);
    ASSERT_TRUE(Bench::Quiesce());
    (void)WaitForSingleObject(m_Receive.Event, 0);

    // After its release a channel's event is no longer signalled.
    m_Receive.Object->Release();
    m_Receive.Object = nullptr;
    ASSERT_TRUE(Bench::InjectReceive(0, {7}));
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(WaitForSingleObject(m_Receive.Event, 0), WAIT_TIMEOUT);
}

TEST_F(ChannelTest, RestartLeavesChannelsStale)
{
    OpenChannel(&m_Send, 0, IID_SEND_CHANNEL);
    Bench::Restart(0, 3);
    ASSERT_TRUE(Bench::Quiesce());
    uint8_t* entry = nullptr;
    EXPECT_EQ(m_Send.Object->GetCurrentEntry(&entry, nullptr), kazsim::SIM_E_GONE);
    uint16_t length = 0;
    EXPECT_EQ(m_Send.Object->GetMaxMsgLen(&length), kazsim::SIM_E_GONE);
    CCL_SUMMARY summary = {};
    EXPECT_EQ(m_Ccl->GetSummary(&summary), kazsim::SIM_E_GONE);
    // The new arrival's entries start afresh.
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started);
}
