// The bench itself: its JSON description, flash files, faults and call log.
#include "SimTestSupport.h"

#include <filesystem>
#include <fstream>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

using namespace simtest;
using kazsim::Faults;
namespace fs = std::filesystem;

class BenchFileTest : public BenchTest {
protected:
    void TearDown() override
    {
        Bench::Reset();
        fs::remove_all(m_Dir);
    }
    fs::path m_Dir = fs::temp_directory_path() /
                     ("kazsim-" + std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
};

TEST_F(BenchFileTest, ExampleLoadsAndItsFlashFileIsWrittenThroughAndReadBack)
{
    fs::create_directories(m_Dir);
    fs::copy_file(fs::path(KAZMIR_SOURCE_DIR) / "simulator/examples/bench.json", m_Dir / "bench.json",
                  fs::copy_options::overwrite_existing);
    fs::remove(m_Dir / "kz000001.flash");
    Bench::Load((m_Dir / "bench.json").string());
    ASSERT_EQ(Bench::BoardCount(), 2);
    EXPECT_EQ(Bench::BoardInfo(1).Serial, "ABCD"); // in the boot ROM
    EXPECT_TRUE(SameGuid(Bench::BoardInfo(1).BoardClass, kazsim::BOARD_CLASS_3));
    EXPECT_FALSE(fs::exists(m_Dir / "kz000001.flash")) << "loading a bench creates no flash file";
    Bench::SetFlash(0, 0x10, {0x12, 0x34});
    EXPECT_EQ(fs::file_size(m_Dir / "kz000001.flash"), 0x80000u);
    std::vector<char> bytes(0x12);
    std::ifstream(m_Dir / "kz000001.flash", std::ios::binary).read(bytes.data(), 0x12);
    EXPECT_EQ(bytes[0x11], 0x34); // written through at once
    Bench::Load((m_Dir / "bench.json").string());
    EXPECT_EQ(Bench::FlashContents(0)[0x10], 0x12);
}

#ifndef _WIN32
// Another process's lock is an flock on a descriptor of its own: one taken in
// this process stands for it, as flock does not tell processes apart.
class LockTest : public BenchFileTest {
protected:
    int LockHere(const fs::path& file)
    {
        int fd = ::open(file.c_str(), O_RDWR | O_CREAT, 0666);
        if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            fd = -1;
        }
        return fd;
    }
    bool Free(const fs::path& file)
    {
        int fd = LockHere(file);
        if (fd >= 0)
            ::close(fd);
        return fd >= 0;
    }
};

TEST_F(LockTest, TheDriverTakesTheFileAndKeepsItOnlyOnceTheFlashWasUsed)
{
    fs::create_directories(m_Dir);
    const fs::path a = m_Dir / "a.flash", b = m_Dir / "b.flash";
    kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
    desc.Boards.resize(2);
    desc.Boards[0].Flash.File = a.string();
    desc.Boards[1].Flash.File = b.string();
    desc.Boards[1].Serial = "KZ000002";
    desc.Boards[1].State = DEV_STATE_FLD;
    Bench::Reset(desc);
    EXPECT_FALSE(fs::exists(a) || fs::exists(b)) << "loading a bench creates no flash file";

    // Looked at and closed: let go; a missing file is not created, a short one not padded.
    HANDLE handle = Open(Bench::BoardInfo(0).Path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    EXPECT_FALSE(fs::exists(a)) << "opening a board creates no flash file";
    std::ofstream(a) << "short";
    handle = Open(Bench::BoardInfo(0).Path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Free(a));
    CloseHandle(handle);
    EXPECT_TRUE(Free(a)) << "a board only looked at is not kept";
    EXPECT_EQ(fs::file_size(a), 5u);

    // Held elsewhere: no open, no contents; what the holder wrote is seen later.
    int other = LockHere(a);
    ASSERT_GE(other, 0);
    EXPECT_EQ(Open(Bench::BoardInfo(0).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_NE(kazsim::CallLog().back().Detail.find(a.string() + " is in use by another process"), std::string::npos)
        << kazsim::CallLog().back().Detail;
    EXPECT_THROW(Bench::FlashContents(0), kazsim::FlashInUseError);
    EXPECT_THROW(Bench::EraseFlash(0), kazsim::FlashInUseError);
    EXPECT_FALSE(Bench::ClaimFlash(0));
    ASSERT_EQ(::pwrite(other, "\x5A", 1, 0x20), 1);
    ::close(other);

    // Used: kept after the close, until the board is removed.
    handle = Open(Bench::BoardInfo(0).Path);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Bench::FlashContents(0)[0x20], 0x5A);
    CloseHandle(handle);
    EXPECT_FALSE(Free(a)) << "a used flash stays taken";
    Bench::RemoveBoard(0);
    EXPECT_TRUE(Free(a));

    // The flash loader takes the file too, for each erase, read and write.
    auto* fld = OpenMode<IKazFlashLoader>(1, CLSID_FLD, IID_FLD);
    ASSERT_NE(fld, nullptr);
    ASSERT_EQ(fld->Execute(0, 0), 0u);
    std::vector<uint8_t> sector(0x4000, 0);
    EXPECT_EQ(fld->ReadSector(0, sector.data(), 0x4000), 0u);
    EXPECT_EQ(sector[0], 0xFF);
    EXPECT_FALSE(fs::exists(b)) << "reading a missing flash file does not create it";
    sector.assign(0x4000, 0);
    other = LockHere(b);
    EXPECT_EQ(fld->EraseSector(0), kazsim::SIM_E_IN_USE);
    EXPECT_EQ(fld->WriteSector(0, sector.data(), 0x4000), kazsim::SIM_E_IN_USE);
    EXPECT_EQ(fld->ReadSector(0, sector.data(), 0x4000), kazsim::SIM_E_IN_USE);
    ::close(other);
    EXPECT_EQ(fld->WriteSector(0, sector.data(), 0x4000), 0u);
    EXPECT_FALSE(Free(b));
    // Every read goes to the file: a byte changed there is what the board reads.
    other = ::open(b.c_str(), O_RDWR);
    ASSERT_EQ(::pwrite(other, "\x77", 1, 0x10), 1);
    ::close(other);
    EXPECT_EQ(fld->ReadSector(0, sector.data(), 0x4000), 0u);
    EXPECT_EQ(sector[0x10], 0x77);
    fld->Release();
    Bench::Reset(desc);
    EXPECT_TRUE(Free(b)) << "a bench reset lets go";
    EXPECT_EQ(Bench::FlashContents(1)[0x3FFF], 0x00);

    // A link is not followed, even when it was put there after the bench was loaded.
    std::ofstream(m_Dir / "target") << "keep";
    fs::remove(a);
    fs::create_symlink(m_Dir / "target", a);
    EXPECT_EQ(Open(Bench::BoardInfo(0).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_THROW(Bench::EraseFlash(0), kazsim::BenchError);
    std::string kept;
    std::ifstream(m_Dir / "target") >> kept;
    EXPECT_TRUE(kept == "keep");

    // A write the file does not take whole fails its sector: a file-size
    // limit cuts the write short, as a full disk does.
    desc.Boards[1].Flash.File = (m_Dir / "c.flash").string();
    Bench::Reset(desc);
    fld = OpenMode<IKazFlashLoader>(1, CLSID_FLD, IID_FLD);
    ASSERT_EQ(fld->Execute(0, 0), 0u);
    rlimit old = {};
    getrlimit(RLIMIT_FSIZE, &old);
    const rlimit small = {0x6000, old.rlim_max};
    std::signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    EXPECT_EQ(fld->WriteSector(0, sector.data(), 0x4000), kazsim::SIM_E_WRITE_FAULT);
    setrlimit(RLIMIT_FSIZE, &old);
    EXPECT_NE(kazsim::CallLog().back().Detail.find("c.flash: cannot write"), std::string::npos);
    fld->Release();
}
#endif

TEST_F(BenchFileTest, FieldsAndErrorsThatSayWhereAndWhat)
{
    kazsim::BenchDesc desc = kazsim::BenchDesc::FromJsonText(R"({"restart_delay_ms": 25, "boards": [ {},
        {"class": 4, "device_id": "0x1122334455667788", "held": true, "present": false,
         "flash": {"sectors": [4096, {"size": 8192, "count": 2}]}, "ccl": {"echo": false, "entries": []}} ]})");
    const kazsim::BoardDesc &a = desc.Boards.at(0), &b = desc.Boards.at(1);
    EXPECT_EQ(a.Serial + b.Serial + std::to_string(a.RestartDelayMs), "KZ000001KZ00000225");
    EXPECT_TRUE(SameGuid(b.BoardClass, kazsim::BOARD_CLASS_4) && b.DeviceId.value_or(0) == 0x1122334455667788u);
    EXPECT_TRUE(b.Held && !b.Present && !b.Echo && b.CclEntries.empty() && a.Present);
    EXPECT_EQ(b.Flash.SectorSizes, (std::vector<uint32_t>{4096, 8192, 8192}));
    const std::pair<const char*, const char*> errors[] = {
        {R"({"boards": [ {"serial": "A",} ]})", "not valid JSON"},
        {R"({"boards": [ {"serail": "A"} ]})", "boards[0].serail: unknown key"},
        {R"({"restartDelayMs": 5, "boards": []})", "restartDelayMs: unknown key; it is now spelled restart_delay_ms"},
        {R"({"boards": [ {"ccl": {"entries": [{"maxMsgLen": 9}]}} ]})",
         "[0].maxMsgLen: unknown key; it is now spelled max_msg_len"},
        {R"({"boards": [ {}, {"flash": {"sectors": [4096, "0x1g"]}} ]})",
         "boards[1].flash.sectors[1]: \"0x1g\" is not"},
        {R"({"boards": [ {"flash": {"sectors": [0]}} ]})", "a sector cannot be empty"},
        {R"({"boards": [ {"class": 6} ]})", "boards[0].class"},
        {R"({"boards": [ {"state": -1} ]})", "boards[0].state: must not be negative"},
        {R"({"boards": [ {"present": 1} ]})", "boards[0].present: expected true or false"},
        {R"({"boards": [ {"ccl": {"entries": [{"kind1": 1}]}} ]})", "boards[0].ccl.entries[0]: needs"},
        {R"({})", "missing \"boards\""},
        {R"({"boards": [ {"faults": [{"op": "Fld.WriteSectr", "code": 1}]} ]})",
         "boards[0].faults[0].op: no operation named \"Fld.WriteSectr\"; did you mean \"Fld.WriteSector\"?"},
        {R"({"boards": [], "faults": [{"op": "Enum.Next", "code": 1}, {"op": "enum.next", "code": 1}]})",
         "faults[1].op: no operation named \"enum.next\"; did you mean \"Enum.Next\"?"},
        {R"({"boards": [ {"faults": [{"op": "Enum.Next", "code": 1}]} ]})", "[0].op: Enum.Next concerns no board"},
        {R"({"boards": [ {}, {"faults": [{"op": "Driver.Open", "code": "0x1FFFFFFFF"}]} ]})",
         "boards[1].faults[0].code: 8589934591 is too large (at most 4294967295)"},
        {R"({"boards": [ {"faults": [{"op": "Driver.Open", "code": "E0FE0009"}]} ]})",
         "code: \"E0FE0009\" is not a number"},
        {R"({"boards": [ {"faults": [{"op": "Driver.Open", "code": 0}]} ]})", "code: 0 is success"},
        {R"({"boards": [ {"faults": [{"op": "Driver.Open", "code": 5, "at": 0}]} ]})",
         "[0].at: calls are counted from 1"},
        {R"({"boards": [ {"faults": [{"op": "Driver.Open", "code": 5, "at": -2}]} ]})", "[0].at: must not be negative"},
        {R"({"boards": [ {"faults": [{"op": "Driver.Open", "code": 5, "nth": 2}]} ]})", "faults[0].nth: unknown key"},
        {R"({"boards": [ {"faults": [{"code": 5}]} ]})", "boards[0].faults[0]: needs \"op\" and \"code\""},
        {R"({"boards": [ {"serial": "A", "held": true, "serial": "B"} ]})",
         "boards[0].serial: this key is given twice"},
        {R"({"boards": [ {}, {"flash": {"sectors": [4096, 1e400]}} ]})", "boards[1].flash.sectors[1]: 1e400 is out"},
        {R"({"boards": [ {"state": 1.5} ]})", "boards[0].state: must be a whole number from 0 to 4294967295"},
        {R"({"boards": [ {"flash": {"file": "f"}}, {"flash": {"file": "d/../f"}} ]})",
         "boards[1].flash.file: d/../f is the flash file of boards[0] already"},
    };
    for (const auto& error : errors) {
        try {
            kazsim::BenchDesc::FromJsonText(error.first);
            ADD_FAILURE() << "no error: " << error.first;
        } catch (const kazsim::BenchError& e) {
            EXPECT_NE(std::string(e.what()).find(error.second), std::string::npos) << e.what();
        }
    }
    // A failed load leaves the bench as it was.
    uint64_t id = Bench::BoardInfo(0).DeviceId;
    fs::create_directories(m_Dir);
    std::ofstream(m_Dir / "two.json") << R"({"boards": [ {"flash": {"file": "f"}}, {"flash": {"file": "f"}} ]})";
    std::ofstream(m_Dir / "self.json") << R"({"boards": [ {"flash": {"file": "self.json"}} ]})";
    for (const char* bench : {"two.json", "missing.json", "self.json", "."})
        EXPECT_THROW(Bench::Load((m_Dir / bench).string()), kazsim::BenchError) << bench;
    EXPECT_TRUE(Bench::BoardCount() == 1 && Bench::BoardInfo(0).DeviceId == id);
}

// Faults in the file fire on their occurrence of their board's calls, armed
// again by a reset to the same description; the top-level ones on any call.
TEST_F(BenchFileTest, FaultsFromTheFileFireOnTheirBoardAndOccurrence)
{
    const kazsim::BenchDesc desc = kazsim::BenchDesc::FromJsonText(R"({
        "faults": [{"op": "SetupDiGetClassDevsA", "code": 8}],
        "boards": [{}, {"never_returns": true, "faults": [{"op": "Driver.GetInfo", "code": "0xE0FE0009", "at": 2}]}]})");
    for (int round = 0; round < 2; ++round) {
        Bench::Reset(desc);
        HANDLE a = Open(Bench::BoardInfo(0).Path), b = Open(Bench::BoardInfo(1).Path);
        DRIVER_INFO info = {};
        const std::vector<DWORD> results = {GetInfo(b, &info), GetInfo(a, &info), GetInfo(a, &info), GetInfo(b, &info),
                                            GetInfo(b, &info)};
        EXPECT_EQ(results, (std::vector<DWORD>{0, 0, 0, 0xE0FE0009, 0}));
        EXPECT_EQ(Faults::Fired("Driver.GetInfo"), 1u);
        CloseHandle(a);
        CloseHandle(b);
    }
    EXPECT_TRUE(SetupApi().Paths().empty());
    EXPECT_EQ(Faults::Fired("SetupDiGetClassDevsA"), 1u);
    Bench::Restart(0, kazsim::STATE_CCL);
    Bench::Restart(1, kazsim::STATE_CCL);
    Bench::Quiesce();
    EXPECT_TRUE(Bench::BoardInfo(0).Listed);
    EXPECT_FALSE(Bench::BoardInfo(1).Listed);
}

class FaultTest : public BenchTest {};

TEST_F(FaultTest, NthCallOneBoardAndTheCommandResponse)
{
    Bench::AddBoard(kazsim::BoardDesc());
    Faults::Fail("Driver.Open", ERROR_ACCESS_DENIED, 0, 1);
    Faults::Fail("Driver.GetInfo", ERROR_GEN_FAILURE, 2);
    EXPECT_EQ(Open(Bench::BoardInfo(1).Path), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    HANDLE handle = Open(Bench::BoardInfo(0).Path);
    DRIVER_INFO info = {};
    EXPECT_EQ(GetInfo(handle, &info), 0u);
    EXPECT_EQ(GetInfo(handle, &info), ERROR_GEN_FAILURE);
    EXPECT_EQ(GetInfo(handle, &info), 0u);
    EXPECT_EQ(Faults::Fired("Driver.GetInfo"), 1u);
    CloseHandle(handle);
    EXPECT_THROW(Faults::Fail("Driver.Frobnicate", 1), std::invalid_argument);

    auto* ccl = OpenMode<IKazCcl>(0, CLSID_CCL, IID_CCL);
    ASSERT_EQ(ccl->Start(0, 0, 0), 0u);
    Faults::Fail("Ccl.Command.Response", 0xE0AB0001, 1);
    CCL_REQUEST request = {12, CCL_TARGET_ALL, 0, CCL_START_ENTRY};
    CCL_RESPONSE response = {12, 0, 0};
    EXPECT_EQ(ccl->Command(&request, &response) + response.Result, 0xE0AB0001u);
    EXPECT_FALSE(Bench::CclEntry(0, 0).Started);
    request.Command = 999;
    EXPECT_EQ(ccl->Command(&request, &response) + response.Result, kazsim::SIM_E_NOTIMPL);
    ccl->Release();
}

// Failing a logged call by its name and occurrence makes that call fail when
// the same sequence runs again; what stays open is reported.
TEST_F(FaultTest, CallLogReplaysAndAccountingFindsWhatIsLeftOpen)
{
    SetupApi api;
    HANDLE handle = Open(api.Paths().at(0));
    std::vector<kazsim::Call> log = kazsim::CallLog();
    EXPECT_EQ(log.back().Name + " " + std::to_string(log.back().Board), "Driver.Open 0");
    EXPECT_NE(kazsim::LeftBehind().find("driver handles: 1 left open"), std::string::npos) << kazsim::LeftBehind();
    CloseHandle(handle);
    EXPECT_EQ(kazsim::LeftBehind(), "");
    for (const kazsim::Call& call : log) {
        Bench::Reset();
        Faults::Fail(call.Name, 0x80041234, call.Occurrence);
        std::vector<std::string> paths = SetupApi().Paths();
        if (!paths.empty())
            CloseHandle(Open(paths[0]));
        EXPECT_EQ(Faults::Fired(call.Name), 1u) << call.Name << " " << call.Occurrence;
    }
}
