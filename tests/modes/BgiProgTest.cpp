// The BGI message channel on the virtual bench: building and tearing down the
// channels, the entries they bind, and refused stops.
#include "modes/BGIProg.h"
#include "device/SimSupport.h"

using namespace kztest;
using kazsim::Bench;
using kazsim::Faults;

namespace {

constexpr uint16_t MAX_LEN = 256; // the default entries' maximum length

class BgiProg : public CSimTest {};

// Takes the board's CCL object over (the caller's reference is given back at
// once, as the controller does) and opens the channels.
KZMRESULT OpenBgi(CBGIProg& prog)
{
    IKazCcl* ccl = OpenCcl();
    KZMRESULT result = prog.Open(ccl);
    ccl->Release();
    return result != 0 ? result : prog.OpenChannels();
}

std::pair<uint16_t, uint16_t> MsgLen(CBGIProg& prog)
{
    uint16_t sendMax = 1, receiveMax = 1;
    EXPECT_EQ(prog.GetMsgLen(&sendMax, &receiveMax), 0u);
    return {sendMax, receiveMax};
}

} // namespace

TEST_F(BgiProg, ChannelsAreBuiltStartedStoppedAndReleased)
{
    UseBench({CclBoard()});
    CBGIProg prog;
    EXPECT_EQ(MsgLen(prog), std::make_pair(uint16_t(0), uint16_t(0)));
    EXPECT_EQ(prog.OpenChannels(), R_FAIL) << "no CCL object";
    EXPECT_EQ(prog.CloseChannels(), R_FAIL);
    ASSERT_EQ(OpenBgi(prog), 0u);
    EXPECT_EQ(kazsim::Accounting().Channels.References, 3u);
    EXPECT_EQ(kazsim::Accounting().Events, kazsim::AccountingBaseline().Events + 3);
    EXPECT_TRUE(Bench::CclEntry(0, 0).Started && Bench::CclEntry(0, 1).Started);
    EXPECT_FALSE(Bench::CclEntry(0, 2).Started) << "the auxiliary entry gets no start";
    EXPECT_EQ(MsgLen(prog), std::make_pair(MAX_LEN, MAX_LEN));

    kazsim::ClearCallLog();
    ASSERT_EQ(prog.CloseChannels(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Command"), 3u) << "a stop for every entry";
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started || Bench::CclEntry(0, 1).Started);
    EXPECT_EQ(kazsim::LeftBehind(), "");
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(CountCalls("Ccl.Stop"), 0u) << "the CCL object went with the channels";
    EXPECT_EQ(MsgLen(prog), std::make_pair(MAX_LEN, MAX_LEN)) << "the lengths outlive the channels";
    uint8_t buffer[MAX_LEN] = {1};
    EXPECT_EQ(prog.Send(1, buffer, 0, 0), R_FAIL);
    EXPECT_EQ(prog.Receive(MAX_LEN, buffer, nullptr, 0), R_FAIL);
}

TEST_F(BgiProg, TheFirstEntryOfEachKindIsBoundAndMissingOnesLeaveTheirChannelOut)
{
    const struct {
        std::vector<kazsim::CclEntryDesc> entries;
        const char* fault; // Ccl.GetEntry refused once
        uint16_t sendMax, receiveMax;
        uint32_t channels;
    } cases[] = {
        {{Entry(1, 1, 100), Entry(1, 1, 200), Entry(1, 2, 300)}, "", 100, 300, 2},
        {{Entry(1, 1, 100), Entry(1, 1, 200), Entry(1, 2, 300)}, "Ccl.GetEntry", 200, 300, 2},
        {{Entry(3, 3, 64), Entry(1, 1, 100)}, "", 100, 0, 2},
        {{Entry(2, 1), Entry(3, 3, 64)}, "", 0, 0, 1},
    };
    for (const auto& c : cases) {
        UseBench({CclBoard(c.entries)});
        CBGIProg prog;
        IKazCcl* ccl = OpenCcl();
        ASSERT_EQ(prog.Open(ccl), 0u);
        ccl->Release();
        if (*c.fault)
            Faults::Fail(c.fault, R_INJECTED, 1);
        ASSERT_EQ(prog.OpenChannels(), 0u);
        EXPECT_EQ(MsgLen(prog), std::make_pair(c.sendMax, c.receiveMax));
        EXPECT_EQ(kazsim::Accounting().Channels.Objects, c.channels);
        uint8_t buffer[300] = {};
        EXPECT_EQ(prog.Send(10, buffer, 0, 0), c.sendMax ? 0u : R_FAIL);
        EXPECT_EQ(prog.CloseChannels(), 0u);
        EXPECT_EQ(kazsim::LeftBehind(), "");
    }
}

TEST_F(BgiProg, RefusedStopEndsTheStopsButReleasesEverything)
{
    for (const char* operation : {"Ccl.Command", "Ccl.Command.Response", "Ccl.GetSummary"}) {
        UseBench({CclBoard()});
        CBGIProg prog;
        ASSERT_EQ(OpenBgi(prog), 0u);
        kazsim::ClearCallLog();
        Faults::Fail(operation, R_INJECTED, 1);
        EXPECT_EQ(prog.CloseChannels(), R_INJECTED) << operation;
        EXPECT_TRUE(Bench::CclEntry(0, 1).Started) << operation << ": the second entry got a stop";
        EXPECT_LE(CountCalls("Ccl.Command"), 1u) << operation;
        EXPECT_EQ(kazsim::LeftBehind(), "") << operation;
    }
}
