// Stamps: the --stamp syntax, the bytes of a value, the CSV source, and the
// stamped image as the library's reader and the host's strict check see it.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <cstdio>
#include <set>

#if KAZMIR_RUNLOG_CHECK
#include "ImageCheck.h"
#endif
#include "RunLog.h"
#include "RunlogSupport.h"
#include "Stamp.h"
#include "StampImage.h"
#include "flash/ImageFile.h"
#include "support/HexLine.h"

using namespace kzlog;

namespace {

TEST(Stamp, ParsesTheSyntaxAndNamesEveryMistake)
{
    struct Case {
        const char* text;
        uint32_t address;
        const char* format; // expected FormatName, or "" for a refusal
        uint32_t size;
        const char* sourceOrError; // SourceText, or a part of the error sentence
    };
    const Case cases[] = {
        {"0x7F00=u32le:counter:units", 0x7F00, "u32le", 4, "counter:units"},
        {"32512=u16be:csv:values.csv", 0x7F00, "u16be", 2, "csv:values.csv"},
        {"0x0=text16:csv:C:/line/macs.csv", 0, "text16", 16, "csv:C:/line/macs.csv"},
        {"0xFFFFFFF8=u64be:counter:a.b-c_d", 0xFFFFFFF8, "u64be", 8, "counter:a.b-c_d"},
        {"0X10=text256:counter:x", 0x10, "text256", 256, "counter:x"},
        {"0x7F00u32le:counter:units", 0, "", 0, "ADDRESS=FORMAT:SOURCE"},
        {"0x7F00=u32le", 0, "", 0, "ADDRESS=FORMAT:SOURCE"},
        {"0x7G00=u32le:counter:u", 0, "", 0, "\"0x7G00\" is no address"},
        {"0x100000000=u32le:counter:u", 0, "", 0, "is no address"},
        {"-1=u32le:counter:u", 0, "", 0, "is no address"},
        {"=u32le:counter:u", 0, "", 0, "is no address"},
        {"0x10=u24le:counter:u", 0, "", 0, "unknown format \"u24le\""},
        {"0x10=text0:counter:u", 0, "", 0, "unknown format"},
        {"0x10=text08:counter:u", 0, "", 0, "unknown format"},
        {"0x10=text257:counter:u", 0, "", 0, "unknown format"},
        {"0x10=text:counter:u", 0, "", 0, "unknown format"},
        {"0xFFFFFFFE=u32le:counter:u", 0, "", 0, "run past the end of the 32-bit address space"},
        {"0x10=u32le:counter:", 0, "", 0, "is no counter name"},
        {"0x10=u32le:counter:a b", 0, "", 0, "is no counter name"},
        {"0x10=u32le:csv:", 0, "", 0, "needs a file"},
        {"0x10=u32le:file:x", 0, "", 0, "unknown source \"file:x\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        const auto stamp = ParseStamp(c.text, error);
        if (*c.format == '\0') {
            EXPECT_FALSE(stamp);
            EXPECT_NE(error.find(c.sourceOrError), std::string::npos) << error;
            EXPECT_EQ(error.rfind(std::string("--stamp ") + c.text + ": ", 0), 0u) << error;
            continue;
        }
        ASSERT_TRUE(stamp) << error;
        EXPECT_EQ(stamp->address, c.address);
        EXPECT_EQ(stamp->FormatName(), c.format);
        EXPECT_EQ(stamp->size, c.size);
        EXPECT_EQ(stamp->SourceText(), c.sourceOrError);
    }

    std::string error;
    const auto a = *ParseStamp("0x100=u32le:counter:a", error);
    const auto b = *ParseStamp("0x104=u16be:counter:b", error);
    const auto c = *ParseStamp("0x103=text2:counter:c", error);
    EXPECT_FALSE(CheckStampSet({a, b}));
    EXPECT_TRUE(CheckStampSet({a, b, c}));
}

TEST(Stamp, EncodesValuesInTheirFormat)
{
    struct Case {
        const char* stamp;
        const char* value;
        std::vector<uint8_t> bytes; // empty: refused
        const char* error;
    };
    const Case cases[] = {
        {"0=u16le:counter:c", "0x1234", {0x34, 0x12}, ""},
        {"0=u16be:counter:c", "4660", {0x12, 0x34}, ""},
        {"0=u32le:counter:c", "1000", {0xE8, 0x03, 0, 0}, ""},
        {"0=u32be:counter:c", "0xA1B2C3D4", {0xA1, 0xB2, 0xC3, 0xD4}, ""},
        {"0=u64le:counter:c", "1", {1, 0, 0, 0, 0, 0, 0, 0}, ""},
        {"0=u64be:counter:c", "18446744073709551615", {255, 255, 255, 255, 255, 255, 255, 255}, ""},
        {"0=u16le:counter:c", "65535", {0xFF, 0xFF}, ""},
        {"0=text4:counter:c", "AB", {'A', 'B', 0, 0}, ""},
        {"0=text2:counter:c", "AB", {'A', 'B'}, ""},
        {"0=text2:counter:c", "ABC", {}, "has 3 bytes; text2 holds 2"},
        {"0=u16le:counter:c", "65536", {}, "does not fit u16le (at most 65535)"},
        {"0=u32be:counter:c", "0x100000000", {}, "does not fit u32be"},
        {"0=u32le:counter:c", "12ab", {}, "is no whole number"},
        {"0=u64le:counter:c", "18446744073709551616", {}, "is no whole number"},
        {"0=u16le:counter:c", "", {}, "is no whole number"},
        {"0=u16le:counter:c", "-1", {}, "is no whole number"},
        {"0=u16le:counter:c", "0x", {}, "is no whole number"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.stamp) + " <- " + c.value);
        std::string error;
        const auto bytes = EncodeStamp(*ParseStamp(c.stamp, error), c.value, error);
        if (c.bytes.empty()) {
            EXPECT_FALSE(bytes);
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        } else {
            ASSERT_TRUE(bytes) << error;
            EXPECT_EQ(*bytes, c.bytes);
        }
    }
}

TEST(Stamp, TakesValuesFromCsvFilesBeforeAnyCounterValue)
{
    runlogtest::TempDir dir;
    struct Case {
        const char* csv;
        const char* serial;
        const char* valueOrError;
        bool ok;
    };
    const Case cases[] = {
        {"serial,value\nKZ1,100\nKZ2,200\n", "KZ2", "200", true},
        {"KZ1,\"a,b\"\"c\"\r\nKZ2,x\r\n", "KZ1", "a,b\"c", true},
        {"\xEF\xBB\xBFSerial,Value\n\nKZ1, 7 \n", "KZ1", "7", true},
        {"KZ1,\"two\nlines\"\nKZ2,y\n", "KZ2", "y", true},
        {"serial,value\nKZ1,1\nKZ1,2\n", "KZ1", "line 3: serial KZ1 has a row already", false},
        {"serial,value\nKZ1,1,2\n", "KZ1", "line 2: expected two columns, serial and value; found 3", false},
        {"serial,value\nKZ1,\"open\n", "KZ1", "line 2: a quoted field is never closed", false},
        {"serial,value\n,5\n", "KZ1", "line 2: the serial is empty", false},
        {"serial,value\nKZ2,1\n", "KZ1", "has no row for board KZ1", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.csv);
        std::string error;
        const std::string file = dir.File("values.csv", c.csv);
        const auto stamp = ParseStamp("0x10=text8:csv:" + file, error);
        const auto values = ResolveStamps({*stamp}, c.serial, nullptr, error);
        if (c.ok) {
            ASSERT_TRUE(values) << error;
            EXPECT_EQ(values->at(0).value, c.valueOrError);
            EXPECT_EQ(values->at(0).source, "csv:" + file);
        } else {
            EXPECT_FALSE(values);
            EXPECT_NE(error.find(c.valueOrError), std::string::npos) << error;
        }
    }

    // A board without its CSV row takes no counter value; a counter stamp
    // needs the log.
    std::string error;
    auto log = CRunLog::Open(dir.File("log.sqlite"), error);
    ASSERT_TRUE(log) << error;
    ASSERT_FALSE(log->SetCounter("units", 5));
    const std::vector<StampRule> stamps = {*ParseStamp("0x0=u32le:counter:units", error),
                                           *ParseStamp("0x4=text8:csv:" + dir.File("values.csv"), error)};
    EXPECT_FALSE(ResolveStamps(stamps, "KZ1", log.get(), error));
    std::optional<uint64_t> next;
    ASSERT_FALSE(log->GetCounter("units", next));
    EXPECT_EQ(next, 5u);
    EXPECT_FALSE(ResolveStamps({stamps[0]}, "KZ1", nullptr, error));
    EXPECT_NE(error.find("--no-log"), std::string::npos) << error;
    dir.File("values.csv", "KZ1,0x41\n");
    const auto values = ResolveStamps(stamps, "KZ1", log.get(), error);
    ASSERT_TRUE(values) << error;
    EXPECT_EQ(values->at(0).value, "5");
    EXPECT_EQ(values->at(0).bytes, (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(values->at(1).bytes, (std::vector<uint8_t>{'0', 'x', '4', '1', 0, 0, 0, 0}));
}

// Every byte of a loaded image by address.
std::map<uint32_t, uint8_t> Loaded(const std::string& text)
{
    CImageFile image;
    std::map<uint32_t, uint8_t> bytes;
    if (image.LoadMemory(text.data(), text.size()) != 0)
        return bytes;
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* data = nullptr;
        image.GetBlock(i, &start, &end, &data);
        for (uint32_t a = start; a != end; ++a)
            bytes[a] = data[a - start];
    }
    return bytes;
}

// What the host's strict check finds in an image, by kind and severity.
std::multiset<int> Issues([[maybe_unused]] const std::string& text)
{
    std::multiset<int> issues;
#if KAZMIR_RUNLOG_CHECK
    for (const auto& f : kzhost::AnalyseImageText(text).findings)
        issues.insert(static_cast<int>(f.issue) * 2 + (f.severity == kzhost::Severity::Error));
#endif
    return issues;
}

// Record lines whose checksum is wrong: an Intel HEX line's bytes sum to 0,
// an S-record's (after its type) to 0xFF.
int BadSums(const std::string& text)
{
    int bad = 0;
    size_t start = 0;
    for (size_t end = text.find('\n'); end != std::string::npos; start = end + 1, end = text.find('\n', start)) {
        const std::string line = text.substr(start, end - start - (text[end - 1] == '\r'));
        const size_t first = line.rfind(':', 0) == 0 ? 1 : line.rfind('S', 0) == 0 ? 2 : 0;
        unsigned sum = 0;
        for (size_t i = first; first != 0 && i + 1 < line.size(); i += 2)
            sum += static_cast<unsigned>(std::stoul(line.substr(i, 2), nullptr, 16));
        bad += first != 0 && (sum & 0xFF) != (first == 1 ? 0u : 0xFFu);
    }
    return bad;
}

std::string Crlf(std::string text)
{
    for (size_t at = text.find('\n'); at != std::string::npos; at = text.find('\n', at + 2))
        text.replace(at, 1, "\r\n");
    return text;
}

TEST(StampImage, PutsTheBytesWhereTheLibraryReadsThemAndKeepsTheRest)
{
    std::vector<uint8_t> ramp(16), ramp2(16);
    for (uint8_t i = 0; i < 16; ++i) {
        ramp[i] = i;
        ramp2[i] = static_cast<uint8_t>(0x10 + i);
    }
    const std::string two = HexLine(0x0000, 0, ramp) + HexLine(0x0010, 0, ramp2) + HEX_END;
    std::string badSum = two;
    badSum[HexLine(0x0000, 0, ramp).size() - 2] ^= 1; // the first record's checksum is wrong
    const std::string high = HexLine(0, 4, {0x08, 0x00}) + HexLine(0x0000, 0, ramp) + HEX_END;
    const std::string segment = HexLine(0, 2, {0x10, 0x00}) + HexLine(0x0000, 0, ramp) + HEX_END;
    const std::string srec = SRecord(0x1000, std::vector<uint8_t>(32, 0xAA)) + "S70500000000FA\n";
    struct Case {
        const char* name;
        std::string text;
        uint32_t address;
        std::vector<uint8_t> bytes;
        uint32_t replaced, added;
    };
    const Case cases[] = {
        {"inside one record", two, 0x0004, {1, 2, 3, 4}, 4, 0},
        {"across two records", two, 0x000E, {0xDE, 0xAD, 0xBE, 0xEF}, 4, 0},
        {"right after the data", two, 0x0020, {0x55, 0x66}, 0, 2},
        {"in a gap far above", two, 0x7F00, {0xE8, 3, 0, 0}, 0, 4},
        {"above 64 KiB after an extended address", high, 0x08007F00, {9, 8, 7, 6}, 0, 4},
        {"inside data above 64 KiB", high, 0x08000008, {9, 8}, 2, 0},
        {"across a 64 KiB boundary", two, 0x0000FFFE, {1, 2, 3, 4}, 0, 4},
        {"segment addresses", segment, 0x10004, {0x77}, 1, 0},
        {"S-records, half in and half out", srec, 0x101E, {1, 2, 3, 4}, 2, 2},
        {"CR LF lines", Crlf(two), 0x0011, {0xAB}, 1, 0},
        {"a record the library does not read", two + HexLine(0x100, 0, {1, 2, 3, 4}), 0x0100, {5, 6}, 0, 2},
        {"a wrong checksum stays wrong", badSum, 0x0002, {0x42}, 1, 0},
        {"a long text stamp", two, 0x0008, std::vector<uint8_t>(40, 'k'), 24, 16},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        StampLanding landing;
        const auto stamped = StampImageText(c.text, {{c.address, "raw", "test", "v", c.bytes}}, error, &landing);
        ASSERT_TRUE(stamped) << error;
        EXPECT_EQ(landing.replaced, c.replaced);
        EXPECT_EQ(landing.added, c.added);
        std::map<uint32_t, uint8_t> want = Loaded(c.text);
        ASSERT_FALSE(want.empty());
        for (size_t i = 0; i < c.bytes.size(); ++i)
            want[c.address + static_cast<uint32_t>(i)] = c.bytes[i];
        EXPECT_EQ(Loaded(*stamped), want);
        // The strict check finds in the copy what it found in the image.
        EXPECT_EQ(BadSums(*stamped), BadSums(c.text));
        EXPECT_EQ(Issues(*stamped), Issues(c.text));
    }

    std::string error;
    EXPECT_FALSE(StampImageText(std::string("no records\n") + HEX_END, {{0, "u8", "t", "1", {1}}}, error));
    EXPECT_NE(error.find("no data record"), std::string::npos) << error;
    EXPECT_FALSE(StampImageText(two, {{0, "a", "t", "1", {1, 2}}, {1, "b", "t", "1", {3}}}, error));
    EXPECT_NE(error.find("another stamp"), std::string::npos) << error;
}

TEST(StampImage, WritesTheCopyIntoAFolderThatGoesWithIt)
{
    runlogtest::TempDir dir;
    const std::string image = dir.File("app.hex", HexLine(0, 0, {1, 2, 3, 4}) + HEX_END);
    std::string folder;
    {
        CStampedImage stamped;
        ASSERT_FALSE(stamped.Make(image, {{2, "u16le", "counter:c", "258", {2, 1}}}));
        EXPECT_EQ(std::filesystem::path(stamped.Path()).filename(), "app-stamped.hex");
        std::ifstream in(stamped.Path());
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(Loaded(text), (std::map<uint32_t, uint8_t>{{0, 1}, {1, 2}, {2, 2}, {3, 1}}));
        folder = std::filesystem::path(stamped.Path()).parent_path().string();
        EXPECT_TRUE(std::filesystem::exists(folder));
    }
    EXPECT_FALSE(std::filesystem::exists(folder));
    CStampedImage missing;
    const auto error = missing.Make(dir.path + "/none.hex", {});
    ASSERT_TRUE(error);
    EXPECT_NE(error->find("cannot read the image"), std::string::npos);
}

} // namespace
