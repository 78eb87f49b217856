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
#include "ImageJson.h"
#include "flash/HexDigits.h"

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
        {"lower-case digits the library gets wrong", D0 + ":04001000aabbccddDE\n" + END, {{Issue::LowerCase, 2}}},
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
    // Alike on every digit path this CPU has; the best one is left in use.
    for (uint32_t level = CHexDigits::LEVEL_SCALAR; level <= CHexDigits::CpuLevel(); ++level) {
        CHexDigits::SetLevel(level);
        for (const auto& c : cases)
            EXPECT_EQ(Errors(AnalyseImageText(c.text)), c.errors) << c.name << ", digit path " << level;
    }
    EXPECT_TRUE(Warns(AnalyseImageText(S16 + "S5030001FB"), Issue::MissingLineEnd));
    EXPECT_TRUE(Warns(AnalyseImageText(D0 + D0 + END), Issue::Overlap));
    EXPECT_TRUE(Warns(AnalyseImageText(D0), Issue::NoEndRecord));
}

std::string BlockText(const std::vector<ImageBlock>& blocks)
{
    std::string text;
    for (const ImageBlock& b : blocks)
        text += " " + std::to_string(b.start) + "-" + std::to_string(b.end);
    return text;
}

// Everything the check tells of a file, as the kit's JSON gives it.
std::string Account(const ImageAnalysis& a)
{
    return ImageJson(a, true).dump(1);
}

TEST(Check, UsualDataLinesAreJudgedAsAnyOther)
{
    // The vector paths take a usual data line (upper-case digits, line feed
    // where its count says) in one step; the scalar path reads every line
    // the long way. Both must tell the same, and load what the library does.
    auto sLine = [](char type, uint32_t address, const std::vector<uint8_t>& data) {
        const unsigned size = static_cast<unsigned>(type - '0') + 1;
        std::vector<uint8_t> fields{static_cast<uint8_t>(data.size() + size + 1)};
        for (unsigned i = size; i-- > 0;)
            fields.push_back(static_cast<uint8_t>(address >> (8 * i)));
        return RecordLine(std::string("S") + type, fields, data, false);
    };
    const std::vector<uint8_t> eight{1, 2, 3, 4, 5, 6, 7, 8}, sixteen(16, 0x5A);
    const std::string S9 = "S9030000FC\n", S3 = sLine('3', 0x20000, eight);
    std::string badSum = S3;
    badSum[badSum.size() - 2] = badSum[badSum.size() - 2] == '0' ? '1' : '0'; // still a digit
    struct Case {
        const char* name;
        std::string text;
        std::vector<ImageBlock> blocks;
    };
    const std::vector<Case> cases = {
        {"S1, S2 and S3 data lines",
         sLine('1', 0x1234, {1, 2}) + sLine('2', 0x123456, {3}) + sLine('3', 0x12345678, {4, 5}) + S9,
         {{0x1234, 0x1236}, {0x123456, 0x123457}, {0x12345678, 0x1234567A}}},
        {"S3 up to the last address", sLine('3', 0xFFFFFFF7, eight) + S9, {{0xFFFFFFF7, 0xFFFFFFFF}}},
        {"S3 past the last address", S3 + sLine('3', 0xFFFFFFF8, eight) + S9, {{0x20000, 0x20008}}},
        {"a wrong checksum", badSum + sLine('3', 0x20008, eight) + S9, {{0x20000, 0x20010}}},
        {"an S3 line without data", sLine('3', 0x10, {}) + S3 + S9, {{0x20000, 0x20008}}},
        {"a count record that matches",
         S3 + sLine('1', 0x40, eight) + "S5030002FA\n" + S9,
         {{0x20000, 0x20008}, {0x40, 0x48}}},
        {"a count record that does not",
         S3 + sLine('1', 0x40, eight) + "S5030003F9\n" + S9,
         {{0x20000, 0x20008}, {0x40, 0x48}}},
        {"a wrong Intel HEX checksum", D0 + ":0400100005060708D3\n" + END, {{0, 4}, {0x10, 0x14}}},
        {"Intel HEX past its 64 KiB segment",
         HexLine(0, 2, {0x10, 0}) + HexLine(0xFFF8, 0, sixteen) + END,
         {{0x1FFF8, 0x20008}}},
        {"Intel HEX past 32 bits", D0 + HexLine(0, 4, {0xFF, 0xFF}) + HexLine(0xFFF8, 0, sixteen) + END, {{0, 4}}},
        {"Intel HEX without data", D0 + HexLine(0x10, 0, {}) + D10 + END, {{0, 4}, {0x10, 0x14}}},
        {"CR LF line ends", ":0400000001020304F2\r\n:0400040005060708DA\r\n" + END, {{0, 8}}},
        {"lower-case digits", D0 + ":04001000aabbccddDE\n" + END, {{0, 4}, {0x10, 0x14}}},
        // Read as digits, the two lines would sum right.
        {"a line feed within the counted length", D0 + ":04001000\n0AABBCC1B\n" + D10 + END, {{0, 4}}},
        {"a line longer than its count", D0 + ":0400100005060708D2FF\n" + END, {{0, 4}}},
        {"data after the end record", D0 + END + D10, {{0, 4}}},
        {"both formats", D0 + sLine('1', 0x10, eight) + END, {{0, 4}, {0x10, 0x18}}},
        {"the rest of a split line", std::string(4095, '#') + D10 + END, {{0x10, 0x14}}},
    };
    for (const auto& c : cases) {
        // The reader fills its buffer on the first line: a line after it may
        // be taken whole.
        const std::string text = "\n" + c.text;
        CHexDigits::SetLevel(CHexDigits::LEVEL_SCALAR);
        const ImageAnalysis scalar = AnalyseImageText(text);
        for (uint32_t level = CHexDigits::LEVEL_SCALAR; level <= CHexDigits::CpuLevel(); ++level) {
            CHexDigits::SetLevel(level);
            const ImageAnalysis a = AnalyseImageText(text);
            EXPECT_EQ(Account(a), Account(scalar)) << c.name << ", digit path " << level;
            EXPECT_EQ(BlockText(a.blocks), BlockText(c.blocks)) << c.name << ", digit path " << level;
        }
    }
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
    const ImageAnalysis fw = AnalyseImageText(HexLine(0x1000, 0, early) + HexLine(0, 0, rec) + END);
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
