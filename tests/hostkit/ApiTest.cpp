// The host kit's C interface as a host in C (or Python through ctypes) uses
// it: plain structures, a code from every call, one sentence on failure, and
// a free function for each object.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "../support/HexLine.h"
#include "kazmir_host.h"

namespace fs = std::filesystem;

namespace {

const std::string DEMO = std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex";
const std::string S16 = "S1130000000102030405060708090A0B0C0D0E0F74\n";

} // namespace

TEST(HostApi, AnImageIsAnalysedPlacedAndFreed)
{
    // The S5 count record as the last line, without a line feed: a warning.
    const std::string text = S16 + "S5030001FB";
    KZH_ANALYSIS* analysis = nullptr;
    ASSERT_EQ(kzhAnalyseMemory(text.data(), text.size(), &analysis), 0u);
    KZH_SUMMARY summary{};
    ASSERT_EQ(kzhAnalysisSummary(analysis, &summary), 0u);
    EXPECT_EQ(summary.accepted, 1u);
    EXPECT_EQ(summary.errors, 0u);
    EXPECT_EQ(summary.warnings, 1u);
    EXPECT_EQ(summary.formats, KZH_FORMAT_SRECORDS);
    EXPECT_STREQ(summary.formatName, "S-records");
    EXPECT_EQ(summary.stopLine, 2u);
    KZH_FINDING finding{};
    ASSERT_EQ(kzhAnalysisFinding(analysis, 0, &finding), 0u);
    EXPECT_EQ(finding.severity, uint32_t{KZH_SEVERITY_WARNING});
    EXPECT_EQ(finding.issue, uint32_t{KZH_ISSUE_MISSING_LINE_END});
    EXPECT_STREQ(finding.issueName, "missing-line-end");
    EXPECT_EQ(finding.line, 2u);
    KZH_BLOCK block{};
    ASSERT_EQ(kzhAnalysisBlock(analysis, 0, &block), 0u);
    EXPECT_EQ(block.start, 0u);
    EXPECT_EQ(block.end, 16u);
    EXPECT_EQ(kzhAnalysisBlock(analysis, 1, &block), KZH_E_ARGUMENT);
    kzhAnalysisFree(analysis);

    ASSERT_EQ(kzhAnalyseFile(DEMO.c_str(), &analysis), 0u);
    KZH_FW_INFO fw{};
    ASSERT_EQ(kzhAnalysisFwInfo(analysis, &fw), 0u);
    EXPECT_EQ(fw.found, 1u);
    EXPECT_STREQ(fw.name, "DEMO");
    EXPECT_STREQ(fw.versionText, "01.02.00.00");
    EXPECT_STREQ(fw.kindText, "FLASH");
    const struct {
        const char* name;
        std::vector<uint32_t> sectors;
        uint64_t size;
        uint32_t accepted, result;
        uint64_t written;
    } flashes[] = {
        {"four sectors of 16 KiB", {0x4000, 0x4000, 0x4000, 0x4000}, 0, 1, 0, 2048},
        {"one sector of 1 KiB", {0x400}, 0, 0, KZM_E_BEYOND_FLASH, 0},
        {"a flash smaller than its sectors", {0x4000, 0x4000}, 0x400, 0, KZM_E_BEYOND_FLASH, 0},
    };
    for (const auto& f : flashes) {
        const KZH_FLASH flash{0, static_cast<uint32_t>(f.sectors.size()), f.sectors.data(), f.size};
        KZH_PLACEMENT* placement = nullptr;
        ASSERT_EQ(kzhPlace(analysis, &flash, &placement), 0u) << f.name;
        KZH_PLACEMENT_INFO info{};
        ASSERT_EQ(kzhPlacementInfo(placement, &info), 0u);
        EXPECT_EQ(info.accepted, f.accepted) << f.name;
        EXPECT_EQ(info.libraryResult, f.result) << f.name;
        EXPECT_EQ(info.bytesWritten, f.written) << f.name;
        KZH_PLACED_BLOCK placed{};
        EXPECT_EQ(kzhPlacementBlock(placement, 0, &placed), f.accepted ? 0u : KZH_E_ARGUMENT) << f.name;
        EXPECT_EQ(placed.written, f.written) << f.name;
        if (!f.accepted) {
            ASSERT_EQ(kzhPlacementFinding(placement, 0, &finding), 0u);
            EXPECT_EQ(finding.issue, uint32_t{KZH_ISSUE_BEYOND_FLASH}) << finding.text;
        }
        kzhPlacementFree(placement);
    }
    kzhAnalysisFree(analysis);
}

TEST(HostApi, FailuresAnswerWithACodeAndOneSentence)
{
    const uint32_t base = 0x1000;
    KZH_ANALYSIS* analysis = nullptr;
    KZH_INPUT* input = nullptr;
    KZH_RESULT_INFO info{};
    const struct {
        const char* name;
        std::function<KZMRESULT()> call;
        KZMRESULT code;
        const char* says;
    } cases[] = {
        {"no path", [&] { return kzhAnalyseFile(nullptr, &analysis); }, KZH_E_ARGUMENT, "needs a path"},
        {"a folder", [&] { return kzhAnalyseFile(KAZMIR_SAMPLES_DIR, &analysis); }, KZH_E_UNREADABLE, "a folder"},
        {"a base for a HEX file", [&] { return kzhInputOpen(DEMO.c_str(), &base, &input); }, KZH_E_BASE,
         "reads as Intel HEX"},
        {"a binary without a base", [&] { return kzhInputOpen(KAZMIR_SOURCE_DIR "/README.md", nullptr, &input); },
         KZH_E_FORMAT, "neither Intel HEX"},
        {"no such operation", [&] { return kzhResultInfo(0, 99, &info); }, KZH_E_ARGUMENT, "known operation"},
        {"an image at the end of the address space",
         [&] {
             return kzhWriteFilled((fs::temp_directory_path() / "kzh-end.srec").string().c_str(), 0xFFFFFF00u, 0x100,
                                   0xFF);
         },
         KZH_E_WRITE, "32-bit address space"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.call(), c.code) << c.name;
        EXPECT_NE(std::string(kzhLastError()).find(c.says), std::string::npos) << c.name << ": " << kzhLastError();
        EXPECT_EQ(analysis, nullptr) << c.name;
        EXPECT_EQ(input, nullptr) << c.name;
    }
    EXPECT_EQ(kzhGetVersion(nullptr, nullptr, nullptr), 0u);
    EXPECT_STREQ(kzhLastError(), "") << "a good call clears the last failure";
    kzhAnalysisFree(nullptr);
    kzhInputFree(nullptr);
    kzhPlacementFree(nullptr);
    kzhDecoderFree(nullptr);
}

TEST(HostApi, ABinaryIsConvertedAndARecordDecodedInHostOrder)
{
    const fs::path bin = fs::temp_directory_path() / "kzh-api-test.bin";
    std::ofstream(bin, std::ios::binary) << std::string(100, '\x5A');
    const uint32_t base = 0x08000000;
    KZH_INPUT* input = nullptr;
    ASSERT_EQ(kzhInputOpen(bin.string().c_str(), &base, &input), 0u);
    KZH_INPUT_INFO info{};
    ASSERT_EQ(kzhInputInfo(input, &info), 0u);
    EXPECT_EQ(info.format, uint32_t{KZH_INPUT_BINARY});
    EXPECT_EQ(info.bytes, 100u);
    EXPECT_STREQ(info.description, "raw binary of 100 bytes at 0x08000000");
    const std::string converted = info.libraryPath;
    KZH_ANALYSIS* analysis = nullptr;
    ASSERT_EQ(kzhAnalyseFile(converted.c_str(), &analysis), 0u);
    KZH_BLOCK block{};
    ASSERT_EQ(kzhAnalysisBlock(analysis, 0, &block), 0u);
    EXPECT_EQ(block.start, base);
    kzhAnalysisFree(analysis);
    kzhInputFree(input);
    EXPECT_FALSE(fs::exists(converted)) << "freeing the input removes its converted file";
    fs::remove(bin);

    // A record of an "eMB-K 740" board holds its numbers big-endian.
    FW_INFO stored{};
    const uint8_t address[4] = {0x00, 0x01, 0x00, 0x00}, kind[4] = {0, 0, 0, 0x81};
    std::memcpy(&stored.Address, address, 4);
    std::memcpy(&stored.Kind, kind, 4);
    std::memcpy(stored.Device, "eMB-K 740", 9);
    std::memcpy(stored.Name, "0123456789", 10); // all ten characters, no NUL
    KZH_FW_INFO fw{};
    ASSERT_EQ(kzhDecodeFwInfo(&stored, &fw), 0u);
    EXPECT_EQ(fw.address, 0x00010000u);
    EXPECT_EQ(fw.kind, 0x81u);
    EXPECT_STREQ(fw.kindText, "RAM (BOOT)");
    EXPECT_STREQ(fw.name, "0123456789");
    EXPECT_EQ(fw.block, -1);
    char line[128];
    ASSERT_EQ(kzhFwInfoText(&fw, line, sizeof(line), nullptr), 0u);
    EXPECT_STREQ(line, "firmware \"0123456789\" 00.00.00.00, RAM (BOOT) at 0x00010000, for \"eMB-K 740\" 00.00.00.00");
}

// The words come whole or not at all: KZH_E_SPACE with the size they need
// when the buffer is short, and the buffer left as it was.
TEST(HostApi, TheWordsComeWholeOrNotAtAll)
{
    // Four wrong checksums (the last digit's low bit flipped): three listed, then the rest counted.
    std::string bad;
    for (uint32_t a = 0; a < 0x40; a += 0x10)
        bad += HexLine(a, 0, std::vector<uint8_t>(16, static_cast<uint8_t>(a)));
    for (size_t at = 0, n = 0; n < 4; ++n, at = bad.find('\n', at) + 1)
        bad[bad.find('\n', at) - 1] ^= 1;
    bad += HEX_END;
    KZH_ANALYSIS *demo = nullptr, *refused = nullptr;
    ASSERT_EQ(kzhAnalyseFile(DEMO.c_str(), &demo), 0u);
    ASSERT_EQ(kzhAnalyseMemory(bad.data(), bad.size(), &refused), 0u);
    const uint32_t sectors[] = {0x4000, 0x4000}, tiny = 0x400;
    const KZH_FLASH twoSectors{0, 2, sectors, 0}, oneKiB{0, 1, &tiny, 0};
    KZH_PLACEMENT *placed = nullptr, *beyond = nullptr;
    ASSERT_EQ(kzhPlace(demo, &twoSectors, &placed), 0u);
    ASSERT_EQ(kzhPlace(demo, &oneKiB, &beyond), 0u);
    KZH_FW_INFO fw{}, none{};
    ASSERT_EQ(kzhAnalysisFwInfo(demo, &fw), 0u);
    using Text = std::function<KZMRESULT(char*, size_t, size_t*)>;
    const struct {
        const char* name;
        Text get;
        KZMRESULT code;
        std::string text;
    } cases[] = {
        {"a record", [&](char* t, size_t n, size_t* k) { return kzhFwInfoText(&fw, t, n, k); }, 0,
         "firmware \"DEMO\" 01.02.00.00, FLASH at 0x00000000, for \"KZ-DEMO\" 01.00.00.00"},
        {"no record", [&](char* t, size_t n, size_t* k) { return kzhFwInfoText(&none, t, n, k); }, 0,
         "no firmware-information record"},
        {"a range", [&](char* t, size_t n, size_t* k) { return kzhPlacementRangeText(placed, t, n, k); }, 0,
         "sector 0 (flash 0x00000000 to 0x00003FFF, 16.0 KiB)"},
        {"a placement", [&](char* t, size_t n, size_t* k) { return kzhPlacementText(placed, t, n, k); }, 0,
         "sector 0 (flash 0x00000000 to 0x00003FFF, 16.0 KiB): 2048 bytes from the image, 14336 bytes of the range "
         "left untouched\n"},
        {"a placement's errors",
         [&](char* t, size_t n, size_t* k) { return kzhPlacementFindingsText(beyond, KZH_TEXT_ERRORS, t, n, k); }, 0,
         "the image ends beyond the flash: placed at flash offset 0x00000000 (its record's address is 0, so its "
         "addresses are flash offsets) its 0x00000800 bytes reach 0x00000800, but the flash holds only 0x00000400 "
         "bytes; blocks beyond it: 0\n"},
        {"errors cut short",
         [&](char* t, size_t n, size_t* k) { return kzhAnalysisFindingsText(refused, KZH_TEXT_ERRORS, t, n, k); }, 0,
         "line 1: checksum F1 is wrong, the record's bytes give F0\nline 2: checksum E1 is wrong, the record's bytes "
         "give E0\nline 3: checksum D1 is wrong, the record's bytes give D0\n... and 1 more of this kind "
         "(bad-checksum)\n"},
        {"a report", [&](char* t, size_t n, size_t* k) { return kzhAnalysisText(refused, nullptr, t, n, k); }, 0,
         "image: Intel HEX, 5 lines, 4 data records, 64 bytes\n"
         "Blocks, in the library's order:\n"
         "    0  0x00000000 to 0x0000003F  64 bytes\n"
         "Lowest address 0x00000000, highest 0x0000003F (the image spans 64 bytes)\n"
         "No firmware-information record: the library takes the image's addresses as flash offsets.\n"
         "Check: refused, 4 problems:\n"
         "  error: line 1: checksum F1 is wrong, the record's bytes give F0\n"
         "  error: line 2: checksum E1 is wrong, the record's bytes give E0\n"
         "  error: line 3: checksum D1 is wrong, the record's bytes give D0\n"
         "  ... and 1 more of this kind (bad-checksum)\n"},
        {"no range placed", [&](char* t, size_t n, size_t* k) { return kzhPlacementRangeText(beyond, t, n, k); },
         KZH_E_ARGUMENT, ""},
        {"unknown flags", [&](char* t, size_t n, size_t* k) { return kzhAnalysisFindingsText(demo, 2, t, n, k); },
         KZH_E_ARGUMENT, ""},
        {"no analysis", [&](char* t, size_t n, size_t* k) { return kzhAnalysisText(nullptr, "x", t, n, k); },
         KZH_E_ARGUMENT, ""},
        {"no record given", [&](char* t, size_t n, size_t* k) { return kzhFwInfoText(nullptr, t, n, k); },
         KZH_E_ARGUMENT, ""},
    };
    for (const auto& c : cases) {
        size_t needed = 0;
        EXPECT_EQ(c.get(nullptr, 0, &needed), c.code ? c.code : KZH_E_SPACE) << c.name;
        EXPECT_EQ(needed, c.code ? 0 : c.text.size() + 1) << c.name;
        if (c.code != 0)
            continue;
        EXPECT_EQ(c.get(nullptr, needed, nullptr), KZH_E_ARGUMENT) << c.name << ": a size without a buffer";
        std::string buffer(needed, '#');
        EXPECT_EQ(c.get(buffer.data(), needed - 1, nullptr), KZH_E_SPACE) << c.name;
        EXPECT_EQ(buffer, std::string(needed, '#')) << c.name << ": a short buffer stays as it was";
        EXPECT_EQ(c.get(buffer.data(), needed, nullptr), 0u) << c.name;
        EXPECT_EQ(buffer, c.text + '\0') << c.name;
    }
    kzhPlacementFree(placed);
    kzhPlacementFree(beyond);
    kzhAnalysisFree(refused);
    kzhAnalysisFree(demo);
}
