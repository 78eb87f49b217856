// The BGI message interface through the exports: echo round trips on the
// board's CCL firmware, the length limits, and the channels that kzmCCLinit
// and kzmBGIinitSer never open.
#include "E2eFixture.h"

#include <cstring>

namespace {

using namespace e2e;

TEST_F(E2eTest, EchoRoundTrip)
{
    int board = AddBoard(3);
    ASSERT_EQ(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    uint16_t sendMax = 0, receiveMax = 0;
    ASSERT_EQ(kzmBGIgetMsgLen(&sendMax, &receiveMax), 0u);
    EXPECT_EQ(sendMax, 256u);
    EXPECT_EQ(receiveMax, 256u);

    const char message[] = "hello, board";
    ASSERT_EQ(kzmBGIsend(TIMEOUT_MS, sizeof(message), message), 0u);
    uint8_t buffer[300] = {};
    uint16_t received = 0;
    ASSERT_EQ(kzmBGIreceive(TIMEOUT_MS, sizeof(buffer), buffer, &received), 0u);
    EXPECT_EQ(received, receiveMax);
    EXPECT_EQ(std::memcmp(buffer, message, sizeof(message)), 0);
    EXPECT_EQ(kazsim::Bench::SentMessages(board).size(), 1u);

    // Nothing more is waiting.
    EXPECT_EQ(kzmBGIreceive(0, sizeof(buffer), buffer, &received), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIreset(), 0u);
    ExpectNothingLeft();
}

TEST_F(E2eTest, LengthLimitsAtTheirEdges)
{
    AddBoard(3);
    ASSERT_EQ(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    std::vector<uint8_t> data(256, 0x5A);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 256, data.data()), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 0, data.data()), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 10, nullptr), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 255, data.data()), 0u);
    std::vector<uint8_t> buffer(256);
    EXPECT_EQ(kzmBGIreceive(TIMEOUT_MS, 255, buffer.data(), nullptr), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIreceive(TIMEOUT_MS, 256, buffer.data(), nullptr), 0u);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 255), std::vector<uint8_t>(255, 0x5A));
    EXPECT_EQ(kzmBGIreset(), 0u);
    ExpectNothingLeft();
}

TEST_F(E2eTest, SendIsRefusedAfterCclInit)
{
    AddBoard(3);
    ASSERT_EQ(kzmCCLinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), 0u);
    uint8_t byte = 7;
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 1, &byte), KZM_E_FAIL);
    EXPECT_EQ(kzmCCLreset(), 0u);
}

TEST_F(E2eTest, SendIsRefusedAfterBgiInitBySerial)
{
    AddBoard(3, "SER-1");
    uint64_t handle = 0;
    ASSERT_EQ(kzmBGIinitSer(TIMEOUT_MS, "SER-1", &handle), 0u);
    uint8_t byte = 7;
    EXPECT_EQ(kzmBGIsend(TIMEOUT_MS, 1, &byte), KZM_E_FAIL);
    EXPECT_EQ(kzmBGIreceive(0, 256, &byte, nullptr), KZM_E_FAIL);
    // The entry is the CCL one: its reset closes what it opened.
    EXPECT_EQ(kzmCCLreset(), 0u);
    ExpectNothingLeft();
}

} // namespace
