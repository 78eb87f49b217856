// A fault at every call of kzmInitialize: binding the Setup API (the module
// and its 27 entry points) and initialising the device server. The library
// initialises once per process, so every case needs a process of its own, as
// CTest gives it; case 0 runs without a fault and checks the calls the others
// fail one by one.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned SETUPAPI_ENTRIES = 27;
constexpr uint32_t WAIT_MS = 250;

// The calls of a first kzmInitialize without a fault.
std::vector<std::string> InitializeCalls()
{
    std::vector<std::string> calls = {"LoadLibraryA"};
    calls.insert(calls.end(), SETUPAPI_ENTRIES, "GetProcAddress");
    calls.push_back("InitializeServer");
    return calls;
}

std::vector<std::string> Names(const std::vector<kazsim::Call>& log)
{
    std::vector<std::string> names;
    for (const kazsim::Call& call : log)
        names.push_back(call.Name);
    return names;
}

class InitializeFaults : public ::testing::TestWithParam<unsigned> {};

TEST_P(InitializeFaults, GiveTheExpectedCodeAndLeaveTheBindingAsIntended)
{
    kazsim::BenchDesc desc;
    kazsim::BoardDesc board;
    board.State = kazsim::STATE_FLASH_LOADER;
    desc.Boards.push_back(board);
    kazsim::Bench::Reset(desc);

    const std::vector<std::string> clean = InitializeCalls();
    const unsigned point = GetParam(); // 0: no fault; n: the nth call fails
    std::string name;
    uint32_t occurrence = 0;
    const uint32_t code = point % 2 ? 31u : 0xE0010099u;
    if (point > 0) {
        name = clean[point - 1];
        for (unsigned i = 0; i < point; ++i)
            occurrence += clean[i] == name;
        kazsim::Faults::Fail(name, code, occurrence);
    }

    const uint32_t result = kzmInitialize();
    std::vector<std::string> calls = Names(kazsim::CallLog());
    ASSERT_FALSE(calls.empty()) << "the library was initialised earlier in this process: "
                                   "each case needs a process of its own, as under CTest";

    // A binding that fails is not reported: the module is given back and no
    // board can be found. A failing device server is reported, the binding
    // given back, and the next kzmInitialize tries again.
    std::vector<std::string> expected = clean;
    uint32_t expectedResult = 0;
    bool bound = true;
    if (name == "LoadLibraryA") {
        expected = {"LoadLibraryA", "InitializeServer"};
        bound = false;
    } else if (name == "GetProcAddress") {
        expected.insert(expected.end() - 1, "FreeLibrary");
        bound = false;
    } else if (name == "InitializeServer") {
        expected.push_back("FreeLibrary");
        expectedResult = code;
    }
    EXPECT_EQ(calls, expected);
    EXPECT_EQ(result, expectedResult);
    if (point > 0) {
        EXPECT_EQ(kazsim::Faults::Fired(name), 1u);
    }

    if (expectedResult != 0) {
        kazsim::ClearCallLog();
        EXPECT_EQ(kzmInitialize(), 0u) << "a failed initialisation is tried again";
        EXPECT_EQ(Names(kazsim::CallLog()), clean);
    }
    EXPECT_EQ(kzmInitialize(), 0u);

    uint64_t handle = 0;
    EXPECT_EQ(kzmFLDinit(WAIT_MS, DEVICE_ID_ANY, &handle), bound ? 0u : KZM_E_FAIL);
    EXPECT_EQ(kzmFLDreset(), 0u);
    ASSERT_TRUE(kazsim::Bench::Quiesce());
    kazsim::AccountingInfo now = kazsim::Accounting();
    const kazsim::AccountingInfo base = kazsim::AccountingBaseline();
    EXPECT_EQ(now.SetupApiModules - base.SetupApiModules, bound ? 1u : 0u) << "module references kept";
    EXPECT_EQ(now.LeftBehind(base), "");
}

INSTANTIATE_TEST_SUITE_P(EveryCall, InitializeFaults, ::testing::Range(0u, SETUPAPI_ENTRIES + 3),
                         [](const ::testing::TestParamInfo<unsigned>& info) {
                             return info.param == 0 ? std::string("NoFault")
                                                    : "Call" + std::to_string(info.param);
                         });

} // namespace
