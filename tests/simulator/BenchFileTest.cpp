// Bench descriptions in JSON, their errors, and flash files that keep their
// contents from one process to the next (KAZSIM_BENCH read at load).
#include "SimTestSupport.h"

#ifdef _WIN32
#include <process.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

using namespace simtest;
using kazsim::Bench;
namespace fs = std::filesystem;

namespace {

// --- the child side: this test program run again with KAZSIM_TEST_CHILD ---

// Writes a sector through the flash loader; checks the other one first.
int ChildWrite(uint16_t write, uint8_t fill, int check, uint8_t expect)
{
    if (Bench::BoardCount() != 1)
        return 10;
    auto* fld = static_cast<IKazFlashLoader*>(OpenMode(Bench::BoardInfo(0).DeviceId, CLSID_FLD, IID_FLD));
    if (!fld || fld->Execute(0, 0) != 0)
        return 11;
    std::vector<uint8_t> sector(0x1000);
    int result = 0;
    if (check >= 0) {
        if (fld->ReadSector(MakeSectorAddr(static_cast<uint16_t>(check)), sector.data(), 0x1000) != 0)
            result = 12;
        else if (std::count(sector.begin(), sector.end(), expect) != 0x1000)
            result = 3; // the first run's data is not there
    }
    std::fill(sector.begin(), sector.end(), fill);
    if (result == 0 && fld->WriteSector(MakeSectorAddr(write), sector.data(), 0x1000) != 0)
        result = 13;
    fld->Stop();
    fld->Release();
    return result;
}

int RunChild(const std::string& mode)
{
    if (mode == "first")
        return ChildWrite(0, 0x11, 1, 0xFF);
    if (mode == "second")
        return ChildWrite(1, 0x22, 0, 0x11);
    if (mode == "bad")
        return Bench::BoardCount() == 0 && Bench::LoadError().find("boards[0].state") != std::string::npos ? 0 : 20;
    return 30;
}

struct CChildHook {
    CChildHook()
    {
        const char* mode = std::getenv("KAZSIM_TEST_CHILD");
        if (mode)
            std::exit(RunChild(mode)); // runs the library's exit path too
    }
} s_ChildHook;

// Runs this program as a child with a bench file; gives its exit code.
int RunSelf(const std::string& mode, const fs::path& bench)
{
#ifdef _WIN32
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return -1;
    _putenv_s("KAZSIM_TEST_CHILD", mode.c_str());
    _putenv_s("KAZSIM_BENCH", bench.string().c_str());
    intptr_t status = _spawnl(_P_WAIT, self, self, nullptr);
    _putenv_s("KAZSIM_TEST_CHILD", "");
    _putenv_s("KAZSIM_BENCH", "");
    return static_cast<int>(status);
#else
    char self[4096];
    ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (length <= 0)
        return -1;
    self[length] = 0;
    std::string command = "KAZSIM_TEST_CHILD=" + mode + " KAZSIM_BENCH='" + bench.string() + "' '" + self + "'";
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

// A fresh folder per test.
class BenchFileTest : public BenchTest {
protected:
    void SetUp() override
    {
        BenchTest::SetUp();
        const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
        m_Dir = fs::temp_directory_path() / ("kazsim-" + std::to_string(std::random_device{}()) + "-" + info->name());
        fs::remove_all(m_Dir);
        fs::create_directories(m_Dir);
    }
    void TearDown() override
    {
        Bench::Reset(kazsim::BenchDesc::Empty()); // lets go of the files
        fs::remove_all(m_Dir);
        BenchTest::TearDown();
    }
    fs::path Write(const std::string& name, const std::string& text)
    {
        fs::path path = m_Dir / name;
        std::ofstream(path) << text;
        return path;
    }
    // The message of the BenchError that loading this text gives.
    std::string ErrorOf(const std::string& text)
    {
        try {
            kazsim::BenchDesc::FromJsonText(text);
        } catch (const kazsim::BenchError& error) {
            return error.what();
        }
        return "(no error)";
    }
    std::vector<uint8_t> FileBytes(const fs::path& path)
    {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }
    fs::path m_Dir;
};

} // namespace

TEST_F(BenchFileTest, ExampleBenchLoads)
{
    fs::path example = fs::path(__FILE__).parent_path() / "../../simulator/examples/bench.json";
    fs::copy_file(example, m_Dir / "bench.json");
    Bench::Load((m_Dir / "bench.json").string());
    ASSERT_EQ(Bench::BoardCount(), 2);
    kazsim::BoardStatus first = Bench::BoardInfo(0), second = Bench::BoardInfo(1);
    EXPECT_EQ(first.Serial, "KZ000001");
    EXPECT_EQ(first.State, 3u);
    EXPECT_EQ(second.Serial, "ABCD"); // in the boot ROM
    EXPECT_TRUE(SameGuid(second.BoardClass, kazsim::BOARD_CLASS_3));
    EXPECT_EQ(Bench::FlashContents(0).size(), 0x80000u);
    EXPECT_EQ(Bench::FlashContents(1).size(), 0x80000u);
    // The flash file lies next to the description, created erased.
    std::vector<uint8_t> file = FileBytes(m_Dir / "kz000001.flash");
    ASSERT_EQ(file.size(), 0x80000u);
    EXPECT_EQ(std::count(file.begin(), file.end(), 0xFF), 0x80000);
    SERVER_VERSION version = {};
    ASSERT_EQ(GetServerVersion(&version), 0u);
    EXPECT_EQ(version.Build, 1200u);
}

TEST_F(BenchFileTest, FieldsAndDefaults)
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::FromJsonText(R"({
        "restartDelayMs": 25,
        "boards": [
          {},
          { "class": "{EDCCFFED-C78C-4242-B617-56320E33A361}", "deviceId": "0x1122334455667788",
            "state": 5, "firmwareState": 2, "romSerial": "ROM9", "held": true, "restartDelayMs": 0,
            "flash": { "sectors": [4096, {"size": 8192, "count": 2}], "base": 4096, "words": [1, 2, 3] },
            "ccl": { "echo": false, "entries": [ {"kind1": 1, "kind2": 1, "maxMsgLen": 32, "depth": 2} ] } }
        ] })");
    ASSERT_EQ(desc.Boards.size(), 2u);
    const kazsim::BoardDesc& a = desc.Boards[0];
    EXPECT_EQ(a.Serial, "KZ000001");
    EXPECT_EQ(a.State, 3u);
    EXPECT_EQ(a.RestartDelayMs, 25u);
    EXPECT_EQ(a.Flash.Size(), 0x80000u);
    EXPECT_EQ(a.CclEntries.size(), 3u);
    const kazsim::BoardDesc& b = desc.Boards[1];
    EXPECT_EQ(b.Serial, "KZ000002");
    EXPECT_TRUE(SameGuid(b.BoardClass, kazsim::BOARD_CLASS_4));
    EXPECT_EQ(b.DeviceId.value_or(0), 0x1122334455667788u);
    EXPECT_EQ(b.State, 5u);
    EXPECT_EQ(b.FirmwareState, 2u);
    EXPECT_EQ(b.RomSerial, "ROM9");
    EXPECT_TRUE(b.Held);
    EXPECT_EQ(b.RestartDelayMs, 0u);
    EXPECT_EQ(b.Flash.SectorSizes, (std::vector<uint32_t>{4096, 8192, 8192}));
    EXPECT_EQ(b.Flash.BaseAddress, 4096u);
    EXPECT_EQ(b.Flash.Word6, 2u);
    EXPECT_FALSE(b.Echo);
    ASSERT_EQ(b.CclEntries.size(), 1u);
    EXPECT_EQ(b.CclEntries[0].MaxMsgLen, 32u);
    EXPECT_EQ(b.CclEntries[0].Depth, 2u);
    Bench::Reset(desc);
    EXPECT_EQ(Bench::BoardInfo(1).DeviceId, 0x1122334455667788u);
}

TEST_F(BenchFileTest, BadDescriptionsSayWhereAndWhat)
{
    struct Case {
        const char* Text;
        const char* Message;
    };
    const Case cases[] = {
        {R"({"boards": [ {"serial": "A",} ]})", "not valid JSON"},
        {R"({"boards": [ {"serail": "A"} ]})", "boards[0].serail: unknown key"},
        {R"({"boards": [ {}, {"flash": {"sectors": [4096, "0x1g"]}} ]})", "boards[1].flash.sectors[1]: \"0x1g\" is not a number"},
        {R"({"boards": [ {"flash": {"sectors": [0]}} ]})", "boards[0].flash.sectors[0]: a sector cannot be empty"},
        {R"({"boards": [ {"class": 6} ]})", "boards[0].class"},
        {R"({"boards": [ {"state": -1} ]})", "boards[0].state: must not be negative"},
        {R"({"boards": [ {"held": 1} ]})", "boards[0].held: expected true or false"},
        {R"({"boards": [ {"ccl": {"entries": [{"kind1": 1}]}} ]})", "boards[0].ccl.entries[0]: needs"},
        {R"({"board": []})", "board: unknown key"},
        {R"({})", "missing \"boards\""},
        {R"([])", "expected an object"},
    };
    for (const Case& c : cases) {
        std::string message = ErrorOf(c.Text);
        EXPECT_NE(message.find(c.Message), std::string::npos) << c.Text << "\n  gave: " << message;
        EXPECT_EQ(message.rfind("bench description: ", 0), 0u) << message;
    }
    EXPECT_NE(ErrorOf("{\n\"boards\": [\n}").find("line 3"), std::string::npos);
}

TEST_F(BenchFileTest, FailedLoadLeavesTheBenchAsItWas)
{
    uint64_t id = Bench::BoardInfo(0).DeviceId;
    fs::path bad = Write("bad.json", R"({"boards": [ {"state": "three"} ]})");
    try {
        Bench::Load(bad.string());
        FAIL() << "no error";
    } catch (const kazsim::BenchError& error) {
        EXPECT_EQ(std::string(error.what()).rfind(bad.string() + ": boards[0].state:", 0), 0u) << error.what();
    }
    EXPECT_THROW(Bench::Load((m_Dir / "missing.json").string()), kazsim::BenchError);
    fs::path unusable = Write("unusable.json", R"({"boards": [ {"flash": {"file": "no/such/dir/f.bin"}} ]})");
    EXPECT_THROW(Bench::Load(unusable.string()), kazsim::BenchError);
    fs::path shared = Write("shared.json", R"({"boards": [ {"flash": {"file": "one.bin"}}, {"flash": {"file": "one.bin"}} ]})");
    try {
        Bench::Load(shared.string());
        FAIL() << "no error";
    } catch (const kazsim::BenchError& error) {
        EXPECT_NE(std::string(error.what()).find("used by boards 0 and 1"), std::string::npos) << error.what();
    }
    ASSERT_EQ(Bench::BoardCount(), 1);
    EXPECT_EQ(Bench::BoardInfo(0).DeviceId, id);
    EXPECT_TRUE(Bench::BoardInfo(0).Listed);
}

TEST_F(BenchFileTest, FlashFileIsWrittenThroughAndReadBack)
{
    // An existing, shorter file is taken as the flash's first bytes.
    fs::path file = m_Dir / "board.flash";
    std::ofstream(file, std::ios::binary) << "KAZ";
    kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
    desc.Boards[0].Flash.File = file.string();
    Bench::Reset(desc);
    std::vector<uint8_t> flash = Bench::FlashContents(0);
    EXPECT_EQ(flash[0], 'K');
    EXPECT_EQ(flash[2], 'Z');
    EXPECT_EQ(flash[3], 0xFF);
    EXPECT_EQ(fs::file_size(file), 0x80000u); // completed, erased

    Bench::SetFlash(0, 0x10000, {1, 2, 3});
    std::vector<uint8_t> bytes = FileBytes(file);
    EXPECT_EQ(bytes[0x10001], 2); // on disk at once

    Bench::Reset(desc); // the same file again
    EXPECT_EQ(Bench::FlashContents(0)[0x10002], 3);
    EXPECT_EQ(Bench::FlashContents(0)[0], 'K');
}

TEST_F(BenchFileTest, SecondProcessSeesWhatTheFirstWrote)
{
    fs::path bench = Write("bench.json", R"({"boards": [ {"state": 1,
        "flash": {"sectors": [ {"size": 4096, "count": 4} ], "file": "persist.flash"}} ]})");
    EXPECT_EQ(RunSelf("first", bench), 0);
    EXPECT_EQ(RunSelf("second", bench), 0);
    EXPECT_EQ(RunSelf("second", bench), 0); // writing sector 1 again keeps 0x22
    std::vector<uint8_t> bytes = FileBytes(m_Dir / "persist.flash");
    ASSERT_EQ(bytes.size(), 0x4000u);
    EXPECT_EQ(bytes[0], 0x11);
    EXPECT_EQ(bytes[0xFFF], 0x11);
    EXPECT_EQ(bytes[0x1000], 0x22);
    EXPECT_EQ(bytes[0x2000], 0xFF);

    // A host started with a bad bench file gets no board and the reason.
    fs::path bad = Write("bad.json", R"({"boards": [ {"state": true} ]})");
    EXPECT_EQ(RunSelf("bad", bad), 0);
}
