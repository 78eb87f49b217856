// Lazy initialisation, the Setup-API binding and kzmGetVersion, on the
// virtual bench. Each test case runs in a process of its own under CTest, so
// every case starts uninitialised.
#include "device/SetupApiTable.h"
#include "frame/Init.h"
#include "kazmir.h"

#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

unsigned CountCalls(const std::string& name)
{
    auto log = kazsim::CallLog();
    return static_cast<unsigned>(
        std::count_if(log.begin(), log.end(), [&](const kazsim::Call& c) { return c.Name == name; }));
}

bool AllEntriesNull()
{
    static const SetupApiTable empty = {};
    return std::memcmp(&g_SetupApi, &empty, sizeof(empty)) == 0;
}

bool AllEntriesBound()
{
    const FARPROC* entries = reinterpret_cast<const FARPROC*>(&g_SetupApi);
    return std::all_of(entries, entries + SETUPAPI_ENTRY_COUNT, [](FARPROC p) { return p != nullptr; });
}

class InitTest : public ::testing::Test {
protected:
    void SetUp() override { kazsim::Bench::Reset(); }
};

TEST_F(InitTest, InitialisesOnceAndBindsAllEntries)
{
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(kzmInitialize(), 0u);
    EXPECT_EQ(g_bInitialized, 1u);
    EXPECT_NE(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesBound());
    EXPECT_EQ(kzmInitialize(), 0u);
    uint32_t major = 0;
    EXPECT_EQ(kzmGetVersion(&major, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(CountCalls("InitializeServer"), 1u);
    EXPECT_EQ(CountCalls("LoadLibraryA"), 1u);
}

TEST_F(InitTest, FailedServerInitialisationReleasesTheBindingAndIsRetried)
{
    kazsim::Faults::Fail("InitializeServer", 0xE0010042, 1);
    EXPECT_EQ(kzmInitialize(), 0xE0010042u);
    EXPECT_EQ(g_bInitialized, 0u);
    EXPECT_EQ(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(kazsim::Accounting().SetupApiModules, kazsim::AccountingBaseline().SetupApiModules);

    EXPECT_EQ(kzmInitialize(), 0u);
    EXPECT_EQ(g_bInitialized, 1u);
    EXPECT_NE(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesBound());
    EXPECT_EQ(CountCalls("InitializeServer"), 2u);
}

TEST_F(InitTest, OneMissingNameLeavesEveryEntryNullButInitialisationSucceeds)
{
    kazsim::Faults::RemoveSetupApiName("SetupDiGetDriverInstallParamsA"); // never called
    EXPECT_EQ(kzmInitialize(), 0u);
    EXPECT_EQ(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(kazsim::Accounting().SetupApiModules, kazsim::AccountingBaseline().SetupApiModules);
    // Without the Setup API no board can be opened.
    EXPECT_EQ(kzmFLDinit(100, DEVICE_ID_ANY, nullptr), KZM_E_FAIL);
    EXPECT_EQ(kzmFLDreset(), 0u);
}

TEST_F(InitTest, MissingSetupApiModuleLeavesTheTableEmpty)
{
    kazsim::Faults::RemoveSetupApi();
    EXPECT_EQ(BindSetupApi(), nullptr);
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(kzmInitialize(), 0u);
    EXPECT_EQ(g_hSetupApi, nullptr);
}

TEST_F(InitTest, GetVersionInitialisesAndWritesEveryOutput)
{
    kazsim::Bench::SetServerVersion(7, 12, 99);
    uint32_t v[4] = {11, 11, 11, 11};
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0u);
    EXPECT_EQ(g_bInitialized, 1u);
    EXPECT_EQ(v[0], 7u);
    EXPECT_EQ(v[1], 12u);
    EXPECT_EQ(v[2], 0u);
    EXPECT_EQ(v[3], 0u);
    EXPECT_EQ(kzmGetVersion(nullptr, nullptr, nullptr, nullptr), 0u);
}

TEST_F(InitTest, GetVersionWritesNothingWhenInitialisationFails)
{
    kazsim::Faults::Fail("InitializeServer", 0xE0010001, 1);
    uint32_t v[4] = {11, 11, 11, 11};
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0xE0010001u);
    for (uint32_t value : v)
        EXPECT_EQ(value, 11u);
    EXPECT_EQ(CountCalls("GetServerVersion"), 0u);
}

TEST_F(InitTest, FailedVersionQueryIsReturnedAndStillClearsTheLastOutputs)
{
    ASSERT_EQ(kzmInitialize(), 0u);
    kazsim::Faults::Fail("GetServerVersion", 0xE0010077);
    uint32_t v[4] = {11, 11, 11, 11};
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0xE0010077u);
    EXPECT_EQ(v[2], 0u);
    EXPECT_EQ(v[3], 0u);
}

TEST_F(InitTest, DetachReleasesTheBindingAndDeletesTheLock)
{
    ASSERT_EQ(kzmInitialize(), 0u);
    uint32_t modules = kazsim::Accounting().SetupApiModules;

    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(kazsim::Accounting().SetupApiModules, modules - 1);

    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_ATTACH, nullptr)); // for the process's own unload
}

TEST_F(InitTest, DetachOfAnUninitialisedLibraryUnloadsNothing)
{
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(CountCalls("FreeLibrary"), 0u);
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_ATTACH, nullptr));
}

TEST(EntryHook, ThreadReasonsSucceedAndUnknownReasonsFail)
{
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_THREAD_DETACH, nullptr));
    EXPECT_FALSE(LibraryEntry(nullptr, 7, nullptr));
}

} // namespace
