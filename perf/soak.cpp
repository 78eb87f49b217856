// kazmir_soak: a long run of the library on the virtual bench, as a host on a
// production line uses it: thousands of cycles of init, program or send and
// receive, and reset. It prints the process's resident memory and the open
// objects (device-server references, driver handles, events, device lists)
// before the first cycle, after a warm-up and at the end, and fails when
// anything grew between the warm-up and the end.
//
//   kazmir_soak [cycles] [warm-up cycles]      (defaults 10000 and 13000)
//
// The warm-up fills what the bench keeps on purpose up to its bounds (the
// last 4096 messages each board took from its send queue, the handle
// table's buckets) so that the measured cycles show the library alone.
//
// Cycles rotate through FLD (init by any id, program a small image, reset),
// BGI (init, send, receive, reset) and CCL by serial (init, reset).
// kzmCCLinit by id is left out on purpose: its second attach keeps one CCL
// reference for good each time, by design, and would grow by one a cycle.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uint32_t TIMEOUT_MS = 2000;
constexpr unsigned WARM_UP_CYCLES = 13000;
// Resident memory may move by allocator noise; growth with the cycle count
// (a leak of even 100 bytes a cycle is 1 MB) goes well past this.
constexpr long RSS_TOLERANCE_KB = 512;

long ResidentKb()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

struct Figures {
    long rssKb;
    uint32_t references; // held on device-server objects of every kind
    uint32_t driverHandles, events, deviceLists, deviceFiles;
};

Figures Measure()
{
    kazsim::Bench::Quiesce();
    kazsim::AccountingInfo a = kazsim::Accounting();
    uint32_t refs = a.DeviceManagers.References + a.Enumerators.References + a.Devices.References + a.Flds.References +
                    a.Bals.References + a.Ccls.References + a.Channels.References;
    return {ResidentKb(), refs, a.DriverHandles, a.Events, a.DeviceInfoLists, a.DeviceFiles};
}

void Print(const char* when, unsigned cycles, const Figures& f)
{
    std::printf("%-9s after %6u cycles: VmRSS %6ld kB, references %u, driver handles %u, events %u, "
                "device lists %u, device files %u\n",
                when, cycles, f.rssKb, f.references, f.driverHandles, f.events, f.deviceLists, f.deviceFiles);
}

std::string WriteImage()
{
    std::string path = (std::filesystem::temp_directory_path() / "kazmir-soak.hex").string();
    std::ofstream out(path);
    // 512 bytes from address 0.
    for (unsigned offset = 0; offset < 512; offset += 16) {
        unsigned sum = 16 + (offset >> 8) + (offset & 0xFF);
        char text[64];
        std::snprintf(text, sizeof(text), ":10%04X00", offset);
        out << text;
        for (unsigned i = 0; i < 16; ++i) {
            unsigned byte = ((offset + i) * 31) & 0xFF;
            std::snprintf(text, sizeof(text), "%02X", byte);
            out << text;
            sum += byte;
        }
        std::snprintf(text, sizeof(text), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        out << text;
    }
    out << ":00000001FF\n";
    return path;
}

bool Check(uint32_t result, const char* what, unsigned cycle)
{
    if (result == 0)
        return true;
    std::fprintf(stderr, "cycle %u: %s gave 0x%08X\n", cycle, what, result);
    return false;
}

bool FldCycle(const std::string& image, unsigned cycle)
{
    bool ok = Check(kzmFLDinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), "kzmFLDinit", cycle) &&
              Check(kzmFLDprogram(image.c_str()), "kzmFLDprogram", cycle);
    return Check(kzmFLDreset(), "kzmFLDreset", cycle) && ok;
}

bool BgiCycle(unsigned cycle)
{
    uint8_t message[32];
    std::memset(message, static_cast<int>(cycle & 0xFF), sizeof(message));
    uint8_t buffer[512];
    uint16_t received = 0;
    bool ok = Check(kzmBGIinit(TIMEOUT_MS, DEVICE_ID_ANY, nullptr), "kzmBGIinit", cycle) &&
              Check(kzmBGIsend(TIMEOUT_MS, sizeof(message), message), "kzmBGIsend", cycle) &&
              Check(kzmBGIreceive(TIMEOUT_MS, sizeof(buffer), buffer, &received), "kzmBGIreceive", cycle);
    if (ok && std::memcmp(buffer, message, sizeof(message)) != 0) {
        std::fprintf(stderr, "cycle %u: the echo differs from the message\n", cycle);
        ok = false;
    }
    return Check(kzmBGIreset(), "kzmBGIreset", cycle) && ok;
}

bool CclSerialCycle(unsigned cycle)
{
    bool ok = Check(kzmCCLinitSer(TIMEOUT_MS, "KZ000001", nullptr), "kzmCCLinitSer", cycle);
    return Check(kzmCCLreset(), "kzmCCLreset", cycle) && ok;
}

} // namespace

int main(int argc, char** argv)
{
    const unsigned cycles = argc > 1 ? static_cast<unsigned>(std::strtoul(argv[1], nullptr, 10)) : 10000;
    const unsigned warmUp = argc > 2 ? static_cast<unsigned>(std::strtoul(argv[2], nullptr, 10)) : WARM_UP_CYCLES;
    if (kzmInitialize() != 0) {
        std::fprintf(stderr, "kzmInitialize failed\n");
        return 2;
    }
    // The bench keeps released objects to catch late calls; for a long run
    // it must not, or its own memory grows with every cycle.
    kazsim::Bench::ReclaimReleasedObjects(true);
    kazsim::BenchDesc desc;
    kazsim::BoardDesc board;
    board.State = kazsim::STATE_CCL;
    desc.Boards.push_back(board);
    kazsim::Bench::Reset(desc);
    const std::string image = WriteImage();

    Figures start = Measure();
    Print("start", 0, start);
    Figures warm = start;
    auto begun = std::chrono::steady_clock::now();
    unsigned failures = 0;
    const unsigned total = warmUp + cycles;
    for (unsigned cycle = 1; cycle <= total; ++cycle) {
        bool ok = false;
        switch (cycle % 3) {
        case 0:
            ok = FldCycle(image, cycle);
            break;
        case 1:
            ok = BgiCycle(cycle);
            break;
        default:
            ok = CclSerialCycle(cycle);
            break;
        }
        if (!ok && ++failures > 10)
            break;
        kazsim::ClearCallLog(); // the bench's log would grow with every call
        if (cycle == warmUp) {
            warm = Measure();
            Print("warm-up", cycle, warm);
            begun = std::chrono::steady_clock::now();
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    Figures end = Measure();
    Print("end", total, end);
    std::printf("%u measured cycles in %.1f s (%.3f ms a cycle), %u failed\n", cycles, seconds,
                cycles ? 1000.0 * seconds / cycles : 0.0, failures);
    std::printf("the board restarted %u times\n", kazsim::Bench::BoardInfo(0).Restarts);
    std::filesystem::remove(image);

    const bool grew = end.rssKb - warm.rssKb > RSS_TOLERANCE_KB || end.references != start.references ||
                      end.driverHandles != start.driverHandles || end.events != start.events ||
                      end.deviceLists != start.deviceLists || end.deviceFiles != start.deviceFiles;
    std::printf("growth from warm-up to end: VmRSS %+ld kB; open objects %s\n", end.rssKb - warm.rssKb,
                grew ? "GREW" : "unchanged");
    return failures == 0 && !grew ? 0 : 1;
}
