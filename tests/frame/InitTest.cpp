// Lazy initialisation, the Setup-API binding, kzmGetVersion and the entry
// hook on the virtual bench. Each case runs in a process of its own under
// CTest, so every case starts uninitialised.
#include "device/SetupApiTable.h"
#include "frame/Init.h"
#include "kazmir.h"

#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr unsigned SETUPAPI_ENTRIES = 27;

std::vector<std::string> CallNames()
{
    std::vector<std::string> names;
    for (const kazsim::Call& call : kazsim::CallLog())
        names.push_back(call.Name);
    return names;
}

bool AllEntriesNull()
{
    static const SetupApiTable empty = {};
    return std::memcmp(&g_SetupApi, &empty, sizeof(empty)) == 0;
}

uint32_t ModulesHeld()
{
    return kazsim::Accounting().SetupApiModules - kazsim::AccountingBaseline().SetupApiModules;
}

// Case 0 runs without a fault; case n fails the nth call of the first
// kzmInitialize. A failing binding is not reported and leaves no board to be
// found; a failing device server is reported, the binding given back, and the
// next kzmInitialize tries again.
class InitializeFaults : public ::testing::TestWithParam<unsigned> {};

TEST_P(InitializeFaults, BindOnceOrGiveBackAndTryAgain)
{
    kazsim::BenchDesc desc;
    desc.Boards.resize(1);
    desc.Boards[0].State = 1;
    kazsim::Bench::Reset(desc);
    // The calls of a first kzmInitialize: the module, its 27 names, the server.
    std::vector<std::string> clean(SETUPAPI_ENTRIES + 2, "GetProcAddress");
    clean.front() = "LoadLibraryA";
    clean.back() = "InitializeServer";
    const unsigned point = GetParam();
    const uint32_t code = point % 2 ? 31u : 0xE0010099u;
    std::string name;
    if (point > clean.size()) {
        name = "GetProcAddress"; // a name the library never calls is missing: nothing is bound
        kazsim::Faults::RemoveSetupApiName("SetupDiGetDriverInstallParamsA");
    } else if (point > 0) {
        name = clean[point - 1];
        kazsim::Faults::Fail(name, code, static_cast<uint32_t>(std::count(clean.begin(), clean.begin() + point, name)));
    }

    const uint32_t result = kzmInitialize();
    ASSERT_FALSE(CallNames().empty()) << "initialised earlier in this process: each case needs its own";
    const bool bound = name != "LoadLibraryA" && name != "GetProcAddress";
    EXPECT_EQ(result, name == "InitializeServer" ? code : 0u) << name;
    EXPECT_EQ(g_bInitialized, result == 0 ? 1u : 0u);
    EXPECT_EQ(g_hSetupApi != nullptr, bound && result == 0);
    EXPECT_EQ(AllEntriesNull(), !bound || result != 0);
    EXPECT_EQ(ModulesHeld(), bound && result == 0 ? 1u : 0u) << "module references kept";

    kazsim::ClearCallLog();
    EXPECT_EQ(kzmInitialize(), 0u);
    uint32_t major = 0;
    EXPECT_EQ(kzmGetVersion(&major, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(CallNames(), result == 0 ? std::vector<std::string>{"GetServerVersion"} : [&] {
        auto calls = clean;
        calls.push_back("GetServerVersion");
        return calls;
    }()) << "initialised once, or tried again after a failure";

    EXPECT_EQ(kzmFLDinit(250, DEVICE_ID_ANY, nullptr), bound ? 0u : KZM_E_FAIL);
    EXPECT_EQ(kzmFLDreset(), 0u);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    kazsim::AccountingInfo now = kazsim::Accounting();
    now.SetupApiModules = kazsim::AccountingBaseline().SetupApiModules;
    EXPECT_EQ(now.LeftBehind(kazsim::AccountingBaseline()), "");
}

INSTANTIATE_TEST_SUITE_P(EveryCall, InitializeFaults, ::testing::Range(0u, SETUPAPI_ENTRIES + 4));

TEST(Init, GetVersionInitialisesAndWritesItsOutputs)
{
    kazsim::Bench::Reset();
    kazsim::Bench::SetServerVersion(7, 12, 99);
    kazsim::Faults::Fail("InitializeServer", 0xE0010001, 1);
    uint32_t v[4] = {11, 11, 11, 11};
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0xE0010001u);
    EXPECT_EQ(std::vector<uint32_t>(v, v + 4), std::vector<uint32_t>(4, 11)) << "written when initialisation failed";
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0u);
    EXPECT_EQ(std::vector<uint32_t>(v, v + 4), (std::vector<uint32_t>{7, 12, 0, 0}));
    EXPECT_EQ(kzmGetVersion(nullptr, nullptr, nullptr, nullptr), 0u);
    kazsim::Faults::Fail("GetServerVersion", 0xE0010077);
    std::fill(v, v + 4, 11);
    EXPECT_EQ(kzmGetVersion(&v[0], &v[1], &v[2], &v[3]), 0xE0010077u);
    EXPECT_EQ(std::vector<uint32_t>(v + 2, v + 4), std::vector<uint32_t>(2, 0));
}

TEST(EntryHook, DetachGivesBackTheBindingOnlyWhenBound)
{
    kazsim::Bench::Reset();
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_TRUE(kazsim::CallLog().empty()) << "nothing to unload before initialisation";
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_ATTACH, nullptr));
    ASSERT_EQ(kzmInitialize(), 0u);
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_DETACH, nullptr));
    EXPECT_EQ(g_hSetupApi, nullptr);
    EXPECT_TRUE(AllEntriesNull());
    EXPECT_EQ(ModulesHeld(), 0u);
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_PROCESS_ATTACH, nullptr)); // for the process's own unload
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_THREAD_ATTACH, nullptr));
    EXPECT_TRUE(LibraryEntry(nullptr, DLL_THREAD_DETACH, nullptr));
    EXPECT_FALSE(LibraryEntry(nullptr, 7, nullptr));
}

} // namespace
