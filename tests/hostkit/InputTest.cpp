// Raw binaries and ELF files turned into S-records, the flash layout read from
// the library's trace line, and progress bars fitted to the terminal.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FlashLayout.h"
#include "ImageCheck.h"
#include "ImageInput.h"
#include "Output.h"

using namespace kzcli;
namespace fs = std::filesystem;

namespace {

size_t Columns(const std::string& text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

fs::path WriteFile(const std::string& name, const std::string& bytes)
{
    const fs::path p = fs::temp_directory_path() / ("kazmir-input-test-" + name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
}

} // namespace

TEST(Input, SegmentsBecomeSRecordsTheCheckAcceptsAndTheLibraryLoadsAsGiven)
{
    std::vector<uint8_t> big(100);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i * 7 + 1);
    const std::vector<LoadSegment> segments = {{0x08000000, big}, {0xFFFFFF00, {0xAB, 0xCD}}, {0x200, {0x5A}}};
    const ImageAnalysis image = AnalyseImageText(SRecordText(segments));
    ASSERT_TRUE(image.Accepted()) << (image.findings.empty() ? "" : image.findings.front().text);
    ASSERT_EQ(image.blocks.size(), 3u);
    EXPECT_EQ(image.blocks[0].start, 0x08000000u);
    EXPECT_EQ(image.blocks[0].end, 0x08000000u + 100);
    EXPECT_EQ(image.blocks[1].end, 0xFFFFFF02u);
    EXPECT_EQ(image.blocks[2].start, 0x200u);
    EXPECT_EQ(image.dataBytes, 103u);
    EXPECT_EQ(image.dataRecords, 6u) << "32 bytes a record: 4 for 100 bytes, one each for the others";
}

TEST(Input, TheFormatIsToldFromTheContentAndOneSentenceRefusesTheRest)
{
    const struct {
        const char* name;
        std::string bytes;
        bool base;
        std::optional<ImageFormat> format;
        const char* says;
    } cases[] = {
        {"a.hex", ":00000001FF\n", false, ImageFormat::Records, ""},
        {"b.srec", "\n  S9030000FC\n", false, ImageFormat::Records, ""},
        {"c.hex", "", false, ImageFormat::Records, ""},
        {"d.elf",
         std::string("\x7f"
                     "ELF\x01\x01\x01",
                     7),
         false, ImageFormat::Elf, ""},
        {"e.elf",
         std::string("\x7f"
                     "ELF\x01\x01\x01",
                     7),
         true, std::nullopt, "leave out --base"},
        {"f.bin", std::string("\x00\x01\xFF\x10", 4), false, std::nullopt, "needs --base"},
        {"g.bin", std::string("\x00\x01\xFF\x10", 4), true, ImageFormat::Binary, ""},
        {"h.txt", "Release notes\n:00000001FF\n", false, std::nullopt, "neither Intel HEX, S-records nor ELF"},
        {"i.hex", ":00000001FF\n\x01", false, std::nullopt, "needs --base"},
    };
    for (const auto& c : cases) {
        const fs::path p = WriteFile(c.name, c.bytes);
        std::string error;
        const auto format = SniffImageFormat(p.string(), c.base, error);
        EXPECT_EQ(format, c.format) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        if (!format) {
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 0) << error;
        }
        fs::remove(p);
    }
}

TEST(Input, ABinaryIsPlacedAtItsBaseInAPrivateFolderThatGoesAgain)
{
    const fs::path p = WriteFile("app.bin", std::string("\x01\x02\x03", 3));
    std::string folder;
    {
        CImageInput input;
        ASSERT_FALSE(input.Open(p.string(), 0x1000));
        folder = input.TempDir();
        ASSERT_FALSE(folder.empty());
#ifndef _WIN32 // Windows folders have no POSIX modes
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
        const ImageAnalysis image = AnalyseImageFile(input.LibraryPath());
        ASSERT_EQ(image.blocks.size(), 1u);
        EXPECT_EQ(image.blocks[0].start, 0x1000u);
        EXPECT_EQ(image.blocks[0].end, 0x1003u);
        EXPECT_TRUE(input.Open(p.string(), 0xFFFFFFFD)) << "the library reads no record that ends at 4 GiB";
        EXPECT_FALSE(input.Open(p.string(), 0xFFFFFFFC));
        EXPECT_FALSE(fs::exists(folder)) << "a new Open removes the old folder";
    }
    EXPECT_FALSE(fs::exists(folder));
    CImageInput records;
    ASSERT_FALSE(records.Open(std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex", std::nullopt));
    EXPECT_EQ(records.LibraryPath(), std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex");
    EXPECT_TRUE(records.TempDir().empty());
    fs::remove(p);
}

TEST(FlashLayoutTrace, OnlyTheLinesTheLibraryPrintsAreRead)
{
    const struct {
        const char* line;
        bool read;
        uint16_t sectors;
        uint32_t base;
    } cases[] = {
        {"    0001, 0002, 0008, 0000, 08000000", true, 8, 0x08000000},
        {"0000, 0000, 0020, 0000, 00000000\n", true, 32, 0},
        {"0001, 0002, 8, 0000, 08000000", false, 0, 0},
        {"0001, 0002, 0008, 0000, 8000000", false, 0, 0},
        {"0001, 0002, 0008, 0000, 08000000 x", false, 0, 0},
        {"0001 0002 0008 0000 08000000", false, 0, 0},
    };
    for (const auto& c : cases) {
        const auto layout = FlashLayout::FromTraceLine(c.line);
        ASSERT_EQ(layout.has_value(), c.read) << c.line;
        if (!layout)
            continue;
        EXPECT_EQ(layout->sectorCount, c.sectors) << c.line;
        EXPECT_EQ(layout->base, c.base) << c.line;
    }
}

TEST(Bars, EveryLineFitsTheTerminalAndShrinksTheBarFirst)
{
    PhaseStats s{Phase::Write, 0, 128, 64, false, 64ull << 20, 1.5};
    for (unsigned columns : {10u, 24u, 40u, 60u, 80u, 200u})
        for (bool failed : {false, true})
            for (const char* end : {"", "  12.34 s"}) {
                s.failed = failed;
                const std::string line = BarLine(s, true, columns, end);
                EXPECT_LE(Columns(line), columns - 1) << columns << ": " << line;
                if (columns >= 60) {
                    EXPECT_NE(line.find("64/128 sectors"), std::string::npos) << line;
                    EXPECT_NE(line.find(end), std::string::npos) << line;
                    EXPECT_EQ(line.find("FAILED") != std::string::npos, failed) << line;
                }
            }
    s.failed = false;
    const std::string wide = BarLine(s, false, 200, "");
    EXPECT_NE(wide.find("[###############---------------] 64/128 sectors  64.0 MiB  42.7 MiB/s"), std::string::npos)
        << wide;
    EXPECT_EQ(BarLine(s, false, 48, ""), "write  [######-------] 64/128 sectors  64.0 MiB") << "the rate goes first";
}
