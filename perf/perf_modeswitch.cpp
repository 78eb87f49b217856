// Time of a whole mode switch on the virtual bench with no restart delay:
// kzmFLDinit of a board in its operating firmware (two restarts, through the
// boot ROM into the flash loader), then kzmFLDreset.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <benchmark/benchmark.h>

namespace {

void BM_FldInitFromOperatingFirmware(benchmark::State& state)
{
    kzmInitialize();
    for (auto _ : state) {
        state.PauseTiming();
        kazsim::BoardDesc board;
        board.State = kazsim::STATE_CCL;
        kazsim::BenchDesc bench = kazsim::BenchDesc::Empty();
        bench.Boards.push_back(board);
        kazsim::Bench::Reset(bench);
        state.ResumeTiming();

        uint32_t result = kzmFLDinit(5000, DEVICE_ID_ANY, nullptr);
        kzmFLDreset();
        if (result != 0) {
            state.SkipWithError("kzmFLDinit failed");
            break;
        }
    }
    state.SetLabel("state 3 -> 16 -> 1, zero restart delay");
}
BENCHMARK(BM_FldInitFromOperatingFirmware)->Unit(benchmark::kMicrosecond);

void BM_CclInitAlreadyInFirmware(benchmark::State& state)
{
    kzmInitialize();
    kazsim::Bench::Reset();
    for (auto _ : state) {
        uint32_t result = kzmCCLinitSer(5000, "KZ000001", nullptr);
        kzmCCLreset();
        if (result != 0) {
            state.SkipWithError("kzmCCLinitSer failed");
            break;
        }
    }
}
BENCHMARK(BM_CclInitAlreadyInFirmware)->Unit(benchmark::kMicrosecond);

} // namespace
