// The host's strict image checker and its replay of the library's placement,
// tested on their own: synthetic damaged files, the real-world corpus, and the
// library's own image reader as the reference for what the library loads.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "ImageCheck.h"
#include "../support/Corpus.h"
#include "flash/ImageFile.h"

using namespace kzcli;

namespace {

std::string HexLine(uint32_t address, uint8_t type, const std::vector<uint8_t>& data) {
    std::vector<uint8_t> raw = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), type};
    raw.insert(raw.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : raw) sum += b;
    raw.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string line = ":";
    char buf[3];
    for (uint8_t b : raw) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
    }
    return line;
}

std::vector<uint8_t> Bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
    return v;
}

std::string Join(const std::vector<std::string>& lines) {
    std::string text;
    for (const auto& l : lines) text += l + "\n";
    return text;
}

const std::string END = ":00000001FF";

// The issues of the file's errors, in order.
std::vector<Issue> ErrorIssues(const ImageAnalysis& a) {
    std::vector<Issue> issues;
    for (const auto& f : a.findings)
        if (f.severity == Severity::Error) issues.push_back(f.issue);
    return issues;
}

const Finding* FindIssue(const std::vector<Finding>& findings, Issue issue) {
    for (const auto& f : findings)
        if (f.issue == issue) return &f;
    return nullptr;
}

// What the library itself loads from the text.
struct LibraryImage {
    bool loaded = false;
    std::vector<std::pair<uint32_t, uint32_t>> blocks;
    std::vector<std::vector<uint8_t>> data;
    bool hasFwInfo = false;
    FW_INFO fw{};
};

LibraryImage LoadWithLibrary(const std::string& text) {
    LibraryImage out;
    CImageFile file;
    if (file.LoadMemory(text.data(), text.size()) != 0) return out;
    out.loaded = true;
    for (uint32_t i = 0; i < file.GetBlockCount(); ++i) {
        uint32_t s = 0, e = 0;
        const uint8_t* d = nullptr;
        EXPECT_EQ(file.GetBlock(i, &s, &e, &d), 0u);
        out.blocks.emplace_back(s, e);
        out.data.emplace_back(d, d + (e - s));
    }
    out.hasFwInfo = file.GetFwInfo(&out.fw) == 0;
    return out;
}

void ExpectSameAsLibrary(const ImageAnalysis& a, const LibraryImage& lib, const std::string& name) {
    ASSERT_TRUE(lib.loaded) << name;
    ASSERT_EQ(a.blocks.size(), lib.blocks.size()) << name;
    for (size_t i = 0; i < a.blocks.size(); ++i) {
        EXPECT_EQ(a.blocks[i].start, lib.blocks[i].first) << name << " block " << i;
        EXPECT_EQ(a.blocks[i].end, lib.blocks[i].second) << name << " block " << i;
        EXPECT_TRUE(a.blocks[i].data == lib.data[i]) << name << " block " << i << " bytes differ";
    }
    ASSERT_EQ(a.fwInfo.found, lib.hasFwInfo) << name;
    if (a.fwInfo.found) {
        EXPECT_EQ(0, std::memcmp(&a.fwInfo.record, &lib.fw, sizeof(FW_INFO))) << name;
    }
}

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

// --- Damaged files: each refused with its line and reason -------------------

TEST(StrictReading, WellFormedFileIsAcceptedAndMatchesTheLibrary) {
    const std::string text = Join({HexLine(0, 0, Bytes(16, 0)), HexLine(0x10, 0, Bytes(16, 0x10)), END});
    const ImageAnalysis a = AnalyseImageText(text);
    EXPECT_TRUE(a.Accepted());
    EXPECT_TRUE(a.findings.empty());
    ASSERT_EQ(a.blocks.size(), 1u);
    EXPECT_EQ(a.blocks[0].Size(), 32u);
    EXPECT_EQ(a.endLine, 3u);
    ExpectSameAsLibrary(a, LoadWithLibrary(text), "plain");
    // CR LF line ends read the same.
    std::string crlf;
    for (char c : text) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const ImageAnalysis b = AnalyseImageText(crlf);
    EXPECT_TRUE(b.Accepted());
    EXPECT_TRUE(b.blocks[0].data == a.blocks[0].data);
}

TEST(StrictReading, BadChecksumNamesItsLine) {
    std::string bad = HexLine(0x10, 0, Bytes(16, 0x10));
    bad.back() = bad.back() == '0' ? '1' : '0';
    const ImageAnalysis a = AnalyseImageText(Join({HexLine(0, 0, Bytes(16, 0)), bad, END}));
    EXPECT_FALSE(a.Accepted());
    ASSERT_EQ(ErrorIssues(a), std::vector<Issue>{Issue::BadChecksum});
    EXPECT_EQ(a.findings[0].line, 2u);
    EXPECT_NE(a.findings[0].text.find("line 2"), std::string::npos);
    // The library does not see it: it reads on to the end record.
    EXPECT_EQ(a.libraryStopLine, 3u);
}

TEST(StrictReading, LowerCaseDigitsAreRefused) {
    // "0a": a lower-case low digit sets bit 5 in the library's decoding.
    std::string lower = HexLine(0x10, 0, {0x0A, 0x1B, 0xEF, 0x01});
    std::transform(lower.begin(), lower.end(), lower.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    const ImageAnalysis a = AnalyseImageText(Join({HexLine(0, 0, Bytes(16, 0)), lower, END}));
    ASSERT_EQ(ErrorIssues(a), std::vector<Issue>{Issue::LowerCase});
    EXPECT_EQ(a.findings[0].line, 2u);
    // The strict view decodes what the author meant.
    EXPECT_EQ(a.blocks[0].data[0x10], 0x0A);
    // The library decodes something else.
    const LibraryImage lib = LoadWithLibrary(Join({HexLine(0, 0, Bytes(16, 0)), lower, END}));
    ASSERT_TRUE(lib.loaded);
    EXPECT_EQ(lib.data[0][0x10], 0x2A);
}

TEST(StrictReading, LowerCaseByteCountMakesTheLibraryStop) {
    // ":0c..." is 12 bytes; the library reads the count as 0x2C and stops.
    std::string lower = HexLine(0x10, 0, Bytes(12, 0x40));
    lower[2] = 'c';
    const std::string text = Join({HexLine(0, 0, Bytes(16, 0)), lower, HexLine(0x20, 0, Bytes(4, 0)), END});
    const ImageAnalysis a = AnalyseImageText(text);
    EXPECT_EQ(a.libraryStopLine, 2u);
    const Finding* after = FindIssue(a.findings, Issue::AfterStop);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->line, 3u);
    EXPECT_NE(after->text.find("2 records"), std::string::npos) << after->text;
    EXPECT_NE(FindIssue(a.findings, Issue::LowerCase)->text.find("stops reading here"), std::string::npos);
}

TEST(StrictReading, MalformedLineWithRecordsAfterItIsRefusedAtThatLine) {
    std::string shortLine = HexLine(0x10, 0, Bytes(16, 0x10));
    shortLine.erase(12, 1); // one digit missing
    const std::vector<std::string> lines = {HexLine(0, 0, Bytes(16, 0)), shortLine, HexLine(0x20, 0, Bytes(16, 0x20)),
                                            HexLine(0x30, 0, Bytes(16, 0x30)), END};
    const std::string text = Join(lines);
    const ImageAnalysis a = AnalyseImageText(text);
    EXPECT_FALSE(a.Accepted());
    EXPECT_EQ(a.libraryStopLine, 2u);
    const std::vector<Issue> expected = {Issue::BadCharacter, Issue::AfterStop};
    const auto issues = ErrorIssues(a);
    EXPECT_TRUE(issues == expected || issues == std::vector<Issue>({Issue::BadLength, Issue::AfterStop}));
    EXPECT_EQ(a.findings[0].line, 2u);
    const Finding* after = FindIssue(a.findings, Issue::AfterStop);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after->text.find("line 2"), std::string::npos);
    EXPECT_NE(after->text.find("3 records"), std::string::npos) << after->text;
    // What the library loads is exactly the part before the stop.
    const ImageAnalysis before = AnalyseImageText(Join({lines[0]}));
    ExpectSameAsLibrary(before, LoadWithLibrary(text), "truncated");
}

TEST(StrictReading, TrailingBlanksMissingLineEndAndOverLongLines) {
    const std::string rec = HexLine(0, 0, Bytes(8, 0));
    const ImageAnalysis blanks = AnalyseImageText(Join({rec + "  ", HexLine(8, 0, Bytes(8, 8)), END}));
    EXPECT_EQ(blanks.findings.at(0).issue, Issue::BadCharacter);
    EXPECT_EQ(blanks.libraryStopLine, 1u);
    EXPECT_NE(FindIssue(blanks.findings, Issue::AfterStop), nullptr);

    // A last data line without its line feed is dropped by the library.
    const ImageAnalysis noLf = AnalyseImageText(rec + "\n" + HexLine(8, 0, Bytes(8, 8)));
    ASSERT_EQ(ErrorIssues(noLf), std::vector<Issue>{Issue::MissingLineEnd});
    EXPECT_EQ(noLf.findings[0].line, 2u);
    // The end record without one is fine.
    EXPECT_TRUE(AnalyseImageText(rec + "\n" + END).Accepted());

    const ImageAnalysis longLine = AnalyseImageText(Join({rec, ":" + std::string(5000, '0'), END}));
    EXPECT_FALSE(longLine.Accepted());
    EXPECT_EQ(longLine.libraryStopLine, 2u);
}

TEST(StrictReading, RecordsAfterTheEndRecordAreRefused) {
    const ImageAnalysis a =
        AnalyseImageText(Join({HexLine(0, 0, Bytes(8, 0)), END, HexLine(0x100, 0, Bytes(8, 0)), END}));
    const Finding* after = FindIssue(a.findings, Issue::AfterStop);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->line, 3u);
    EXPECT_EQ(a.blocks.size(), 1u) << "data after the end record is no part of the image";
    // Empty lines after it do no harm.
    EXPECT_TRUE(AnalyseImageText(Join({HexLine(0, 0, Bytes(8, 0)), END, "", ""})).Accepted());
}

TEST(StrictReading, LinesTheLibrarySkipsAndRecordTypesItIgnores) {
    const ImageAnalysis comment = AnalyseImageText(Join({"# built today", HexLine(0, 0, Bytes(8, 0)), END}));
    ASSERT_EQ(ErrorIssues(comment), std::vector<Issue>{Issue::NotARecord});
    EXPECT_EQ(comment.findings[0].line, 1u);
    EXPECT_TRUE(AnalyseImageText(Join({"", HexLine(0, 0, Bytes(8, 0)), "", END})).Accepted());
    EXPECT_EQ(ErrorIssues(AnalyseImageText(Join({HexLine(0, 0x06, {1, 2}), HexLine(0, 0, Bytes(8, 0)), END}))),
              std::vector<Issue>{Issue::BadRecordType});
    EXPECT_EQ(ErrorIssues(AnalyseImageText(Join({HexLine(0, 0x04, {1}), HexLine(0, 0, Bytes(8, 0)), END}))),
              std::vector<Issue>{Issue::BadRecordField});
    // S4 is reserved; an S5 count must match.
    EXPECT_EQ(ErrorIssues(AnalyseImageText("S107000001020304EE\nS4030000FC\nS9030000FC\n")),
              std::vector<Issue>{Issue::BadRecordType});
    EXPECT_TRUE(AnalyseImageText("S107000001020304EE\nS5030001FB\nS9030000FC\n").Accepted());
    EXPECT_EQ(ErrorIssues(AnalyseImageText("S107000001020304EE\nS5030002FA\nS9030000FC\n")),
              std::vector<Issue>{Issue::CountMismatch});
}

TEST(StrictReading, OverlapsAndAddressWrap) {
    const ImageAnalysis same = AnalyseImageText(Join({HexLine(0, 0, Bytes(8, 0)), HexLine(4, 0, Bytes(4, 4)), END}));
    EXPECT_TRUE(same.Accepted());
    EXPECT_NE(FindIssue(same.findings, Issue::Overlap), nullptr);
    const ImageAnalysis differ =
        AnalyseImageText(Join({HexLine(0, 0, Bytes(8, 0)), HexLine(4, 0, Bytes(4, 0x44)), END}));
    ASSERT_EQ(ErrorIssues(differ), std::vector<Issue>{Issue::Overlap});
    EXPECT_EQ(differ.findings[0].line, 2u);
    // A record that ends exactly at 4 GiB: the library takes it as malformed.
    const std::string wrap = Join({HexLine(0, 0, Bytes(4, 0)), HexLine(0, 0x04, {0xFF, 0xFF}),
                                   HexLine(0xFFFC, 0, Bytes(4, 0)), END});
    const ImageAnalysis w = AnalyseImageText(wrap);
    EXPECT_NE(FindIssue(w.findings, Issue::AddressWrap), nullptr);
    EXPECT_EQ(w.libraryStopLine, 3u);
}

TEST(StrictReading, CtrlZEndsTheFileForTheLibrary) {
    const std::string rec = HexLine(0, 0, Bytes(8, 0));
    // One at the very end, as old DOS tools wrote it, is harmless.
    EXPECT_TRUE(AnalyseImageText(Join({rec, END}) + "\x1A").Accepted());
    const std::string mid = rec + "\n\x1A\n" + HexLine(8, 0, Bytes(8, 8)) + "\n" + END + "\n";
    const ImageAnalysis a = AnalyseImageText(mid);
    EXPECT_FALSE(a.Accepted());
    EXPECT_EQ(a.libraryStopLine, 2u);
    const Finding* after = FindIssue(a.findings, Issue::AfterStop);
    ASSERT_NE(after, nullptr);
    EXPECT_NE(after->text.find("Ctrl-Z"), std::string::npos);
    ExpectSameAsLibrary(AnalyseImageText(Join({rec})), LoadWithLibrary(mid), "ctrl-z");
}

TEST(StrictReading, NoDataIsRefused) {
    EXPECT_EQ(ErrorIssues(AnalyseImageText(Join({END}))), std::vector<Issue>{Issue::NoData});
    EXPECT_EQ(ErrorIssues(AnalyseImageText("")), std::vector<Issue>{Issue::NoData});
    EXPECT_FALSE(AnalyseImageFile("/nonexistent/kazmir.hex").readable);
}

// --- Blocks and the firmware-information record as the library sees them ---

TEST(LibraryView, BlockListOrderFollowsTheLibrarysMerge) {
    // [0,0x10) and [0x20,0x30) are joined late by [0x10,0x20): the joined
    // block takes the place of the later one, after [0x100,0x110).
    const std::string text = Join({HexLine(0x000, 0, Bytes(16, 0)), HexLine(0x100, 0, Bytes(16, 0)),
                                   HexLine(0x020, 0, Bytes(16, 0x20)), HexLine(0x010, 0, Bytes(16, 0x10)), END});
    const ImageAnalysis a = AnalyseImageText(text);
    ASSERT_EQ(a.blocks.size(), 2u);
    EXPECT_EQ(a.blocks[0].start, 0x100u);
    EXPECT_EQ(a.blocks[1].start, 0x000u);
    EXPECT_EQ(a.blocks[1].end, 0x30u);
    ExpectSameAsLibrary(a, LoadWithLibrary(text), "merge order");
}

TEST(LibraryView, LastBlockWithARecordDecidesAndBigEndianModelIsConverted) {
    // 8 bytes, the 50-byte record, the marker.
    auto recordBlock = [](const char* device, uint32_t address) {
        std::vector<uint8_t> b(58 + 9, 0);
        for (int i = 0; i < 4; ++i) b[8 + 8 + i] = static_cast<uint8_t>(address >> (8 * i)); // Address, little-endian
        std::strncpy(reinterpret_cast<char*>(&b[8 + 30]), device, 16);
        std::memcpy(&b[58], "$FW-INFO$", 9);
        return b;
    };
    std::vector<std::string> lines;
    auto addBlock = [&](uint32_t at, const std::vector<uint8_t>& bytes) {
        for (size_t i = 0; i < bytes.size(); i += 16)
            lines.push_back(HexLine(static_cast<uint32_t>(at + i), 0,
                                    std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + std::min(bytes.size(), i + 16))));
    };
    addBlock(0x1000, recordBlock("FIRST", 0x11));
    addBlock(0x2000, recordBlock("eMB-K 740", 0x00000100)); // bytes 00 01 00 00 read big-endian
    lines.push_back(END);
    const std::string text = Join(lines);
    const ImageAnalysis a = AnalyseImageText(text);
    ASSERT_TRUE(a.fwInfo.found);
    EXPECT_EQ(a.fwInfo.block, 1);
    EXPECT_EQ(a.fwInfo.Device(), "eMB-K 740");
    EXPECT_EQ(uint32_t{a.fwInfo.record.Address}, 0x00010000u); // copied: the record is packed
    ExpectSameAsLibrary(a, LoadWithLibrary(text), "fw info");
}

// --- The real-world corpus -------------------------------------------------

TEST(Corpus, EveryFileIsJudgedAndAcceptedOnesLoadAsTheLibraryLoadsThem) {
    KAZMIR_NEED_CORPUS();
    struct Expectation {
        const char* file;
        bool accepted;
        size_t blocks;
        uint32_t lowest;
        uint64_t highest;
    };
    const Expectation table[] = {
        {"adafruitnrf52-disablecrc.hex", true, 1, 0x7F000, 0x7F008},
        {"arduinoavr-Caterina-Leonardo.hex", true, 1, 0x0000, 0x7FDA},
        {"arduinoavr-optiboot_atmega328.hex", true, 2, 0x7E00, 0x8000},
        {"arduinoavr-stk500boot_v2_mega2560.hex", true, 1, 0x3E000, 0x3FD1E},
        {"arduinorenesas-dfu_minima.hex", true, 2, 0x0, 0x01010034},
        {"arduinosamd-Bootloader_D21_M0_150515.hex", true, 2, 0x0, 0x6FD4},
        {"buspirate-ADC2UART.hex", false, 3, 0x0, 0x15800},
        {"diolan18f2550-bootloader.hex", true, 0, 0x0, 0x30000E},
        {"freertoshcs12x-Project.abs.s19", true, 0, 0xC000, 0xFE88A3},
        {"liaraforth-tink.s28", true, 1, 0x5000, 0x7360},
        {"openblt-demoprog_s12g128.abs.sx", true, 0, 0x20000, 0x3E800},
        {"openblt-demoprog_s32k144.srec", true, 1, 0x2000, 0x2EB4},
        {"openblt-demoprog_stm32f091.srec", true, 1, 0x08002800, 0x080043C8},
        {"openblt-demoprog_tc375.srec", true, 0, 0xA000C000, 0xA03005D0},
        {"openblt-eeprom_data.srec", true, 1, 0x08080000, 0x08080400},
        {"openblt-openblt_evbplus_dragon12p.abs.s19", true, 2, 0xE800, 0x10000},
        {"optiboot-hex-with-FFs.hex", true, 2, 0x0, 0xACA},
        {"stm32hid-hid_bootloader.hex", true, 1, 0x08000000, 0x08000CFC},
        {"superprobe-SUPER-v1-original.HEX", true, 0, 0x0, 0x4010},
        {"unistc-hal-demo.ihx", true, 0, 0x0, 0x1621},
    };
    size_t seen = 0;
    for (const auto& e : table) {
        const std::filesystem::path path = std::filesystem::path(KAZMIR_CORPUS_DIR) / e.file;
        const ImageAnalysis a = AnalyseImageFile(path.string());
        ASSERT_TRUE(a.readable) << e.file;
        ++seen;
        EXPECT_EQ(a.Accepted(), e.accepted) << e.file << ": " << (a.findings.empty() ? "" : a.findings[0].text);
        if (e.blocks != 0) {
            EXPECT_EQ(a.blocks.size(), e.blocks) << e.file;
        }
        EXPECT_EQ(a.Lowest(), e.lowest) << e.file;
        EXPECT_EQ(a.Highest(), e.highest) << e.file;
        if (e.accepted) ExpectSameAsLibrary(a, LoadWithLibrary(ReadFile(path)), e.file);
    }
    EXPECT_EQ(seen, 20u);
}

TEST(Corpus, RefusedAndWarnedFilesSayWhy) {
    KAZMIR_NEED_CORPUS();
    const ImageAnalysis bus = AnalyseImageFile(std::string(KAZMIR_CORPUS_DIR) + "/buspirate-ADC2UART.hex");
    const Finding* lower = FindIssue(bus.findings, Issue::LowerCase);
    ASSERT_NE(lower, nullptr);
    EXPECT_EQ(lower->line, 1u);
    // ":0c06a800..." on line 120: the library reads its count wrongly and stops.
    EXPECT_EQ(bus.libraryStopLine, 120u);
    const Finding* after = FindIssue(bus.findings, Issue::AfterStop);
    ASSERT_NE(after, nullptr);
    EXPECT_EQ(after->line, 121u);
    EXPECT_EQ(std::count_if(bus.findings.begin(), bus.findings.end(),
                            [](const Finding& f) { return f.issue == Issue::LowerCase; }),
              113);

    const ImageAnalysis eeprom = AnalyseImageFile(std::string(KAZMIR_CORPUS_DIR) + "/openblt-eeprom_data.srec");
    EXPECT_TRUE(eeprom.Accepted());
    EXPECT_NE(FindIssue(eeprom.findings, Issue::NoEndRecord), nullptr);
    EXPECT_EQ(eeprom.libraryStopLine, 0u);
}

// --- Placement on a flash layout -------------------------------------------

namespace {

FlashLayout Layout(uint32_t base, std::vector<uint32_t> sizes) {
    FlashLayout l;
    l.base = base;
    l.sectorSizes = std::move(sizes);
    l.sectorCount = static_cast<uint16_t>(l.sectorSizes.size());
    return l;
}

ImageAnalysis OneBlock(uint32_t start, size_t size, std::optional<std::pair<uint32_t, uint32_t>> record = {}) {
    ImageAnalysis a;
    a.readable = true;
    ImageBlock b;
    b.start = start;
    b.end = start + size;
    b.data.assign(size, 0x5A);
    a.blocks.push_back(b);
    if (record) {
        a.fwInfo.found = true;
        a.fwInfo.block = 0;
        a.fwInfo.record.Address = record->first;
        a.fwInfo.record.Kind = record->second;
    }
    return a;
}

} // namespace

TEST(Placement, RangeCoversPartlyUsedSectorsAndKeepsTheRest) {
    const PlacementPlan p = PlaceImage(OneBlock(0, 0x2100), Layout(0, std::vector<uint32_t>(8, 0x2000)));
    EXPECT_TRUE(p.Accepted());
    EXPECT_EQ(p.firstSector, 0u);
    EXPECT_EQ(p.endSector, 2u);
    EXPECT_EQ(p.rangeSize, 0x4000u);
    EXPECT_EQ(p.bytesWritten, 0x2100u);
    EXPECT_EQ(p.bytesKept, 0x1F00u);
}

TEST(Placement, ImageWithoutRecordNotStartingAtZeroIsNotWritten) {
    const PlacementPlan p = PlaceImage(OneBlock(0x2100, 0x100), Layout(0, std::vector<uint32_t>(8, 0x2000)));
    EXPECT_FALSE(p.Accepted());
    EXPECT_EQ(p.endSector, 1u);
    ASSERT_EQ(p.findings.size(), 1u);
    EXPECT_EQ(p.findings[0].issue, Issue::NotWritten);
    EXPECT_EQ(p.findings[0].block, 0);
    EXPECT_EQ(p.bytesWritten, 0u);
    // The same image for a flash at 0x08000000 without a record: nothing lands.
    const PlacementPlan stm = PlaceImage(OneBlock(0x08000000, 0xCFC), Layout(0x08000000, std::vector<uint32_t>(4, 0x4000)));
    EXPECT_FALSE(stm.Accepted());
    EXPECT_EQ(stm.findings[0].issue, Issue::NotWritten);
}

TEST(Placement, FlashRecordIsPlacedRelativeToTheBase) {
    const PlacementPlan p = PlaceImage(OneBlock(0x08004000, 0x2000, std::make_pair(0x08004000u, 0u)),
                                       Layout(0x08000000, std::vector<uint32_t>(4, 0x4000)));
    EXPECT_TRUE(p.Accepted());
    EXPECT_EQ(p.firstSector, 1u);
    EXPECT_EQ(p.endSector, 2u);
    EXPECT_EQ(p.firstOffset, 0u);
    EXPECT_EQ(p.blocks.at(0).flashOffset, 0x4000u);
    EXPECT_EQ(p.bytesKept, 0x2000u);
    // An address below the base starts outside the flash.
    const PlacementPlan below = PlaceImage(OneBlock(0x07FF0000, 0x100, std::make_pair(0x07FF0000u, 0u)),
                                           Layout(0x08000000, std::vector<uint32_t>(4, 0x4000)));
    EXPECT_EQ(below.result, KZM_E_BEYOND_FLASH);
    EXPECT_EQ(below.findings.at(0).issue, Issue::StartOutside);
}

TEST(Placement, RecordAddressOnAFlashAtZeroTakesAbsoluteAddresses) {
    const FlashLayout flash = Layout(0, {0x4000, 0x4000, 0x4000, 0x4000, 0x10000, 0x20000});
    const PlacementPlan absolute = PlaceImage(OneBlock(0x4100, 0x100, std::make_pair(0x4100u, 0u)), flash);
    EXPECT_TRUE(absolute.Accepted());
    EXPECT_EQ(absolute.blocks.at(0).flashOffset, 0x4100u);
    EXPECT_EQ(absolute.firstSector, 1u);
    // An image counted from 0 with the same record: the range starts at the
    // record's address, the block stays where its address puts it.
    const PlacementPlan relative = PlaceImage(OneBlock(0, 0x100, std::make_pair(0x4100u, 0u)), flash);
    EXPECT_FALSE(relative.Accepted());
    EXPECT_EQ(relative.findings.at(0).issue, Issue::NotWritten);
    EXPECT_NE(relative.findings.at(0).text.find("outside sector 1"), std::string::npos) << relative.findings.at(0).text;
    // Offsets inside sectors of 64 KiB and more are kept whole.
    const PlacementPlan big = PlaceImage(OneBlock(0x20000 + 0x1234, 0x10, std::make_pair(0x21234u, 0u)), flash);
    EXPECT_TRUE(big.Accepted());
    EXPECT_EQ(big.firstSector, 5u);
    EXPECT_EQ(big.firstOffset, 0x1234u);
}

TEST(Placement, ImageBeyondTheFlashAndRamFirmware) {
    const PlacementPlan beyond = PlaceImage(OneBlock(0x7000, 0x2000, std::make_pair(0x7000u, 0u)),
                                            Layout(0, std::vector<uint32_t>(4, 0x2000)));
    EXPECT_EQ(beyond.result, KZM_E_BEYOND_FLASH);
    EXPECT_EQ(beyond.findings.at(0).issue, Issue::BeyondFlash);
    // Without a record only the length counts: the block then lies past the range.
    const PlacementPlan past = PlaceImage(OneBlock(0x7000, 0x2000), Layout(0, std::vector<uint32_t>(4, 0x2000)));
    EXPECT_EQ(past.result, 0u);
    EXPECT_EQ(past.findings.at(0).issue, Issue::NotWritten);
    const PlacementPlan ram = PlaceImage(OneBlock(0, 0x100, std::make_pair(0u, 1u)), Layout(0, {0x2000}));
    EXPECT_TRUE(ram.Accepted());
    EXPECT_NE(FindIssue(ram.findings, Issue::RamFirmware), nullptr);
}

TEST(Placement, TraceLineGivesBaseAndCountAndAPartialCheck) {
    auto layout = FlashLayout::FromTraceLine("    0001, 22f6, 0008, 0010, 08000000");
    ASSERT_TRUE(layout.has_value());
    EXPECT_EQ(layout->sectorCount, 8u);
    EXPECT_EQ(layout->base, 0x08000000u);
    EXPECT_FALSE(layout->SizesKnown());
    EXPECT_FALSE(FlashLayout::FromTraceLine("DEV_STATE_FLD ").has_value());
    EXPECT_FALSE(FlashLayout::FromTraceLine("0001, 22f6, 0008, 0010").has_value());
    EXPECT_FALSE(FlashLayout::FromTraceLine("0001, 22f6, 0008, 0010, 0800000000").has_value());

    const PlacementPlan ok = PlaceImage(OneBlock(0x08000000, 0x100, std::make_pair(0x08000000u, 0u)), *layout);
    EXPECT_TRUE(ok.Accepted());
    EXPECT_NE(FindIssue(ok.findings, Issue::LayoutUnknown), nullptr);
    const PlacementPlan offsets = PlaceImage(OneBlock(0x08000000, 0x100), *layout);
    EXPECT_FALSE(offsets.Accepted());
}
