// The firmware-information record: found in the flash across sector borders,
// found in an image (the last block in list order decides), converted for the
// big-endian model, and listed.
#include "ImageTestSupport.h"
#include "flash/FwInfo.h"

#include <gtest/gtest.h>

using namespace flashtest;

namespace {

constexpr KZRESULT DEVICE_CODE = 0x8007001F;

void Put(std::vector<uint8_t>& flash, size_t at, const std::vector<uint8_t>& bytes)
{
    std::copy(bytes.begin(), bytes.end(), flash.begin() + static_cast<long>(at));
}

std::string NameOf(const FW_INFO& info)
{
    return std::string(info.Name, strnlen(info.Name, sizeof(info.Name)));
}

std::vector<std::string> SectorReads(const CFakeFlashLoader& loader)
{
    std::vector<std::string> reads;
    for (const std::string& name : loader.CallNames())
        if (name.rfind("ReadSector", 0) == 0)
            reads.push_back(name);
    return reads;
}

} // namespace

// --- On the flash -------------------------------------------------------------

TEST(FlashFwInfo, RecordAcrossASectorBorder)
{
    CFakeFlashLoader loader(std::vector<uint32_t>(6, 0x100), 0, 0x00);
    const std::vector<uint8_t> record = FwInfoBytes("SPAN", 0, 0x1234, "BOARD");
    // The marker 20 bytes into sector 2: the record's first 30 bytes lie in
    // sector 1.
    Put(loader.Flash(), 0x200 + 20 - 50, record);
    Put(loader.Flash(), 0x400, FwInfoBytes("LATER", 0, 0, "BOARD")); // never reached
    CFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    loader.ClearCalls();
    FW_INFO info{};
    EXPECT_EQ(prog.ScanFwInfo(&info), 0u);
    EXPECT_EQ(std::memcmp(&info, record.data(), 50), 0);
    EXPECT_EQ(SectorReads(loader), (std::vector<std::string>{"ReadSector 0", "ReadSector 1", "ReadSector 2"}));
}

TEST(FlashFwInfo, NoRecordLeavesTheCallersRecord)
{
    CReportRecorder reports;
    CFakeFlashLoader loader(std::vector<uint32_t>(3, 0x100), 0, 0x24); // all '$'
    CFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    loader.ClearCalls();
    reports.Clear();
    FW_INFO info;
    std::memset(&info, 0xA5, sizeof(info));
    EXPECT_EQ(prog.ScanFwInfo(&info), 0u);
    for (size_t i = 0; i < sizeof(info); ++i)
        ASSERT_EQ(reinterpret_cast<uint8_t*>(&info)[i], 0xA5);
    EXPECT_EQ(SectorReads(loader).size(), 3u);
    // The reads are reported with the sector count as the shown end.
    EXPECT_EQ(reports.Lines().front(), (ReportLine{REPORT_PROGRESS, "    read sector 00/03 (address: 0x00000000)"}));
    EXPECT_EQ(prog.ScanFwInfo(nullptr), 0u);
}

TEST(FlashFwInfo, MarkerInTheFirst50BytesOfTheFlashGivesNothing)
{
    CFakeFlashLoader loader(std::vector<uint32_t>(3, 0x100), 0, 0x00);
    const char* marker = "$FW-INFO$";
    std::copy(marker, marker + 9, loader.Flash().begin() + 49);
    // The marker's nine characters must lie in one sector: this one is cut.
    std::copy(marker, marker + 9, loader.Flash().begin() + 0x1FB);
    const std::vector<uint8_t> record = FwInfoBytes("THIRD", 1, 0, "BOARD");
    Put(loader.Flash(), 0x200 + 0x40 - 50, record);
    CFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    FW_INFO info{};
    EXPECT_EQ(prog.ScanFwInfo(&info), 0u);
    EXPECT_EQ(NameOf(info), "THIRD");
}

TEST(FlashFwInfo, ReadFailuresAreSkippedAndTheirBytesZeroed)
{
    CFakeFlashLoader loader(std::vector<uint32_t>(4, 0x100), 0, 0x11);
    const std::vector<uint8_t> record = FwInfoBytes("AFTER", 0, 0, "BOARD");
    // Marker 10 bytes into sector 2; its record's first 40 bytes are in
    // sector 1, which cannot be read.
    Put(loader.Flash(), 0x200 + 10 - 50, record);
    loader.FailRead(1, DEVICE_CODE);
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    FW_INFO info{};
    ASSERT_EQ(prog.FindFwInfoOnFlash(4, &info), 0u);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&info);
    for (size_t i = 0; i < 40; ++i)
        ASSERT_EQ(bytes[i], 0) << i;
    EXPECT_EQ(std::memcmp(bytes + 40, record.data() + 40, 10), 0);
}

TEST(FlashFwInfo, StatusOfTheLastSectorAndTheLimit)
{
    CFakeFlashLoader loader(std::vector<uint32_t>(3, 0x100), 0, 0x00);
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    FW_INFO info{};
    EXPECT_EQ(prog.FindFwInfoOnFlash(3, &info), CFwInfo::NOT_FOUND);
    loader.FailRead(2, DEVICE_CODE);
    EXPECT_EQ(prog.FindFwInfoOnFlash(3, &info), DEVICE_CODE);
    loader.ClearCalls();
    EXPECT_EQ(prog.FindFwInfoOnFlash(2, &info), CFwInfo::NOT_FOUND);
    EXPECT_EQ(SectorReads(loader).size(), 2u);
    EXPECT_EQ(prog.FindFwInfoOnFlash(0, &info), CFwInfo::NOT_FOUND);
}

TEST(FlashFwInfo, BigEndianModelIsHandedOverUnchanged)
{
    CFakeFlashLoader loader({0x200}, 0, 0x00);
    const std::vector<uint8_t> record = FwInfoBytes("BE", 0, 0x00010000, "eMB-K 740", true);
    Put(loader.Flash(), 0x80, record);
    CFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    FW_INFO info{};
    ASSERT_EQ(prog.ScanFwInfo(&info), 0u);
    EXPECT_EQ(info.Address, 0x00000100u); // bytes 00 01 00 00 as stored
}

// --- In an image ----------------------------------------------------------------

TEST(ImageFwInfo, TheLastBlockInListOrderDecides)
{
    std::vector<uint8_t> high(0x100, 0), low(0x100, 0);
    Put(high, 0x10, FwInfoBytes("FIRST", 0, 0x1000, "BOARD"));
    Put(low, 0x10, FwInfoBytes("SECOND", 0, 0x0000, "BOARD"));
    // The high block comes first in the file, so the low one is later in
    // the list although its address is lower.
    std::string text = HexImage(0x1000, high);
    text.resize(text.size() - std::strlen(HEX_END));
    text += HexImage(0x0000, low);
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    FW_INFO info;
    ASSERT_EQ(image.GetFwInfo(&info), 0u);
    EXPECT_EQ(NameOf(info), "SECOND");
}

TEST(ImageFwInfo, OnlyTheFirstMarkerOfABlockCounts)
{
    // The later block's first marker lies within its first 50 bytes: that
    // block gives no record even though a good one follows in it.
    std::vector<uint8_t> first(0x100, 0), second(0x200, 0);
    Put(first, 0x20, FwInfoBytes("EARLY", 0, 0, "BOARD"));
    const char* marker = "$FW-INFO$";
    std::copy(marker, marker + 9, second.begin() + 10);
    Put(second, 0x100, FwInfoBytes("HIDDEN", 0, 0, "BOARD"));
    std::string text = HexImage(0, first);
    text.resize(text.size() - std::strlen(HEX_END));
    text += HexImage(0x1000, second);
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    FW_INFO info;
    ASSERT_EQ(image.GetFwInfo(&info), 0u);
    EXPECT_EQ(NameOf(info), "EARLY");

    // A marker that is not whole inside its block is none.
    std::vector<uint8_t> cut(0x80, 0);
    Put(cut, 0, FwInfoBytes("CUT", 0, 0, "BOARD"));
    cut.resize(50 + 8);
    const std::string cutText = HexImage(0, cut);
    CImageFile cutImage;
    ASSERT_EQ(cutImage.LoadMemory(cutText.data(), cutText.size()), 0u);
    std::memset(&info, 0xA5, sizeof(info));
    EXPECT_EQ(cutImage.GetFwInfo(&info), KZM_E_FAIL);
    EXPECT_EQ(info.Kind, 0u); // zeroed first
}

TEST(ImageFwInfo, BigEndianModelIsConverted)
{
    std::vector<uint8_t> bytes(0x100, 0);
    Put(bytes, 0x40, FwInfoBytes("BE", 0x81, 0x00010000, "x eMB-K 740", true));
    const std::string text = HexImage(0, bytes);
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    FW_INFO info;
    ASSERT_EQ(image.GetFwInfo(&info), 0u);
    EXPECT_EQ(info.Address, 0x00010000u);
    EXPECT_EQ(info.Kind, 0x81u);
    EXPECT_EQ(info.Reserved12, 0x11223344u);
    EXPECT_EQ(info.Reserved16, 0x55667788u);
    // Other models are little-endian.
    Put(bytes, 0x40, FwInfoBytes("LE", 0x81, 0x00010000, "eMB-K 74"));
    const std::string leText = HexImage(0, bytes);
    CImageFile le;
    ASSERT_EQ(le.LoadMemory(leText.data(), leText.size()), 0u);
    ASSERT_EQ(le.GetFwInfo(&info), 0u);
    EXPECT_EQ(info.Address, 0x00010000u);
    EXPECT_EQ(info.Kind, 0x81u);
}

// --- Listing ------------------------------------------------------------------

TEST(FwInfoListing, KindsAndTexts)
{
    CReportRecorder reports;
    CTestFlashProg prog;
    auto list = [&](const char* name, uint32_t kind, const char* device) {
        const std::vector<uint8_t> bytes = FwInfoBytes(name, kind, 0, device);
        FW_INFO info;
        std::memcpy(&info, bytes.data(), sizeof(info));
        reports.Clear();
        prog.ListFwInfo(info);
        EXPECT_EQ(reports.Lines().size(), 1u);
        EXPECT_EQ(reports.Lines()[0].Kind, REPORT_MESSAGE);
        return reports.Lines()[0].Text;
    };
    EXPECT_EQ(list("APP", 0x80, "BOARD"), "        APP\tV01.02.03.04 \tFLASH (BOOT) \t< BOARD V09.08.07.06 >");
    EXPECT_EQ(list("APP", 1, "BOARD"), "        APP\tV01.02.03.04 \tRAM \t< BOARD V09.08.07.06 >");
    EXPECT_EQ(list("APP", 0x85, "BOARD"), "        APP\tV01.02.03.04 \tUNKNOWN (BOOT) \t< BOARD V09.08.07.06 >");
    // Texts that fill their fields are shown up to their width only.
    EXPECT_EQ(list("0123456789", 0, "ABCDEFGHIJKLMNOP"),
              "        0123456789\tV01.02.03.04 \tFLASH \t< ABCDEFGHIJKLMNOP V09.08.07.06 >");
}

TEST(FwInfoListing, LoadImageReportsTheRecord)
{
    CReportRecorder reports;
    CTempDir dir;
    CTestFlashProg prog;
    std::vector<uint8_t> bytes(0x100, 0);
    Put(bytes, 0x40, FwInfoBytes("NAMED", 1, 0, "BOARD"));
    prog.LoadImage(dir.Write("a.hex", HexImage(0, bytes)).c_str());
    EXPECT_EQ(reports.Lines(),
              (std::vector<ReportLine>{{REPORT_NEWLINE, "\r\n"},
                                       {REPORT_MESSAGE, "Scan file ..."},
                                       {REPORT_MESSAGE, "    Firmware informations ( in the hexfile) ..."},
                                       {REPORT_MESSAGE, "        NAMED\tV01.02.03.04 \tRAM \t< BOARD V09.08.07.06 >"}}));
    // A record whose name begins with NUL: the heading without a listing.
    reports.Clear();
    Put(bytes, 0x40, FwInfoBytes("", 1, 0, "BOARD"));
    prog.LoadImage(dir.Write("b.hex", HexImage(0, bytes)).c_str());
    EXPECT_EQ(reports.Lines(), (std::vector<ReportLine>{{REPORT_NEWLINE, "\r\n"},
                                                       {REPORT_MESSAGE, "Scan file ..."},
                                                       {REPORT_MESSAGE, "    Firmware informations ( in the hexfile) ..."}}));
    EXPECT_TRUE(prog.HasImage());
    // A file that cannot be loaded: two lines, and no image.
    reports.Clear();
    prog.LoadImage((dir.Path() / "missing.hex").string().c_str());
    EXPECT_EQ(reports.Lines().size(), 2u);
    EXPECT_FALSE(prog.HasImage());
}
