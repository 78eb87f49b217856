// The BGI message interface through the exports: an echo round trip on the
// board's CCL firmware, the length limits, the time-out handed to the channel
// waits, and the channels that kzmCCLinit and kzmBGIinitSer never open.
#include "E2eFixture.h"

#include <chrono>
#include <cstring>
#include <thread>

namespace {

using namespace e2e;

TEST_F(E2eTest, EchoRoundTripAndLengthLimits)
{
    AddBoard(3);
    ASSERT_EQ(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    uint16_t sendMax = 0, receiveMax = 0;
    ASSERT_EQ(kzmBGIgetMsgLen(&sendMax, &receiveMax), 0u);
    EXPECT_EQ(sendMax, 256u);
    EXPECT_EQ(receiveMax, 256u);

    std::vector<uint8_t> data(256, 0x5A);
    std::memcpy(data.data(), "hello, board", 12);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 256, data.data()), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 0, data.data()), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 10, nullptr), KZM_E_FAIL);
    ASSERT_EQ(kzmBGIsend(TIMEOUT_MS, 255, data.data()), 0u);
    std::vector<uint8_t> buffer(300);
    uint16_t received = 0;
    EXPECT_EQ(kzmBGIreceive(TIMEOUT_MS, 255, buffer.data(), &received), KZM_E_FAIL);
    ASSERT_EQ(kzmBGIreceive(TIMEOUT_MS, 300, buffer.data(), &received), 0u);
    EXPECT_EQ(received, receiveMax);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 255),
              std::vector<uint8_t>(data.begin(), data.begin() + 255));
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin() + 256, buffer.end()), std::vector<uint8_t>(44, 0))
        << "past the maximum";
    EXPECT_EQ(kzmBGIreceive(0, 300, buffer.data(), &received), KZM_E_FAIL) << "nothing more is waiting";
    ResetAndExpectNothingLeft(Mode::Bgi);
}

// Time-out 0 refuses at once; a longer one waits and then lets the channel's
// entry request answer.
TEST_F(E2eTest, TimeOutReachesTheChannelWaits)
{
    int board = AddBoard(3);
    kazsim::Bench::PauseFirmware(board, true);
    ASSERT_EQ(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    uint8_t buffer[256] = {};
    EXPECT_EQ(kzmBGIreceive(0, 256, buffer, nullptr), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIreceive(30, 256, buffer, nullptr), kazsim::SIM_E_PENDING);
    for (int i = 0; i < 8; ++i) // the send queue is 8 entries deep
        ASSERT_EQ(kzmBGIsend(0, 16, buffer), 0u) << i;
    EXPECT_EQ(kzmBGIsend(0, 16, buffer), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(30, 16, buffer), kazsim::SIM_E_PENDING);
    ResetAndExpectNothingLeft(Mode::Bgi);
}

// A receive waits for a message that arrives within its time-out, and takes
// one that waits already at once, even with time-out 0.
TEST_F(E2eTest, ReceiveWaitsForWhatArrivesInTimeAndTakesWhatWaits)
{
    int board = AddBoard(3);
    ASSERT_EQ(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    uint8_t buffer[256] = {};
    std::thread later([board] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        kazsim::Bench::InjectReceive(board, {'l', 'a', 't', 'e'});
    });
    EXPECT_EQ(kzmBGIreceive(TIMEOUT_MS, 256, buffer, nullptr), 0u);
    later.join();
    EXPECT_EQ(buffer[0], 'l');
    ASSERT_TRUE(kazsim::Bench::InjectReceive(board, {'n', 'o', 'w'}));
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    EXPECT_EQ(kzmBGIreceive(0, 256, buffer, nullptr), 0u);
    EXPECT_EQ(buffer[0], 'n');
    ResetAndExpectNothingLeft(Mode::Bgi);
}

TEST_F(E2eTest, SendIsRefusedWhereNoChannelsWereOpened)
{
    AddBoard(3);
    uint8_t byte = 7;
    for (bool bySerial : {false, true}) {
        ASSERT_EQ(
            bySerial ? kzmBGIinitSer(TIMEOUT_MS, SERIAL, nullptr) : kzmCCLinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
        EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 1, &byte), KZM_E_FAIL);
        EXPECT_EQ(kzmBGIreceive(0, 256, &byte, nullptr), KZM_E_FAIL);
        EXPECT_EQ(kzmCCLreset(), 0u);
    }
}

} // namespace
