// kazmir on several boards of one bench: one child process per board, the
// flash files each child writes, the summary and the exit code.
#include <gtest/gtest.h>

#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <future>
#include <fstream>
#include <set>
#include <sstream>

#include <nlohmann/json.hpp>

#include "../support/HexLine.h"
#include "ChildProcess.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t IMAGE_SIZE = 3 * 0x4000; // three 16 KiB sectors of board A

uint8_t Pattern(size_t i)
{
    return static_cast<uint8_t>(i * 7 + (i >> 8));
}

class KazmirBatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kazmir-batch-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        std::vector<uint8_t> image(IMAGE_SIZE);
        for (size_t i = 0; i < IMAGE_SIZE; ++i)
            image[i] = Pattern(i);
        std::ofstream(m_Dir / "app.hex") << HexImage(0, image);
    }
    void TearDown() override { fs::remove_all(m_Dir); }

    // Board A: 4 x 16 KiB + 64 KiB; board B: 8 x 64 KiB unless told, with no
    // serial of its own (so KZ000002, the default of its position).
    void WriteBench(const std::string& extraB = "", const std::string& sectorsB = R"({"size": "0x10000", "count": 8})")
    {
        std::ofstream(m_Dir / "bench.json") << R"({"boards": [
  {"serial": "KZA", "flash": {"sectors": [{"size": "0x4000", "count": 4}, "0x10000"], "file": "a.flash"}},
  {"flash": {"sectors": [)" + sectorsB + R"(], "file": "b.flash"})" +
                                                   extraB + "}]}";
    }

    // A program with the arguments (split at spaces) in the test's folder,
    // on the test's state folder and no bench of the caller's environment.
    kzsupport::RunResult Run(const std::string& program, const std::string& args, const std::string& env = "") const
    {
        kzsupport::ChildSetup setup;
        setup.environment = {"KAZSIM_BENCH", "KAZMIR_STATE_DIR=" + (m_Dir / "state").string()};
        if (!env.empty())
            setup.environment.push_back(env);
        setup.folder = m_Dir.string();
        std::vector<std::string> words;
        std::istringstream in(args);
        for (std::string word; in >> word;)
            words.push_back(word);
        return kzsupport::RunToEnd(program, words, setup);
    }
    // kazmir so; its streams kept.
    int Kazmir(const std::string& args, const std::string& env = "")
    {
        m_Run = Run(KAZMIR_CLI, args, env);
        return m_Run.exit;
    }
    std::vector<json> Events() const
    {
        std::vector<json> events;
        std::istringstream in(m_Run.out);
        for (std::string line; std::getline(in, line);)
            events.push_back(json::parse(line));
        return events;
    }
    std::string Err() const { return m_Run.err; }
    // The flash file holds the image and is erased beyond it.
    void ExpectImage(const std::string& name, size_t size) const
    {
        std::ifstream in(m_Dir / name, std::ios::binary);
        const std::vector<uint8_t> flash(std::istreambuf_iterator<char>(in), {});
        ASSERT_EQ(flash.size(), size) << name;
        size_t wrong = 0;
        for (size_t i = 0; i < size; ++i)
            wrong += flash[i] != (i < IMAGE_SIZE ? Pattern(i) : 0xFF);
        EXPECT_EQ(wrong, 0u) << name;
    }

    fs::path m_Dir;
    kzsupport::RunResult m_Run; // of the last kazmir
};

TEST_F(KazmirBatch, TwoBoardsInParallelEachGetTheImage)
{
    WriteBench();
    ASSERT_EQ(Kazmir("--bench bench.json --json program app.hex --all --verify"), 0) << Err();
    ExpectImage("a.flash", 0x20000);
    ExpectImage("b.flash", 0x80000);
    const auto events = Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "batch");
    EXPECT_EQ(events.front()["jobs"], 2);
    size_t tagged[3] = {0, 0, 0};
    for (const auto& e : events)
        if (e.contains("board"))
            ++tagged[e["board"] == "KZA" ? 0 : e["board"] == "KZ000002" ? 1 : 2];
    EXPECT_GT(tagged[0], 3u);
    EXPECT_GT(tagged[1], 3u);
    EXPECT_EQ(tagged[2], 0u);
    const json summary = events.back();
    EXPECT_EQ(summary["event"], "summary");
    EXPECT_EQ(summary["exit"], 0);
    ASSERT_EQ(summary["boards"].size(), 2u);
    // Each board's own sector range: three 16 KiB sectors on A, one 64 KiB on B.
    EXPECT_EQ(summary["boards"][0]["serial"], "KZA");
    EXPECT_EQ(summary["boards"][0]["bytes"], 0xC000);
    EXPECT_EQ(summary["boards"][1]["serial"], "KZ000002");
    EXPECT_EQ(summary["boards"][1]["bytes"], 0x10000);
    EXPECT_EQ(summary["boards"][1]["result"]["code"], "0x00000000");
    EXPECT_NE(summary["boards"][0]["device_id"], summary["boards"][1]["device_id"]) << "each board's own";

    // The same boards one at a time, verified, in the human summary table.
    ASSERT_EQ(Kazmir("--bench bench.json verify app.hex --serial KZ000002 --serial KZA --jobs 1"), 0) << Err();
    const std::string err = Err();
    EXPECT_NE(err.find("KZ000002  0x"), std::string::npos) << err;
    EXPECT_LT(err.find("KZ000002  0x"), err.find("KZA       0x")) << err;
    EXPECT_NE(err.find("All 2 boards verified"), std::string::npos) << err;
}

TEST_F(KazmirBatch, OneBoardFailingLeavesTheOtherProgrammed)
{
    struct Case {
        const char* what;
        std::string extraB, sectorsB;
        std::string serials;
        int exit;
        const char* words; // in board B's result
    } cases[] = {
        {"B held", R"(, "held": true)", R"("0x10000")", "--all", 8,
         "in use by another program: close that program and try again (0x00000020)"},
        {"B too small", "", R"("0x8000")", "--all", 9, "does not fit"},
        {"B not on the bench", "", R"("0x10000")", "--serial KZA --serial KZC", 4, "no board"},
        // Its faults go with the board into its child's bench.
        {"B fails its third write", R"(, "faults": [{"op": "Fld.WriteSector", "code": "0x80004005", "at": 3}])",
         R"({"size": "0x4000", "count": 8})", "--all", 7,
         "writing a flash sector failed: the flash is now partly written, program it again (0xE0FE0009)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(m_Dir / "a.flash");
        WriteBench(c.extraB, c.sectorsB);
        EXPECT_EQ(Kazmir("--bench bench.json --json program app.hex " + c.serials), c.exit) << Err();
        ExpectImage("a.flash", 0x20000);
        const json summary = Events().back();
        EXPECT_EQ(summary["exit"], c.exit);
        EXPECT_EQ(summary["result"]["text"], "1 of 2 boards failed");
        ASSERT_EQ(summary["boards"].size(), 2u);
        EXPECT_EQ(summary["boards"][0]["exit"], 0);
        EXPECT_EQ(summary["boards"][1]["exit"], c.exit);
        const json& result = summary["boards"][1]["result"];
        const std::string words =
            result.value("text", "") + (result.contains("code") ? " (" + result.value("code", "") + ")" : "");
        EXPECT_NE(words.find(c.words), std::string::npos) << summary["boards"][1];

        // In words: B's error once, and a table as wide as the terminal.
        EXPECT_EQ(Kazmir("--bench bench.json --plain program app.hex " + c.serials, "COLUMNS=60"), c.exit);
        std::istringstream err(Err());
        size_t errors = 0, rows = 0;
        bool table = false;
        for (std::string line; std::getline(err, line);) {
            errors += line.find(" error: ") != std::string::npos;
            if (line.find(" error: ") != std::string::npos) {
                EXPECT_NE(line.find(result.value("text", "")), std::string::npos) << line;
            }
            table = table || line.rfind("Serial ", 0) == 0;
            rows += table;
            if (table) {
                EXPECT_LT(line.size(), 60u) << line;
            }
        }
        EXPECT_EQ(errors, 1u) << Err();
        EXPECT_EQ(rows, 4u) << Err();
    }
}

TEST_F(KazmirBatch, RefusesBadBoardChoices)
{
    WriteBench();
    const struct {
        std::string args;
        int exit;
        const char* words;
    } cases[] = {
        {"program app.hex --serial KZA --serial KZA", 2, "named twice"},
        {"program app.hex --all --serial KZA", 2, "--all takes every board"},
        {"fwinfo --serial KZA --serial KZB", 2, "program, verify and erase only"},
        {"program app.hex --all --jobs 0", 2, "jobs"},
        {"program missing.hex --all", 3, "missing.hex"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(Kazmir("--bench bench.json " + c.args), c.exit);
        EXPECT_NE(Err().find(c.words), std::string::npos) << Err();
        EXPECT_FALSE(fs::exists(m_Dir / "a.flash"));
    }
}

// The runner under a batch and these tests: exit codes and signals as a
// shell reports them, the streams apart, the environment's changes in order,
// the folder, the lines of a watched output until it is closed, a program
// that is not there.
TEST(ChildProcess, RunToEndTellsWhatTheChildDid)
{
    const struct {
        const char* script;
        kzsupport::ChildSetup setup;
        int exit;
        std::string out, err;
    } cases[] = {
        {"echo out; echo err >&2; exit 3", {}, 3, "out\n", "err\n"},
        {"kill -TERM $$", {}, 128 + SIGTERM, "", ""},
        {"echo ${A-unset} ${HOME-unset}", {{"A=1", "HOME", "A=2"}, ""}, 0, "2 unset\n", ""},
        {"pwd", {{}, "/"}, 0, "/\n", ""},
    };
    for (const auto& c : cases) {
        const kzsupport::RunResult r = kzsupport::RunToEnd("sh", {"-c", c.script}, c.setup);
        EXPECT_EQ(r.exit, c.exit) << c.script;
        EXPECT_EQ(r.out, c.out) << c.script;
        EXPECT_EQ(r.err, c.err) << c.script;
    }
    std::vector<std::string> seen;
    const kzsupport::RunResult closed =
        kzsupport::RunToEnd("sh", {"-c", "echo $$; echo second; while echo more; do :; done; exit 7"}, {},
                            [&](long pid, const std::string& line) {
                                seen.push_back(line);
                                return line != std::to_string(pid) + "\n";
                            });
    EXPECT_EQ(closed.exit, 128 + SIGPIPE) << "the child writes on to a closed output";
    EXPECT_EQ(seen.size(), 1u) << "nothing after the watcher is done";
    EXPECT_EQ(closed.out, seen.empty() ? "" : seen[0]);
    const kzsupport::RunResult missing = kzsupport::RunToEnd("/nonexistent/program", {});
    EXPECT_EQ(missing.exit, -1);
    EXPECT_EQ(missing.error, "cannot run /nonexistent/program: No such file or directory");
}

} // namespace

#if KAZMIR_CLI_TEST_RUNLOG
// The run log, stamps and reports of batches, each board in its own process.
class KazmirLine : public KazmirBatch {
protected:
    // boards boards of 4 x 16 KiB named <prefix>1.., flash files <prefix>N.flash;
    // fault: the faults of the second board.
    void WriteLineBench(const std::string& file, const std::string& prefix, int boards, const std::string& fault = "")
    {
        json bench = {{"boards", json::array()}};
        for (int i = 1; i <= boards; ++i) {
            json board = {
                {"serial", prefix + std::to_string(i)},
                {"flash",
                 {{"sectors", {{{"size", "0x4000"}, {"count", 4}}}}, {"file", prefix + std::to_string(i) + ".flash"}}}};
            if (i == 2 && !fault.empty())
                board["faults"] = json::parse(fault);
            bench["boards"].push_back(board);
        }
        std::ofstream(m_Dir / file) << bench.dump();
    }
    std::vector<json> LogRows()
    {
        EXPECT_EQ(Kazmir("log --json"), 0) << Err();
        return Events();
    }
    // The little-endian u32 at 0x7F00 of a flash file.
    uint32_t StampAt(const std::string& flash) const
    {
        std::ifstream in(m_Dir / flash, std::ios::binary);
        in.seekg(0x7F00);
        uint8_t b[4] = {};
        in.read(reinterpret_cast<char*>(b), 4);
        return b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
    }
    std::string Sha256(const std::string& name)
    {
        const kzsupport::RunResult sum = Run("sha256sum", name);
        EXPECT_EQ(sum.exit, 0) << sum.error;
        return sum.out.substr(0, sum.out.find(' '));
    }
};

TEST_F(KazmirLine, EveryBoardIsLoggedWithItsImageDigest)
{
    WriteLineBench("bench.json", "KZL", 4);
    WriteLineBench("one.json", "KZL", 1);
    ASSERT_EQ(Kazmir("--bench bench.json program --all app.hex --station line-1"), 0) << Err();
    const auto rows = LogRows();
    ASSERT_EQ(rows.size(), 4u);
    std::set<std::string> serials;
    for (const auto& r : rows) {
        serials.insert(r["serial"].get<std::string>());
        EXPECT_EQ(r["image_sha256"], Sha256("app.hex"));
        EXPECT_EQ(r["result"], 0);
        EXPECT_EQ(r["station"], "line-1");
        EXPECT_EQ(r["bytes_written"], IMAGE_SIZE);
    }
    EXPECT_EQ(serials, (std::set<std::string>{"KZL1", "KZL2", "KZL3", "KZL4"}));
    ASSERT_EQ(Kazmir("--json info app.hex"), 0) << Err();
    EXPECT_EQ(Events().front()["sha256"], Sha256("app.hex"));
    // --no-log adds nothing; a log that cannot be written fails the run only with --require-log.
    ASSERT_EQ(Kazmir("--bench one.json --no-log --serial KZL1 program app.hex"), 0) << Err();
    EXPECT_EQ(LogRows().size(), 4u);
    // Without --serial the row names the board the bench holds.
    ASSERT_EQ(Kazmir("--bench one.json program app.hex"), 0) << Err();
    EXPECT_EQ(LogRows().front()["serial"], "KZL1");
    fs::create_directory(m_Dir / "nolog");
    ASSERT_EQ(Kazmir("--bench one.json --log nolog --serial KZL1 program app.hex"), 0) << Err();
    EXPECT_NE(Err().find("warning:"), std::string::npos) << Err();
    EXPECT_EQ(Kazmir("--bench one.json --log nolog --require-log --serial KZL1 program app.hex"), 1) << Err();
}

TEST_F(KazmirLine, CounterStampsAreDistinctAcrossBoardsRunsAndConcurrentBatches)
{
    WriteLineBench("bench.json", "KZL", 4);
    WriteLineBench("one.json", "KZL", 1);
    ASSERT_EQ(Kazmir("counter units --set 1000"), 0) << Err();
    for (const uint32_t first : {1000u, 1004u}) {
        ASSERT_EQ(Kazmir("--bench bench.json program --all app.hex --stamp 0x7F00=u32le:counter:units"), 0) << Err();
        std::set<uint32_t> values;
        for (int i = 1; i <= 4; ++i)
            values.insert(StampAt("KZL" + std::to_string(i) + ".flash"));
        EXPECT_EQ(values, (std::set<uint32_t>{first, first + 1, first + 2, first + 3}));
    }
    // Refused before anything is written: a clash, an unset counter, a stamp outside the flash.
    const uint32_t before = StampAt("KZL1.flash");
    EXPECT_EQ(Kazmir("--bench bench.json program --all app.hex --stamp 0x10=u32le:counter:units "
                     "--stamp 0x12=u16le:counter:units"),
              2);
    EXPECT_EQ(Kazmir("--bench one.json --serial KZL1 program app.hex --stamp 0x7F00=u32le:counter:unset"), 3);
    EXPECT_EQ(Kazmir("--bench one.json --serial KZL1 program app.hex --stamp 0x100000=u32le:counter:units"), 9);
    EXPECT_EQ(Kazmir("--bench one.json --serial KZL1 program app.hex --stamp bogus"), 2);
    EXPECT_EQ(Err().find("--stamp bogus"), Err().rfind("--stamp bogus")) << "named once: " << Err();
    EXPECT_EQ(StampAt("KZL1.flash"), before) << "a refused board keeps its flash";
    // Two batches of 8 against one log at once.
    ASSERT_EQ(Kazmir("counter serial --set 1"), 0) << Err();
    WriteLineBench("x.json", "KZX", 8);
    WriteLineBench("y.json", "KZY", 8);
    const std::string stamp = " program --all app.hex --stamp 0x7F00=u32le:counter:serial";
    auto x = std::async(std::launch::async, [&] { return Run(KAZMIR_CLI, "--bench x.json" + stamp); });
    const kzsupport::RunResult y = Run(KAZMIR_CLI, "--bench y.json" + stamp);
    EXPECT_EQ(x.get().exit, 0);
    EXPECT_EQ(y.exit, 0) << y.err;
    std::set<uint32_t> values;
    for (const char* p : {"KZX", "KZY"})
        for (int i = 1; i <= 8; ++i)
            values.insert(StampAt(p + std::to_string(i) + ".flash"));
    EXPECT_EQ(values.size(), 16u);
    EXPECT_EQ(*values.begin(), 1u);
    EXPECT_EQ(*values.rbegin(), 16u);
    size_t rows = 0;
    for (const auto& r : LogRows())
        rows += r["serial"].get<std::string>().rfind("KZ", 0) == 0 && r["serial"].get<std::string>()[2] != 'L';
    EXPECT_EQ(rows, 16u);
}

TEST_F(KazmirLine, JUnitAndCsvReportsNameTheFailedBoard)
{
    WriteLineBench("bench.json", "KZL", 4, R"([{"op": "Fld.WriteSector", "code": "0x80004005"}])");
    EXPECT_NE(Kazmir("--bench bench.json program --all app.hex --junit r.xml --csv r.csv"), 0);
    const kzsupport::RunResult check = kzsupport::RunToEnd(
        "python3",
        {"-c", "import xml.etree.ElementTree as E, csv, sys; r = E.parse('r.xml').getroot(); "
               "c = r.findall('.//testcase'); f = [t.get('name') for t in c if t.find('failure') is not None]; "
               "rows = list(csv.DictReader(open('r.csv'))); "
               "sys.exit(0 if len(c) == 4 and f == ['KZL2'] and r.get('failures') == '1' and len(rows) == 4 and "
               "[x['serial'] for x in rows if x['exit'] != '0'] == ['KZL2'] else 1)"},
        {{}, m_Dir.string()});
    EXPECT_EQ(check.exit, 0) << check.err;
    // A single run writes the same reports.
    WriteLineBench("one.json", "KZL", 1);
    ASSERT_EQ(Kazmir("--bench one.json --serial KZL1 program app.hex --junit one.xml"), 0) << Err();
    std::ostringstream xml;
    xml << std::ifstream(m_Dir / "one.xml").rdbuf();
    EXPECT_NE(xml.str().find("tests=\"1\" failures=\"0\""), std::string::npos) << xml.str();
}
#endif
