// BGI message throughput on the virtual bench: round trips (send, then
// receive the firmware's echo) and one-way messages per second.
#include "device/KazApi.h"
#include "kazsim/Bench.h"
#include "modes/BGIProg.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

constexpr uint32_t WAIT_MS = 10000;
// The server's "no entry available now". Send and Receive wait once; a signal
// left from an earlier change can end that wait before an entry is there, and
// the call then gives this code: the caller tries again.
constexpr KZMRESULT NOTHING_AVAILABLE = 0x8000000A;

template <class F>
KZMRESULT Retry(F call, int64_t& retries)
{
    KZMRESULT result = call();
    while (result == NOTHING_AVAILABLE) {
        ++retries;
        result = call();
    }
    return result;
}

IKazCcl* OpenCclObject()
{
    InitializeServer(); // as a host's kzmInitialize does before any mode
    IKazDeviceManager* manager = nullptr;
    if (GetDeviceManager(&manager) != 0 || !manager)
        return nullptr;
    uint64_t id = kazsim::Bench::BoardInfo(0).DeviceId;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    if (manager->OpenDevice(&id, &device) == 0 && device) {
        device->OpenComponent(&KAZ_CLSID_CCL, &KAZ_IID_CCL, &component);
        device->Release();
    }
    manager->Release();
    return static_cast<IKazCcl*>(component);
}

// One CCL board with the default channels (256-byte entries, 8 deep), the
// BGI channels open on it.
bool OpenChannels(CBGIProg& prog, bool echo, benchmark::State& state)
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
    desc.Boards[0].Echo = echo;
    kazsim::Bench::Reset(desc);
    kazsim::Bench::Quiesce();
    IKazCcl* ccl = OpenCclObject();
    if (!ccl) {
        state.SkipWithError("no CCL object");
        return false;
    }
    KZMRESULT result = prog.Open(ccl);
    ccl->Release();
    if (result == 0)
        result = prog.OpenChannels();
    if (result != 0) {
        state.SkipWithError("channels not opened");
        return false;
    }
    return true;
}

void BM_BgiRoundTrip(benchmark::State& state)
{
    CBGIProg prog;
    if (!OpenChannels(prog, true, state))
        return;
    const auto length = static_cast<uint16_t>(state.range(0));
    std::vector<uint8_t> message(length, 0x5A);
    uint8_t buffer[256];
    int64_t retries = 0;
    for (auto _ : state) {
        KZMRESULT result = Retry([&] { return prog.Send(length, message.data(), 0, WAIT_MS); }, retries);
        uint16_t received = 0;
        if (result == 0)
            result = Retry([&] { return prog.Receive(sizeof(buffer), buffer, &received, WAIT_MS); }, retries);
        if (result != 0) {
            state.SkipWithError(("round trip failed: " + std::to_string(result)).c_str());
            break;
        }
        benchmark::DoNotOptimize(buffer[0]);
    }
    state.counters["round_trips/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["retries"] = static_cast<double>(retries);
    prog.CloseChannels();
}
BENCHMARK(BM_BgiRoundTrip)->Arg(8)->Arg(255)->UseRealTime();

void BM_BgiOneWay(benchmark::State& state)
{
    CBGIProg prog;
    if (!OpenChannels(prog, false, state))
        return;
    const auto length = static_cast<uint16_t>(state.range(0));
    std::vector<uint8_t> message(length, 0xA5);
    int64_t retries = 0;
    for (auto _ : state) {
        KZMRESULT result = Retry([&] { return prog.Send(length, message.data(), 0, WAIT_MS); }, retries);
        if (result != 0) {
            state.SkipWithError(("send failed: " + std::to_string(result)).c_str());
            break;
        }
    }
    state.counters["messages/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["retries"] = static_cast<double>(retries);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    kazsim::Bench::Quiesce();
    prog.CloseChannels();
}
BENCHMARK(BM_BgiOneWay)->Arg(8)->Arg(255)->UseRealTime();

} // namespace
