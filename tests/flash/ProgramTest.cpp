// Placement, program and verify, and the firmware-information scan, on the
// bench's flash with its fault injection.
#include "FlashSupport.h"

#include "flash/FlashPlacement.h"

#include <algorithm>
#include <random>

using namespace flashtest;

namespace {

constexpr uint32_t FAULT = 0xE0AA0001;

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
    constexpr uint32_t B = 0x08000000, L = 0x30000, BEYOND = KZM_E_BEYOND_FLASH;
    const std::vector<Case> cases = {
        {"no record, from 0, into sector 1", eight, 0, true, {false, 0, 0, 0, 0x2100}, 0, 0, 2, 0, 0, 0},
        {"no record, not from 0", eight, 0, true, {false, 0, 0, 0x2100, 0x2200}, 0, 0, 1, 0, 0, 0x2100},
        {"FLASH record, base", four, B, true, {true, B + 0x4000, 0, B + 0x4000, B + 0x6000}, 0, 1, 2, 0, 0x4000, 0},
        {"record, no base", eight, 0, true, {true, 0x2100, 1, 0x2100, 0x2200}, 0, 1, 2, 0x100, 0x2100, 0x100},
        {"BOOT record, base: offsets", four, B, true, {true, B + 0x4000, 0x80, 0, 0x100}, 0, 0, 1, 0, 0, 0},
        {"ends at the flash's end", four, 0, true, {false, 0, 0, 0, 0x10000}, 0, 0, 4, 0, 0, 0},
        {"one byte past the flash", four, 0, true, {false, 0, 0, 0, 0x10001}, BEYOND, 9, 9, 0, 0, 0},
        {"sectors not read", four, 0, false, {false, 0, 0, 0, 0x100}, KZM_E_FAIL, 9, 9, 0, 0, 0},
        {"large sectors", {0x20000, 0x20000}, 0, true, {true, L, 0, L, L + 16}, 0, 1, 2, 0x10000, L, 0x10000},
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

namespace {

struct Range {
    KZMRESULT Result;
    uint32_t Start;              // flash offset of the range's first sector
    std::vector<uint8_t> Merged; // the range as written back
    std::vector<bool> Covered;   // range bytes the image sets
};

// Program read literally: the image placed by its record (absolute addresses
// also with the flash at 0, the library's choice) or from flash offset 0, the
// sector walk, the range read whole, the blocks laid over it in list order
// with what falls past its end dropped.
Range LiteralProgram(const std::vector<uint32_t>& sectors, uint32_t base, const std::vector<uint8_t>& flash,
                     const std::vector<Block>& blocks, const FW_INFO* record)
{
    uint32_t lowest = 0xFFFFFFFF, highest = 0;
    for (const Block& b : blocks)
        lowest = std::min(lowest, b.Start), highest = std::max(highest, b.End);
    const uint32_t address = record ? record->Address : 0, kind = record ? record->Kind & 0xFF : 0xFF;
    const uint32_t length = highest - lowest;
    uint32_t useBase = 0, start = 0, rangeBase = 0;
    if (base != 0 && kind == 0)
        useBase = 1, start = address - base, rangeBase = base;
    else if (base == 0 && address != 0)
        useBase = 1, start = address;
    uint64_t flashSize = 0;
    for (uint32_t size : sectors)
        flashSize += size;
    const uint64_t end = uint64_t{start} + length;
    if (end > flashSize)
        return {KZM_E_BEYOND_FLASH, 0, {}, {}};
    // The walk: one more single-byte span at the flash's end.
    uint32_t first = 0, last = 0, firstOffset = 0;
    bool firstFound = false, endFound = false;
    uint64_t lo = 0;
    for (uint32_t i = 0; i <= sectors.size(); ++i) {
        const uint64_t size = i < sectors.size() ? sectors[i] : 1;
        if (!firstFound && start >= lo && start < lo + size)
            first = i, firstOffset = static_cast<uint32_t>(start - lo), firstFound = true;
        if (!endFound && end >= lo && end < lo + size)
            last = end > lo ? i + 1 : i, endFound = true;
        lo += size;
    }
    if (!endFound)
        return {KZM_E_RANGE_END, 0, {}, {}};
    Range range{0, 0, {}, {}};
    for (uint32_t i = 0; i < first; ++i)
        range.Start += sectors[i];
    uint32_t rangeSize = 0;
    for (uint32_t i = first; i < last; ++i)
        rangeSize += sectors[i];
    range.Merged.assign(flash.begin() + range.Start, flash.begin() + range.Start + rangeSize);
    range.Covered.assign(rangeSize, false);
    for (const Block& b : blocks) {
        const uint32_t at = useBase ? firstOffset + b.Start - rangeBase - start : firstOffset + b.Start;
        for (uint32_t i = 0; i < b.Bytes.size() && uint64_t{at} + i < rangeSize; ++i)
            range.Merged[at + i] = b.Bytes[i], range.Covered[at + i] = true;
    }
    return range;
}

} // namespace

// Random layouts of up to 32 mixed sectors, with and without base, images
// with FLASH, BOOT or RAM records or none, of blocks in shuffled order with
// gaps, across sector borders, some up to the flash's end: the flash after
// Program equals the literal model byte for byte, and Verify notices the
// image's highest byte but not a byte of a gap.
TEST_F(FlashProgram, ProgramAndVerifyMatchTheLiteralRulesOnRandomLayouts)
{
    std::mt19937 rng(23);
    const uint32_t sizes[] = {0x80, 0x100, 0x180, 0x400, 0x800, 0x2000};
    const uint32_t bases[] = {0, 0x08000000, 0x00400000};
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        std::vector<uint32_t> sectors(1 + rng() % 32);
        uint32_t flashSize = 0;
        for (uint32_t& size : sectors)
            flashSize += size = sizes[rng() % std::size(sizes)];
        const uint32_t base = bases[rng() % 3], pick = rng() % 4; // no record, FLASH, BOOT, RAM
        const bool withRecord = pick != 0;
        // Where the image lies on the flash: placed by a FLASH record on a
        // flash with a base or by any record's address on a flash at 0, else
        // from flash offset 0 (and then mostly starting there).
        const bool byRecord = withRecord && (base == 0 || pick == 1);
        const uint32_t room = std::min<uint32_t>(flashSize, 0x4000);
        uint32_t length = std::max<uint32_t>(withRecord ? 0x80 : 1, 1 + rng() % room);
        uint32_t at = byRecord || rng() % 6 == 0 ? rng() % (flashSize - length + 1) : 0;
        if (rng() % 4 == 0 && byRecord) // up to the flash's end
            at = flashSize - length;
        else if (rng() % 4 == 0 && at == 0)
            length = flashSize;
        const uint32_t origin = byRecord && base != 0 ? base : 0; // address of flash offset 0
        std::vector<Block> blocks;
        for (uint32_t pos = at; pos < at + length; pos += 1 + rng() % 0x40) { // gaps between blocks
            const uint32_t n =
                std::min(at + length - pos, std::max<uint32_t>(blocks.empty() ? 0x80 : 1, 1 + rng() % 0x300));
            blocks.push_back({origin + pos, origin + pos + n, std::vector<uint8_t>(n)});
            pos += n;
        }
        while (blocks.back().End < origin + at + length) // the last block ends the image
            blocks.back().Bytes.push_back(0), ++blocks.back().End;
        for (Block& b : blocks)
            for (uint8_t& byte : b.Bytes)
                byte = static_cast<uint8_t>(rng());
        FW_INFO record{};
        if (withRecord) {
            const uint32_t kinds[] = {0, 0, 0x80, 1};
            const std::vector<uint8_t> bytes = FwInfoBytes("RANDOM", kinds[pick], origin + at);
            std::copy(bytes.begin(), bytes.end(), blocks[0].Bytes.begin() + 60);
            std::memcpy(&record, bytes.data(), sizeof(record));
        }
        std::shuffle(blocks.begin(), blocks.end(), rng);
        std::string text;
        for (const Block& b : blocks) {
            const std::string hex = HexImage(b.Start, b.Bytes);
            text += hex.substr(0, hex.size() - std::strlen(HEX_END));
        }
        text += HEX_END;

        Start(sectors, base);
        std::vector<uint8_t> old(flashSize);
        for (uint8_t& byte : old)
            byte = static_cast<uint8_t>(rng());
        kazsim::Bench::SetFlash(0, 0, old);
        const Range range = LiteralProgram(sectors, base, old, blocks, withRecord ? &record : nullptr);
        ASSERT_EQ(Program(text), range.Result);
        std::vector<uint8_t> expected = old;
        std::copy(range.Merged.begin(), range.Merged.end(), expected.begin() + range.Start);
        ASSERT_EQ(Flash(), expected);
        ASSERT_EQ(Verify(text), 0u);
        std::vector<uint32_t> gaps;
        for (uint32_t i = 0; i < range.Covered.size(); ++i)
            if (!range.Covered[i])
                gaps.push_back(range.Start + i);
        // The image's highest byte in the range (an image without a record
        // placed away from offset 0 may have none there).
        const auto top = std::find(range.Covered.rbegin(), range.Covered.rend(), true);
        if (top != range.Covered.rend()) {
            const uint32_t highest = range.Start + static_cast<uint32_t>(range.Covered.rend() - top - 1);
            EXPECT_TRUE(!byRecord || highest == at + length - 1);
            kazsim::Bench::SetFlash(0, highest, {static_cast<uint8_t>(~expected[highest])});
            EXPECT_EQ(Verify(text), KZM_E_VERIFY);
            kazsim::Bench::SetFlash(0, highest, {expected[highest]});
        }
        if (!gaps.empty()) {
            const uint32_t gap = gaps[rng() % gaps.size()];
            kazsim::Bench::SetFlash(0, gap, {static_cast<uint8_t>(~expected[gap])});
            EXPECT_EQ(Verify(text), 0u);
        }
    }
}

// Without a sector layout read in full, nothing is placed and no sector is
// touched: a failed sector query leaves a flash size of 0 whatever sizes an
// earlier flash left in the table, and after a close the sizes are unknown.
TEST_F(FlashProgram, NoSectorIsTouchedWithoutAValidLayout)
{
    for (bool earlier : {false, true}) {
        if (earlier)
            Start(std::vector<uint32_t>(8, 0x2000));
        IKazFlashLoader* fld = BenchFld(std::vector<uint32_t>(8, 0x2000));
        kazsim::Faults::Fail("Fld.GetSectorInfo", FAULT, 4);
        ASSERT_EQ(m_Prog.Open(fld), KZM_E_FLASH_NOT_STARTED);
        kazsim::ClearCallLog();
        EXPECT_EQ(Program(HexImage(0, Pattern(0x100, 1))), KZM_E_BEYOND_FLASH) << earlier;
        EXPECT_EQ(CountCalls("Fld.ReadSector") + CountCalls("Fld.EraseSector") + CountCalls("Fld.WriteSector"), 0u)
            << earlier;
        kazsim::Faults::Clear();
    }
    Start(std::vector<uint32_t>(4, 0x4000), 0x08000000);
    EXPECT_EQ(m_Prog.Close(), 0u);
    std::vector<uint8_t> image = Pattern(0x100, 2);
    const std::vector<uint8_t> record = FwInfoBytes("FLASHED", 0, 0x08004000);
    std::copy(record.begin(), record.end(), image.begin() + 64);
    EXPECT_EQ(Program(HexImage(0x08004000, image)), KZM_E_RANGE_END) << "placed by its record";
    EXPECT_EQ(Program(HexImage(0, Pattern(0x100, 2))), KZM_E_FAIL) << "no record: no place";
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
    EXPECT_EQ(CountCalls("Fld.ReadSector"), 0u);
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
        EXPECT_EQ(CountCalls("Fld.ReadSector"), c.SectorsRead);
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
