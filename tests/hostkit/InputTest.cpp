// Raw binaries and ELF files turned into S-records through the one writer,
// the format told from the content, and the flash layout read from the
// library's trace line.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FlashLayout.h"
#include "ImageCheck.h"
#include "ImageInput.h"
#include "kazmir_host.h"

using namespace kzhost;
namespace fs = std::filesystem;

namespace {

fs::path WriteFile(const std::string& name, const std::string& bytes)
{
    const fs::path p = fs::temp_directory_path() / ("kazmir-input-test-" + name);
    std::ofstream(p, std::ios::binary) << bytes;
    return p;
}

struct ElfSegment {
    uint32_t type, paddr, size; // size: bytes in the file (memsz is larger)
    uint32_t offset = 0;        // 0: right after the headers and the data before
};

// A little-endian ELF32 file with these program headers, each segment's
// bytes counting up from its index times 16.
std::string Elf(const std::vector<ElfSegment>& segments)
{
    std::string file(52 + 32 * segments.size(), '\0');
    auto put = [&](size_t at, uint32_t value, size_t size) { std::memcpy(&file[at], &value, size); };
    std::memcpy(&file[0],
                "\x7f"
                "ELF\x01\x01\x01",
                7);
    put(16, 2, 2);  // executable
    put(18, 3, 2);  // i386
    put(20, 1, 4);  // version
    put(28, 52, 4); // program headers right after the file header
    put(40, 52, 2);
    put(42, 32, 2);
    put(44, static_cast<uint32_t>(segments.size()), 2);
    for (size_t i = 0; i < segments.size(); ++i) {
        const ElfSegment& s = segments[i];
        const size_t header = 52 + 32 * i;
        const uint32_t offset = s.offset != 0 ? s.offset : static_cast<uint32_t>(file.size());
        put(header, s.type, 4);
        put(header + 4, offset, 4);
        put(header + 8, s.paddr + 0x1000, 4); // virtual address: not where it loads
        put(header + 12, s.paddr, 4);
        put(header + 16, s.size, 4);
        put(header + 20, s.size + 8, 4);
        if (s.offset == 0)
            for (uint32_t b = 0; b < s.size; ++b)
                file += static_cast<char>(i * 16 + b);
    }
    return file;
}

std::vector<std::pair<uint32_t, uint64_t>> Blocks(const ImageAnalysis& image)
{
    std::vector<std::pair<uint32_t, uint64_t>> blocks;
    for (const ImageBlock& b : image.blocks)
        blocks.emplace_back(b.start, b.end);
    return blocks;
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
    EXPECT_EQ(Blocks(image), (std::vector<std::pair<uint32_t, uint64_t>>{
                                 {0x08000000, 0x08000000 + 100}, {0xFFFFFF00, 0xFFFFFF02}, {0x200, 0x201}}));
    EXPECT_EQ(image.dataBytes, 103u);
    EXPECT_EQ(image.dataRecords, 6u) << "32 bytes a record: 4 for 100 bytes, one each for the others";

    // The erase image: 0xFF from address 0 on.
    const fs::path blank = fs::temp_directory_path() / "kazmir-input-test-blank.srec";
    ASSERT_FALSE(WriteFilledImage(blank.string(), 0, 0x10001, 0xFF));
    const ImageAnalysis filled = AnalyseImageFile(blank.string());
    EXPECT_TRUE(filled.Accepted());
    EXPECT_EQ(Blocks(filled), (std::vector<std::pair<uint32_t, uint64_t>>{{0, 0x10001}}));
    EXPECT_TRUE(WriteFilledImage(blank.string(), 0xFFFFFFF0, 0x10, 0xFF))
        << "the library reads no record ending at 4 GiB";
    fs::remove(blank);
}

TEST(Input, TheFormatIsToldFromTheContentAndOneSentenceRefusesTheRest)
{
    const std::string elf("\x7f"
                          "ELF\x01\x01\x01",
                          7);
    const struct {
        const char* name;
        std::string bytes;
        bool base;
        std::optional<ImageFormat> format;
        uint32_t code;
        const char* says;
    } cases[] = {
        {"a.hex", ":00000001FF\n", false, ImageFormat::Records, 0, ""},
        {"b.srec", "\n  S9030000FC\n", false, ImageFormat::Records, 0, ""},
        {"c.hex", "", false, ImageFormat::Records, 0, ""},
        {"d.elf", elf, false, ImageFormat::Elf, 0, ""},
        {"e.elf", elf, true, std::nullopt, KZH_E_BASE, "ELF file, which carries its own addresses"},
        {"f.bin", std::string("\x00\x01\xFF\x10", 4), false, std::nullopt, KZH_E_FORMAT, "needs --base"},
        {"g.bin", std::string("\x00\x01\xFF\x10", 4), true, ImageFormat::Binary, 0, ""},
        {"h.txt", "Release notes\n:00000001FF\n", false, std::nullopt, KZH_E_FORMAT,
         "neither Intel HEX, S-records nor ELF"},
        {"i.hex", ":00000001FF\n\x01", false, std::nullopt, KZH_E_FORMAT, "needs --base"},
        // With a base, a file that reads as records is no raw binary.
        {"j.hex", "\r\n:10000000000102030405060708090A0B0C0D0E0F78\r\n", true, std::nullopt, KZH_E_BASE,
         "reads as Intel HEX"},
        {"k.s19", "S00600004844521B\n", true, std::nullopt, KZH_E_BASE, "reads as S-records"},
        {"l.bin", ":0102", true, ImageFormat::Binary, 0, ""},
        {"m.bin", "S9 is a word\n", true, ImageFormat::Binary, 0, ""},
    };
    for (const auto& c : cases) {
        const fs::path p = WriteFile(c.name, c.bytes);
        std::string error;
        uint32_t code = 0;
        const auto format = SniffImageFormat(p.string(), c.base, error, &code);
        EXPECT_EQ(format, c.format) << c.name;
        EXPECT_EQ(format ? 0u : code, c.code) << c.name;
        EXPECT_NE(error.find(c.says), std::string::npos) << c.name << ": " << error;
        if (!format) {
            EXPECT_EQ(std::count(error.begin(), error.end(), '\n'), 0) << error;
        }
        fs::remove(p);
    }
}

TEST(Input, ABinaryIsPlacedAtItsBaseInAPrivateFolderThatGoesAgain)
{
    // More than one read of the file and one buffer of text.
    std::string bytes(200000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 13 + i / 256);
    const fs::path p = WriteFile("app.bin", bytes);
    std::string folder;
    {
        CImageInput input;
        ASSERT_FALSE(input.Open(p.string(), 0x1000));
        folder = input.TempDir();
        ASSERT_FALSE(folder.empty());
#ifndef _WIN32 // Windows folders have no POSIX modes
        EXPECT_EQ(fs::status(folder).permissions() & fs::perms::all, fs::perms::owner_all);
#endif
        EXPECT_EQ(input.Description(), "raw binary of 200000 bytes at 0x00001000");
        const ImageAnalysis image = AnalyseImageFile(input.LibraryPath());
        EXPECT_TRUE(image.Accepted());
        EXPECT_EQ(Blocks(image), (std::vector<std::pair<uint32_t, uint64_t>>{{0x1000, 0x1000 + 200000}}));
        EXPECT_EQ(image.dataRecords, 6250u);
        EXPECT_TRUE(input.Open(p.string(), 0xFFFFFFFFu - 200000 + 1)) << "the library reads no record ending at 4 GiB";
        EXPECT_EQ(input.Result(), KZH_E_FORMAT);
        EXPECT_FALSE(fs::exists(folder)) << "a new Open removes the old folder";
        EXPECT_FALSE(input.Open(p.string(), 0xFFFFFFFFu - 200000));
        const std::string last = input.TempDir();
        RemoveAllTemporaryFolders(); // a stop that ends the process at once
        EXPECT_FALSE(fs::exists(last));
    }
    EXPECT_FALSE(fs::exists(folder));
    CImageInput records;
    ASSERT_FALSE(records.Open(std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex", std::nullopt));
    EXPECT_EQ(records.LibraryPath(), std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex");
    EXPECT_TRUE(records.TempDir().empty());
    EXPECT_TRUE(records.Open(std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex", 0x1000));
    EXPECT_EQ(records.FailureExit(), 2) << "--base for a HEX file is a usage error";
    EXPECT_TRUE(records.Open(WriteFile("empty.bin", "").string(), 0x1000));
    EXPECT_EQ(records.FailureExit(), 3);
    fs::remove(p);
    fs::remove(fs::temp_directory_path() / "kazmir-input-test-empty.bin");
}

TEST(Input, ElfFilesLoadTheirSegmentsWithDataAtTheirPhysicalAddresses)
{
#if !KAZMIR_HOST_ELF
    GTEST_SKIP() << "this build reads no ELF files (no libelf)";
#endif
    constexpr uint32_t LOAD = 1, NOTE = 4;
    const struct {
        const char* name;
        std::vector<ElfSegment> segments;
        std::vector<std::pair<uint32_t, uint64_t>> blocks; // empty: refused
        const char* says;
    } cases[] = {
        {"two segments",
         {{LOAD, 0x8000, 40}, {NOTE, 0x100, 4}, {LOAD, 0x9000, 3}},
         {{0x8000, 0x8028}, {0x9000, 0x9003}},
         "ELF file, 2 loadable segments, 43 bytes"},
        {"no bytes in the file", {{LOAD, 0x8000, 0}, {LOAD, 0x100, 1}}, {{0x100, 0x101}}, "1 loadable segment"},
        {"nothing to load", {{NOTE, 0x100, 4}, {LOAD, 0x8000, 0}}, {}, "without a loadable segment"},
        {"cut short", {{LOAD, 0x8000, 64, 4000}}, {}, "cut short"},
        {"to the end of the address space", {{LOAD, 0xFFFFFFF0, 16}}, {}, "32-bit address space"},
    };
    for (const auto& c : cases) {
        const fs::path p = WriteFile("app.elf", Elf(c.segments));
        CImageInput input;
        const auto refused = input.Open(p.string(), std::nullopt);
        ASSERT_EQ(refused.has_value(), c.blocks.empty()) << c.name << ": " << refused.value_or("");
        EXPECT_NE((refused ? *refused : input.Description()).find(c.says), std::string::npos)
            << c.name << ": " << refused.value_or(input.Description());
        if (refused) {
            EXPECT_EQ(input.Result(), KZH_E_FORMAT) << c.name;
            continue;
        }
        const ImageAnalysis image = AnalyseImageFile(input.LibraryPath());
        EXPECT_TRUE(image.Accepted()) << c.name;
        EXPECT_EQ(Blocks(image), c.blocks) << c.name;
    }
    fs::remove(fs::temp_directory_path() / "kazmir-input-test-app.elf");
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
        {"0001, 0002, 0008, 0000, 0800000A", false, 0, 0},
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
