// Program and verify: placement of the image on the flash, read-modify-write
// of the covering sectors, the comparison, and every failure code.
#include "FlashTestSupport.h"

#include <gtest/gtest.h>

#include <numeric>

using namespace flashtest;

namespace {

constexpr KZRESULT DEVICE_CODE = 0x8007001F;

std::vector<uint8_t> Pattern(size_t size, uint8_t seed)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 7));
    return bytes;
}

// A flash filled with a pattern, so that kept bytes can be told from erased.
struct Bench {
    CReportRecorder Reports;
    CTempDir Dir;
    CFakeFlashLoader Loader;
    CTestFlashProg Prog;
    std::vector<uint8_t> Before;

    explicit Bench(std::vector<uint32_t> sectors, uint32_t base = 0) : Loader(std::move(sectors), base)
    {
        Loader.Flash() = Pattern(Loader.Flash().size(), 0x31);
        Before = Loader.Flash();
        EXPECT_EQ(Prog.Open(&Loader), 0u);
        Loader.ClearCalls();
        Reports.Clear();
    }
    std::string File(const std::string& text) { return Dir.Write("image.hex", text); }
    KZRESULT Program(const std::string& text) { return Prog.Program(File(text).c_str()); }
    KZRESULT Verify(const std::string& text) { return Prog.Verify(File(text).c_str()); }
    // The flash as it must be: the old content with bytes laid over it.
    std::vector<uint8_t> With(uint32_t offset, const std::vector<uint8_t>& bytes) const
    {
        std::vector<uint8_t> flash = Before;
        std::copy(bytes.begin(), bytes.end(), flash.begin() + offset);
        return flash;
    }
    std::vector<std::string> SectorCalls() const
    {
        std::vector<std::string> names;
        for (const std::string& name : Loader.CallNames())
            if (name.find("Sector ") != std::string::npos)
                names.push_back(name);
        return names;
    }
};

std::string ImageWithFwInfo(uint32_t address, size_t size, const std::vector<uint8_t>& record, uint32_t recordAt,
                            std::vector<uint8_t>* bytesOut)
{
    std::vector<uint8_t> bytes = Pattern(size, 0x77);
    std::copy(record.begin(), record.end(), bytes.begin() + recordAt);
    if (bytesOut != nullptr)
        *bytesOut = bytes;
    return HexImage(address, bytes);
}

} // namespace

// --- Placement -------------------------------------------------------------

TEST(Placement, ImageFromZeroCoversWholeSectorsAndKeepsTheRest)
{
    Bench bench(std::vector<uint32_t>(8, 0x2000));
    const std::vector<uint8_t> image = Pattern(0x2100, 0x05);
    ASSERT_EQ(bench.Program(HexImage(0, image)), 0u);
    EXPECT_EQ(bench.Prog.FirstSector(), 0);
    EXPECT_EQ(bench.Prog.EndSector(), 2);
    // Bytes 0x2100 to 0x3FFF of sector 1 and every other sector keep theirs.
    EXPECT_EQ(bench.Loader.Flash(), bench.With(0, image));
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "ReadSector 1", "EraseSector 0",
                                                              "EraseSector 1", "WriteSector 0", "WriteSector 1"}));
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());
    EXPECT_TRUE(bench.Prog.HasImage()); // kept until the next load or Close
    EXPECT_EQ(bench.Prog.Verify(bench.Dir.Write("again.hex", HexImage(0, image)).c_str()), 0u);
}

TEST(Placement, WithoutRecordTheImageStartsAtTheFlashStart)
{
    // [0x2100, 0x2200) without record: placed from offset 0 with length
    // 0x100, so sector 0 is rewritten unchanged and the block is dropped.
    Bench bench(std::vector<uint32_t>(8, 0x2000));
    ASSERT_EQ(bench.Program(HexImage(0x2100, Pattern(0x100, 1))), 0u);
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "EraseSector 0", "WriteSector 0"}));
    EXPECT_EQ(bench.Loader.Flash(), bench.Before);
}

TEST(Placement, FlashRecordWithBaseAddress)
{
    Bench bench(std::vector<uint32_t>(4, 0x4000), 0x08000000);
    std::vector<uint8_t> bytes;
    const std::string text =
        ImageWithFwInfo(0x08004000, 0x2000, FwInfoBytes("APP", 0, 0x08004000, "BOARD"), 0x100, &bytes);
    ASSERT_EQ(bench.Program(text), 0u);
    EXPECT_TRUE(bench.Prog.UseBase());
    EXPECT_EQ(bench.Prog.StartOffset(), 0x4000u);
    EXPECT_EQ(bench.Prog.Base(), 0x08000000u);
    EXPECT_EQ(bench.Prog.FirstSector(), 1);
    EXPECT_EQ(bench.Prog.EndSector(), 2);
    EXPECT_EQ(bench.Prog.FirstOffset(), 0u);
    EXPECT_EQ(bench.Loader.Flash(), bench.With(0x4000, bytes));
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 1", "EraseSector 1", "WriteSector 1"}));
}

TEST(Placement, FlashAtZeroWithRecordAddressUsesAbsoluteAddresses)
{
    // The image holds absolute addresses from its record's Address on.
    Bench bench(std::vector<uint32_t>(4, 0x4000));
    std::vector<uint8_t> bytes;
    const std::string text = ImageWithFwInfo(0x6000, 0x3000, FwInfoBytes("APP", 1, 0x6000, "BOARD"), 0x80, &bytes);
    ASSERT_EQ(bench.Program(text), 0u);
    EXPECT_EQ(bench.Prog.FirstSector(), 1);
    EXPECT_EQ(bench.Prog.EndSector(), 3);
    EXPECT_EQ(bench.Prog.FirstOffset(), 0x2000u);
    EXPECT_EQ(bench.Loader.Flash(), bench.With(0x6000, bytes));
    EXPECT_EQ(bench.Verify(text), 0u);
}

TEST(Placement, BootOrRamRecordWithBaseIsPlacedByFlashOffsets)
{
    // With a base, only plain FLASH firmware is placed by its Address; a
    // BOOT record leaves image addresses as flash offsets.
    Bench bench(std::vector<uint32_t>(4, 0x1000), 0x08000000);
    std::vector<uint8_t> bytes;
    const std::string text = ImageWithFwInfo(0x0800, 0x1000, FwInfoBytes("BOOT", 0x80, 0x08000000, "B"), 0x40, &bytes);
    ASSERT_EQ(bench.Program(text), 0u);
    EXPECT_FALSE(bench.Prog.UseBase());
    // Offset 0, length 0x1000: sector 0 only; the block at 0x800 lands at
    // 0x800 and is cut at the range's end.
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "EraseSector 0", "WriteSector 0"}));
    EXPECT_EQ(bench.Loader.Flash(), bench.With(0x800, std::vector<uint8_t>(bytes.begin(), bytes.begin() + 0x800)));
}

TEST(Placement, SectorsOf64KiBAndMore)
{
    // Offsets inside a sector above 0xFFFF: start 0x14000 into sector 1.
    Bench bench({0x10000, 0x20000, 0x20000, 0x40000});
    const std::vector<uint8_t> image = Pattern(0x10000, 0x44);
    // Placed by a record at the image's first byte.
    std::vector<uint8_t> withRecord = image;
    const std::vector<uint8_t> record = FwInfoBytes("BIG", 0, 0x24000, "BOARD");
    std::copy(record.begin(), record.end(), withRecord.begin() + 0x9000);
    ASSERT_EQ(bench.Program(HexImage(0x24000, withRecord)), 0u);
    EXPECT_EQ(bench.Prog.FirstSector(), 1);
    EXPECT_EQ(bench.Prog.FirstOffset(), 0x14000u);
    EXPECT_EQ(bench.Prog.EndSector(), 3);
    EXPECT_EQ(bench.Prog.RangeSize(), 0x40000u);
    EXPECT_EQ(bench.Loader.Flash(), bench.With(0x24000, withRecord));
}

TEST(Placement, SetRangeWalk)
{
    CFakeFlashLoader loader({0x100, 0x200, 0x100});
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    // End on a sector's first byte: that sector is not in the range.
    EXPECT_EQ(prog.SetRange(0, 0x80, 0x80, 0), 0u);
    EXPECT_EQ(prog.FirstSector(), 0);
    EXPECT_EQ(prog.FirstOffset(), 0x80u);
    EXPECT_EQ(prog.EndSector(), 1);
    EXPECT_EQ(prog.SetRange(0, 0x100, 0x201, 0), 0u);
    EXPECT_EQ(prog.FirstSector(), 1);
    EXPECT_EQ(prog.EndSector(), 3);
    // An end at the flash's end gives the sector count.
    EXPECT_EQ(prog.SetRange(0, 0x350, 0xB0, 0), 0u);
    EXPECT_EQ(prog.FirstSector(), 2);
    EXPECT_EQ(prog.FirstOffset(), 0x50u);
    EXPECT_EQ(prog.EndSector(), 3);
    // Past the end, also when start + length wraps around 32 bits.
    EXPECT_EQ(prog.SetRange(0, 0x350, 0xB1, 0), KZM_E_BEYOND_FLASH);
    EXPECT_EQ(prog.SetRange(1, 0xFFFFFF00, 0x200, 0), KZM_E_BEYOND_FLASH);
    EXPECT_EQ(prog.FirstSector(), 2); // left as it was
}

// --- Verify ------------------------------------------------------------------

TEST(VerifyImage, EqualDifferentInsideAndOutsideTheImage)
{
    Bench bench({0x1000, 0x1000, 0x1000});
    const std::vector<uint8_t> image = Pattern(0x1800, 0x10);
    const std::string text = HexImage(0, image);
    ASSERT_EQ(bench.Program(text), 0u);
    bench.Loader.ClearCalls();
    bench.Reports.Clear();
    EXPECT_EQ(bench.Verify(text), 0u);
    // Verify reads the range only, and reports nothing beyond the file and
    // the sector reads.
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "ReadSector 1"}));
    for (const ReportLine& line : bench.Reports.Lines())
        EXPECT_TRUE(line.Text.find("read sector") != std::string::npos || line.Text.find("Scan file") != std::string::npos ||
                    line.Text.find("firmware") != std::string::npos || line.Kind == REPORT_NEWLINE)
            << line;
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());

    // Inside the image.
    bench.Loader.Flash()[0x17FF] ^= 0x01;
    EXPECT_EQ(bench.Verify(text), KZM_E_VERIFY);
    bench.Loader.Flash()[0x17FF] ^= 0x01;
    // Outside the image but inside the range: still equal.
    bench.Loader.Flash()[0x1800] ^= 0x01;
    EXPECT_EQ(bench.Verify(text), 0u);
    // Outside the range altogether.
    bench.Loader.Flash()[0x2000] ^= 0x01;
    EXPECT_EQ(bench.Verify(text), 0u);
}

TEST(VerifyImage, FailuresBeforeTheComparison)
{
    Bench bench({0x1000, 0x1000});
    EXPECT_EQ(bench.Prog.Verify((bench.Dir.Path() / "missing.hex").string().c_str()), KZM_E_FAIL);
    EXPECT_EQ(bench.Verify(HexImage(0, Pattern(0x2001, 0))), KZM_E_BEYOND_FLASH);
    bench.Loader.FailRead(1, DEVICE_CODE);
    EXPECT_EQ(bench.Verify(HexImage(0, Pattern(0x1001, 0))), KZM_E_READ_RANGE);
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());
}

// --- Failure codes of Program -------------------------------------------------

TEST(ProgramFailures, FileThatCannotBeLoadedTouchesNoSector)
{
    Bench bench({0x1000});
    EXPECT_EQ(bench.Prog.Program((bench.Dir.Path() / "missing.hex").string().c_str()), KZM_E_FAIL);
    EXPECT_EQ(bench.Reports.Lines(), (std::vector<ReportLine>{{REPORT_NEWLINE, "\r\n"}, {REPORT_MESSAGE, "Scan file ..."}}));
    EXPECT_FALSE(bench.Prog.HasImage());
    EXPECT_EQ(bench.Program("no records here\n"), KZM_E_FAIL);
    EXPECT_EQ(bench.Prog.Program(bench.Dir.Path().string().c_str()), KZM_E_FAIL);
    // A null name leaves an empty image, refused by the placement.
    bench.Reports.Clear();
    EXPECT_EQ(bench.Prog.Program(nullptr), KZM_E_FAIL);
    EXPECT_TRUE(bench.Reports.Lines().empty());
    EXPECT_TRUE(bench.Prog.HasImage());
    EXPECT_TRUE(bench.SectorCalls().empty());
    EXPECT_EQ(bench.Loader.Flash(), bench.Before);
}

TEST(ProgramFailures, ImageBeyondTheFlash)
{
    Bench bench({0x1000, 0x1000});
    EXPECT_EQ(bench.Program(HexImage(0, Pattern(0x2001, 0))), KZM_E_BEYOND_FLASH);
    // By record address and by base address.
    EXPECT_EQ(bench.Program(ImageWithFwInfo(0x1800, 0x900, FwInfoBytes("X", 0, 0x1800, "B"), 0, nullptr)),
              KZM_E_BEYOND_FLASH);
    EXPECT_TRUE(bench.SectorCalls().empty());
    EXPECT_EQ(bench.Loader.Flash(), bench.Before);

    Bench based({0x1000, 0x1000}, 0x10000000);
    // Address below the base: the start offset wraps around and is refused.
    EXPECT_EQ(based.Program(ImageWithFwInfo(0x0FFFF000, 0x100, FwInfoBytes("X", 0, 0x0FFFF000, "B"), 0, nullptr)),
              KZM_E_BEYOND_FLASH);
    EXPECT_TRUE(based.SectorCalls().empty());
}

TEST(ProgramFailures, NoPlacementWithoutTheSectorLayout)
{
    CReportRecorder reports;
    CTempDir dir;
    // Sector sizes never read: an image without record cannot be placed.
    CFakeFlashLoader loader({0x1000, 0x1000});
    CFakeFlashLoader second({0x1000, 0x1000});
    loader.FailSectorInfo(0, DEVICE_CODE);
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), KZM_E_FLASH_NOT_STARTED);
    loader.ClearCalls();
    EXPECT_EQ(prog.Program(dir.Write("a.hex", HexImage(0, Pattern(0x10, 0))).c_str()), KZM_E_FAIL);
    EXPECT_TRUE(loader.Calls().empty());

    // Closed after a good open: the size is kept, the layout no longer
    // known, so a placed range's end lies in no sector.
    ASSERT_EQ(prog.Open(&second), 0u);
    prog.Close();
    second.ClearCalls();
    const std::string text = ImageWithFwInfo(0x800, 0x100, FwInfoBytes("X", 0, 0x800, "B"), 0, nullptr);
    EXPECT_EQ(prog.Program(dir.Write("b.hex", text).c_str()), KZM_E_RANGE_END);
    EXPECT_TRUE(prog.RangeValid());
    EXPECT_TRUE(second.Calls().empty());
}

TEST(ProgramFailures, RangeStepsOutOfOrder)
{
    CFakeFlashLoader loader({0x100, 0x100});
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    EXPECT_EQ(prog.AllocRange(), KZM_E_ALLOC_RANGE);
    EXPECT_EQ(prog.ReadRange(), KZM_E_READ_RANGE);
    EXPECT_EQ(prog.WriteRange(), KZM_E_WRITE_RANGE);
    // A range without sectors: start and end in the same sector's first byte.
    ASSERT_EQ(prog.SetRange(0, 0x100, 0, 0), 0u);
    EXPECT_EQ(prog.FirstSector(), 1);
    EXPECT_EQ(prog.EndSector(), 1);
    EXPECT_EQ(prog.AllocRange(), KZM_E_ALLOC_RANGE);
    EXPECT_EQ(prog.ReadRange(), KZM_E_READ_RANGE);
    EXPECT_EQ(prog.WriteRange(), KZM_E_WRITE_RANGE);
    // Copying into no buffer does nothing.
    const uint8_t bytes[4] = {1, 2, 3, 4};
    prog.CopyToRange(0, 4, bytes);
    EXPECT_EQ(prog.RangeBuffer(), nullptr);
    // Copies are cut at the range's end.
    ASSERT_EQ(prog.SetRange(0, 0, 0x80, 0), 0u);
    ASSERT_EQ(prog.AllocRange(), 0u);
    ASSERT_EQ(prog.ReadRange(), 0u);
    prog.CopyToRange(0xFE, 4, bytes);
    EXPECT_EQ(prog.RangeBuffer()[0xFE], 1);
    EXPECT_EQ(prog.RangeBuffer()[0xFF], 2);
    prog.CopyToRange(0x100, 4, bytes);
    prog.CopyToRange(0xFFFFFFFF, 4, bytes);
}

TEST(ProgramFailures, ReadFailureOfTheLastSectorErasesNothing)
{
    Bench bench({0x1000, 0x1000, 0x1000});
    bench.Loader.FailRead(2, DEVICE_CODE);
    EXPECT_EQ(bench.Program(HexImage(0, Pattern(0x2800, 0))), KZM_E_READ_RANGE);
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "ReadSector 1", "ReadSector 2"}));
    EXPECT_EQ(bench.Loader.Flash(), bench.Before);
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());
}

TEST(ProgramFailures, EraseFailureOnTheSecondSectorWritesNothing)
{
    Bench bench({0x1000, 0x1000, 0x1000});
    bench.Loader.FailErase(1, DEVICE_CODE);
    EXPECT_EQ(bench.Program(HexImage(0, Pattern(0x2800, 0))), DEVICE_CODE);
    EXPECT_EQ(bench.SectorCalls(), (std::vector<std::string>{"ReadSector 0", "ReadSector 1", "ReadSector 2",
                                                              "EraseSector 0", "EraseSector 1"}));
    // Sector 0 stays erased; the rest as before.
    std::vector<uint8_t> expected = bench.Before;
    std::fill(expected.begin(), expected.begin() + 0x1000, 0xFF);
    EXPECT_EQ(bench.Loader.Flash(), expected);
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());
}

TEST(ProgramFailures, WriteFailureGivesTheRangeCode)
{
    Bench bench({0x1000, 0x1000});
    bench.Loader.FailWrite(1, DEVICE_CODE);
    EXPECT_EQ(bench.Program(HexImage(0, Pattern(0x1800, 0))), KZM_E_WRITE_RANGE);
    EXPECT_EQ(bench.SectorCalls().back(), "WriteSector 1");
    EXPECT_EQ(bench.Reports.Lines().back(), (ReportLine{REPORT_NEWLINE, "\r\n"}));
    EXPECT_FALSE(bench.Prog.HasRangeBuffers());
}

// --- The report lines of one Program -----------------------------------------

TEST(ProgramReports, OneSectorFlashWithoutRecord)
{
    Bench bench({0x400});
    ASSERT_EQ(bench.Program(HexImage(0, Pattern(0x100, 3))), 0u);
    EXPECT_EQ(bench.Reports.Lines(),
              (std::vector<ReportLine>{{REPORT_NEWLINE, "\r\n"},
                                       {REPORT_MESSAGE, "Scan file ..."},
                                       {REPORT_MESSAGE, "    No firmware informations in the hexfile"},
                                       {REPORT_PROGRESS, "    read sector 00/01 (address: 0x00000000)"},
                                       {REPORT_PROGRESS, "    read sector 00/01 (address: 0x00000000) OK"},
                                       {REPORT_PROGRESS, "    erase sector 00/01 "},
                                       {REPORT_PROGRESS, "    erase sector 00/01 OK"},
                                       {REPORT_PROGRESS, "    write sector 00/01 (address: 0x00000000)"},
                                       {REPORT_PROGRESS, "    write sector 00/01 (address: 0x00000000) OK"}}));
}

TEST(ProgramReports, TwoSectorsWithRecord)
{
    Bench bench({0x1000, 0x1000, 0x1000}, 0x20000000);
    const std::string text =
        ImageWithFwInfo(0x20001000, 0x1100, FwInfoBytes("KZFW", 0x80, 0x20001000, "eMB-K 740 rev", true), 0x200, nullptr);
    ASSERT_EQ(bench.Program(text), 0u);
    // A BOOT record with a base: placed from offset 0 by flash offsets.
    EXPECT_EQ(bench.Reports.Lines(),
              (std::vector<ReportLine>{
                  {REPORT_NEWLINE, "\r\n"},
                  {REPORT_MESSAGE, "Scan file ..."},
                  {REPORT_MESSAGE, "    Firmware informations ( in the hexfile) ..."},
                  {REPORT_MESSAGE, "        KZFW\tV01.02.03.04 \tFLASH (BOOT) \t< eMB-K 740 rev V09.08.07.06 >"},
                  {REPORT_PROGRESS, "    read sector 00/02 (address: 0x00000000)"},
                  {REPORT_PROGRESS, "    read sector 00/02 (address: 0x00000000) OK"},
                  {REPORT_PROGRESS, "    read sector 01/02 (address: 0x00001000)"},
                  {REPORT_PROGRESS, "    read sector 01/02 (address: 0x00001000) OK"},
                  {REPORT_PROGRESS, "    erase sector 00/02 "},
                  {REPORT_PROGRESS, "    erase sector 00/02 OK"},
                  {REPORT_PROGRESS, "    erase sector 01/02 "},
                  {REPORT_PROGRESS, "    erase sector 01/02 OK"},
                  {REPORT_PROGRESS, "    write sector 00/02 (address: 0x00000000)"},
                  {REPORT_PROGRESS, "    write sector 00/02 (address: 0x00000000) OK"},
                  {REPORT_PROGRESS, "    write sector 01/02 (address: 0x00001000)"},
                  {REPORT_PROGRESS, "    write sector 01/02 (address: 0x00001000) OK"}}));
}
