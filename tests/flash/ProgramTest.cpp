// Placement, program and verify, and the firmware-information scan, on the
// bench's flash with its fault injection.
#include "FlashSupport.h"

#include "flash/FlashPlacement.h"

using namespace flashtest;

namespace {

constexpr uint32_t FAULT = 0xE0AA0001;

uint32_t Calls(const std::string& name)
{
    uint32_t n = 0;
    for (const kazsim::Call& c : kazsim::CallLog())
        n += c.Name == name;
    return n;
}

std::vector<uint8_t> Pattern(size_t n, uint8_t seed)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 7);
    return v;
}

} // namespace

TEST(Placement, ImagesGoWhereTheRulesPutThem)
{
    struct Case {
        const char* Name;
        std::vector<uint32_t> Sectors;
        uint32_t Base;
        bool Known;
        IMAGE_SUMMARY Image;
        KZMRESULT Result;
        uint16_t First, End;
        uint32_t FirstOffset, StartOffset;
        uint32_t BlockOffset; // range offset of the image's lowest address
    };
    const std::vector<uint32_t> eight(8, 0x2000), four(4, 0x4000);
    const std::vector<Case> cases = {
        {"no record, from 0, partly into sector 1", eight, 0, true, {false, 0, 0, 0, 0x2100}, 0, 0, 2, 0, 0, 0},
        {"no record, not from 0: offsets from 0", eight, 0, true, {false, 0, 0, 0x2100, 0x2200}, 0, 0, 1, 0, 0, 0x2100},
        {"FLASH record with base",
         four,
         0x08000000,
         true,
         {true, 0x08004000, 0, 0x08004000, 0x08006000},
         0,
         1,
         2,
         0,
         0x4000,
         0},
        {"record address without base",
         eight,
         0,
         true,
         {true, 0x2100, 1, 0x2100, 0x2200},
         0,
         1,
         2,
         0x100,
         0x2100,
         0x100},
        {"BOOT record with base: offsets",
         four,
         0x08000000,
         true,
         {true, 0x08004000, 0x80, 0, 0x100},
         0,
         0,
         1,
         0,
         0,
         0},
        {"ends at the flash's end", four, 0, true, {false, 0, 0, 0, 0x10000}, 0, 0, 4, 0, 0, 0},
        {"one byte past the flash", four, 0, true, {false, 0, 0, 0, 0x10001}, KZM_E_BEYOND_FLASH, 9, 9, 0, 0, 0},
        {"sectors not read", four, 0, false, {false, 0, 0, 0, 0x100}, KZM_E_FAIL, 9, 9, 0, 0, 0},
        {"large sectors keep their offsets",
         {0x20000, 0x20000},
         0,
         true,
         {true, 0x30000, 0, 0x30000, 0x30010},
         0,
         1,
         2,
         0x10000,
         0x30000,
         0x10000},
        {"empty image with record", four, 0, true, {true, 0, 0, 5, 5}, 0, 9, 9, 0, 0, 0},
        {"empty image without record", four, 0, true, {false, 0, 0, 5, 5}, KZM_E_FAIL, 9, 9, 0, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        uint32_t size = 0;
        for (uint32_t sector : c.Sectors)
            size += c.Known ? sector : 0;
        const FLASH_LAYOUT layout{c.Base, static_cast<uint16_t>(c.Sectors.size()), c.Sectors.data(), c.Known, size};
        const RANGE_PLACEMENT p = PlaceImage(layout, c.Image, 9, 9);
        EXPECT_EQ(p.result, c.Result);
        EXPECT_EQ(p.wFirstSector, c.First);
        EXPECT_EQ(p.wEndSector, c.End);
        if (c.Result == 0 && p.bRangeSet) {
            EXPECT_EQ(p.dwFirstOffset, c.FirstOffset);
            EXPECT_EQ(p.dwStartOffset, c.StartOffset);
            EXPECT_EQ(RangeOffset(p, c.Image.dwLowest), c.BlockOffset);
        }
    }
}

class FlashProgram : public ::testing::Test {
protected:
    void Start(std::vector<uint32_t> sectors, uint32_t base = 0)
    {
        ASSERT_EQ(m_Prog.Open(BenchFld(std::move(sectors), base)), 0u);
        kazsim::ClearCallLog();
    }
    KZMRESULT Program(const std::string& text)
    {
        CTempFile file(text);
        return m_Prog.Program(file.Path());
    }
    KZMRESULT Verify(const std::string& text)
    {
        CTempFile file(text);
        return m_Prog.Verify(file.Path());
    }
    ~FlashProgram() override { kazsim::Faults::Clear(); }
    CTestFlashProg m_Prog;
};

TEST_F(FlashProgram, ProgramOverlaysTheImageAndKeepsTheRestOfTheRange)
{
    struct Piece {
        uint32_t At, Size;
    };
    struct Case {
        const char* Name;
        std::vector<Piece> Pieces;
        uint32_t Sectors; // sectors of the range
    };
    const Case cases[] = {
        {"one block, partly into sector 1", {{0, 0x2100}}, 2},
        {"gaps, a block across a sector border, list order not address order",
         {{0x2200, 0x100}, {0, 0x10}, {0x1F00, 0x200}, {0x4000, 0x1}},
         3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Start(std::vector<uint32_t>(8, 0x2000));
        const std::vector<uint8_t> old = Pattern(0x10000, 3);
        kazsim::Bench::SetFlash(0, 0, old);
        std::vector<uint8_t> expected = old;
        std::string text;
        for (const Piece& p : c.Pieces) {
            const std::vector<uint8_t> bytes = Pattern(p.Size, static_cast<uint8_t>(p.At >> 4));
            std::copy(bytes.begin(), bytes.end(), expected.begin() + p.At);
            const std::string hex = HexImage(p.At, bytes);
            text += hex.substr(0, hex.size() - std::strlen(HEX_END));
        }
        text += HEX_END;
        ASSERT_EQ(Program(text), 0u);
        EXPECT_EQ(Flash(), expected);
        EXPECT_EQ(Calls("Fld.EraseSector"), c.Sectors);
        EXPECT_EQ(Calls("Fld.WriteSector"), c.Sectors);
        EXPECT_EQ(Verify(text), 0u);
        const uint32_t last = c.Pieces.back().At;
        kazsim::Bench::SetFlash(0, last, {static_cast<uint8_t>(expected[last] ^ 0xFF)});
        EXPECT_EQ(Verify(text), KZM_E_VERIFY);
    }
}

TEST_F(FlashProgram, VerifyComparesEveryByteOfTheRange)
{
    Start(std::vector<uint32_t>(4, 0x2000));
    const std::vector<uint8_t> image = Pattern(0x2000, 5); // exactly sector 0
    ASSERT_EQ(Program(HexImage(0, image)), 0u);
    ASSERT_EQ(Verify(HexImage(0, image)), 0u);
    for (uint32_t at : {0u, 0x1000u, 0x1FFFu}) {
        kazsim::Bench::SetFlash(0, at, {static_cast<uint8_t>(image[at] ^ 1)});
        EXPECT_EQ(Verify(HexImage(0, image)), KZM_E_VERIFY) << at;
        kazsim::Bench::SetFlash(0, at, {image[at]});
    }
    // Outside the image but inside the range: still equal.
    ASSERT_EQ(Program(HexImage(0, Pattern(0x100, 5))), 0u);
    kazsim::Bench::SetFlash(0, 0x1FFF, {0});
    EXPECT_EQ(Verify(HexImage(0, Pattern(0x100, 5))), 0u);
}

TEST_F(FlashProgram, FailuresStopWhereTheRulesSay)
{
    struct Case {
        const char* Name;
        const char* Operation;
        uint32_t Nth;
        KZMRESULT Result;
        uint32_t Erased, Written; // sector operations that succeeded
    };
    const Case cases[] = {
        {"read of the last sector", "Fld.ReadSector", 3, KZM_E_READ_RANGE, 0, 0},
        {"erase of the second sector", "Fld.EraseSector", 2, FAULT, 1, 0},
        {"write of the third sector", "Fld.WriteSector", 3, KZM_E_WRITE_RANGE, 3, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Start(std::vector<uint32_t>(4, 0x2000));
        const std::vector<uint8_t> old = Pattern(0x8000, 1);
        kazsim::Bench::SetFlash(0, 0, old);
        kazsim::Faults::Fail(c.Operation, FAULT, c.Nth);
        EXPECT_EQ(Program(HexImage(0, Pattern(0x5000, 2))), c.Result);
        const std::vector<uint8_t> flash = Flash();
        for (uint32_t s = 0; s < 3; ++s) {
            const bool erased = s < c.Erased, written = s < c.Written;
            const uint8_t expected = written ? Pattern(0x5000, 2)[s * 0x2000] : erased ? 0xFF : old[s * 0x2000];
            EXPECT_EQ(flash[s * 0x2000], expected) << "sector " << s;
        }
        kazsim::Faults::Clear();
    }
    // Beyond the flash: nothing is read.
    Start(std::vector<uint32_t>(2, 0x2000));
    EXPECT_EQ(Program(HexImage(0, Pattern(0x4001, 0))), KZM_E_BEYOND_FLASH);
    EXPECT_EQ(Calls("Fld.ReadSector"), 0u);
    // An unreadable file.
    EXPECT_EQ(m_Prog.Program("/nonexistent/image.hex"), KZM_E_FAIL);
}

TEST_F(FlashProgram, OneSectorProgramReportsEachStep)
{
    Start({0x4000});
    CReportRecorder reports;
    ASSERT_EQ(Program(HexImage(0, {1, 2})), 0u);
    const std::vector<ReportLine> tail(reports.Lines.end() - 6, reports.Lines.end());
    const std::vector<ReportLine> expected = {{1, "    read sector 00/01 (address: 0x00000000)"},
                                              {1, "    read sector 00/01 (address: 0x00000000) OK"},
                                              {1, "    erase sector 00/01 "},
                                              {1, "    erase sector 00/01 OK"},
                                              {1, "    write sector 00/01 (address: 0x00000000)"},
                                              {1, "    write sector 00/01 (address: 0x00000000) OK"}};
    EXPECT_EQ(tail, expected);
}

TEST_F(FlashProgram, SectorTextsShowFlashOffsets)
{
    Start({0x4000, 0x2000, 0x2000, 0x8000});
    EXPECT_EQ(m_Prog.GetFlashSize(), 0x10000u);
    CReportRecorder reports;
    std::vector<uint8_t> buffer(0x2000);
    ASSERT_EQ(m_Prog.ReadSector(2, 4, buffer.data()), 0u);
    EXPECT_EQ(reports.Lines.back(), (ReportLine{1, "    read sector 02/04 (address: 0x00006000) OK"}));
    EXPECT_EQ(m_Prog.ReadSector(4, 4, buffer.data()), KZM_E_FAIL);
}

TEST_F(FlashProgram, ScanFindsTheFirstRecordOnTheFlash)
{
    struct Case {
        const char* Name;
        uint32_t MarkerAt; // flash offset of "$FW-INFO$"; 0: none
        bool Found;
        uint32_t SectorsRead;
    };
    const Case cases[] = {
        {"record at flash offset 0", 50, true, 1},
        {"marker too close to the start", 49, false, 4},
        {"record across sectors 1 and 2", 0x2000 * 2 + 20, true, 3},
        {"no marker", 0, false, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        Start(std::vector<uint32_t>(4, 0x2000));
        const std::vector<uint8_t> record = FwInfoBytes("FLASHED", 0, 0x1234);
        if (c.MarkerAt >= 50)
            kazsim::Bench::SetFlash(0, c.MarkerAt - 50, record);
        else if (c.MarkerAt != 0)
            kazsim::Bench::SetFlash(0, c.MarkerAt, std::vector<uint8_t>(record.begin() + 50, record.end()));
        FW_INFO info{};
        info.Address = 0xCAFE;
        EXPECT_EQ(m_Prog.ScanFwInfo(&info), 0u);
        EXPECT_EQ(info.Address, c.Found ? 0x1234u : 0xCAFEu);
        EXPECT_EQ(std::string(info.Name), c.Found ? "FLASHED" : "");
        EXPECT_EQ(Calls("Fld.ReadSector"), c.SectorsRead);
    }
}

TEST_F(FlashProgram, OpenAndCloseKeepTheObjectsReferences)
{
    CReportRecorder reports;
    EXPECT_EQ(m_Prog.Open(nullptr), KZM_E_FAIL);
    EXPECT_EQ(reports.Lines.back(), (ReportLine{3, "    CFlashProg::Open"}));
    IKazFlashLoader* failing = BenchFld({0x2000});
    kazsim::Faults::Fail("Fld.Execute", FAULT);
    EXPECT_EQ(m_Prog.Open(failing), FAULT);
    kazsim::Faults::Clear();
    EXPECT_EQ(m_Prog.EraseSector(0, 1), KZM_E_FAIL);
    IKazFlashLoader* fld = BenchFld(std::vector<uint32_t>(8, 0x2000));
    kazsim::Faults::Fail("Fld.GetSectorInfo", FAULT, 4);
    EXPECT_EQ(m_Prog.Open(fld), KZM_E_FLASH_NOT_STARTED);
    EXPECT_EQ(m_Prog.GetFlashSize(), 0u);
    kazsim::Faults::Clear();
    EXPECT_EQ(m_Prog.Close(), 0u);
    EXPECT_EQ(m_Prog.Close(), 0u);
    EXPECT_EQ(kazsim::Accounting().Flds.References, 0u);
}
