// Program, verify and the firmware-information scan end to end on the
// virtual bench's flash loader.
#include "FlashTestSupport.h"
#include "kazsim/Bench.h"

#include <gtest/gtest.h>

using namespace flashtest;

namespace {

// The FLD object of the bench's first board, as the controller obtains it.
IKazFlashLoader* OpenFld()
{
    IKazDeviceManager* manager = nullptr;
    if (GetDeviceManager(&manager) != 0 || manager == nullptr)
        return nullptr;
    uint64_t id = kazsim::Bench::BoardInfo(0).DeviceId;
    IKazDevice* device = nullptr;
    IKazUnknown* component = nullptr;
    if (manager->OpenDevice(&id, &device) == 0 && device != nullptr) {
        device->OpenComponent(&KAZ_CLSID_FLD, &KAZ_IID_FLD, &component);
        device->Release();
    }
    manager->Release();
    return static_cast<IKazFlashLoader*>(component);
}

class SimulatorFlash : public ::testing::Test {
protected:
    void SetUp() override
    {
        kazsim::BenchDesc desc = kazsim::BenchDesc::Default();
        desc.Boards[0].State = kazsim::STATE_FLASH_LOADER; // 4 x 16 KiB, 64 KiB, 3 x 128 KiB
        kazsim::Bench::Reset(desc);
        kazsim::Bench::Quiesce();
        ASSERT_EQ(InitializeServer(), 0u);
        m_Before.resize(kazsim::Bench::FlashContents(0).size());
        for (size_t i = 0; i < m_Before.size(); ++i)
            m_Before[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        kazsim::Bench::SetFlash(0, 0, m_Before);
        kazsim::MarkBaseline();
    }
    void TearDown() override { EXPECT_EQ(kazsim::LeftBehind(), ""); }

    CTempDir m_Dir;
    std::vector<uint8_t> m_Before;
};

} // namespace

TEST_F(SimulatorFlash, ProgramVerifyAndScanKeepTheBytesAroundTheImage)
{
    // 100 KiB from 0xA000, across sectors 2 to 5, with a FLASH record at its
    // first address.
    std::vector<uint8_t> image(100 * 1024);
    for (size_t i = 0; i < image.size(); ++i)
        image[i] = static_cast<uint8_t>(i ^ (i >> 8) ^ 0x5A);
    const std::vector<uint8_t> record = FwInfoBytes("SIMFW", 0, 0xA000, "KZ BOARD");
    std::copy(record.begin(), record.end(), image.begin() + 0x1234);
    const std::string path = m_Dir.Write("sim.hex", HexImage(0xA000, image));

    IKazFlashLoader* fld = OpenFld();
    ASSERT_NE(fld, nullptr);
    CReportRecorder reports;
    {
        CTestFlashProg prog;
        ASSERT_EQ(prog.Open(fld), 0u);
        EXPECT_EQ(prog.GetFlashSize(), 512u * 1024);
        ASSERT_EQ(prog.Program(path.c_str()), 0u);
        EXPECT_EQ(prog.FirstSector(), 2);
        EXPECT_EQ(prog.EndSector(), 6);

        std::vector<uint8_t> expected = m_Before;
        std::copy(image.begin(), image.end(), expected.begin() + 0xA000);
        EXPECT_EQ(kazsim::Bench::FlashContents(0), expected);
        EXPECT_EQ(prog.Verify(path.c_str()), 0u);

        // One byte changed inside the image, then one outside it but inside
        // the range.
        kazsim::Bench::SetFlash(0, 0xA000 + 0x4000, {static_cast<uint8_t>(image[0x4000] ^ 0xFF)});
        EXPECT_EQ(prog.Verify(path.c_str()), KZM_E_VERIFY);
        kazsim::Bench::SetFlash(0, 0xA000 + 0x4000, {image[0x4000]});
        kazsim::Bench::SetFlash(0, 0x8000, {static_cast<uint8_t>(m_Before[0x8000] ^ 0xFF)});
        EXPECT_EQ(prog.Verify(path.c_str()), 0u);

        FW_INFO info{};
        EXPECT_EQ(prog.ScanFwInfo(&info), 0u);
        EXPECT_EQ(std::memcmp(&info, record.data(), sizeof(info)), 0);
        EXPECT_EQ(prog.Close(), 0u);
    }
    // Every sector line of the program: read, erase and write of sectors 2
    // to 5 in that order, each with its start and OK line.
    std::vector<std::string> progress;
    for (const ReportLine& line : reports.Lines())
        if (line.Kind == REPORT_PROGRESS && line.Text.find("OK") != std::string::npos)
            progress.push_back(line.Text.substr(4, 15));
    const std::vector<std::string> program = {
        "read sector 02/", "read sector 03/", "read sector 04/", "read sector 05/", "erase sector 02",
        "erase sector 03", "erase sector 04", "erase sector 05", "write sector 02", "write sector 03",
        "write sector 04", "write sector 05"};
    ASSERT_GE(progress.size(), program.size());
    EXPECT_EQ(std::vector<std::string>(progress.begin(), progress.begin() + 12), program);
}

TEST_F(SimulatorFlash, FailingEraseStopsWithTheLoadersCode)
{
    constexpr uint32_t CODE = 0x8007045D;
    const std::string path = m_Dir.Write("a.hex", HexImage(0, std::vector<uint8_t>(0x9000, 0x12)));
    IKazFlashLoader* fld = OpenFld();
    ASSERT_NE(fld, nullptr);
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(fld), 0u);
    kazsim::Faults::Fail("Fld.EraseSector", CODE, 2);
    EXPECT_EQ(prog.Program(path.c_str()), CODE);
    // Sector 0 erased, nothing written.
    std::vector<uint8_t> expected = m_Before;
    std::fill(expected.begin(), expected.begin() + 0x4000, 0xFF);
    EXPECT_EQ(kazsim::Bench::FlashContents(0), expected);
    kazsim::Faults::Clear();
    EXPECT_EQ(prog.Close(), 0u);
}
