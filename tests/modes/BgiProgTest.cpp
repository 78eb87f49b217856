// The BGI message channel on the virtual bench: building and tearing down the
// channels, the length rules of Send and Receive at their edges, time-outs,
// and every call into the server made to fail once.
#include "modes/BGIProg.h"
#include "modes/ModeSupport.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

constexpr uint16_t MAX_LEN = 256; // the default entries' maximum length

// Takes the board's CCL object over (the caller's reference is given back at
// once, as the controller does) and opens the channels.
KZRESULT OpenBgi(CBGIProg& prog, int board = 0)
{
    IKazCcl* ccl = OpenCcl(board);
    if (!ccl)
        return R_FAIL;
    KZRESULT result = prog.Open(ccl);
    ccl->Release();
    return result != 0 ? result : prog.OpenChannels();
}

std::vector<uint8_t> Pattern(size_t length, uint8_t seed)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 7);
    return bytes;
}

class BgiProg : public CSimTest {};
class BgiMessages : public CSimTest {};

} // namespace

// --- building and tearing down ----------------------------------------------------

TEST_F(BgiProg, ChannelsAreBuiltStartedStoppedAndReleased)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    uint16_t sendMax = 1, receiveMax = 1;
    EXPECT_EQ(prog.GetMsgLen(&sendMax, &receiveMax), 0u);
    EXPECT_EQ(sendMax, 0u);
    EXPECT_EQ(receiveMax, 0u);

    ASSERT_EQ(OpenBgi(prog), 0u);
    EXPECT_EQ(kazsim::Accounting().Channels.Objects, 3u);
    EXPECT_EQ(ChannelRefs(), 3u);
    EXPECT_EQ(kazsim::Accounting().Events, kazsim::AccountingBaseline().Events + 3);
    EXPECT_TRUE(Bench::CclEntry(0, 0).Started);
    EXPECT_TRUE(Bench::CclEntry(0, 1).Started);
    EXPECT_FALSE(Bench::CclEntry(0, 2).Started); // the auxiliary entry gets no start
    EXPECT_EQ(CountCalls("Ccl.BindEntry"), 3);
    EXPECT_EQ(prog.GetMsgLen(&sendMax, &receiveMax), 0u);
    EXPECT_EQ(sendMax, MAX_LEN);
    EXPECT_EQ(receiveMax, MAX_LEN);
    EXPECT_EQ(prog.GetMsgLen(nullptr, nullptr), 0u);

    kazsim::ClearCallLog();
    ASSERT_EQ(prog.CloseChannels(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Command"), 3); // a stop for every entry
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started);
    EXPECT_FALSE(Bench::CclEntry(0, 1).Started);
    EXPECT_EQ(kazsim::LeftBehind(), "");
    // The CCL object went with the channels: Close finds nothing.
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 0);
    // The lengths stay; sending and receiving do not.
    EXPECT_EQ(prog.GetMsgLen(&sendMax, &receiveMax), 0u);
    EXPECT_EQ(sendMax, MAX_LEN);
    EXPECT_EQ(receiveMax, MAX_LEN);
    uint8_t buffer[MAX_LEN] = {1};
    EXPECT_EQ(prog.Send(1, buffer, 0, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 0), R_FAIL);
}

TEST_F(BgiProg, NothingHappensWhileTheOpenedFlagIsClear)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    EXPECT_EQ(prog.OpenChannels(), R_FAIL);
    EXPECT_EQ(prog.CloseChannels(), R_FAIL);
    // A refused CCL start leaves the flag clear too.
    IKazCcl* ccl = OpenCcl();
    Faults::Fail("Ccl.Start", R_INJECTED, 1);
    EXPECT_EQ(prog.Open(ccl), R_INJECTED);
    kazsim::ClearCallLog();
    EXPECT_EQ(prog.OpenChannels(), R_FAIL);
    EXPECT_EQ(prog.CloseChannels(), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());
    EXPECT_EQ(CclRefs(), 1u); // the caller's, untouched
    ccl->Release();
    uint8_t byte = 0;
    EXPECT_EQ(prog.Send(1, &byte, 0, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(1, &byte, nullptr, 0), R_FAIL);
}

TEST_F(BgiProg, AfterCloseTheFlagStaysButThereIsNoObject)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    IKazCcl* ccl = OpenCcl();
    ASSERT_EQ(prog.Open(ccl), 0u);
    ccl->Release();
    prog.Close();
    EXPECT_EQ(prog.OpenChannels(), R_FAIL);
    EXPECT_EQ(prog.CloseChannels(), R_FAIL);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BgiProg, MissingEntriesLeaveTheirChannelsOut)
{
    // No receive entry: Send works, Receive is refused.
    UseBench({CclBoard({Entry(3, 3, 64), Entry(1, 1, 100)})});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    uint16_t sendMax = 1, receiveMax = 1;
    prog.GetMsgLen(&sendMax, &receiveMax);
    EXPECT_EQ(sendMax, 100u);
    EXPECT_EQ(receiveMax, 0u);
    const std::vector<uint8_t> message = Pattern(10, 1);
    EXPECT_EQ(prog.Send(10, message.data(), 0, 1000), 0u);
    uint8_t buffer[300];
    EXPECT_EQ(prog.Receive(sizeof(buffer), buffer, nullptr, 0), R_FAIL);
    EXPECT_EQ(prog.CloseChannels(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");

    // Neither send nor receive entries: only the auxiliary channel exists.
    UseBench({CclBoard({Entry(2, 1), Entry(3, 3, 64)})});
    ASSERT_EQ(OpenBgi(prog), 0u);
    EXPECT_EQ(kazsim::Accounting().Channels.Objects, 1u);
    EXPECT_EQ(prog.Send(10, message.data(), 0, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(sizeof(buffer), buffer, nullptr, 0), R_FAIL);
    EXPECT_EQ(prog.CloseChannels(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BgiProg, TheFirstMatchingEntryWinsAndUnreadableEntriesAreSkipped)
{
    UseBench({CclBoard({Entry(1, 1, 100), Entry(1, 1, 200), Entry(1, 2, 300)})});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    uint16_t sendMax = 0, receiveMax = 0;
    prog.GetMsgLen(&sendMax, &receiveMax);
    EXPECT_EQ(sendMax, 100u);
    EXPECT_EQ(receiveMax, 300u);
    prog.CloseChannels();

    UseBench({CclBoard({Entry(1, 1, 100), Entry(1, 1, 200), Entry(1, 2, 300)})});
    IKazCcl* ccl = OpenCcl();
    ASSERT_EQ(prog.Open(ccl), 0u);
    ccl->Release();
    Faults::Fail("Ccl.GetEntry", R_INJECTED, 1);
    ASSERT_EQ(prog.OpenChannels(), 0u);
    prog.GetMsgLen(&sendMax, &receiveMax);
    EXPECT_EQ(sendMax, 200u);
    prog.CloseChannels();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

// --- messages ------------------------------------------------------------------------

TEST_F(BgiMessages, EchoRoundTrip)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    for (uint8_t seed = 0; seed < 20; ++seed) {
        const std::vector<uint8_t> message = Pattern(5 + seed, seed);
        ASSERT_EQ(prog.Send(static_cast<uint16_t>(message.size()), message.data(), 0, 0), 0u);
        // Let the echo arrive: a wait could end on a signal left from the
        // previous round, before the echo is there.
        ASSERT_TRUE(Bench::Quiesce());
        uint8_t buffer[MAX_LEN];
        uint16_t received = 0;
        ASSERT_EQ(prog.Receive(MAX_LEN, buffer, &received, 0), 0u);
        EXPECT_EQ(received, MAX_LEN);
        EXPECT_EQ(std::memcmp(buffer, message.data(), message.size()), 0) << int(seed);
    }
    prog.CloseChannels();
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BgiMessages, QueuedMessagesKeepTheirOrder)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    for (uint8_t i = 0; i < 4; ++i) {
        const std::vector<uint8_t> message = Pattern(8, static_cast<uint8_t>(i * 40));
        ASSERT_EQ(prog.Send(8, message.data(), 0, 1000), 0u);
    }
    ASSERT_TRUE(Bench::Quiesce());
    for (uint8_t i = 0; i < 4; ++i) {
        uint8_t buffer[MAX_LEN];
        ASSERT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 1000), 0u);
        EXPECT_EQ(std::memcmp(buffer, Pattern(8, static_cast<uint8_t>(i * 40)).data(), 8), 0) << int(i);
    }
    prog.CloseChannels();
}

TEST_F(BgiMessages, SendLengthMustStayBelowTheMaximum)
{
    UseBench({CclBoard()});
    Bench::SetEcho(0, false);
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    const std::vector<uint8_t> message = Pattern(MAX_LEN, 3);
    kazsim::ClearCallLog();
    EXPECT_EQ(prog.Send(MAX_LEN, message.data(), 0, 0), R_FAIL);
    EXPECT_EQ(prog.Send(0, message.data(), 0, 0), R_FAIL);
    EXPECT_EQ(prog.Send(1, nullptr, 0, 0), R_FAIL);
    EXPECT_TRUE(kazsim::CallLog().empty());
    ASSERT_EQ(prog.Send(MAX_LEN - 1, message.data(), 77, 0), 0u);
    ASSERT_TRUE(Bench::Quiesce());
    const auto sent = Bench::SentMessages(0);
    ASSERT_EQ(sent.size(), 1u);
    ASSERT_EQ(sent[0].size(), MAX_LEN);
    EXPECT_EQ(std::memcmp(sent[0].data(), message.data(), MAX_LEN - 1), 0);
    prog.CloseChannels();
}

TEST_F(BgiMessages, ReceiveBufferMustHoldTheMaximumAndGetsExactlyThat)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    const std::vector<uint8_t> message = Pattern(MAX_LEN, 9);
    ASSERT_TRUE(Bench::InjectReceive(0, message));
    uint8_t buffer[MAX_LEN + 44];
    std::memset(buffer, 0xAB, sizeof(buffer));
    uint16_t received = 5;
    EXPECT_EQ(prog.Receive(MAX_LEN - 1, buffer, &received, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(0, buffer, &received, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(sizeof(buffer), nullptr, &received, 0), R_FAIL);
    EXPECT_EQ(received, 5u);
    EXPECT_EQ(Bench::CclEntry(0, 1).Queued, 1u); // still there
    ASSERT_EQ(prog.Receive(sizeof(buffer), buffer, &received, 0), 0u);
    EXPECT_EQ(received, MAX_LEN);
    EXPECT_EQ(std::memcmp(buffer, message.data(), MAX_LEN), 0);
    for (size_t i = MAX_LEN; i < sizeof(buffer); ++i)
        ASSERT_EQ(buffer[i], 0xAB) << i;
    EXPECT_EQ(Bench::CclEntry(0, 1).Queued, 0u);
    prog.CloseChannels();
}

TEST_F(BgiMessages, TimeOutZeroNeverWaits)
{
    UseBench({CclBoard()});
    Bench::PauseFirmware(0, true);
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    const std::vector<uint8_t> message = Pattern(16, 5);
    for (int i = 0; i < 8; ++i) // the send queue is 8 entries deep
        ASSERT_EQ(prog.Send(16, message.data(), 0, 0), 0u) << i;
    kazsim::ClearCallLog();
    EXPECT_EQ(prog.Send(16, message.data(), 0, 0), R_FAIL);
    uint8_t buffer[MAX_LEN];
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 0), R_FAIL);
    EXPECT_EQ(CountCalls("Channel.GetCurrentEntry"), 0);

    ASSERT_TRUE(Bench::InjectReceive(0, message));
    uint16_t received = 0;
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, &received, 0), 0u);
    EXPECT_EQ(received, MAX_LEN);
    prog.CloseChannels();
}

TEST_F(BgiMessages, AnExpiredWaitLetsTheEntryRequestDecide)
{
    UseBench({CclBoard()});
    Bench::PauseFirmware(0, true);
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    uint8_t buffer[MAX_LEN];
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 30), kazsim::SIM_E_PENDING);
    const std::vector<uint8_t> message = Pattern(16, 5);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(prog.Send(16, message.data(), 0, 0), 0u);
    EXPECT_EQ(prog.Send(16, message.data(), 0, 30), kazsim::SIM_E_PENDING);
    prog.CloseChannels();
}

TEST_F(BgiMessages, WaitsEndWhenTheServerSignals)
{
    UseBench({CclBoard()});
    Bench::PauseFirmware(0, true);
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    const std::vector<uint8_t> message = Pattern(16, 5);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(prog.Send(16, message.data(), 0, 0), 0u);
    // The firmware resumes later: a send entry frees up and the echo arrives.
    std::thread resume([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        Bench::PauseFirmware(0, false);
        Bench::SignalChange();
    });
    EXPECT_EQ(prog.Send(16, message.data(), 0, 10000), 0u);
    uint8_t buffer[MAX_LEN];
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 10000), 0u);
    resume.join();
    prog.CloseChannels();
}

// --- refused calls on the way (each server call failing once is covered
// through the exports by the fault suite) ---------------------------------------

TEST_F(BgiProg, RefusedStopEndsTheStopsButReleasesEverything)
{
    for (const char* operation : {"Ccl.Command", "Ccl.Command.Response"}) {
        UseBench({CclBoard()});
        CBGIProg prog;
        ASSERT_EQ(OpenBgi(prog), 0u);
        Faults::Fail(operation, R_INJECTED, 1);
        EXPECT_EQ(prog.CloseChannels(), R_INJECTED) << operation;
        // The first stop was refused; the second entry got none.
        EXPECT_TRUE(Bench::CclEntry(0, 1).Started) << operation;
        EXPECT_EQ(CountCalls("Ccl.Command"), 3) << operation; // two starts, one stop
        EXPECT_EQ(prog.GetObject(), nullptr);
        EXPECT_EQ(kazsim::LeftBehind(), "") << operation;
    }

    UseBench({CclBoard()});
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    Faults::Fail("Ccl.GetSummary", R_INJECTED, 1);
    EXPECT_EQ(prog.CloseChannels(), R_INJECTED);
    EXPECT_TRUE(Bench::CclEntry(0, 0).Started); // no stop at all
    EXPECT_EQ(kazsim::LeftBehind(), "");
}

TEST_F(BgiMessages, FailingChannelCallsOnTheWay)
{
    UseBench({CclBoard()});
    Bench::SetEcho(0, false);
    CBGIProg prog;
    ASSERT_EQ(OpenBgi(prog), 0u);
    const std::vector<uint8_t> message = Pattern(16, 5);
    uint8_t buffer[MAX_LEN];

    // Without a status the channel counts as empty: time-out 0 refuses, a
    // longer one waits and then the entry request decides.
    Faults::Fail("Channel.GetSendStatus", R_INJECTED, 1);
    EXPECT_EQ(prog.Send(16, message.data(), 0, 0), R_FAIL);
    Faults::Fail("Channel.GetSendStatus", R_INJECTED, 1);
    EXPECT_EQ(prog.Send(16, message.data(), 0, 20), 0u);
    Faults::Fail("Channel.GetCurrentEntry", R_INJECTED, 1);
    EXPECT_EQ(prog.Send(16, message.data(), 0, 0), R_INJECTED);
    // A refused hand-back is not reported.
    Faults::Fail("Channel.ReleaseEntries", R_INJECTED, 1);
    EXPECT_EQ(prog.Send(16, message.data(), 0, 0), 0u);

    ASSERT_TRUE(Bench::InjectReceive(0, message));
    Faults::Fail("Channel.GetReceiveStatus", R_INJECTED, 1);
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 0), R_FAIL);
    Faults::Fail("Channel.GetCurrentEntry", R_INJECTED, 1);
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 0), R_INJECTED);
    Faults::Fail("Channel.ReleaseEntries", R_INJECTED, 1);
    uint16_t received = 0;
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, &received, 0), 0u);
    EXPECT_EQ(received, MAX_LEN);
    EXPECT_EQ(prog.CloseChannels(), 0u);
    EXPECT_EQ(kazsim::LeftBehind(), "");
}
