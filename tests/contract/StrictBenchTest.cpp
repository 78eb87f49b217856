// The library on the strict bench: every mode's way in and out, with a board
// that is installed but not present ahead of the present one in the Setup
// API's full list. The bench refuses each argument the real driver, Setup API
// or device server would refuse, so any refusal, and anything left open, is
// a fault of the library.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

namespace {

constexpr uint32_t TIMEOUT_MS = 3000;

std::string Joined(const std::vector<std::string>& lines)
{
    std::string text;
    for (const std::string& line : lines)
        text += line + "\n";
    return text;
}

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
             const char message[] = "ping";
             char reply[256] = {};
             uint16_t received = 0;
             return kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, &handle) ?: kzmBGIsend(TIMEOUT_MS, 5, message)
                 ?: kzmBGIreceive(TIMEOUT_MS, sizeof(reply), reply, &received) ?: kzmBGIreset();
         },
         ""},
    };
    for (const Row& row : rows) {
        kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
        kazsim::BoardDesc absent;
        absent.Serial = "KZ000009";
        absent.Present = false;
        desc.Boards.insert(desc.Boards.begin(), absent);
        kazsim::Bench::Reset(desc);
        ASSERT_EQ(kzmInitialize(), 0u);
        EXPECT_EQ(row.Run(), 0u) << row.Mode;
        kazsim::Bench::Quiesce();
        EXPECT_EQ(Joined(kazsim::Refusals()), "") << row.Mode;
        EXPECT_EQ(kazsim::LeftBehind(), row.LeftBehind) << row.Mode;
    }
}

} // namespace
