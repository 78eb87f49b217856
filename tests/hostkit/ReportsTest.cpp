// The report decoder: lines printed with the library's own formats become
// phases and sectors, other lines stay what they are, and a real program and
// verify on the bench leaves no line the decoder does not know.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "../support/HexLine.h"
#include "Reports.h"
#include "flash/FlashReports.h"
#include "kazmir.h"
#include "kazmir_host.h"
#include "kazsim/Bench.h"

using namespace kzhost;

namespace {

const char* StatusName(SectorStatus s)
{
    return s == SectorStatus::Start ? "start" : s == SectorStatus::Ok ? "ok" : "failed";
}

// An event in a few words: "begin read 2/4", "read 3 ok 1 @3000", "end erase failed 1".
std::string Words(const DecodedEvent& e)
{
    char buf[160];
    switch (e.type) {
    case DecodedEvent::Type::PhaseBegin:
        std::snprintf(buf, sizeof(buf), "begin %s %u/%u", ReportPhaseName(e.phase), e.sector, e.sectorEnd);
        return buf;
    case DecodedEvent::Type::Sector:
        std::snprintf(buf, sizeof(buf), "%s %u %s %u", ReportPhaseName(e.phase), e.sector, StatusName(e.status),
                      e.done);
        return e.address ? buf + std::string(" @") + std::to_string(*e.address) : buf;
    case DecodedEvent::Type::PhaseEnd:
        std::snprintf(buf, sizeof(buf), "end %s %s %u", ReportPhaseName(e.phase), StatusName(e.status), e.done);
        return buf;
    case DecodedEvent::Type::FlashLayout:
        std::snprintf(buf, sizeof(buf), "layout %u at %u", e.words[2], e.words[4]);
        return buf;
    case DecodedEvent::Type::Message:
        return "message " + e.text;
    case DecodedEvent::Type::Trace:
        return "trace " + e.text;
    case DecodedEvent::Type::Unknown:
        return "unknown " + e.text;
    }
    return "?";
}

// Report lines as the library makes them: its formats, its indentation.
struct Line {
    uint8_t kind;
    std::string text;
};
Line Transfer(const char* format, const char* word, int sector, int end, unsigned address)
{
    char text[128];
    std::snprintf(text, sizeof(text), format, word, sector, end, address);
    return {format == TRANSFER_SECTOR_FAILED_FORMAT ? uint8_t{REPORT_MESSAGE} : uint8_t{REPORT_PROGRESS},
            "    " + std::string(text)};
}
Line Erase(const char* format, int sector, int end)
{
    char text[64];
    std::snprintf(text, sizeof(text), format, sector, end);
    return {format == ERASE_SECTOR_FAILED_FORMAT ? uint8_t{REPORT_MESSAGE} : uint8_t{REPORT_PROGRESS},
            "    " + std::string(text)};
}
Line Read(const char* format, int sector, int end)
{
    return Transfer(format, READ_SECTOR_WORD, sector, end, static_cast<unsigned>(sector) * 0x1000);
}

std::vector<std::string> Decode(const std::vector<Line>& lines, bool verifying = false)
{
    CReportDecoder decoder;
    decoder.SetVerifying(verifying);
    std::vector<std::string> words;
    for (const Line& line : lines)
        for (const DecodedEvent& e : decoder.Feed(line.kind, line.text))
            words.push_back(Words(e));
    for (const DecodedEvent& e : decoder.End())
        words.push_back(Words(e));
    return words;
}

std::vector<DecodedEvent> g_Events;
CReportDecoder g_Decoder;
void Collect(void*, uint8_t kind, const char* text)
{
    for (DecodedEvent& e : g_Decoder.Feed(kind, text))
        g_Events.push_back(std::move(e));
}

} // namespace

TEST(Reports, SectorLinesBecomePhasesAndTheRestKeepsItsKind)
{
    const char *S = TRANSFER_SECTOR_FORMAT, *OK = TRANSFER_SECTOR_OK_FORMAT, *FAILED = TRANSFER_SECTOR_FAILED_FORMAT;
    const struct {
        const char* name;
        std::vector<Line> lines;
        std::vector<std::string> events;
        bool verifying = false;
    } cases[] = {
        {"a program whose second erase fails",
         {{REPORT_TEST, "test"},
          {REPORT_TRACE, "    0001, 22f6, 0004, 0010, 08000000"},
          {REPORT_NEWLINE, "\r\n"},
          {REPORT_MESSAGE, "Scan file ..."},
          Read(S, 2, 4),
          Read(OK, 2, 4),
          Read(S, 3, 4),
          Read(OK, 3, 4),
          Erase(ERASE_SECTOR_FORMAT, 2, 4),
          Erase(ERASE_SECTOR_OK_FORMAT, 2, 4),
          Erase(ERASE_SECTOR_FORMAT, 3, 4),
          Erase(ERASE_SECTOR_FAILED_FORMAT, 3, 4),
          {REPORT_NEWLINE, "\r\n"}},
         {"layout 4 at 134217728", "message Scan file ...", "begin read 2/4", "read 2 start 0 @8192",
          "read 2 ok 1 @8192", "read 3 start 1 @12288", "read 3 ok 2 @12288", "end read ok 2", "begin erase 2/4",
          "erase 2 start 0", "erase 2 ok 1", "erase 3 start 1", "erase 3 failed 1", "end erase failed 1"}},
        {"the reads of a verify, and a failed one",
         {Read(S, 0, 2), Read(OK, 0, 2), Read(S, 1, 2), Read(FAILED, 1, 2)},
         {"begin verify 0/2", "verify 0 start 0 @0", "verify 0 ok 1 @0", "verify 1 start 1 @4096",
          "verify 1 failed 1 @4096", "end verify failed 1"},
         true},
        {"the same phase again, a message between two others, End closing the last",
         {Read(S, 0, 1),
          Read(OK, 0, 1),
          Read(S, 0, 1),
          Read(OK, 0, 1),
          {REPORT_MESSAGE, "  Firmware ..."},
          Transfer(OK, WRITE_SECTOR_WORD, 0, 1, 0)},
         {"begin read 0/1", "read 0 start 0 @0", "read 0 ok 1 @0", "end read ok 1", "begin read 0/1",
          "read 0 start 0 @0", "read 0 ok 1 @0", "end read ok 1", "message Firmware ...", "begin write 0/1",
          "write 0 ok 1 @0", "end write ok 1"}},
        {"lines the library does not print with those formats",
         {{REPORT_PROGRESS, "read sector 1"},
          {REPORT_PROGRESS, "    read sector 01/02"},
          {REPORT_PROGRESS, "    read sector 1/02 (address: 0x00000000)"},
          {REPORT_PROGRESS, "    erase sector 01/02 maybe"},
          {REPORT_PROGRESS, "    write sector 01/02 (address: 0xZZ)"},
          {REPORT_PROGRESS, "    wipe sector 01/02 (address: 0x00000000)"},
          {REPORT_PROGRESS, "    read sector 01/02 (address: 0x0000000A) OK"},
          {REPORT_TRACE, "    0001, 22f6, 4, 0010, 08000000"},
          {REPORT_TRACE, "CFlashProg::Open"},
          {REPORT_MESSAGE, "   "}},
         {"unknown read sector 1", "unknown read sector 01/02", "unknown read sector 1/02 (address: 0x00000000)",
          "unknown erase sector 01/02 maybe", "unknown write sector 01/02 (address: 0xZZ)",
          "unknown wipe sector 01/02 (address: 0x00000000)", "unknown read sector 01/02 (address: 0x0000000A) OK",
          "trace 0001, 22f6, 4, 0010, 08000000", "trace CFlashProg::Open"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Decode(c.lines, c.verifying), c.events) << c.name;
}

TEST(Reports, TheLibrarysOwnReportsOfAProgramAndVerifyAreAllKnown)
{
    kazsim::BoardDesc board;
    board.State = 1; // in its flash loader
    board.Flash.SectorSizes = {0x1000, 0x1000, 0x1000, 0x1000};
    kazsim::BenchDesc bench = kazsim::BenchDesc::Empty();
    bench.Boards.push_back(board);
    kazsim::Bench::Reset(bench);
    ASSERT_EQ(kzmInitialize(), 0u);
    ASSERT_EQ(kzmRegisterCallback(nullptr, Collect), 0u);
    ASSERT_EQ(kzmFLDinit(3000, DEVICE_ID_ANY, nullptr), 0u);
    const std::string image = std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex";
    ASSERT_EQ(kzmFLDprogram(image.c_str()), 0u);
    g_Decoder.SetVerifying(true);
    ASSERT_EQ(kzmFLDverify(image.c_str()), 0u);
    g_Decoder.SetVerifying(false);
    // An image over two sectors whose second erase fails.
    const std::filesystem::path twoSectors = std::filesystem::temp_directory_path() / "kazmir-reports-test.hex";
    std::ofstream(twoSectors) << HexLine(0, 0, {1, 2}) << HexLine(0x1000, 0, {3, 4}) << ":00000001FF\n";
    kazsim::Faults::Fail("Fld.EraseSector", 0x80004005u, 2);
    EXPECT_NE(kzmFLDprogram(twoSectors.string().c_str()), 0u);
    std::filesystem::remove(twoSectors);
    for (DecodedEvent& e : g_Decoder.End())
        g_Events.push_back(std::move(e));
    kzmFLDreset();

    std::vector<std::string> phases;
    unsigned layouts = 0;
    for (const DecodedEvent& e : g_Events) {
        EXPECT_NE(e.type, DecodedEvent::Type::Unknown) << "a progress line the decoder does not know: " << e.text;
        if (e.type == DecodedEvent::Type::FlashLayout) {
            ++layouts;
            EXPECT_EQ(e.words[2], 4u) << e.text;
        }
        if (e.type == DecodedEvent::Type::PhaseEnd)
            phases.push_back(Words(e));
    }
    EXPECT_EQ(layouts, 1u);
    EXPECT_EQ(phases, (std::vector<std::string>{"end read ok 1", "end erase ok 1", "end write ok 1", "end verify ok 1",
                                                "end read ok 2", "end erase failed 1"}));
}

TEST(Reports, TheCInterfaceHandsOutTheSameEvents)
{
    KZH_DECODER* decoder = nullptr;
    ASSERT_EQ(kzhDecoderNew(&decoder), 0u);
    KZH_EVENT events[KZH_EVENTS_MAX];
    uint32_t count = 0;
    const Line start = Read(TRANSFER_SECTOR_FORMAT, 5, 8), failed = Read(TRANSFER_SECTOR_FAILED_FORMAT, 5, 8);
    ASSERT_EQ(kzhDecoderFeed(decoder, start.kind, start.text.c_str(), events, &count), 0u);
    ASSERT_EQ(count, 2u);
    EXPECT_EQ(events[0].type, uint32_t{KZH_EVENT_PHASE_BEGIN});
    EXPECT_EQ(events[1].type, uint32_t{KZH_EVENT_SECTOR});
    EXPECT_EQ(events[1].sector, 5u);
    EXPECT_EQ(events[1].sectorEnd, 8u);
    EXPECT_EQ(events[1].hasAddress, 1u);
    EXPECT_EQ(events[1].address, 0x5000u);
    ASSERT_EQ(kzhDecoderSetVerifying(decoder, 1), 0u);
    ASSERT_EQ(kzhDecoderFeed(decoder, failed.kind, failed.text.c_str(), events, &count), 0u);
    ASSERT_EQ(count, 4u) << "the read phase ends, the verify phase begins, its sector fails, it ends";
    EXPECT_EQ(events[3].type, uint32_t{KZH_EVENT_PHASE_END});
    EXPECT_EQ(events[3].phase, uint32_t{KZH_PHASE_VERIFY});
    EXPECT_EQ(events[3].status, uint32_t{KZH_SECTOR_FAILED});
    ASSERT_EQ(kzhDecoderFeed(decoder, REPORT_TRACE, "  0001, 22f6, 0010, 0010, 00400000\n", events, &count), 0u);
    ASSERT_EQ(count, 1u);
    EXPECT_EQ(events[0].type, uint32_t{KZH_EVENT_FLASH_LAYOUT});
    EXPECT_EQ(events[0].sectorCount, 16u);
    EXPECT_EQ(events[0].base, 0x400000u);
    EXPECT_STREQ(events[0].text, "0001, 22f6, 0010, 0010, 00400000");
    ASSERT_EQ(kzhDecoderEnd(decoder, events, &count), 0u);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(kzhDecoderFeed(decoder, REPORT_MESSAGE, "x", nullptr, &count), KZH_E_ARGUMENT);
    EXPECT_STRNE(kzhLastError(), "");
    kzhDecoderFree(decoder);
}
