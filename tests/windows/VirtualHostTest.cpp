// A host's whole life with KAZMIR.dll on the virtual bench: loaded at run
// time, every call made through an ordinal, and unloaded again. Runs on
// Windows (here under Wine) with the bench's KAZAPI.dll, which the host loads
// first to arrange the bench; KAZMIR.dll then binds to that same module.
#include "KazmirModule.h"

#include "kazsim/Bench.h"

#include <cstring>

using namespace hosttest;
using kazsim::Bench;

namespace {

constexpr uint32_t TIMEOUT_MS = 5000;

class VirtualHost : public ::testing::Test {
protected:
    void SetUp() override
    {
        Bench::Reset(); // one board in its CCL firmware
        Reports().clear();
    }
    void TearDown() override { Bench::Quiesce(); }
};

} // namespace

TEST_F(VirtualHost, FlashCycleThroughOrdinals)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr) << "LoadLibraryA(KAZMIR.dll) failed with " << kazmir.LoadError();
    // Loading attached the library to the device server: its change event and
    // its device manager and enumerator.
    kazsim::AccountingInfo loaded = kazsim::Accounting();
    EXPECT_EQ(loaded.DeviceManagers.References, 1u);
    EXPECT_EQ(loaded.Enumerators.References, 1u);
    EXPECT_EQ(loaded.Events, 1u);

    ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    uint32_t major = 0, minor = 0, third = 7, fourth = 7;
    EXPECT_EQ(kazmir.Ordinal<PfnGetVersion>(1001)(&major, &minor, &third, &fourth), KZM_OK);
    EXPECT_EQ(major, 5u);
    EXPECT_EQ(minor, 3u);
    EXPECT_EQ(third, 0u);
    EXPECT_EQ(fourth, 0u);
    int context = 0;
    ASSERT_EQ(kazmir.Ordinal<PfnRegisterCallback>(1010)(&context, CollectReport), KZM_OK);
    ASSERT_FALSE(Reports().empty());
    EXPECT_EQ(Reports().front().Kind, REPORT_TEST);
    EXPECT_EQ(Reports().front().Text, "test");
    EXPECT_EQ(Reports().front().Context, nullptr);

    uint64_t handle = 0;
    ASSERT_EQ(kazmir.Ordinal<PfnInit>(2200)(TIMEOUT_MS, DEVICE_ID_ANY, &handle), KZM_OK);
    EXPECT_EQ(handle, Bench::BoardInfo(0).DeviceId); // the id the board came back under
    EXPECT_EQ(Bench::BoardInfo(0).State, kazsim::STATE_FLASH_LOADER);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 1u);
    EXPECT_EQ(kazsim::Accounting().DeviceFiles, 1u);

    const std::string image = KAZMIR_SAMPLES_DIR "/demo-firmware.hex";
    ASSERT_EQ(kazmir.Ordinal<PfnFile>(2202)(image.c_str()), KZM_OK);
    EXPECT_EQ(kazmir.Ordinal<PfnFile>(2203)(image.c_str()), KZM_OK);
    FW_INFO info = {};
    EXPECT_EQ(kazmir.Ordinal<PfnScan>(2205)(&info), KZM_OK);
    EXPECT_STREQ(info.Name, "DEMO");
    EXPECT_STREQ(info.Device, "KZ-DEMO");
    // The reports reached the host's callback with its context.
    EXPECT_GT(Reports().size(), 10u);
    EXPECT_EQ(Reports().back().Context, &context);

    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2201)(), KZM_OK);
    EXPECT_EQ(Bench::BoardInfo(0).OpenHandles, 0u);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(kazsim::Accounting().LeftBehind(loaded), "");
    // The flash kept the image: a second verify after reopening still agrees.
    ASSERT_EQ(kazmir.Ordinal<PfnInit>(2200)(TIMEOUT_MS, handle, nullptr), KZM_OK);
    EXPECT_EQ(kazmir.Ordinal<PfnFile>(2203)(image.c_str()), KZM_OK);
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2204)(), KZM_OK); // erase sector 0
    EXPECT_EQ(kazmir.Ordinal<PfnFile>(2203)(image.c_str()), KZM_E_VERIFY);
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2201)(), KZM_OK);
}

TEST_F(VirtualHost, MessagesThroughOrdinals)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    uint64_t handle = 0;
    ASSERT_EQ(kazmir.Ordinal<PfnInit>(20)(TIMEOUT_MS, DEVICE_ID_ANY, &handle), KZM_OK);
    uint16_t sendMax = 0, receiveMax = 0;
    EXPECT_EQ(kazmir.Ordinal<PfnGetMsgLen>(25)(&sendMax, &receiveMax), KZM_OK);
    ASSERT_EQ(sendMax, 256u);
    ASSERT_EQ(receiveMax, 256u);
    // Channel events are real Windows events: the bench signals them from its
    // own thread while the library waits on them.
    const char message[] = "ping over a Windows event";
    ASSERT_EQ(kazmir.Ordinal<PfnSend>(23)(TIMEOUT_MS, sizeof(message), message), KZM_OK);
    char buffer[256] = {};
    uint16_t received = 0;
    ASSERT_EQ(kazmir.Ordinal<PfnReceive>(24)(TIMEOUT_MS, sizeof(buffer), buffer, &received), KZM_OK);
    EXPECT_EQ(received, receiveMax);
    EXPECT_STREQ(buffer, message);
    // Nothing waiting: the wait on the real event times out and the channel's
    // answer (no entry now) comes back unchanged.
    EXPECT_EQ(kazmir.Ordinal<PfnReceive>(24)(50, sizeof(buffer), buffer, &received), kazsim::SIM_E_PENDING);
    EXPECT_EQ(kazsim::Accounting().Events, 4u); // change event and three channel events
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(22)(), KZM_OK);
    ASSERT_TRUE(Bench::Quiesce());
    EXPECT_EQ(kazsim::Accounting().Events, 1u);
    EXPECT_EQ(kazsim::Accounting().Channels.References, 0u);
}

TEST_F(VirtualHost, UnloadGivesBackWhatTheLibraryHeld)
{
    {
        CKazmirModule kazmir;
        ASSERT_NE(kazmir.Handle(), nullptr);
        ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
        EXPECT_EQ(kazsim::Accounting().SetupApiModules, 1u);
        ASSERT_EQ(kazmir.Ordinal<PfnInit>(2200)(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), KZM_OK);
        EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2201)(), KZM_OK);
        kazmir.Unload(); // DllMain's detach step, then the static objects go
        EXPECT_EQ(GetModuleHandleA("KAZMIR.dll"), nullptr);
    }
    ASSERT_TRUE(Bench::Quiesce());
    kazsim::AccountingInfo after = kazsim::Accounting();
    EXPECT_EQ(after.SetupApiModules, 0u);
    EXPECT_EQ(after.DeviceManagers.References, 0u);
    EXPECT_EQ(after.Enumerators.References, 0u);
    EXPECT_EQ(after.Flds.References, 0u);
    EXPECT_EQ(after.Events, 0u);
    EXPECT_EQ(after.DeviceFiles, 0u);
    EXPECT_EQ(after.OverReleases, 0u);
    EXPECT_EQ(after.CallsOnReleased, 0u);

    // Loading it again attaches afresh.
    CKazmirModule again;
    ASSERT_NE(again.Handle(), nullptr);
    EXPECT_EQ(again.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    EXPECT_EQ(kazsim::Accounting().DeviceManagers.References, 1u);
    EXPECT_EQ(kazsim::Accounting().Events, 1u);
}
