// kazmir's check on its own: the strict rules on damaged files, what the
// library loaded and where it stops, the corpus as it is judged, and the
// placement of blocks on a flash.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <string>

#include "../support/Corpus.h"
#include "../support/HexLine.h"
#include "ImageCheck.h"

using namespace kzhost;

namespace {

const std::string D0 = HexLine(0, 0, {1, 2, 3, 4}), D10 = HexLine(0x10, 0, {5, 6, 7, 8}), END = ":00000001FF\n",
                  S16 = "S1130000000102030405060708090A0B0C0D0E0F74\n";

std::vector<std::pair<Issue, uint32_t>> Errors(const ImageAnalysis& a)
{
    std::vector<std::pair<Issue, uint32_t>> errors;
    for (const auto& f : a.findings)
        if (f.severity == Severity::Error)
            errors.emplace_back(f.issue, f.line);
    return errors;
}

bool Warns(const ImageAnalysis& a, Issue issue)
{
    return std::any_of(a.findings.begin(), a.findings.end(),
                       [&](const Finding& f) { return f.severity == Severity::Warning && f.issue == issue; });
}

} // namespace

TEST(Check, EachRuleNamesTheLineItConcerns)
{
    struct Case {
        const char* name;
        std::string text;
        std::vector<std::pair<Issue, uint32_t>> errors;
    };
    const std::vector<Case> cases = {
        {"well formed", D0 + D10 + END, {}},
        {"bad checksum", ":0400000001020304F3\n" + D10 + END, {{Issue::BadChecksum, 1}}},
        {"lower-case digits the library gets wrong", D0 + ":01001000aa45\n" + END, {{Issue::LowerCase, 2}}},
        {"not a hexadecimal digit", D0 + ":04001000G5060708D2\n" + END, {{Issue::BadCharacter, 2}}},
        {"trailing blanks", D0 + ":0400100005060708D2  \n" + END, {{Issue::BadCharacter, 2}, {Issue::AfterStop, 3}}},
        {"one digit short, records after it",
         D0 + ":04001000050607D2\n" + D10 + END,
         {{Issue::BadLength, 2}, {Issue::AfterStop, 3}}},
        {"records after the end record", D0 + END + D10, {{Issue::AfterStop, 3}}},
        {"Ctrl-Z before records", D0 + "\x1A" + D10 + END, {{Issue::AfterStop, 2}}},
        {"Ctrl-Z at the very end is harmless", D0 + END + "\x1A\r\n", {}},
        {"last data line without line feed", D0 + ":0400100005060708D2", {{Issue::MissingLineEnd, 2}}},
        {"a comment line", D0 + "# built today\n" + END, {{Issue::NotARecord, 2}}},
        {"unknown record type", D0 + HexLine(0, 6, {}) + END, {{Issue::BadRecordType, 2}}},
        {"address record of the wrong size", HexLine(0, 4, {1}) + D0 + END, {{Issue::BadRecordField, 1}}},
        {"same address, different bytes", D0 + HexLine(2, 0, {9, 9}) + END, {{Issue::Overlap, 2}}},
        {"S5 count that does not match", "S1060000010203F3\nS5030002FA\nS9030000FC\n", {{Issue::CountMismatch, 2}}},
        {"no data record", END, {{Issue::NoData, 0}}},
        // The library stops at a last line without line feed: harmless when it holds no data.
        {"S5 count as the last line, no line feed", S16 + "S5030001FB", {}},
        {"end record without line feed", D0 + ":00000001FF", {}},
    };
    for (const auto& c : cases) {
        const ImageAnalysis a = AnalyseImageText(c.text);
        EXPECT_EQ(Errors(a), c.errors) << c.name;
    }
    EXPECT_TRUE(Warns(AnalyseImageText(S16 + "S5030001FB"), Issue::MissingLineEnd));
    EXPECT_TRUE(Warns(AnalyseImageText(D0 + D0 + END), Issue::Overlap));
    EXPECT_TRUE(Warns(AnalyseImageText(D0), Issue::NoEndRecord));
}

TEST(Check, ShowsWhatTheLibraryLoadedAndWhereItStops)
{
    // One digit short on line 2: the library loads one block and stops there.
    const ImageAnalysis shortLine = AnalyseImageText(D0 + ":04001000050607D2\n" + HexLine(0x20, 0, {1}) + END);
    ASSERT_EQ(shortLine.blocks.size(), 1u);
    EXPECT_EQ(shortLine.blocks[0].end, 4u);
    EXPECT_EQ(shortLine.libraryStopLine, 2u);
    EXPECT_EQ(shortLine.stopReason, "a line it takes as malformed");
    EXPECT_EQ(shortLine.recordsNotRead, 2u);
    // A record after 4,095 other characters is read, and the split is named.
    const ImageAnalysis split = AnalyseImageText(D0 + std::string(4095, '#') + D10 + END);
    ASSERT_EQ(split.blocks.size(), 2u);
    EXPECT_EQ(split.blocks[1].start, 0x10u);
    EXPECT_EQ(split.splitLines, std::vector<uint32_t>{2});
    EXPECT_TRUE(Warns(split, Issue::SplitLine));
    // The firmware record the library uses: the last block's, big-endian fields converted.
    std::vector<uint8_t> rec(59, 0);
    rec[8] = 0x00, rec[9] = 0x01; // Address 00 01 00 00, big-endian
    std::memcpy(rec.data() + 20, "LATE", 4);
    std::memcpy(rec.data() + 30, "eMB-K 740", 9);
    std::memcpy(rec.data() + 50, "$FW-INFO$", 9);
    std::vector<uint8_t> early(rec);
    early[20] = 'E';
    std::vector<uint8_t> block1(60, 0xEE), block2(60, 0xEE);
    std::copy(early.begin(), early.end(), block1.begin());
    std::copy(rec.begin(), rec.end(), block2.begin());
    const ImageAnalysis fw =
        AnalyseImageText(HexLine(0x1000, 0, std::vector<uint8_t>(block1.begin(), block1.begin() + 59)) +
                         HexLine(0, 0, std::vector<uint8_t>(block2.begin(), block2.begin() + 59)) + END);
    ASSERT_TRUE(fw.fwInfo.found);
    EXPECT_EQ(fw.fwInfo.Name(), "LATE");
    EXPECT_EQ(fw.fwInfo.block, 1);
    EXPECT_EQ(uint32_t{fw.fwInfo.record.Address}, 0x00010000u); // a copy: the record is packed
}

TEST(Check, CorpusIsJudgedAsBefore)
{
    KAZMIR_NEED_CORPUS();
    const std::filesystem::path dir = KAZMIR_CORPUS_DIR;
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().filename() == "SOURCES.md")
            continue;
        ++files;
        const ImageAnalysis a = AnalyseImageFile(entry.path().string());
        const bool refused = entry.path().filename() == "buspirate-ADC2UART.hex";
        EXPECT_EQ(a.Accepted(), !refused) << entry.path() << ": " << (a.findings.empty() ? "" : a.findings[0].text);
    }
    EXPECT_EQ(files, 20u);
    const ImageAnalysis bus = AnalyseImageFile((dir / "buspirate-ADC2UART.hex").string());
    EXPECT_EQ(std::count_if(bus.findings.begin(), bus.findings.end(),
                            [](const Finding& f) { return f.issue == Issue::LowerCase; }),
              113);
    EXPECT_EQ(bus.libraryStopLine, 120u);
    EXPECT_EQ(bus.recordsNotRead, 3u);
    const auto errors = Errors(bus);
    EXPECT_NE(std::find(errors.begin(), errors.end(), std::make_pair(Issue::AfterStop, 121u)), errors.end());
    const ImageAnalysis eeprom = AnalyseImageFile((dir / "openblt-eeprom_data.srec").string());
    EXPECT_TRUE(Warns(eeprom, Issue::NoEndRecord));
}

TEST(Check, PlacementNamesTheBlocksTheLibraryWouldNotWrite)
{
    struct Case {
        const char* name;
        uint32_t start, size;
        bool record;
        uint32_t address, base;
        Issue issue; // Issue::Unreadable: accepted
        uint16_t first, end;
        uint64_t written;
    };
    const Case cases[] = {
        {"from 0 into sector 1", 0, 0x2100, false, 0, 0, Issue::Unreadable, 0, 2, 0x2100},
        {"no record, not from 0", 0x2100, 0x100, false, 0, 0, Issue::NotWritten, 0, 1, 0},
        {"FLASH record on a base", 0x08004000, 0x2000, true, 0x08004000, 0x08000000, Issue::Unreadable, 2, 3, 0x2000},
        {"record below the base", 0x100, 0x10, true, 0x100, 0x08000000, Issue::StartOutside, 0, 0, 0},
        {"beyond the flash", 0, 0x10001, false, 0, 0, Issue::BeyondFlash, 0, 0, 0},
    };
    for (const auto& c : cases) {
        ImageAnalysis image;
        image.readable = true;
        image.blocks.push_back({c.start, uint64_t(c.start) + c.size});
        image.fwInfo.found = c.record;
        image.fwInfo.record.Address = c.address;
        FlashLayout layout;
        layout.base = c.base;
        layout.sectorSizes.assign(8, 0x2000);
        layout.sectorCount = 8;
        const PlacementPlan plan = PreviewPlacement(image, layout);
        const bool accepted = c.issue == Issue::Unreadable;
        EXPECT_EQ(plan.Accepted(), accepted) << c.name;
        if (!accepted) {
            ASSERT_FALSE(plan.findings.empty()) << c.name;
            EXPECT_EQ(plan.findings.back().issue, c.issue) << c.name;
        }
        if (plan.result == 0 && c.end != 0) {
            EXPECT_EQ(plan.firstSector, c.first) << c.name;
            EXPECT_EQ(plan.endSector, c.end) << c.name;
            EXPECT_EQ(plan.bytesWritten, c.written) << c.name;
        }
    }
}
