// The kazmir command as a user meets it: the built binary run in its own
// process on the virtual bench, with a state folder of its own per test.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <pty.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <functional>
#include <csignal>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "ChildProcess.h"
#include "../support/Corpus.h"
#include "../support/HexLine.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string DEMO = std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex";
const std::string CORPUS = KAZMIR_CORPUS_DIR;
constexpr size_t FLASH_SIZE = 512 * 1024;

bool Has(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

// The --json schema of cli/README.md: each key has one type ("key:type")
// wherever it stands, but for the few named "event.key" or, inside an object
// or array, "outer.key"; each event carries only its own keys (and "board" in
// a run over several boards). "hex" is 0x and upper-case digits.
const char KEY_TYPE_TEXT[] =
    "event:s schema:n file:s format:s text:s result:s summary.result:o findings:a plan:o phase:s state:n "
    "phase.state:s total:n done:n bytes:n seconds:n sector:n of:n lines:n data_records:n data_bytes:n "
    "blocks:a lowest:hex highest:hex fw_info:o? accepted:b library_stop_line:n library_stop_reason:s "
    "records_not_read:n split_lines:a placements:a found:b name:s version:s kind:n kind_text:s "
    "address:hex reserved12:hex reserved16:hex device:s device_version:s block:n at:hex bench:o kazmir:s "
    "device_server:s mode:s hex:s sent:s received:s same:b milliseconds:n command:s exit:n exit_name:s "
    "skipped:b code:hex severity:s issue:s line:n library_result:hex first_sector:n last_sector:n "
    "range_start:hex range_size:n bytes_written:n bytes_kept:n board:s placements.board:n "
    "boards.result:o serial:s start:hex end:hex size:n default:b source:s state_dir:s boards:a index:n "
    "class:n state_name:s device_id:hex present:b held:b flash:o base:hex sectors:a image_bytes:n "
    "mismatch.image_bytes:s flash_bytes:s image_bytes_in_range:n flash_offset:hex bytes_differing:n "
    "under_way:s interrupted:b sectors_erased:n sectors_written:n range_sectors:n signal:s flash_holds:s "
    "all:b fits:b jobs:n max_rss_kib:n child_max_rss_kib:n sector_count:n sha256:s log_error:s run:o "
    "run.id:n time:s ended:s station:s run.device_id:s run.bench:b image:s image_size:n image_sha256:s "
    "fw_name:s fw_version:s run.result:n message:s stamps:a stamps.bytes:s value:s";
const std::map<std::string, std::string> KEY_TYPES = [] {
    std::map<std::string, std::string> types;
    std::istringstream in(KEY_TYPE_TEXT);
    for (std::string pair; in >> pair;)
        types[pair.substr(0, pair.find(':'))] = pair.substr(pair.find(':') + 1);
    return types;
}();
const std::map<std::string, std::string> EVENT_KEYS = {
    {"input", "file format text"},
    {"check", "file result findings"},
    {"placement", "file plan"},
    {"phase", "phase state total result done bytes seconds"},
    {"sector", "phase sector of result done total"},
    {"message", "text"},
    {"trace", "text"},
    {"info",
     "file format sha256 lines data_records data_bytes blocks lowest highest fw_info accepted library_stop_line "
     "library_stop_reason records_not_read split_lines findings placements"},
    {"fwinfo", "device_id found name version kind kind_text address reserved12 reserved16 device device_version"},
    {"bench", "bench"},
    {"version", "kazmir device_server"},
    {"mode", "mode device_id"},
    {"received", "hex text"},
    {"echo", "sent received same milliseconds"},
    {"interrupt", "under_way signal"},
    {"mismatch", "flash_offset address sector flash_bytes image_bytes bytes_differing"},
    {"batch", "command boards jobs"},
    {"summary",
     "command result exit exit_name seconds file device_id bytes skipped found milliseconds mode image_bytes "
     "image_bytes_in_range interrupted signal sectors_erased sectors_written range_sectors flash_holds all "
     "boards max_rss_kib child_max_rss_kib run log_error serial"},
    {"stamps", "stamps"}};
// The exit codes' names, as cli/README.md's table gives them.
const std::map<int, std::string> EXIT_NAMES = {
    {0, "ok"},          {1, "failure"},         {2, "usage"},           {3, "image"},       {4, "no-board"},
    {5, "no-response"}, {6, "verify-mismatch"}, {7, "device"},          {8, "busy"},        {9, "no-fit"},
    {129, "hangup"},    {130, "interrupted"},   {141, "output-closed"}, {143, "terminated"}};

// What is wrong with a value against the schema; "" when nothing.
std::string SchemaProblem(const json& value, const std::string& key, const std::string& outer)
{
    auto type = KEY_TYPES.find(outer + "." + key);
    if (type == KEY_TYPES.end())
        type = KEY_TYPES.find(key);
    if (type == KEY_TYPES.end())
        return "undocumented key " + key;
    const std::string& t = type->second;
    const bool ok = t == "s"   ? value.is_string()
                    : t == "n" ? value.is_number()
                    : t == "b" ? value.is_boolean()
                    : t == "a" ? value.is_array()
                    : t == "o" ? value.is_object()
                    : t == "o?"
                        ? value.is_object() || value.is_null()
                        : value.is_string() && value.get<std::string>().size() > 2 &&
                              value.get<std::string>().find_first_not_of("0123456789ABCDEF", 2) == std::string::npos &&
                              value.get<std::string>().starts_with("0x");
    if (!ok)
        return key + " is no " + t + ": " + value.dump();
    const std::vector<json> items =
        value.is_array() ? std::vector<json>(value.begin(), value.end()) : std::vector<json>{value};
    for (const json& item : items)
        for (auto it = item.begin(); item.is_object() && it != item.end(); ++it)
            if (std::string problem = SchemaProblem(it.value(), it.key(), key); !problem.empty())
                return key + "." + problem;
    return "";
}

std::string EventProblem(const json& e)
{
    if (!e.is_object() || !e.contains("event") || e.value("schema", 0) != 2)
        return "no event or schema 1";
    const auto keys = EVENT_KEYS.find(e["event"].get<std::string>());
    if (keys == EVENT_KEYS.end())
        return "undocumented event";
    for (auto it = e.begin(); it != e.end(); ++it) {
        if (it.key() == "event" || it.key() == "schema")
            continue;
        if (!Has(" " + keys->second + " board ", " " + it.key() + " "))
            return "key " + it.key() + " not in this event";
        if (std::string problem = SchemaProblem(it.value(), it.key(), keys->first); !problem.empty())
            return problem;
    }
    if (keys->first == "summary" && !(e.contains("result") && e["result"].contains("text") && e.contains("exit")))
        return "a summary without result.text or exit";
    const auto name = EXIT_NAMES.find(e.value("exit", -1));
    if (keys->first == "summary" && (name == EXIT_NAMES.end() || name->second != e.value("exit_name", "")))
        return "exit " + e["exit"].dump() + " is not named " + e.value("exit_name", "");
    return "";
}

struct Result {
    int exit = -1;
    std::string out, err;

    // The JSON lines, each checked against the documented schema.
    std::vector<json> Events() const
    {
        std::vector<json> events;
        std::istringstream in(out);
        std::string line;
        while (std::getline(in, line)) {
            events.push_back(json::parse(line));
            const std::string problem = EventProblem(events.back());
            EXPECT_EQ(problem, "") << line;
        }
        return events;
    }
    // The first event of this kind; null when there is none.
    json Event(const std::string& kind) const
    {
        for (const auto& e : Events())
            if (e["event"] == kind)
                return e;
        return json();
    }
    json Summary() const
    {
        const auto events = Events();
        return events.empty() ? json() : events.back();
    }
};

std::string ReadText(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::vector<uint8_t> ReadBytes(const fs::path& p)
{
    const std::string s = ReadText(p);
    return std::vector<uint8_t>(s.begin(), s.end());
}

void WriteText(const fs::path& p, const std::string& text)
{
    std::ofstream out(p, std::ios::binary);
    out << text;
}

class KazmirRun : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kazmir-cli-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
    }
    void TearDown() override { fs::remove_all(m_Dir); }

    fs::path State() const { return m_Dir / "state"; }
    fs::path FlashFile() const { return State() / "default-bench-flash.bin"; }

    // Runs kazmir with the arguments, the test's state folder and no bench of
    // the caller's environment; extraEnv ("NAME=value") sets or replaces.
    Result Kazmir(const std::vector<std::string>& args, const std::vector<std::string>& extraEnv = {})
    {
        // The watcher taken for this run only: runs may be started from a
        // watcher or from another thread.
        const auto watch = std::exchange(m_Watch, nullptr);
        kzsupport::ChildSetup setup;
        setup.environment = {"KAZSIM_BENCH", "KAZMIR_STATE_DIR=" + State().string()};
        setup.environment.insert(setup.environment.end(), extraEnv.begin(), extraEnv.end());
        const kzsupport::RunResult run = kzsupport::RunToEnd(KAZMIR_CLI, args, setup, watch);
        return {run.exit, run.out, run.err};
    }

    fs::path Bench(const std::string& name, const std::string& jsonText)
    {
        const fs::path p = m_Dir / (name + ".json");
        WriteText(p, jsonText);
        return p;
    }

    fs::path m_Dir;
    // Set: stdout of the next run is read as it comes; false ends the reading.
    std::function<bool(pid_t, const std::string&)> m_Watch;
};

// Bytes that differ from their neighbours and from an erased flash.
std::string PatternImage(size_t size)
{
    std::string image(size, '\0');
    for (size_t i = 0; i < size; ++i)
        image[i] = static_cast<char>(i * 13 + (i >> 9));
    return image;
}

size_t FwInfoOffset(const std::vector<uint8_t>& flash)
{
    const std::string s(flash.begin(), flash.end());
    return s.find("$FW-INFO$");
}

} // namespace

// --- Programming and verifying on the default bench -------------------------

TEST_F(KazmirRun, ProgramThenVerifyInTwoProcessesAgree)
{
    const Result program = Kazmir({"program", DEMO});
    ASSERT_EQ(program.exit, 0) << program.err;
    EXPECT_TRUE(Has(program.err, "Programmed")) << program.err;
    const auto flash = ReadBytes(FlashFile());
    ASSERT_EQ(flash.size(), FLASH_SIZE);
    EXPECT_EQ(FwInfoOffset(flash), 0x132u) << "the record of the demo image sits at 0x100, its marker 50 bytes on";
    EXPECT_EQ(flash[0x800], 0xFF) << "the rest of sector 0 keeps its erased content";

    const Result verify = Kazmir({"verify", DEMO});
    EXPECT_EQ(verify.exit, 0) << verify.err;
    EXPECT_TRUE(Has(verify.err, "The flash holds"));
}

TEST_F(KazmirRun, VerifyMismatchAndChangesOutsideTheImage)
{
    EXPECT_EQ(Kazmir({"verify", DEMO}).exit, 6) << "a fresh bench is erased";
    ASSERT_EQ(Kazmir({"program", DEMO}).exit, 0);
    auto flash = ReadBytes(FlashFile());
    flash[0x1000] ^= 0xFF; // inside sector 0, outside the image
    WriteText(FlashFile(), std::string(flash.begin(), flash.end()));
    EXPECT_EQ(Kazmir({"verify", DEMO}).exit, 0);
    flash[0x10] ^= 0xFF; // inside the image
    WriteText(FlashFile(), std::string(flash.begin(), flash.end()));
    const Result r = Kazmir({"--json", "verify", DEMO});
    EXPECT_EQ(r.exit, 6);
    const json summary = r.Summary();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["result"]["code"], "0xE0FE000A");
    EXPECT_EQ(summary["result"]["text"], "the flash differs from the image");
    EXPECT_EQ(summary["exit_name"], "verify-mismatch");
    EXPECT_TRUE(Has(r.err, "the flash differs from the image (0xE0FE000A)")) << r.err;
}

TEST_F(KazmirRun, SkipUnchangedWritesNothingTheSecondTime)
{
    ASSERT_EQ(Kazmir({"program", DEMO}).exit, 0);
    const auto before = ReadBytes(FlashFile());
    const auto stamp = fs::last_write_time(FlashFile());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));

    const Result again = Kazmir({"--json", "program", "--skip-unchanged", DEMO});
    ASSERT_EQ(again.exit, 0) << again.err;
    for (const auto& e : again.Events())
        if (e["event"] == "phase" || e["event"] == "sector") {
            EXPECT_EQ(e["phase"], "verify") << e.dump();
        }
    EXPECT_EQ(again.Summary()["skipped"], true);
    EXPECT_EQ(fs::last_write_time(FlashFile()), stamp) << "the flash file was not written";
    EXPECT_TRUE(ReadBytes(FlashFile()) == before);

    // A changed flash is programmed again.
    auto changed = before;
    changed[0x20] ^= 0x01;
    WriteText(FlashFile(), std::string(changed.begin(), changed.end()));
    const Result third = Kazmir({"--json", "program", "--skip-unchanged", DEMO});
    ASSERT_EQ(third.exit, 0) << third.err;
    EXPECT_EQ(third.Summary()["skipped"], false);
    bool wrote = false;
    for (const auto& e : third.Events())
        wrote |= e["event"] == "sector" && e["phase"] == "write";
    EXPECT_TRUE(wrote);
    EXPECT_TRUE(ReadBytes(FlashFile()) == before);
}

TEST_F(KazmirRun, JsonEventsThenASummary)
{
    const Result r = Kazmir({"--json", "program", "--verify", DEMO});
    ASSERT_EQ(r.exit, 0) << r.err;
    const auto events = r.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "check");
    EXPECT_EQ(events.front()["result"], "accepted");
    std::vector<std::string> phases;
    for (const auto& e : events) {
        if (e["event"] == "phase" && e["state"] == "end")
            phases.push_back(e["phase"]);
        if (e["event"] == "sector") {
            EXPECT_EQ(e["sector"], 0);
            EXPECT_EQ(e["of"], 1);
            EXPECT_EQ(e["result"], "ok");
        }
    }
    EXPECT_EQ(phases, (std::vector<std::string>{"read", "erase", "write", "verify"}));
    const json s = events.back();
    EXPECT_EQ(s["event"], "summary");
    EXPECT_EQ(s["command"], "program");
    EXPECT_EQ(s["result"], json({{"code", "0x00000000"}, {"text", "success"}}));
    EXPECT_EQ(s["bytes"], 16384);
    EXPECT_GT(s["seconds"].get<double>(), 0.0);
    EXPECT_FALSE(Has(r.err, "sector")) << "no progress on the error stream in JSON mode";
}

TEST_F(KazmirRun, QuietPrintsOnlyTheResult)
{
    const Result r = Kazmir({"-q", "program", DEMO});
    ASSERT_EQ(r.exit, 0);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_TRUE(Has(r.err, "Programmed"));
}

// --- The host's own check ---------------------------------------------------

TEST_F(KazmirRun, DamagedFilesAreRefusedWithTheirLineBeforeTheBoardIsTouched)
{
    const std::string good1 = HexLine(0, 0, {1, 2, 3, 4}), good2 = HexLine(4, 0, {5, 6, 7, 8});
    std::string badSum = HexLine(8, 0, {9, 10, 11, 12});
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0';
    std::string lower = HexLine(8, 0, {0xAB, 0xCD});
    for (char& c : lower)
        c = static_cast<char>(std::tolower(c));
    std::string shortLine = HexLine(8, 0, {9, 10, 11, 12});
    shortLine.erase(10, 1);
    struct Case {
        const char* name;
        std::string text;
        const char* line;
        const char* why;
    };
    const Case cases[] = {
        {"checksum", good1 + good2 + badSum + ":00000001FF\n", "line 3", "checksum"},
        {"lower", good1 + lower + good2 + ":00000001FF\n", "line 2", "lower-case"},
        {"malformed", good1 + shortLine + good2 + ":00000001FF\n", "line 2", "left out without a word"},
    };
    for (const auto& c : cases) {
        const fs::path file = m_Dir / (std::string(c.name) + ".hex");
        WriteText(file, c.text);
        const Result r = Kazmir({"program", file.string()});
        EXPECT_EQ(r.exit, 3) << c.name;
        EXPECT_TRUE(Has(r.err, c.line)) << c.name << ": " << r.err;
        EXPECT_TRUE(Has(r.err, c.why)) << c.name << ": " << r.err;
        EXPECT_FALSE(fs::exists(FlashFile())) << c.name << ": the bench was not even set up";
        const Result j = Kazmir({"--json", "verify", file.string()});
        EXPECT_EQ(j.exit, 3);
        EXPECT_EQ(j.Events().front()["result"], "refused");
        EXPECT_EQ(j.Summary()["exit_name"], "image");
    }
}

TEST_F(KazmirRun, BlocksOutsideTheFlashAreRefusedAndTheFlashStaysAsItWas)
{
    KAZMIR_NEED_CORPUS();
    // From 0 to 0x00090004: beyond the 512 KiB flash.
    const fs::path beyond = m_Dir / "beyond.hex";
    WriteText(beyond, HexLine(0, 0, {1, 2, 3, 4}) + HexLine(0, 0x04, {0x00, 0x09}) + HexLine(0, 0, {1, 2, 3, 4}) +
                          ":00000001FF\n");
    const Result r1 = Kazmir({"program", beyond.string()});
    EXPECT_EQ(r1.exit, 9);
    EXPECT_TRUE(Has(r1.err, "beyond the flash")) << r1.err;

    // No firmware-information record and not starting at 0: nothing would land.
    const std::string optiboot = CORPUS + "/arduinoavr-optiboot_atmega328.hex";
    const Result r2 = Kazmir({"program", optiboot});
    EXPECT_EQ(r2.exit, 9);
    EXPECT_TRUE(Has(r2.err, "block 0 [0x00007E00, 0x00007FF4): none of its 500 bytes would be written")) << r2.err;
    const auto flash = ReadBytes(FlashFile());
    EXPECT_TRUE(std::all_of(flash.begin(), flash.end(), [](uint8_t b) { return b == 0xFF; }));

    // Handed over anyway, the library reports success and writes none of it:
    // no success is reported.
    EXPECT_FALSE(Has(r2.err, "--no-check")) << "no advice that leads to nothing written";
    const Result r3 = Kazmir({"program", "--no-check", optiboot});
    EXPECT_EQ(r3.exit, 9) << r3.err;
    const auto after = ReadBytes(FlashFile());
    EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0xFF; }));
}

// --- Exit codes ---------------------------------------------------------------

TEST_F(KazmirRun, OnlyRegularFilesReachTheLibrary)
{
    const std::string fifo = (m_Dir / "pipe.hex").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    struct Case {
        std::string path, says;
    };
    const Case cases[] = {{m_Dir.string(), "it is a folder"},
                          {"/dev/zero", "it is a device"},
                          {fifo, "it is a pipe"},
                          {(m_Dir / "gone.hex").string(), "No such file or directory"}};
    for (const auto& c : cases)
        for (const char* command : {"program", "info"}) {
            const auto start = std::chrono::steady_clock::now();
            const Result r = Kazmir({command, "--no-check", c.path});
            const Result info = Kazmir({command, c.path});
            EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
                << c.path; // two runs, roomy for sanitized builds
            EXPECT_EQ(info.exit, 3) << command << " " << c.path;
            EXPECT_NE(info.err.find(c.says), std::string::npos) << info.err;
            if (std::string(command) == "program") {
                EXPECT_EQ(r.exit, 3) << c.path;
            }
        }
    EXPECT_FALSE(fs::exists(FlashFile())) << "nothing was sent to a board";
}

TEST_F(KazmirRun, LongLinesAreReadAsTheLineBufferReadsThem)
{
    const fs::path file = m_Dir / "long.hex";
    WriteText(file, ":0400000001020304F2\n" + std::string(4095, '#') + ":0400100005060708D2\n:00000001FF\n");
    EXPECT_EQ(Kazmir({"program", file.string()}).exit, 3);
    const Result checked = Kazmir({"info", file.string()});
    EXPECT_NE(checked.out.find("warning: line 2 is longer than the library reads at once: it reads the characters "
                               "from the 4,096th on as line 3"),
              std::string::npos)
        << checked.out;
    ASSERT_EQ(Kazmir({"program", "--no-check", file.string()}).exit, 0);
    const std::vector<uint8_t> flash = ReadBytes(FlashFile());
    ASSERT_GE(flash.size(), 0x14u);
    EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x10, flash.begin() + 0x14), (std::vector<uint8_t>{5, 6, 7, 8}));
    // One digit short on line 2: info lists the one block the library loads.
    WriteText(file, ":0400000001020304F2\n:04001000050607D2\n" + HexLine(0x20, 0, {1, 2, 3, 4}) + ":00000001FF\n");
    const Result info = Kazmir({"--json", "info", file.string()});
    const json event = info.Event("info");
    EXPECT_EQ(event["blocks"].size(), 1u);
    EXPECT_EQ(event["library_stop_line"], 2);
    EXPECT_EQ(event["records_not_read"], 2);
    const Result text = Kazmir({"info", file.string()});
    EXPECT_NE(text.out.find("The library stops reading at line 2 of 4, at a line it takes as malformed; 2 records "
                            "after it are not read."),
              std::string::npos)
        << text.out;
}

TEST_F(KazmirRun, ExitCodesTellTheKindsOfFailureApart)
{
    EXPECT_EQ(Kazmir({"frobnicate"}).exit, 2);
    EXPECT_EQ(Kazmir({"--device", "abc", "fwinfo"}).exit, 2);
    EXPECT_EQ(Kazmir({"mode", "fld"}).exit, 2);
    EXPECT_EQ(Kazmir({"--bench", (m_Dir / "missing.json").string(), "fwinfo"}).exit, 2);
    const std::string lost = Bench("lost", R"({"boards": [{"flash": {"file": "gone/x.flash"}}]})").string();
    const Result noFolder = Kazmir({"--bench", lost, "fwinfo"});
    EXPECT_EQ(noFolder.exit, 2);
    EXPECT_TRUE(Has(noFolder.err, "gone/x.flash of board 0: there is no folder")) << noFolder.err;
    EXPECT_EQ(Kazmir({"program", (m_Dir / "missing.hex").string()}).exit, 3);

    const std::string empty = Bench("empty", R"({"boards": []})").string();
    const Result none = Kazmir({"--bench", empty, "program", DEMO});
    EXPECT_EQ(none.exit, 4);
    EXPECT_TRUE(Has(none.err, "no board was found")) << none.err;

    const std::string slow =
        Bench("slow", R"({"boards": [{"serial": "KZ000001", "restart_delay_ms": 3000}]})").string();
    const Result late = Kazmir({"--bench", slow, "--timeout", "200", "program", DEMO});
    EXPECT_EQ(late.exit, 5);
    EXPECT_TRUE(Has(late.err, "did not come back after its restart")) << late.err;

    const std::string held = Bench("held", R"({"boards": [{"serial": "KZ000001", "held": true}]})").string();
    const Result busy = Kazmir({"--bench", held, "fwinfo"});
    EXPECT_EQ(busy.exit, 8);
    EXPECT_TRUE(Has(busy.err, "in use by another program")) << busy.err;

    // The failure's kind comes from where the library was: a board without
    // sectors or a sector operation that fails is the device's, a file the
    // library cannot load before any sector is the image's.
    const std::string bare =
        Bench("bare", R"({"boards": [{"serial": "KZ000001", "flash": {"sectors": []}}]})").string();
    const std::string faulty = Bench("faulty", R"({"boards": [{"faults": [
        {"op": "Fld.EraseSector", "code": "0x80004005"}]}]})")
                                   .string();
    const fs::path noData = m_Dir / "nodata.hex";
    WriteText(noData, ":00000001FF\n");
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string says;
    } causes[] = {
        {{"--bench", bare, "erase"}, 7, "0x80004005"},
        {{"--bench", bare, "program", DEMO}, 7, "a flash of no sectors"},
        {{"--bench", bare, "verify", DEMO}, 7, "a flash of no sectors"},
        {{"--bench", faulty, "program", DEMO}, 7, "a flash sector operation failed"},
        {{"--bench", faulty, "erase", "--all"}, 7, "a flash sector operation failed"},
        {{"program", "--no-check", noData.string()}, 3, "could not load the image file"},
    };
    for (const auto& c : causes) {
        const Result r = Kazmir(c.args);
        EXPECT_EQ(r.exit, c.exit) << c.args[c.args.size() - 2] << " " << c.args.back() << ": " << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
    }

    const Result help = Kazmir({"--help"});
    EXPECT_EQ(help.exit, 0);
    EXPECT_TRUE(Has(help.out, "9  the image does not fit the board's flash"));
}

// --- Inspecting files ---------------------------------------------------------

TEST_F(KazmirRun, InfoOnTheCorpus)
{
    KAZMIR_NEED_CORPUS();
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(CORPUS)) {
        if (entry.path().extension() == ".md")
            continue;
        ++files;
        const Result r = Kazmir({"info", entry.path().string()});
        const bool lower = entry.path().filename() == "buspirate-ADC2UART.hex";
        EXPECT_EQ(r.exit, lower ? 3 : 0) << entry.path();
        EXPECT_TRUE(Has(r.out, "Blocks, in the library's order:")) << entry.path();
        if (lower) {
            EXPECT_TRUE(Has(r.out, "line 4 has lower-case hexadecimal digits: the library decodes 3 of its 21 bytes"));
            EXPECT_TRUE(Has(r.out, "malformed line 120"));
        }
    }
    EXPECT_EQ(files, 20u);
    EXPECT_FALSE(fs::exists(FlashFile())) << "info needs no board";

    const Result stm = Kazmir({"--json", "--bench", "default", "info", CORPUS + "/stm32hid-hid_bootloader.hex"});
    EXPECT_EQ(stm.exit, 9);
    const json info = stm.Event("info");
    EXPECT_EQ(info["event"], "info");
    EXPECT_EQ(info["blocks"].size(), 1u);
    EXPECT_EQ(info["lowest"], "0x08000000");
    EXPECT_TRUE(info["fw_info"].is_null());
    EXPECT_EQ(info["placements"].at(0)["accepted"], false);

    const Result demo = Kazmir({"--json", "--bench", "default", "info", DEMO});
    ASSERT_EQ(demo.exit, 0);
    const json d = demo.Event("info");
    EXPECT_EQ(d["fw_info"]["name"], "DEMO");
    EXPECT_EQ(d["fw_info"]["device"], "KZ-DEMO");
    EXPECT_EQ(d["placements"].at(0)["first_sector"], 0);
    EXPECT_EQ(d["placements"].at(0)["bytes_kept"], 16384 - 2048);
}

// --- Board commands -------------------------------------------------------------

TEST_F(KazmirRun, BenchFwInfoAndChoosingTheBoard)
{
    const Result show = Kazmir({"--json", "bench", "show"});
    ASSERT_EQ(show.exit, 0);
    const json bench = show.Event("bench")["bench"];
    ASSERT_EQ(bench["boards"].size(), 1u);
    EXPECT_EQ(bench["boards"][0]["serial"], "KZ000001");
    EXPECT_EQ(bench["boards"][0]["flash"]["size"], FLASH_SIZE);
    const std::string id = bench["boards"][0]["device_id"];

    EXPECT_EQ(Kazmir({"--json", "fwinfo"}).Event("fwinfo")["found"], false);
    // The run log's row names the image's firmware record, also when the
    // board gets a stamped copy of it.
    ASSERT_EQ(Kazmir({"counter", "n", "--set", "1"}).exit, 0);
    for (const auto& stamp :
         {std::vector<std::string>{}, std::vector<std::string>{"--stamp", "0x10=u16le:counter:n"}}) {
        std::vector<std::string> args = {"--json", "program", DEMO};
        args.insert(args.end(), stamp.begin(), stamp.end());
        const Result programmed = Kazmir(args);
        ASSERT_EQ(programmed.exit, 0) << programmed.err;
        const json run = programmed.Event("summary")["run"];
        EXPECT_EQ(run["fw_name"], "DEMO");
        EXPECT_EQ(run["fw_version"], "01.02.00.00");
        EXPECT_EQ(run["image_sha256"].get<std::string>().size(), 64u);
    }
    const Result byId = Kazmir({"--device", id, "fwinfo"});
    EXPECT_EQ(byId.exit, 0) << byId.err;
    EXPECT_TRUE(Has(byId.out, "Name            DEMO"));
    EXPECT_TRUE(Has(byId.out, "Device          KZ-DEMO"));
    const json bySerial = Kazmir({"--serial", "KZ000001", "--json", "fwinfo"}).Event("fwinfo");
    EXPECT_EQ(bySerial["name"], "DEMO");
    EXPECT_EQ(bySerial["version"], "01.02.00.00");
    EXPECT_EQ(Kazmir({"--serial", "KZ999999", "fwinfo"}).exit, 4);

    const Result reset = Kazmir({"bench", "reset"});
    EXPECT_EQ(reset.exit, 0) << reset.err;
    EXPECT_EQ(Kazmir({"verify", DEMO}).exit, 6);
}

// Runs on one bench description never mix: a run keeps its board's flash
// file locked once it has used the flash (a missing file from the erase that
// creates it), so a second run and a bench reset are refused while it
// programs, and its flash comes out whole.
TEST_F(KazmirRun, RunsOnOneBenchNeverMix)
{
    const fs::path file = m_Dir / "slow.flash", two = m_Dir / "two.bin";
    const std::string slow =
        Bench("slow", R"({"boards": [{"erase_delay_ms": 300, "flash": {"file": "slow.flash"}}]})").string();
    const std::string image = PatternImage(0x4000 + 0x10); // sectors 0 and 1
    WriteText(two, image);
    std::vector<Result> others;
    m_Watch = [&](pid_t pid, const std::string& line) {
        if (!others.empty() || !Has(line, R"("event":"sector","schema":2,"phase":"erase","sector":0,)"))
            return true;
        kill(pid, SIGSTOP); // held still within its second erase, the first has taken the file
        others.push_back(Kazmir({"--bench", slow, "program", DEMO}));
        others.push_back(Kazmir({"--bench", slow, "bench", "reset"}));
        kill(pid, SIGCONT);
        return true;
    };
    const Result first = Kazmir({"--bench", slow, "--json", "program", two.string(), "--base", "0"});
    EXPECT_EQ(first.exit, 0) << first.err;
    ASSERT_EQ(others.size(), 2u);
    for (const Result& r : others) {
        EXPECT_EQ(r.exit, 8) << r.err;
        EXPECT_TRUE(Has(r.err, "the board is in use by another program")) << r.err;
    }
    EXPECT_TRUE(Has(others[1].err, "board 0 (KZ000001, ")) << others[1].err;
    EXPECT_TRUE(Has(others[1].err, "slow.flash)")) << others[1].err;
    EXPECT_EQ(ReadText(file).substr(0, image.size()), image);
    EXPECT_EQ(Kazmir({"--bench", slow, "verify", two.string(), "--base", "0"}).exit, 0);
    // With nobody else on it, the reset takes the file and erases it.
    EXPECT_EQ(Kazmir({"--bench", slow, "bench", "reset"}).exit, 0);
    EXPECT_EQ(ReadBytes(file), std::vector<uint8_t>(FLASH_SIZE, 0xFF));
}

// A run that walks past board 1 to reach board 2 (by serial) does not keep
// board 1: another process can take it while the first still runs.
TEST_F(KazmirRun, AWalkPastABoardLeavesItFree)
{
    const fs::path one = m_Dir / "one.flash", two = m_Dir / "two.flash";
    const std::string bench = Bench("two", R"({"boards": [{"serial": "KZ000001", "flash": {"file": "one.flash"}},
        {"serial": "KZ000002", "flash": {"file": "two.flash"}}]})")
                                  .string();
    WriteText(one, ""); // opening a board creates no file, so there is one to lock
    WriteText(two, "");
    // Whether another process could lock the file now.
    auto lockable = [](const fs::path& p) {
        const int fd = open(p.c_str(), O_RDWR);
        const bool free = fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (fd >= 0)
            close(fd);
        return free;
    };
    Result waiting;
    std::thread first([&] {
        waiting = Kazmir({"--bench", bench, "--serial", "KZ000002", "--wait", "2000", "bgi", "receive"});
    });
    bool taken = false;
    for (int i = 0; i < 2000 && !taken; ++i) {
        taken = !lockable(two);
        if (!taken)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(taken) << "the run holds board 2 while it waits";
    EXPECT_TRUE(lockable(one)) << "the walk let board 1 go";
    first.join();
    EXPECT_EQ(waiting.exit, 5) << waiting.err;
}

// A bench file is read strictly and a flash file is the bench's alone: each
// refusal is a sentence of its own, with exit 2, before anything is written.
TEST_F(KazmirRun, BenchFilesAreReadStrictlyAndFlashFilesAreTheBenchsAlone)
{
    WriteText(m_Dir / "target.bin", "keep");
    fs::create_symlink(m_Dir / "target.bin", m_Dir / "link.flash");
    fs::create_directories(m_Dir / "sub");
    ASSERT_EQ(mkfifo((m_Dir / "fifo.json").c_str(), 0600), 0);
    WriteText(m_Dir / "large.json", R"({"boards": []})" + std::string(1 << 20, ' '));
    const std::string self = R"({"boards": [{"flash": {"file": "self.json"}}]})";
    const std::pair<std::string, std::string> cases[] = {
        {Bench("twice", R"({"boards": [{"flash": {"file": "twice.flash"}}], "boards": [{}]})").string(),
         "twice.json: boards: this key is given twice"},
        {Bench("huge", R"({"boards": [{"restart_delay_ms": 1e400}]})").string(),
         "huge.json: boards[0].restart_delay_ms: 1e400 is out of range"},
        {Bench("link", R"({"boards": [{"flash": {"file": "link.flash"}}]})").string(), "link.flash is a symbolic link"},
        {Bench("self", self).string(), "self.json is this bench file itself"},
        {Bench("shared", R"({"boards": [{"flash": {"file": "one.flash"}},
            {"serial": "B", "flash": {"file": "sub/../one.flash"}}]})")
             .string(),
         "boards[1].flash.file: " + (m_Dir / "sub/../one.flash").string() + " is the flash file of boards[0] already"},
        {(m_Dir / "fifo.json").string(), "fifo.json: is not a regular file"},
        {"/dev/null", "/dev/null: is not a regular file"},
        {m_Dir.string(), "is a folder, not a bench file"},
        {(m_Dir / "large.json").string(), "large.json: is larger than 1 MiB"},
    };
    for (const auto& [bench, says] : cases) {
        const Result r = Kazmir({"--bench", bench, "program", DEMO});
        EXPECT_EQ(r.exit, 2) << bench << r.err;
        EXPECT_TRUE(Has(r.err, says)) << r.err;
    }
    EXPECT_EQ(ReadText(m_Dir / "target.bin"), "keep");
    EXPECT_EQ(ReadText(m_Dir / "self.json"), self);
    EXPECT_FALSE(fs::exists(m_Dir / "twice.flash") || fs::exists(m_Dir / "one.flash"));
}

// Looking never writes: verify, fwinfo, info --bench and bench show leave a
// missing, short or longer flash file as it is and hold no flash in memory; a
// reset erases what a file holds and keeps its length; a board the library
// refuses gets no file.
TEST_F(KazmirRun, LookingNeverWritesAFlashFile)
{
    const std::string longer = std::string(FLASH_SIZE, '\0') + "TAIL";
    const std::pair<std::string, std::optional<std::string>> files[] = {
        {"missing", std::nullopt}, {"short", std::string(1221, 'Z')}, {"long", longer}};
    for (const auto& [name, text] : files) {
        const fs::path file = m_Dir / (name + ".flash");
        const std::string bench = Bench(name, R"({"boards": [{"flash": {"file": ")" + name + R"(.flash"}}]})").string();
        if (text)
            WriteText(file, *text);
        for (const auto& args :
             {std::vector<std::string>{"verify", DEMO}, {"fwinfo"}, {"info", DEMO}, {"bench", "show"}}) {
            std::vector<std::string> all = {"--bench", bench};
            all.insert(all.end(), args.begin(), args.end());
            Kazmir(all);
            EXPECT_EQ(fs::exists(file), text.has_value()) << name << " " << args[0];
            EXPECT_TRUE(!text || ReadText(file) == *text) << name << " " << args[0];
        }
        EXPECT_EQ(Kazmir({"--bench", bench, "bench", "reset"}).exit, 0);
        std::string erased = text.value_or("");
        std::fill_n(erased.begin(), std::min(erased.size(), FLASH_SIZE), '\xFF');
        EXPECT_TRUE(ReadText(file) == erased) << name << ": the reset keeps the file's length";
    }
    // 65,535 sectors: more than the library handles, 512 MiB the bench never holds.
    const std::string big = Bench("big", R"({"boards": [{"flash":
        {"sectors": [{"size": 8192, "count": 65535}], "file": "big.flash"}}]})")
                                .string();
    EXPECT_EQ(Kazmir({"--bench", big, "bench", "show"}).exit, 0);
    EXPECT_EQ(Kazmir({"--bench", big, "info", DEMO}).exit, 9);
    EXPECT_NE(Kazmir({"--bench", big, "program", DEMO}).exit, 0);
    EXPECT_FALSE(fs::exists(m_Dir / "big.flash")) << "a refused board gets no file";
    struct rusage usage = {};
    getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss, 200 * 1024) << "KiB at most in one run";
}

// A flash file on a full disk: the write that does not land fails its
// sector (exit 7, the file named), and verify reads what the file holds.
TEST_F(KazmirRun, AFullDiskFailsTheWriteAndVerifyReadsTheFile)
{
    const fs::path disk = m_Dir / "disk";
    fs::create_directories(disk);
    if (mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root: " << std::strerror(errno);
    const std::string bench = Bench("full", R"({"boards": [{"flash": {"file": "disk/kz.flash"}}]})").string();
    const Result program = Kazmir({"--bench", bench, "program", "--verify", DEMO});
    const Result verify = Kazmir({"--bench", bench, "verify", DEMO});
    umount2(disk.c_str(), MNT_DETACH);
    EXPECT_EQ(program.exit, 7) << program.err;
    EXPECT_TRUE(Has(program.err, "disk/kz.flash: cannot write bytes")) << program.err;
    EXPECT_TRUE(Has(program.err, "No space left on device")) << program.err;
    EXPECT_TRUE(Has(program.err, "writing a flash sector failed")) << program.err;
    EXPECT_EQ(verify.exit, 6) << verify.err;
}

// Without a home the state goes to a folder of this user's own, which
// nobody else may read, and never into one another user owns.
TEST_F(KazmirRun, WithoutAHomeTheStateFolderIsPrivate)
{
    const std::vector<std::string> env = {"KAZMIR_STATE_DIR=", "XDG_STATE_HOME=", "HOME=", "TMPDIR=" + m_Dir.string()};
    const fs::path dir = m_Dir / ("kazmir-state-" + std::to_string(getuid()));
    const Result first = Kazmir({"program", DEMO}, env);
    EXPECT_EQ(first.exit, 0) << first.err;
    struct stat info = {};
    ASSERT_EQ(stat(dir.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);
    EXPECT_TRUE(fs::exists(dir / "default-bench-flash.bin"));
    if (getuid() != 0)
        GTEST_SKIP() << "giving the folder to another user needs root";
    ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
    const Result other = Kazmir({"program", DEMO}, env);
    EXPECT_EQ(other.exit, 2);
    EXPECT_TRUE(Has(other.err, dir.string() + " is not a folder of this user's own")) << other.err;
}

TEST_F(KazmirRun, ModesMessagesAndVersion)
{
    const Result bal = Kazmir({"mode", "bal"});
    ASSERT_EQ(bal.exit, 0) << bal.err;
    EXPECT_EQ(bal.out.rfind("0x", 0), 0u) << bal.out;
    EXPECT_TRUE(Has(bal.err, "runs its BAL firmware"));
    EXPECT_EQ(Kazmir({"mode", "ccl"}).exit, 0);

    const Result echo = Kazmir({"bgi", "echo", "hello bench"});
    ASSERT_EQ(echo.exit, 0) << echo.err;
    EXPECT_EQ(echo.out, "hello bench\n");
    EXPECT_EQ(Kazmir({"bgi", "send", "one message"}).exit, 0);
    EXPECT_EQ(Kazmir({"--wait", "100", "bgi", "receive"}).exit, 5) << "a new run starts with empty queues";
    EXPECT_EQ(Kazmir({"bgi", "send", std::string(300, 'x')}).exit, 2);

    const Result version = Kazmir({"version"});
    EXPECT_EQ(version.exit, 0);
    EXPECT_TRUE(Has(version.out, "device server 5.3")) << version.out;
}

TEST_F(KazmirRun, SampleImageIsMadeByItsScript)
{
    const fs::path made = m_Dir / "demo.hex";
    const kzsupport::RunResult script =
        kzsupport::RunToEnd("python3", {std::string(KAZMIR_SAMPLES_DIR) + "/make_demo.py", "-o", made.string()});
    ASSERT_EQ(script.exit, 0) << script.error << script.err;
    EXPECT_EQ(ReadText(made), ReadText(DEMO));
}

// --- Files users have, terminals and the JSON schema --------------------------

TEST_F(KazmirRun, ElfAndRawBinaryProgramTheSameFlashAsHex)
{
    std::string bytes(3000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + 7);
    const fs::path bin = m_Dir / "app.bin", obj = m_Dir / "app.o", elf = m_Dir / "app.elf", hex = m_Dir / "app.hex";
    WriteText(bin, bytes);
    WriteText(hex, HexImage(0, std::vector<uint8_t>(bytes.begin(), bytes.end())));
    // One PT_LOAD segment at 0 holding the same bytes, made by binutils.
    const int objcopy =
        kzsupport::RunToEnd("objcopy", {"-I", "binary", "-O", "elf32-i386", "-B", "i386", "--rename-section",
                                        ".data=.text,alloc,load,contents", bin.string(), obj.string()})
            .exit;
    if (objcopy != 0 ||
        kzsupport::RunToEnd("ld", {"-m", "elf_i386", "-N", "-e", "0", "-Ttext=0", "-o", elf.string(), obj.string()})
                .exit != 0)
        GTEST_SKIP() << "objcopy and ld (binutils) are needed to make the ELF file";

    ASSERT_EQ(Kazmir({"program", hex.string()}).exit, 0);
    const auto fromHex = ReadBytes(FlashFile());
    ASSERT_EQ(fromHex[2999], static_cast<uint8_t>(bytes[2999]));
    for (const std::vector<std::string>& args : {std::vector<std::string>{"program", elf.string()},
                                                 std::vector<std::string>{"program", bin.string(), "--base", "0"}}) {
        ASSERT_EQ(Kazmir({"bench", "reset"}).exit, 0);
        const Result r = Kazmir(args);
        ASSERT_EQ(r.exit, 0) << r.err;
        EXPECT_TRUE(ReadBytes(FlashFile()) == fromHex) << args[1];
        EXPECT_EQ(Kazmir({"verify", hex.string()}).exit, 0);
        // A failed verify says where, as for a HEX file.
        auto changed = fromHex;
        changed[100] ^= 0xFF;
        WriteText(FlashFile(), std::string(changed.begin(), changed.end()));
        std::vector<std::string> check = {"--json", "verify"};
        check.insert(check.end(), args.begin() + 1, args.end());
        const json mismatch = Kazmir(check).Event("mismatch");
        EXPECT_EQ(mismatch["flash_offset"], "0x00000064") << args[1];
        EXPECT_EQ(mismatch["bytes_differing"], 1) << args[1];
    }
    const Result shifted = Kazmir({"--json", "verify", bin.string(), "--base", "0x10"});
    EXPECT_EQ(shifted.exit, 6) << "the same bytes 16 addresses on are not what the flash holds";
    EXPECT_EQ(shifted.Event("input")["format"], "binary");
    EXPECT_EQ(shifted.Event("mismatch")["flash_offset"], "0x00000010");
    // --base is for raw binaries only: files that carry their own addresses are refused, the flash untouched.
    const auto before = ReadBytes(FlashFile());
    for (const fs::path& own : {hex, elf}) {
        const Result r = Kazmir({"program", own.string(), "--base", "0x4000"});
        EXPECT_EQ(r.exit, 2) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(Has(r.err, "--base is only for raw binaries")) << r.err;
    }
    EXPECT_TRUE(ReadBytes(FlashFile()) == before);
    const Result noBase = Kazmir({"info", bin.string()});
    EXPECT_EQ(noBase.exit, 3);
    EXPECT_EQ(std::count(noBase.err.begin(), noBase.err.end(), '\n'), 1) << noBase.err;
    EXPECT_TRUE(Has(noBase.err, "needs --base")) << noBase.err;
    for (const auto& entry : fs::directory_iterator(fs::temp_directory_path()))
        EXPECT_FALSE(Has(entry.path().filename().string(), "kazmir-") && fs::exists(entry.path() / "app.bin.srec"))
            << entry.path() << " was left behind";
}

TEST_F(KazmirRun, BarsHoldTheirWidthInSixtyColumns)
{
    int master = -1;
    struct winsize size {};
    size.ws_col = 60;
    size.ws_row = 24;
    const std::string state = "KAZMIR_STATE_DIR=" + State().string();
    const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        putenv(const_cast<char*>(state.c_str()));
        unsetenv("KAZSIM_BENCH");
        unsetenv("COLUMNS");
        setenv("TERM", "xterm", 1);
        setenv("LANG", "C.UTF-8", 1);
        execl(KAZMIR_CLI, KAZMIR_CLI, "program", "--verify", DEMO.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    std::string screen;
    char buf[4096];
    for (ssize_t n; (n = read(master, buf, sizeof(buf))) > 0;)
        screen.append(buf, static_cast<size_t>(n));
    int status = 0;
    waitpid(pid, &status, 0);
    close(master);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    size_t bars = 0;
    std::string line;
    for (char c : screen + "\n") {
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        if (line.starts_with("\033[K"))
            line.erase(0, 3);
        if (line.starts_with("read ") || line.starts_with("erase ") || line.starts_with("write ")) {
            ++bars;
            const auto columns = std::count_if(line.begin(), line.end(), [](char ch) { return (ch & 0xC0) != 0x80; });
            EXPECT_LT(columns, 60) << line;
        }
        line.clear();
    }
    EXPECT_GE(bars, 4u) << screen;
}

TEST_F(KazmirRun, EveryCommandsJsonFollowsTheSchema)
{
    // The commands, each of its words; DEMO stands for the demo image, ADC for a corpus file.
    std::istringstream commands("program --verify DEMO; verify DEMO; program --skip-unchanged DEMO; fwinfo; erase; "
                                "fwinfo; verify DEMO; version; mode bal; bgi echo hi; bgi send hi; --wait 50 bgi "
                                "receive; info DEMO; info --bench default DEMO; info ADC; bench show; bench reset; "
                                "flash DEMO; program; --device x fwinfo; info /dev/null; -v program DEMO; erase --all; "
                                "program DEMO --all; program missing.hex --all; --bench missing.json fwinfo; "
                                "--bench missing.json bench show; program DEMO DEMO");
    for (std::string command; std::getline(commands, command, ';');) {
        std::vector<std::string> args = {"--json"};
        std::istringstream words(command);
        for (std::string word; words >> word;)
            args.push_back(word == "DEMO" ? DEMO : word == "ADC" ? CORPUS + "/buspirate-ADC2UART.hex" : word);
        const Result r = Kazmir(args);
        const auto events = r.Events();
        ASSERT_FALSE(events.empty()) << command;
        EXPECT_EQ(events.back()["event"], "summary") << command;
        EXPECT_EQ(events.back()["exit"], r.exit) << command;
        std::set<std::string> texts;
        for (const auto& e : events) {
            if (e["event"] == "message") {
                EXPECT_TRUE(texts.insert(e["text"]).second) << "twice: " << e.dump();
            }
        }
    }
}
// --- What the run really did ----------------------------------------------------

TEST_F(KazmirRun, SuccessOnlyWhenTheImageLiesInTheProgrammedRange)
{
    // Built for 0x08000000, no firmware-information record: the library places
    // it at flash offset 0 and none of its bytes land there.
    const fs::path high = m_Dir / "high.hex";
    WriteText(high, HexLine(0, 0x04, {0x08, 0x00}) + HexLine(0, 0, {1, 2, 3, 4}) + ":00000001FF\n");
    // Half of it beyond the one sector the library programs.
    const fs::path half = m_Dir / "half.hex";
    WriteText(half, HexLine(0x100, 0, {1, 2, 3, 4}) + HexLine(0x4000, 0, {5, 6, 7, 8}) + ":00000001FF\n");
    struct Case {
        std::vector<std::string> args;
        int exit;
        int inRange;
        std::string says;
    } const cases[] = {
        {{"program", "--no-check", "--verify", high.string()}, 9, 0, "none of the image's 4 bytes lie in sector 0"},
        {{"verify", "--no-check", high.string()}, 9, 0, "none of the image's 4 bytes"},
        {{"program", "--no-check", half.string()}, 0, 4, "warning: only 4 of the image's 8 bytes lie in sector 0"},
        {{"program", DEMO}, 0, 2048, "All 2048 bytes of the image lie in sector 0"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result j = Kazmir(args);
        EXPECT_EQ(j.exit, c.exit) << c.args.back() << j.err;
        EXPECT_EQ(j.Summary()["image_bytes_in_range"], c.inRange) << j.out;
        const Result text = Kazmir(c.args);
        EXPECT_TRUE(Has(text.err, c.says)) << text.err;
    }
    EXPECT_EQ(ReadBytes(FlashFile())[0x10], 0x49) << "the demo image went in last";
}

TEST_F(KazmirRun, VerifyNamesTheFirstDifference)
{
    ASSERT_EQ(Kazmir({"program", DEMO}).exit, 0);
    const auto good = ReadBytes(FlashFile());
    struct Case {
        size_t offset;
        std::string says;
    } const cases[] = {{0x10, "differs first at flash offset 0x00000010 (address 0x00000010, sector 0): it holds 00"},
                       {0x7FF, "differs first at flash offset 0x000007FF (address 0x000007FF, sector 0)"}};
    for (const auto& c : cases) {
        auto flash = good;
        flash[c.offset] = 0x00;
        flash[c.offset - 1] = static_cast<uint8_t>(~good[c.offset - 1]); // the first of two
        WriteText(FlashFile(), std::string(flash.begin(), flash.end()));
        const Result r = Kazmir({"verify", DEMO});
        EXPECT_EQ(r.exit, 6);
        const std::string says = c.says;
        const size_t at = c.offset - 1;
        char head[64];
        std::snprintf(head, sizeof(head), "differs first at flash offset 0x%08zX", at);
        EXPECT_TRUE(Has(r.err, head)) << r.err;
        EXPECT_TRUE(Has(r.err, "2 bytes differ")) << r.err;
        const json m = Kazmir({"--json", "verify", DEMO}).Event("mismatch");
        EXPECT_EQ(m["sector"], 0);
        EXPECT_EQ(m["bytes_differing"], 2);
    }
}

TEST_F(KazmirRun, EraseAllErasesEverySectorThroughATemporaryImage)
{
    fs::create_directories(State());
    WriteText(FlashFile(), std::string(FLASH_SIZE, '\0'));
    const fs::path tmp = m_Dir / "tmp";
    fs::create_directories(tmp);
    ASSERT_EQ(Kazmir({"erase"}).exit, 0);
    auto flash = ReadBytes(FlashFile());
    EXPECT_EQ(std::count(flash.begin(), flash.end(), 0xFF), 0x4000) << "sector 0 alone";
    const Result all = Kazmir({"erase", "--all"}, {"TMPDIR=" + tmp.string()});
    ASSERT_EQ(all.exit, 0) << all.err;
    flash = ReadBytes(FlashFile());
    EXPECT_EQ(static_cast<size_t>(std::count(flash.begin(), flash.end(), 0xFF)), FLASH_SIZE);
    EXPECT_TRUE(fs::is_empty(tmp)) << "the temporary image is removed";
    EXPECT_TRUE(Has(Kazmir({"erase", "--help"}).out, "programs an image of 0xFF bytes over the whole flash"));
}

// Stop requests: a wait for a board ends within a second; a library call that
// erases or writes finishes, so the flash is whole; a second signal stops at
// once. Each way ends with a summary of what the flash holds, and the
// temporary folder of the converted image goes.
TEST_F(KazmirRun, StopRequestsLeaveTheFlashWholeAndSaySo)
{
    const fs::path flashFile = m_Dir / "slow.flash", bin = m_Dir / "app.bin", tmp = m_Dir / "tmp";
    const std::string slow = Bench("slow", R"({"boards": [{"erase_delay_ms": 300,
        "flash": {"sectors": [{"size": "0x1000", "count": 8}], "file": "slow.flash"}}]})")
                                 .string();
    const std::string gone = Bench("gone", R"({"boards": [{"never_returns": true}]})").string();
    const std::string image = PatternImage(8 * 0x1000);
    WriteText(bin, image);
    fs::create_directories(tmp);
    const std::vector<std::string> wait = {"--bench", gone,         "--timeout", "20000", "--json",
                                           "program", bin.string(), "--base",    "0"};
    const std::vector<std::string> program = {"--bench",    slow,     "--json", "program",
                                              bin.string(), "--base", "0",      "--verify"};
    // The same bytes as Intel HEX in a folder of the user's: only kazmir's own folders go.
    const fs::path hex = m_Dir / "mine" / "app.hex";
    fs::create_directories(hex.parent_path());
    WriteText(hex, HexImage(0, std::vector<uint8_t>(image.begin(), image.end())));
    const std::vector<std::string> programHex = {"--bench", slow, "--json", "program", hex.string()};
    constexpr int CLOSE = 0; // the reader closes the output instead
    const std::string ERASE = "\"phase\":\"erase\"";
    struct Case {
        const char* what;
        std::vector<std::string> args;
        std::string sendOn; // the output's text after which the requests go out
        std::vector<int> signals;
        int exit;
        std::string holds, says;
    } const cases[] = {
        {"a wait for a board", wait, "\"check\"", {SIGINT}, 130, "unchanged", "kazmir stops within a second"},
        {"two signals while waiting", wait, "\"check\"", {SIGTERM, SIGINT}, 143, "unchanged", "stopped by SIGTERM"},
        {"a hang-up in the erase", program, ERASE, {SIGHUP}, 129, "image", "the flash holds the image"},
        {"the reader goes in the erase", program, ERASE, {CLOSE}, 141, "image", "the flash holds the image"},
        {"a second signal in the erase",
         programHex,
         ERASE,
         {SIGINT, SIGINT},
         130,
         "incomplete",
         "the flash is incomplete, program it again"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(flashFile);
        std::chrono::steady_clock::time_point sent{};
        m_Watch = [&](pid_t pid, const std::string& line) {
            if (sent != std::chrono::steady_clock::time_point{} || !Has(line, c.sendOn))
                return true;
            sent = std::chrono::steady_clock::now();
            for (int sig : c.signals) {
                if (sig == CLOSE)
                    return false;
                kill(pid, sig);
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            return true;
        };
        const Result r = Kazmir(c.args, {"TMPDIR=" + tmp.string()});
        const auto took = std::chrono::steady_clock::now() - sent;
        EXPECT_EQ(r.exit, c.exit) << r.err;
        EXPECT_TRUE(Has(r.err, c.says)) << r.err;
        EXPECT_TRUE(fs::is_empty(tmp)) << "the converted image's folder is removed";
        EXPECT_TRUE(fs::exists(hex)) << "the user's files stay";
        if (c.signals[0] != CLOSE) {
            const std::vector<json> events = r.Events();
            const json& s = events.back();
            EXPECT_EQ(s["exit"], c.exit);
            EXPECT_EQ(s["flash_holds"], c.holds) << s.dump();
            EXPECT_EQ(r.Event("interrupt")["signal"], c.signals[0] == SIGHUP   ? "SIGHUP"
                                                      : c.signals[0] == SIGINT ? "SIGINT"
                                                                               : "SIGTERM");
            // The progress counts on after the signal: one erase phase, all of it.
            std::vector<unsigned> erases;
            for (const json& e : events)
                if (e["event"] == "phase" && e["phase"] == "erase" && e["state"] == "end")
                    erases.push_back(e["done"]);
            if (c.holds == "image") {
                EXPECT_EQ(erases, std::vector<unsigned>{8});
                EXPECT_EQ(s["sectors_erased"], 8);
                EXPECT_EQ(s["sectors_written"], s["sectors_erased"]) << s.dump();
            }
        }
        if (c.holds == "unchanged" || c.signals.size() == 2) {
            // A second; sanitized builds run several times slower, and the erase (2.4 s) and the
            // board's wait (20 s) stay well above either bound.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
            constexpr auto STOP_BOUND = std::chrono::milliseconds(2000);
#else
            constexpr auto STOP_BOUND = std::chrono::milliseconds(1000);
#endif
            EXPECT_LT(took, STOP_BOUND) << "no wait for the board or the erase";
        }
        if (c.holds != "unchanged") {
            EXPECT_EQ(ReadText(flashFile) == image, c.holds == "image") << "the library's call finished, or not";
        }
    }
}

// A batch passes a stop on to every running board and still ends with its
// table; boards whose parent is killed stop as after a SIGTERM.
TEST_F(KazmirRun, StopsReachEveryBoardOfABatch)
{
    auto bench = [&](const std::string& name, const std::string& board) {
        std::string boards;
        for (char n : {'0', '1', '2'})
            boards += std::string(n == '0' ? "" : ",") + R"({"serial": "B)" + n + R"(", "flash": {"sectors":
                [{"size": "0x1000", "count": 8}], "file": ")" +
                      name + n + R"(.flash"}, )" + board + "}";
        return Bench(name, R"({"boards": [)" + boards + "]}").string();
    };
    const std::string line = bench("line", R"("erase_delay_ms": 300)");
    const std::string gone = bench("gone", R"("never_returns": true)");
    const fs::path bin = m_Dir / "app.bin", tmp = m_Dir / "tmp";
    const std::string image = PatternImage(8 * 0x1000);
    WriteText(bin, image);
    fs::create_directories(tmp);
    // The kazmir processes of a bench of this test (their command line names it).
    auto running = [&](const std::string& benchFile) {
        std::vector<pid_t> pids;
        for (const auto& entry : fs::directory_iterator("/proc"))
            if (Has(ReadText(entry.path() / "cmdline"), benchFile))
                pids.push_back(std::atoi(entry.path().filename().c_str()));
        return pids;
    };
    const struct {
        const char* what;
        std::string bench, sendOn; // once each board has said this, the signal goes out
        int signal;
        bool group; // to the parent's process group, as a terminal's Ctrl-C goes
        int exit;
    } cases[] = {
        {"SIGTERM to the parent alone", line, "\"phase\":\"erase\",\"state\":\"begin\"", SIGTERM, false, 143},
        {"Ctrl-C to the process group", line, "\"phase\":\"erase\",\"state\":\"begin\"", SIGINT, true, 130},
        {"the parent killed while its boards wait", gone, "\"check\"", SIGKILL, false, 128 + SIGKILL},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::set<std::string> said;
        m_Watch = [&](pid_t pid, const std::string& text) {
            if (said.size() < 3 && Has(text, c.sendOn) && said.insert(json::parse(text)["board"]).second &&
                said.size() == 3)
                kill(c.group ? -pid : pid, c.signal);
            return true;
        };
        const Result r = Kazmir(
            {"--bench", c.bench, "--timeout", "20000", "--json", "program", bin.string(), "--base", "0", "--all"},
            {"TMPDIR=" + tmp.string()});
        EXPECT_EQ(r.exit, c.exit) << r.err;
        for (int i = 0; i < 60 && !running(c.bench).empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const std::vector<pid_t> left = running(c.bench);
        EXPECT_TRUE(left.empty()) << "a board outlived its parent by more than its library call";
        for (pid_t pid : left)
            kill(pid, SIGKILL);
        EXPECT_TRUE(fs::is_empty(tmp)) << "the boards' temporary folders are removed";
        if (c.signal == SIGKILL)
            continue;
        for (char n : {'0', '1', '2'})
            EXPECT_EQ(ReadText(m_Dir / (std::string("line") + n + ".flash")), image) << "the library's call finished";
        const json s = r.Summary();
        EXPECT_EQ(s["exit"], c.exit);
        ASSERT_EQ(s["boards"].size(), 3u) << s.dump();
        for (const json& row : s["boards"]) {
            EXPECT_EQ(row["exit"], c.exit) << row.dump();
            EXPECT_EQ(row["flash_holds"], "image") << row.dump();
        }
        for (char n : {'0', '1', '2'})
            fs::remove(m_Dir / (std::string("line") + n + ".flash"));
    }
}

// A flash command chosen by --serial or --device reaches any board of a bench
// of several boards; without a choice it asks for one. Of concurrent runs on
// one board exactly one programs.
TEST_F(KazmirRun, EveryBoardOfABenchOfSeveral)
{
    const fs::path example = m_Dir / "example.json";
    fs::copy_file(std::string(KAZMIR_SAMPLES_DIR) + "/../simulator/examples/bench.json", example);
    const Result show = Kazmir({"--bench", example.string(), "--json", "bench", "show"});
    const std::string second = show.Event("bench")["bench"]["boards"][1]["device_id"];
    const struct {
        std::vector<std::string> args;
        int exit;
        std::string says;
    } cases[] = {
        {{"--serial", "KZ000001", "program", DEMO}, 0, "Programmed"},
        {{"--serial", "KZ000001", "verify", DEMO}, 0, "The flash holds"},
        {{"--serial", "KZ000002", "erase"}, 0, "Erased flash sector 0"}, // a board in its boot ROM
        {{"--device", second, "fwinfo"}, 0, "No firmware-information record"},
        {{"program", DEMO}, 2, "the bench has 2 boards (KZ000001, KZ000002): choose one with --serial or every"},
        {{"fwinfo"}, 2, "choose one with --serial"},
        {{"mode", "ccl"}, 0, "runs its CCL firmware"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"--bench", example.string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const Result r = Kazmir(args);
        EXPECT_EQ(r.exit, c.exit) << c.args[0] << " " << c.args[1] << ": " << r.err;
        EXPECT_TRUE(Has(r.err + r.out, c.says)) << r.err << r.out;
    }
    EXPECT_EQ(FwInfoOffset(ReadBytes(m_Dir / "kz000001.flash")), 0x132u);

    std::string boards;
    for (char n : {'0', '1', '2', '3'})
        boards += std::string(n == '0' ? "" : ",") + R"({"serial": "B)" + n +
                  R"(", "erase_delay_ms": 2000, "flash": {"file": "b)" + n + R"(.flash"}})";
    const std::string four = Bench("four", R"({"boards": [)" + boards + "]}").string();
    std::vector<Result> results(6);
    std::vector<std::thread> runs;
    for (size_t i = 0; i < results.size(); ++i)
        runs.emplace_back([&, i] { results[i] = Kazmir({"--bench", four, "--serial", "B0", "program", DEMO}); });
    for (auto& run : runs)
        run.join();
    std::map<int, size_t> exits;
    for (const Result& r : results)
        ++exits[r.exit];
    EXPECT_EQ(exits, (std::map<int, size_t>{{0, 1}, {8, 5}}));
    EXPECT_EQ(FwInfoOffset(ReadBytes(m_Dir / "b0.flash")), 0x132u);
}

TEST_F(KazmirRun, ArgumentsAndMessages)
{
    const std::string boards = Bench("boards", R"({"boards": [{"serial": "KZ000001"},
        {"serial": "KZ000002", "state": 16, "flash": {"sectors": [{"size": "0x100", "count": 4}]}},
        {"serial": "KZ000003", "flash": {"sectors": [{"size": "0x4000", "count": 40}]}}]})")
                                   .string();
    struct Case {
        std::vector<std::string> args;
        int exit;
        std::string says; // in stderr, or stdout for help and info
    } const cases[] = {
        {{"flash", "d.hex"}, 2, "unknown command \"flash\""},
        {{"program", DEMO, DEMO}, 2, "program takes one image file; \"" + DEMO + "\" is one too many"},
        {{"program", DEMO, "--all", "--jobs", "0"}, 2, "--jobs: \"0\" is no number of boards"},
        {{"fwinfo", "--timeout"}, 2, "--timeout needs a value (see kazmir fwinfo --help)"},
        {{"program", DEMO, "-q", "-v"}, 2, "--quiet and --verbose cannot be given together"},
        {{"mode", "fld"}, 2, "\"fld\" is not one of bal or ccl"},
        {{"--timeout", "0", "fwinfo"}, 2, "\"0\" is no time"},
        {{"--wait", "soon", "bgi", "receive"}, 2, "\"soon\" is no time"},
        {{"--help"}, 0, "ids change with every restart of a board"},
        {{"program", "--help"}, 0, "Global options (before or after the command):\n  --device ID"},
        {{"program", "--help"}, 0, "Exit codes: see kazmir --help."},
        {{"--bench", boards, "--serial", "KZ000002", "fwinfo"}, 0, "No firmware-information record"},
        {{"--bench", boards, "info", DEMO},
         0,
         "On bench board 0 (KZ000001, flash 512.0 KiB at base 0x00000000, "
         "8 sectors): fits"},
        {{"--bench", boards, "info", DEMO}, 0, "(KZ000002, flash 1.0 KiB at base 0x00000000, 4 sectors): does not"},
        {{"--bench", boards, "--serial", "KZ000003", "info", DEMO}, 9, "at most 32 flash sectors, this flash has 40"},
        {{"--bench", boards, "bench", "show"}, 0, "serial KZ000002"},
    };
    for (const auto& c : cases) {
        const Result r = Kazmir(c.args);
        EXPECT_EQ(r.exit, c.exit) << c.args.back() << r.err;
        EXPECT_TRUE(Has(r.err + r.out, c.says)) << r.err << r.out;
        EXPECT_FALSE(Has(r.err, "Run with --help")) << "the parser's words: " << r.err;
    }
    EXPECT_FALSE(Has(Kazmir({"program", "--help"}).out, "9  the image does not fit"));
    EXPECT_EQ(Kazmir({"bench", "show"}).exit, 0);
    EXPECT_FALSE(fs::exists(FlashFile())) << "showing the default bench creates no state";
}
