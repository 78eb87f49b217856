// kazmir on several boards of one bench: one child process per board, the
// flash files each child writes, the summary and the exit code.
#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

constexpr size_t IMAGE_SIZE = 3 * 0x4000; // three 16 KiB sectors of board A

uint8_t Pattern(size_t i)
{
    return static_cast<uint8_t>(i * 7 + (i >> 8));
}

// An Intel HEX image of IMAGE_SIZE bytes from flash offset 0.
std::string ImageText()
{
    std::string text;
    char buf[8];
    for (size_t at = 0; at < IMAGE_SIZE; at += 32) {
        unsigned sum = 32 + (at >> 8) + (at & 0xFF);
        std::snprintf(buf, sizeof(buf), "%04zX", at);
        text += std::string(":20") + buf + "00";
        for (size_t i = at; i < at + 32; sum += Pattern(i++)) {
            std::snprintf(buf, sizeof(buf), "%02X", Pattern(i));
            text += buf;
        }
        std::snprintf(buf, sizeof(buf), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += buf;
    }
    return text + ":00000001FF\n";
}

class KazmirBatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        char pattern[] = "/tmp/kazmir-batch-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        m_Dir = pattern;
        std::ofstream(m_Dir / "app.hex") << ImageText();
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

    // kazmir with the arguments in the test's folder; stdout kept, stderr too.
    int Kazmir(const std::string& args, const std::string& env = "")
    {
        const std::string cmd = "cd " + m_Dir.string() +
                                " && env -u KAZSIM_BENCH KAZMIR_STATE_DIR=" + (m_Dir / "state").string() + " " + env +
                                " " + KAZMIR_CLI + " " + args + " >out 2>err";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::vector<json> Events() const
    {
        std::vector<json> events;
        std::ifstream in(m_Dir / "out");
        for (std::string line; std::getline(in, line);)
            events.push_back(json::parse(line));
        return events;
    }
    std::string Err() const
    {
        std::ostringstream s;
        s << std::ifstream(m_Dir / "err").rdbuf();
        return s.str();
    }
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

} // namespace
