// A fault at every call: each export sequence runs once without faults to
// record every call it makes into the driver, the Setup API and the
// device-server library, then once per recorded call (and per injected code)
// with exactly that call failing. Each run starts from an identical bench and
// is checked against the behaviour model: the calls made, every export's result,
// the handle, the reset, and what is left open afterwards.
#include "BehaviourModel.h"

#include "kazmir.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

namespace {

using namespace faults;

constexpr uint64_t FIRST_ID = 0x4B5A00000000F001ull;
const char SERIAL[] = "KZ000001";
// Time-out of every init and of sends and receives: the waits that a fault
// turns into time-outs are bounded by it.
constexpr uint32_t WAIT_MS = 250;
// One Windows error and one device-server code.
constexpr uint32_t CODES[] = {31, 0xE0010099};
constexpr unsigned MAX_TRIES = 3;
constexpr unsigned MAX_REPORTED_RUNS = 12;

// The board stays away this long on a restart, so that the library handles
// its leaving before it comes back (more under valgrind).
uint32_t RestartDelayMs()
{
    const char* text = std::getenv("KZM_FAULTS_RESTART_DELAY_MS");
    return text && *text ? static_cast<uint32_t>(std::strtoul(text, nullptr, 10)) : 40;
}

std::string Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", value);
    return text;
}

// --- the image kzmFLDprogram writes: 600 bytes from 0 with a record ---------

FW_INFO ImageRecord()
{
    FW_INFO info;
    std::memset(&info, 0, sizeof(info));
    const uint8_t version[4] = {2, 0, 1, 7};
    std::memcpy(info.Version, version, sizeof(version));
    std::strcpy(info.Name, "FAULTS");
    std::strcpy(info.Device, "KZ-BENCH");
    return info;
}

// The file lives as long as the process.
struct CTempFile {
    std::string m_Path;
    ~CTempFile()
    {
        if (!m_Path.empty())
            std::filesystem::remove(m_Path);
    }
};

std::string ImageFile()
{
    static CTempFile s_File;
    std::string& path = s_File.m_Path;
    if (!path.empty())
        return path;
    std::vector<uint8_t> image(600);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i * 13 + 5);
    FW_INFO info = ImageRecord();
    std::memcpy(image.data() + 200, &info, sizeof(info));
    std::memcpy(image.data() + 250, "$FW-INFO$", 9);
    const std::string name = "kazmir-faults-" + std::to_string(std::random_device{}()) + ".hex";
    path = (std::filesystem::temp_directory_path() / name).string();
    std::ofstream out(path, std::ios::binary);
    for (size_t offset = 0; offset < image.size(); offset += 16) {
        const size_t count = std::min<size_t>(16, image.size() - offset);
        uint8_t sum = static_cast<uint8_t>(count + (offset >> 8) + (offset & 0xFF));
        char text[16];
        std::snprintf(text, sizeof(text), ":%02X%04X00", static_cast<unsigned>(count), static_cast<unsigned>(offset));
        out << text;
        for (size_t i = 0; i < count; ++i) {
            std::snprintf(text, sizeof(text), "%02X", image[offset + i]);
            out << text;
            sum = static_cast<uint8_t>(sum + image[offset + i]);
        }
        std::snprintf(text, sizeof(text), "%02X\n", static_cast<uint8_t>(-sum) & 0xFF);
        out << text;
    }
    out << ":00000001FF\n";
    return path;
}

// --- running one sequence through the exports ----------------------------------

struct Observed {
    std::vector<Step> steps;
    std::vector<uint32_t> results;
    std::vector<kazsim::Call> log;
    std::vector<std::string> problems; // checks made during the run
    bool scanWroteRecord = false;
    uint32_t fired = 0;
    kazsim::AccountingInfo after, baseline;
};

uint32_t Init(const Sequence& s, uint64_t* handle)
{
    const uint64_t id = s.openBy == OpenBy::Any ? DEVICE_ID_ANY : FIRST_ID;
    const bool serial = s.openBy == OpenBy::Serial;
    switch (s.mode) {
    case Mode::Fld:
        return kzmFLDinit(WAIT_MS, id, handle);
    case Mode::Bal:
        return serial ? kzmBALinitSer(WAIT_MS, SERIAL, handle) : kzmBALinit(WAIT_MS, id, handle);
    case Mode::Ccl:
        return serial ? kzmCCLinitSer(WAIT_MS, SERIAL, handle) : kzmCCLinit(WAIT_MS, id, handle);
    case Mode::Bgi:
        return serial ? kzmBGIinitSer(WAIT_MS, SERIAL, handle) : kzmBGIinit(WAIT_MS, id, handle);
    }
    return KZM_E_FAIL;
}

uint32_t Reset(Mode mode)
{
    switch (mode) {
    case Mode::Fld:
        return kzmFLDreset();
    case Mode::Bal:
        return kzmBALreset();
    case Mode::Ccl:
        return kzmCCLreset();
    case Mode::Bgi:
        return kzmBGIreset();
    }
    return KZM_E_FAIL;
}

Observed RunOnce(const Sequence& s, const Fault& fault)
{
    kazsim::BenchDesc desc;
    kazsim::BoardDesc board;
    board.State = s.state;
    board.Serial = SERIAL;
    board.DeviceId = FIRST_ID;
    board.RestartDelayMs = RestartDelayMs();
    desc.Boards.push_back(board);
    kazsim::Bench::Reset(desc);
    if (!fault.name.empty())
        kazsim::Faults::Fail(fault.name, fault.code, fault.occurrence);

    Observed o;
    uint32_t initResult = 0;
    for (Step step : StepsOf(s)) {
        if (step != Step::Init && step != Step::Reset && step != Step::CclReset && initResult != 0)
            continue;
        uint32_t result = 0;
        switch (step) {
        case Step::Init: {
            uint64_t handle = 0x5A5A;
            result = initResult = Init(s, &handle);
            const uint64_t expected = result == 0 ? kazsim::Bench::BoardInfo(0).DeviceId : 0x5A5A;
            if (handle != expected)
                o.problems.push_back("handle " + std::to_string(handle) + ", expected " + std::to_string(expected));
            break;
        }
        case Step::Program:
            result = kzmFLDprogram(ImageFile().c_str());
            break;
        case Step::Verify:
            result = kzmFLDverify(ImageFile().c_str());
            break;
        case Step::Scan: {
            FW_INFO info;
            std::memset(&info, 0xA5, sizeof(info));
            FW_INFO untouched = info;
            result = kzmFLDscanFwInfo(&info);
            o.scanWroteRecord = std::memcmp(&info, &untouched, sizeof(info)) != 0;
            FW_INFO expected = ImageRecord();
            if (o.scanWroteRecord && std::memcmp(&info, &expected, sizeof(info)) != 0)
                o.problems.push_back("the scan wrote a record other than the image's");
            break;
        }
        case Step::Erase:
            result = kzmFLDerase();
            break;
        case Step::Send: {
            const uint8_t message[10] = {'f', 'a', 'u', 'l', 't', 's', 0, 1, 2, 3};
            result = kzmBGIsend(WAIT_MS, sizeof(message), message);
            break;
        }
        case Step::Receive: {
            uint8_t buffer[300];
            uint16_t received = 0;
            result = kzmBGIreceive(WAIT_MS, sizeof(buffer), buffer, &received);
            if (result == 0 && (received != 256 || std::memcmp(buffer, "faults", 6) != 0))
                o.problems.push_back("received " + std::to_string(received) + " bytes, not the echo");
            break;
        }
        case Step::MsgLen: {
            uint16_t sendMax = 0, receiveMax = 0;
            result = kzmBGIgetMsgLen(&sendMax, &receiveMax);
            break;
        }
        case Step::Reset:
            result = Reset(s.mode);
            break;
        case Step::CclReset:
            result = kzmCCLreset();
            break;
        }
        o.steps.push_back(step);
        o.results.push_back(result);
    }
    if (!kazsim::Bench::Quiesce())
        o.problems.push_back("the bench did not quiesce");
    o.log = kazsim::CallLog();
    o.fired = fault.name.empty() ? 0 : kazsim::Faults::Fired(fault.name);
    o.after = kazsim::Accounting();
    o.baseline = kazsim::AccountingBaseline();
    if (kazsim::Bench::BoardInfo(0).OpenHandles != 0)
        o.problems.push_back("a driver handle on the board is still open");
    return o;
}

std::vector<std::string> Names(const std::vector<kazsim::Call>& log)
{
    std::vector<std::string> names;
    for (const kazsim::Call& call : log)
        names.push_back(call.Name);
    return names;
}

// Where two call lists part, with a little context.
std::string CallDiff(const std::vector<std::string>& expected, const std::vector<std::string>& actual)
{
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        ++i;
    std::ostringstream out;
    out << "calls part at #" << i << " (model " << expected.size() << " calls, library " << actual.size() << ")\n";
    for (size_t j = i > 3 ? i - 3 : 0; j < std::max(expected.size(), actual.size()) && j < i + 4; ++j)
        out << "  " << j << ": " << (j < expected.size() ? expected[j] : "-") << "  |  "
            << (j < actual.size() ? actual[j] : "-") << "\n";
    return out.str();
}

// Everything that differs between the run and the model, "" when nothing.
std::string Compare(const Prediction& p, const Observed& o, const Fault& fault)
{
    std::ostringstream out;
    std::vector<std::string> calls = Names(o.log);
    if (calls != p.calls)
        out << CallDiff(p.calls, calls);
    if (!fault.name.empty() && o.fired != 1)
        out << "the fault fired " << o.fired << " times\n";
    if (o.steps != p.steps) {
        out << "steps differ\n";
    } else {
        for (size_t i = 0; i < p.results.size(); ++i)
            if (o.results[i] != p.results[i])
                out << StepName(p.steps[i]) << " gave " << Hex(o.results[i]) << ", expected " << Hex(p.results[i])
                    << "\n";
    }
    if (o.scanWroteRecord != p.scanWroteRecord)
        out << "scan wrote the record: " << o.scanWroteRecord << ", expected: " << p.scanWroteRecord << "\n";
    for (const std::string& problem : o.problems)
        out << problem << "\n";

    // Nothing open or referenced after the reset but the CCL reference that
    // the second attach of kzmCCLinit keeps on purpose.
    kazsim::AccountingInfo now = o.after;
    const kazsim::AccountingInfo& base = o.baseline;
    const uint32_t cclRefs = now.Ccls.References - base.Ccls.References;
    const uint32_t cclObjects = now.Ccls.Objects - base.Ccls.Objects;
    if (cclRefs != p.cclReferencesLeft || cclObjects != p.cclReferencesLeft)
        out << "CCL references left " << cclRefs << " on " << cclObjects << " objects, expected "
            << p.cclReferencesLeft << "\n";
    now.Ccls = base.Ccls;
    out << now.LeftBehind(base);
    return out.str();
}

void CountReport(void* context, uint8_t, const char* text)
{
    // The probe call on registration comes without the context.
    if (context && text)
        ++*static_cast<uint64_t*>(context);
}

class FaultAtEveryCall : public ::testing::TestWithParam<Sequence> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(kzmInitialize(), 0u);
        ASSERT_EQ(kzmRegisterCallback(&m_Reports, CountReport), 0u);
    }

    // Runs the sequence with the fault; a run whose calls part from the
    // model only because the bench's thread was late is run again.
    std::string RunAndCompare(const Sequence& s, const Fault& fault, Observed* observed = nullptr)
    {
        Prediction p = Predict(s, fault, s_Memory);
        std::string diff;
        Observed o;
        for (unsigned attempt = 0; attempt < MAX_TRIES; ++attempt) {
            o = RunOnce(s, fault);
            diff = Compare(p, o, fault);
            if (diff.empty())
                break;
            ++m_Repeats;
        }
        // The library's process-wide memory follows the library's run.
        s_Memory = p.memoryAfter;
        if (observed)
            *observed = o;
        return diff;
    }

    static LibraryMemory s_Memory;
    uint64_t m_Reports = 0;
    unsigned m_Repeats = 0;
};

LibraryMemory FaultAtEveryCall::s_Memory;

TEST_P(FaultAtEveryCall, GivesTheExpectedCodeAndLeavesNothingBehind)
{
    const Sequence s = GetParam();
    Observed recording;
    std::string diff = RunAndCompare(s, Fault{}, &recording);
    ASSERT_EQ(diff, "") << "the run without faults already parts from the model";
    ASSERT_FALSE(recording.log.empty());

    unsigned points = 0, runs = 0, failed = 0;
    for (const kazsim::Call& call : recording.log) {
        ++points;
        for (uint32_t code : CODES) {
            const Fault fault{call.Name, call.Occurrence, code};
            diff = RunAndCompare(s, fault);
            ++runs;
            if (!diff.empty() && ++failed <= MAX_REPORTED_RUNS)
                ADD_FAILURE() << call.Name << " #" << call.Occurrence << " failing with " << Hex(code) << ":\n"
                              << diff;
        }
    }
    EXPECT_EQ(failed, 0u) << "runs that part from the model";

    // Afterwards the library behaves as in the recording.
    Observed again;
    EXPECT_EQ(RunAndCompare(s, Fault{}, &again), "");
    EXPECT_EQ(Names(again.log), Names(recording.log));
    if (s.mode == Mode::Fld) {
        EXPECT_GT(m_Reports, 0u) << "the flash loader's traces reach the callback";
    }

    std::printf("[ FAULTS   ] %s: %u fault points, %u runs, %u repeated for timing\n", Describe(s).c_str(), points,
                runs, m_Repeats);
    RecordProperty("fault_points", static_cast<int>(points));
    RecordProperty("fault_runs", static_cast<int>(runs));
}

const Sequence SEQUENCES[] = {
    {Mode::Fld, OpenBy::Id, 1},     {Mode::Fld, OpenBy::Any, 1},    {Mode::Fld, OpenBy::Id, 3},
    {Mode::Fld, OpenBy::Any, 3},    {Mode::Bal, OpenBy::Id, 3},     {Mode::Bal, OpenBy::Any, 3},
    {Mode::Bal, OpenBy::Serial, 3}, {Mode::Bal, OpenBy::Id, 2},     {Mode::Bal, OpenBy::Any, 2},
    {Mode::Bal, OpenBy::Serial, 2}, {Mode::Ccl, OpenBy::Id, 3},     {Mode::Ccl, OpenBy::Any, 3},
    {Mode::Ccl, OpenBy::Serial, 3}, {Mode::Ccl, OpenBy::Id, 1},     {Mode::Ccl, OpenBy::Any, 1},
    {Mode::Ccl, OpenBy::Serial, 1}, {Mode::Bgi, OpenBy::Id, 3},     {Mode::Bgi, OpenBy::Any, 3},
    {Mode::Bgi, OpenBy::Serial, 3}, {Mode::Bgi, OpenBy::Id, 1},     {Mode::Bgi, OpenBy::Any, 1},
    {Mode::Bgi, OpenBy::Serial, 1},
};

INSTANTIATE_TEST_SUITE_P(Sequences, FaultAtEveryCall, ::testing::ValuesIn(SEQUENCES),
                         [](const ::testing::TestParamInfo<Sequence>& info) { return Describe(info.param); });

} // namespace
