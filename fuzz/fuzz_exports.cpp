// libFuzzer target for the export table: each input is a sequence of export
// calls with arguments taken from the input (null pointers, zero and maximal
// lengths, ids of the board, of no board and of any board, serials that are
// empty, too long or of the wrong case, time-outs of 0), interleaved with
// events on the virtual bench (a one-shot failure of any operation, a board
// restarting, leaving, being held by another process, a message arriving).
// Time-outs stay below 6 ms, so every wait is short and bounded.
//
// After each input every mode is reset; the resets must give 0, and nothing
// may stay open: no driver handle, device list, event, and no reference on a
// device, FLD, BAL or channel object. CCL references may stay: an init of CCL
// by id keeps one for good by design.
#include "kazmir.h"
#include "kazsim/Bench.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

[[noreturn]] void Fail(const std::string& what)
{
    std::fprintf(stderr, "fuzz_exports: %s\n", what.c_str());
    std::abort();
}

// The input, read front to back; zeros once it is used up.
class CInput {
public:
    CInput(const uint8_t* data, size_t size) : m_pData(data), m_Size(size) {}
    bool Empty() const { return m_Pos >= m_Size; }
    uint8_t Byte() { return m_Pos < m_Size ? m_pData[m_Pos++] : 0; }
    uint16_t U16() { return static_cast<uint16_t>(Byte() | Byte() << 8); }
    uint32_t U32() { return static_cast<uint32_t>(U16() | static_cast<uint32_t>(U16()) << 16); }
    uint64_t U64() { return U32() | static_cast<uint64_t>(U32()) << 32; }

private:
    const uint8_t* m_pData;
    size_t m_Size;
    size_t m_Pos = 0;
};

std::vector<std::string> g_Files; // null, missing, valid, broken, too large
std::vector<std::string> g_FaultNames;
uint8_t g_Buffer[65536 + 16];
uint64_t g_Reports = 0;

void Report(void* context, uint8_t, const char* text)
{
    if (!text)
        Fail("a report without text");
    if (std::strlen(text) >= 512)
        Fail("a report line longer than the report buffer");
    if (context)
        ++*static_cast<uint64_t*>(context);
}

uint32_t Timeout(CInput& in)
{
    uint8_t b = in.Byte();
    return (b & 3) == 0 ? 0 : b % 6;
}

uint64_t DeviceId(CInput& in)
{
    switch (in.Byte() % 4) {
    case 0:
        return DEVICE_ID_ANY;
    case 1:
        return kazsim::Bench::BoardCount() > 0 ? kazsim::Bench::BoardInfo(0).DeviceId : 0;
    case 2:
        return 0;
    default:
        return in.U64();
    }
}

uint64_t g_Handle;
uint64_t* HandlePointer(CInput& in)
{
    return in.Byte() & 1 ? &g_Handle : nullptr;
}

std::string g_Serial;
const char* Serial(CInput& in)
{
    switch (in.Byte() % 8) {
    case 0:
        return nullptr;
    case 1:
        return "";
    case 2:
        return "KZ000001";
    case 3:
        return "kz000001";
    case 4:
        g_Serial.assign(127, 'S');
        return g_Serial.c_str();
    case 5:
        g_Serial.assign(128 + in.Byte(), 'S');
        return g_Serial.c_str();
    case 6:
        return "ABCD";
    default: {
        g_Serial.clear();
        for (uint8_t n = in.Byte() % 40; n > 0; --n)
            g_Serial.push_back(static_cast<char>(in.Byte() | 1));
        return g_Serial.c_str();
    }
    }
}

uint16_t Length(CInput& in)
{
    switch (in.Byte() % 7) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return 255;
    case 3:
        return 256;
    case 4:
        return 257;
    case 5:
        return 65535;
    default:
        return in.U16();
    }
}

const char* File(CInput& in)
{
    const std::string& name = g_Files[in.Byte() % g_Files.size()];
    return name.empty() ? nullptr : name.c_str();
}

void BenchEvent(CInput& in)
{
    const int board = 0;
    const bool present = kazsim::Bench::BoardCount() > 0 && kazsim::Bench::BoardInfo(board).Present;
    switch (in.Byte() % 7) {
    case 0: {
        static const uint32_t codes[] = {31, 0xE0010099, 2, 32, 0x80004005, 0x8007048F};
        uint8_t pick = in.Byte();
        uint32_t code = pick < 200 ? codes[pick % 6] : (in.U32() | 1);
        const std::string& name = g_FaultNames[in.U16() % g_FaultNames.size()];
        kazsim::Faults::Fail(name, code, 1 + in.Byte() % 8); // once: repeated failures could poll for long
        break;
    }
    case 1:
        if (present) {
            static const uint32_t states[] = {1, 2, 3, 16, 5};
            kazsim::Bench::Restart(board, states[in.Byte() % 5]);
        }
        break;
    case 2:
        if (present && (in.Byte() & 7) == 0)
            kazsim::Bench::RemoveBoard(board);
        break;
    case 3:
        if (present)
            kazsim::Bench::SetHeld(board, in.Byte() & 1);
        break;
    case 4:
        if (present) {
            std::vector<uint8_t> message(in.Byte() + 1u, in.Byte());
            kazsim::Bench::InjectReceive(board, message);
        }
        break;
    case 5:
        if (present)
            kazsim::Bench::PauseFirmware(board, in.Byte() & 1);
        break;
    default:
        kazsim::Bench::SignalChange();
        break;
    }
}

void Call(CInput& in)
{
    FW_INFO info;
    uint32_t v[4];
    uint16_t a = 0, b = 0;
    switch (in.Byte() % 22) {
    case 0:
        kzmFLDinit(Timeout(in), DeviceId(in), HandlePointer(in));
        break;
    case 1:
        kzmFLDreset();
        break;
    case 2:
        kzmFLDprogram(File(in));
        break;
    case 3:
        kzmFLDverify(File(in));
        break;
    case 4:
        kzmFLDerase();
        break;
    case 5:
        kzmFLDscanFwInfo(in.Byte() & 1 ? &info : nullptr);
        break;
    case 6:
        kzmBALinit(Timeout(in), DeviceId(in), HandlePointer(in));
        break;
    case 7:
        kzmBALinitSer(Timeout(in), Serial(in), HandlePointer(in));
        break;
    case 8:
        kzmBALreset();
        break;
    case 9:
        kzmCCLinit(Timeout(in), DeviceId(in), HandlePointer(in));
        break;
    case 10:
        kzmCCLinitSer(Timeout(in), Serial(in), HandlePointer(in));
        break;
    case 11:
        kzmCCLreset();
        break;
    case 12:
        kzmBGIinit(Timeout(in), DeviceId(in), HandlePointer(in));
        break;
    case 13:
        kzmBGIinitSer(Timeout(in), Serial(in), HandlePointer(in));
        break;
    case 14:
        kzmBGIreset();
        break;
    case 15: {
        uint32_t timeout = Timeout(in);
        uint16_t length = Length(in);
        kzmBGIsend(timeout, length, in.Byte() & 1 ? g_Buffer : nullptr);
        break;
    }
    case 16: {
        uint32_t timeout = Timeout(in);
        uint16_t size = Length(in);
        uint16_t received = 0;
        uint8_t pointers = in.Byte();
        if (kzmBGIreceive(timeout, size, pointers & 1 ? g_Buffer : nullptr, pointers & 2 ? &received : nullptr) == 0 &&
            (pointers & 2) && received > size)
            Fail("received more than the buffer holds");
        break;
    }
    case 17: {
        uint8_t pointers = in.Byte();
        kzmBGIgetMsgLen(pointers & 1 ? &a : nullptr, pointers & 2 ? &b : nullptr);
        break;
    }
    case 18: {
        uint8_t pointers = in.Byte();
        kzmGetVersion(pointers & 1 ? &v[0] : nullptr, pointers & 2 ? &v[1] : nullptr, pointers & 4 ? &v[2] : nullptr,
                      pointers & 8 ? &v[3] : nullptr);
        break;
    }
    case 19:
        kzmRegisterCallback(in.Byte() & 1 ? &g_Reports : nullptr, in.Byte() & 1 ? Report : nullptr);
        break;
    default:
        BenchEvent(in);
        break;
    }
}

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    if (kzmInitialize() != 0)
        Fail("kzmInitialize failed");
    kzmRegisterCallback(&g_Reports, Report);
    // Thousands of inputs: released objects must not pile up in the bench.
    kazsim::Bench::ReclaimReleasedObjects(true);
    g_FaultNames = kazsim::Faults::Names();

    const std::filesystem::path dir = std::filesystem::temp_directory_path();
    g_Files = {"", (dir / "kazmir-fuzz-missing.hex").string()};
    const std::string valid = (dir / "kazmir-fuzz-valid.hex").string();
    WriteFile(valid, ":10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n");
    const std::string broken = (dir / "kazmir-fuzz-broken.hex").string();
    WriteFile(broken, ":10000000000102030405060708090A0B0C0D0E0F00\n:0400000");
    const std::string beyond = (dir / "kazmir-fuzz-beyond.hex").string();
    WriteFile(beyond, ":020000040010EA\n:0400000001020304F2\n:00000001FF\n");
    const std::string srec = (dir / "kazmir-fuzz-valid.s19").string();
    WriteFile(srec, "S1130000000102030405060708090A0B0C0D0E0F74\nS9030000FC\n");
    g_Files.insert(g_Files.end(), {valid, broken, beyond, srec});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    CInput in(data, size);
    kazsim::BenchDesc desc;
    kazsim::BoardDesc board;
    static const uint32_t states[] = {1, 2, 3, 16, 5};
    board.State = states[in.Byte() % 5];
    board.RestartDelayMs = in.Byte() % 3;
    // A small flash: boards that the CCL references kept by design hold on
    // to theirs, one per input at most.
    board.Flash.SectorSizes = {0x1000, 0x1000, 0x2000, 0x4000};
    desc.Boards.push_back(board);
    kazsim::Bench::Reset(desc);

    for (unsigned calls = 0; !in.Empty() && calls < 64; ++calls)
        Call(in);

    kazsim::Faults::Clear();
    if (kzmFLDreset() != 0 || kzmBALreset() != 0 || kzmCCLreset() != 0 || kzmBGIreset() != 0)
        Fail("a reset gave a code other than 0");
    if (!kazsim::Bench::Quiesce())
        Fail("the bench did not quiesce");
    kazsim::AccountingInfo now = kazsim::Accounting();
    const kazsim::AccountingInfo base = kazsim::AccountingBaseline();
    if (now.Ccls.References < base.Ccls.References)
        Fail("CCL references released beyond the library's own");
    now.Ccls = base.Ccls;
    std::string left = now.LeftBehind(base);
    if (!left.empty())
        Fail("left behind after every reset:\n" + left);
    return 0;
}
