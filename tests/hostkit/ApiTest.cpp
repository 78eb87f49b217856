// The host kit's C interface as a host in C (or Python through ctypes) uses
// it: plain structures, a code from every call, one sentence on failure, and
// a free function for each object.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

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
}
