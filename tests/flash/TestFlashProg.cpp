// The flash programmer's start, layout and sector operations with their
// reports, on an FLD object of the tests' own.
#include "FlashTestSupport.h"

#include <gtest/gtest.h>

using namespace flashtest;

namespace {

constexpr KZRESULT DEVICE_CODE = 0x8007001F;

std::vector<ReportLine> L(std::initializer_list<ReportLine> lines)
{
    return lines;
}

} // namespace

TEST(FlashOpen, StartsTheLoaderAndReadsTheLayout)
{
    CReportRecorder reports;
    CFakeFlashLoader loader({0x4000, 0x2000, 0x2000, 0x8000});
    CTestFlashProg prog;
    EXPECT_EQ(prog.Open(&loader), 0u);
    EXPECT_TRUE(prog.IsStarted());
    EXPECT_TRUE(prog.SectorsKnown());
    EXPECT_EQ(prog.GetFlashSize(), 0x10000u);
    EXPECT_EQ(reports.Lines(), L({{REPORT_TRACE, "    CFlashProg::Open"},
                                  {REPORT_TRACE, "    pKazObject->Execute"},
                                  {REPORT_TRACE, "        ok "},
                                  {REPORT_TRACE, "    0001, 22f6, 0004, 0010, 00000000"}}));
    EXPECT_EQ(loader.CallNames(), (std::vector<std::string>{"Execute", "GetFlashInfo", "GetSectorInfo 0",
                                                             "GetSectorInfo 1", "GetSectorInfo 2", "GetSectorInfo 3"}));
    // Sector 2 begins at 0x6000.
    reports.Clear();
    std::vector<uint8_t> buffer(0x2000);
    EXPECT_EQ(prog.ReadSector(2, 4, buffer.data()), 0u);
    EXPECT_EQ(prog.WriteSector(2, 4, buffer.data()), 0u);
    EXPECT_EQ(reports.Lines(), L({{REPORT_PROGRESS, "    read sector 02/04 (address: 0x00006000)"},
                                  {REPORT_PROGRESS, "    read sector 02/04 (address: 0x00006000) OK"},
                                  {REPORT_PROGRESS, "    write sector 02/04 (address: 0x00006000)"},
                                  {REPORT_PROGRESS, "    write sector 02/04 (address: 0x00006000) OK"}}));
    loader.ClearCalls();
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_EQ(loader.CallNames(), (std::vector<std::string>{"Stop", "Release"}));
    EXPECT_EQ(loader.References(), 0u);
    EXPECT_FALSE(prog.IsStarted());
    EXPECT_FALSE(prog.SectorsKnown());
    EXPECT_EQ(prog.GetFlashSize(), 0x10000u); // kept by Close
}

TEST(FlashOpen, NullObjectAndReopening)
{
    CReportRecorder reports;
    CFakeFlashLoader first({0x1000}), second({0x1000}), third({0x2000});
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&first), 0u);
    reports.Clear();
    // The leading Close drops the first object before the null is refused.
    EXPECT_EQ(prog.Open(nullptr), KZM_E_FAIL);
    EXPECT_EQ(reports.Lines(), L({{REPORT_TRACE, "    CFlashProg::Open"}}));
    EXPECT_EQ(first.References(), 0u);
    EXPECT_FALSE(first.Started());

    ASSERT_EQ(prog.Open(&second), 0u);
    ASSERT_EQ(prog.Open(&third), 0u);
    EXPECT_EQ(second.References(), 0u);
    EXPECT_EQ(third.References(), 1u);
    EXPECT_EQ(prog.GetFlashSize(), 0x2000u);
    EXPECT_EQ(second.OverReleases() + third.OverReleases(), 0u);
}

TEST(FlashOpen, FailedExecuteReleasesTheObject)
{
    CReportRecorder reports;
    CFakeFlashLoader loader({0x1000});
    loader.FailExecute(DEVICE_CODE);
    {
        CTestFlashProg prog;
        EXPECT_EQ(prog.Open(&loader), DEVICE_CODE);
        EXPECT_EQ(reports.Lines(), L({{REPORT_TRACE, "    CFlashProg::Open"},
                                      {REPORT_TRACE, "    pKazObject->Execute"},
                                      {REPORT_TRACE, "        failed "}}));
        EXPECT_FALSE(prog.IsStarted());
        EXPECT_EQ(loader.References(), 0u);
        // No sectors: erasing is refused without a report.
        reports.Clear();
        EXPECT_EQ(prog.EraseSector(0, 1), KZM_E_FAIL);
        EXPECT_TRUE(reports.Lines().empty());
        loader.ClearCalls();
    }
    // Nothing more is called or released when the programmer goes.
    EXPECT_TRUE(loader.Calls().empty());
    EXPECT_EQ(loader.OverReleases(), 0u);
}

TEST(FlashOpen, LayoutFailures)
{
    CReportRecorder reports;
    {
        CFakeFlashLoader loader({0x1000, 0x1000});
        loader.FailGetFlashInfo(DEVICE_CODE);
        CTestFlashProg prog;
        EXPECT_EQ(prog.Open(&loader), KZM_E_FLASH_NOT_STARTED);
        EXPECT_EQ(reports.Lines().back(), (ReportLine{REPORT_TRACE, "    GetFlashInfo failed"}));
        // The object is kept and started.
        EXPECT_TRUE(prog.IsStarted());
        EXPECT_EQ(loader.References(), 1u);
    }
    {
        // Sector 3 of 8: no report after the flash information, size 0.
        reports.Clear();
        CFakeFlashLoader loader(std::vector<uint32_t>(8, 0x1000));
        loader.FailSectorInfo(3, DEVICE_CODE);
        CTestFlashProg prog;
        EXPECT_EQ(prog.Open(&loader), KZM_E_FLASH_NOT_STARTED);
        EXPECT_EQ(reports.Lines().back(), (ReportLine{REPORT_TRACE, "    0001, 22f6, 0008, 0010, 00000000"}));
        EXPECT_EQ(prog.GetFlashSize(), 0u);
        EXPECT_TRUE(prog.SectorsKnown());
        EXPECT_TRUE(prog.IsStarted());
    }
    {
        // Before any sector size is known the texts show the sector address.
        CFakeFlashLoader loader(std::vector<uint32_t>(4, 0x1000));
        loader.FailSectorInfo(0, DEVICE_CODE);
        CTestFlashProg prog;
        EXPECT_EQ(prog.Open(&loader), KZM_E_FLASH_NOT_STARTED);
        EXPECT_FALSE(prog.SectorsKnown());
        reports.Clear();
        std::vector<uint8_t> buffer(0x1000);
        prog.ReadSector(2, 4, buffer.data());
        EXPECT_EQ(reports.Lines().front(), (ReportLine{REPORT_PROGRESS, "    read sector 02/04 (address: 0x00020000)"}));
    }
    {
        CTestFlashProg prog;
        reports.Clear();
        EXPECT_EQ(prog.GetFlashInfo(), KZM_E_FLASH_NOT_STARTED);
        EXPECT_EQ(reports.Lines(), L({{REPORT_TRACE, "    FlashProgram not started"}}));
    }
}

TEST(FlashOpen, MoreThan32SectorsAreRefused)
{
    CReportRecorder reports;
    CFakeFlashLoader loader(std::vector<uint32_t>(40, 0x1000));
    CFakeFlashLoader full(std::vector<uint32_t>(32, 0x100));
    CTestFlashProg prog;
    EXPECT_EQ(prog.Open(&loader), KZM_E_TOO_MANY_SECTORS);
    EXPECT_EQ(reports.Lines().back().Kind, REPORT_MESSAGE);
    // No sector information read, the loader stopped and released.
    EXPECT_EQ(loader.CallNames(), (std::vector<std::string>{"Execute", "GetFlashInfo", "Stop", "Release"}));
    EXPECT_EQ(loader.References(), 0u);
    EXPECT_FALSE(prog.IsStarted());
    EXPECT_EQ(prog.GetFlashSize(), 0u);
    // No sector of it can be addressed, inside the table or past it.
    reports.Clear();
    std::vector<uint8_t> buffer(0x1000);
    EXPECT_EQ(prog.EraseSector(0, 1), KZM_E_FAIL);
    EXPECT_EQ(prog.ReadSector(35, 40, buffer.data()), KZM_E_FAIL);
    EXPECT_EQ(prog.WriteSector(31, 40, buffer.data()), KZM_E_FAIL);
    FW_INFO info{};
    EXPECT_EQ(prog.ScanFwInfo(&info), 0u);
    EXPECT_TRUE(reports.Lines().empty());

    // Exactly 32 sectors are fine.
    EXPECT_EQ(prog.Open(&full), 0u);
    EXPECT_EQ(prog.GetFlashSize(), 0x2000u);
    EXPECT_EQ(prog.ReadSector(31, 32, buffer.data()), 0u);
}

TEST(FlashOpen, FlashLargerThanTheAddressSpaceIsRefused)
{
    // A loader that claims more than 4 GiB: two sectors of 3 GiB.
    struct CHuge : CFakeFlashLoader {
        using CFakeFlashLoader::CFakeFlashLoader;
        KZRESULT GetSectorInfo(SECTOR_ADDR, SECTOR_INFO* info) override
        {
            info->Size = 0xC0000000u;
            return 0;
        }
    } huge({0x10, 0x10});
    CTestFlashProg prog;
    EXPECT_EQ(prog.Open(&huge), KZM_E_FLASH_NOT_STARTED);
    EXPECT_EQ(prog.GetFlashSize(), 0u);
}

TEST(FlashSectors, EraseReportsAndFailures)
{
    CReportRecorder reports;
    CFakeFlashLoader loader({0x100, 0x100, 0x100});
    loader.Flash().assign(0x300, 0x00);
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    reports.Clear();
    EXPECT_EQ(prog.EraseSector(0, 1), 0u);
    EXPECT_EQ(reports.Lines(), L({{REPORT_PROGRESS, "    erase sector 00/01 "}, {REPORT_PROGRESS, "    erase sector 00/01 OK"}}));
    EXPECT_EQ(loader.Flash()[0], 0xFF);
    EXPECT_EQ(loader.Flash()[0x100], 0x00);

    loader.FailErase(2, DEVICE_CODE);
    reports.Clear();
    EXPECT_EQ(prog.EraseSector(2, 3), DEVICE_CODE);
    EXPECT_EQ(reports.Lines(), L({{REPORT_PROGRESS, "    erase sector 02/03 "},
                                  {REPORT_MESSAGE, "    erase sector 02/03 FAILED"},
                                  {REPORT_NEWLINE, "\r\n"}}));
    reports.Clear();
    loader.ClearCalls();
    EXPECT_EQ(prog.EraseSector(3, 3), KZM_E_FAIL);
    EXPECT_TRUE(reports.Lines().empty());
    EXPECT_TRUE(loader.Calls().empty());
}

TEST(FlashSectors, ReadAndWriteFailures)
{
    CReportRecorder reports;
    CFakeFlashLoader loader({0x100, 0x200, 0x100});
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    std::vector<uint8_t> buffer(0x200);
    loader.FailRead(1, DEVICE_CODE);
    loader.FailWrite(2, DEVICE_CODE + 1);
    reports.Clear();
    EXPECT_EQ(prog.ReadSector(1, 3, buffer.data()), DEVICE_CODE);
    EXPECT_EQ(prog.WriteSector(2, 3, buffer.data()), DEVICE_CODE + 1);
    EXPECT_EQ(reports.Lines(), L({{REPORT_PROGRESS, "    read sector 01/03 (address: 0x00000100)"},
                                  {REPORT_MESSAGE, "    read sector 01/03 (address: 0x00000100) failed"},
                                  {REPORT_NEWLINE, "\r\n"},
                                  {REPORT_PROGRESS, "    write sector 02/03 (address: 0x00000300)"},
                                  {REPORT_MESSAGE, "    write sector 02/03 (address: 0x00000300) failed"},
                                  {REPORT_NEWLINE, "\r\n"}}));
    // Whole sectors, at their own size.
    loader.ClearCalls();
    EXPECT_EQ(prog.ReadSector(0, 3, buffer.data()), 0u);
    ASSERT_EQ(loader.Calls().size(), 1u);
    EXPECT_EQ(loader.Calls()[0].Size, 0x100u);
    reports.Clear();
    EXPECT_EQ(prog.ReadSector(3, 3, buffer.data()), KZM_E_FAIL);
    EXPECT_TRUE(reports.Lines().empty());
}

TEST(FlashSectors, WithoutObjectTheStartLineComesFirst)
{
    CReportRecorder reports;
    CFakeFlashLoader loader({0x100, 0x100});
    CTestFlashProg prog;
    ASSERT_EQ(prog.Open(&loader), 0u);
    prog.Close();
    // The layout stays; the object is gone.
    reports.Clear();
    std::vector<uint8_t> buffer(0x100);
    EXPECT_EQ(prog.EraseSector(1, 2), KZM_E_FAIL);
    EXPECT_EQ(prog.ReadSector(1, 2, buffer.data()), KZM_E_FAIL);
    EXPECT_EQ(reports.Lines(), L({{REPORT_PROGRESS, "    erase sector 01/02 "},
                                  {REPORT_PROGRESS, "    read sector 01/02 (address: 0x00010000)"}}));
    loader.ClearCalls();
    EXPECT_EQ(prog.Close(), 0u);
    EXPECT_TRUE(loader.Calls().empty());
}
