// The library on the strict bench: every mode's way in and out, with a board
// that is installed but not present ahead of the present one in the Setup
// API's full list. The bench refuses each argument the real driver, Setup API
// or device server would refuse, so any refusal, and anything left open, is
// a fault of the library.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

constexpr uint32_t TIMEOUT_MS = 3000;

TEST(StrictBench, EveryModeGetsInAndOutWithArgumentsTheRealSystemAccepts)
{
    struct Row {
        const char* Mode;
        std::function<uint32_t()> Run;
        const char* LeftBehind; // the CCL init's own reference stays with the controller by design
    };
    uint64_t handle = 0;
    const Row rows[] = {
        {"FLD", [&] { return kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle) ?: kzmFLDerase() ?: kzmFLDreset(); }, ""},
        {"BAL", [&] { return kzmBALinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle) ?: kzmBALreset(); }, ""},
        {"CCL", [&] { return kzmCCLinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle) ?: kzmCCLreset(); },
         "CCL objects: 1 references beyond the baseline (1 now, 0 before)\n"},
        {"BGI",
         [&] {
             char reply[256] = {};
             return kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle) ?: kzmBGIsend(TIMEOUT_MS, 5, "ping")
                 ?: kzmBGIreceive(TIMEOUT_MS, sizeof(reply), reply, nullptr) ?: kzmBGIreset();
         },
         ""},
    };
    for (const Row& row : rows) {
        kazsim::Bench::Reset(kazsim::BenchDesc::FromJsonText(R"({"boards": [{"present": false}, {}]})"));
        ASSERT_EQ(kzmInitialize(), 0u);
        EXPECT_EQ(row.Run(), 0u) << row.Mode;
        kazsim::Bench::Quiesce();
        EXPECT_EQ(kazsim::Refusals(), std::vector<std::string>{}) << row.Mode;
        EXPECT_EQ(kazsim::LeftBehind(), row.LeftBehind) << row.Mode;
    }
}
