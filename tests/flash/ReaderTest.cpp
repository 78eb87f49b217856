// The image reader: records, lines as a 4096-byte line buffer reads them,
// where reading stops, what an observer sees, the block layout against a
// literal model, and the corpus; on the scalar digit path and on every
// vector path the CPU has.
#include "FlashSupport.h"

#include "flash/FwInfo.h"
#include "flash/HexDigits.h"
#include "flash/ImageReader.h"
#include "support/Corpus.h"

#include <algorithm>
#include <csignal>
#include <random>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#endif
#include <thread>

using namespace flashtest;

namespace {

const std::string REC0 = ":0400000001020304F2\n";  // 01 02 03 04 at 0
const std::string REC4 = ":0400040005060708DE\n";  // 05 06 07 08 at 4
const std::string REC10 = ":0400100005060708D2\n"; // 05 06 07 08 at 0x10
const std::string LONG_LINE(4095, '#');

std::vector<uint8_t> Seq(uint8_t from, size_t n)
{
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(from + i);
    return v;
}

// The digit paths this CPU runs, the scalar one first; each test leaves the
// best one in use.
std::vector<uint32_t> Levels()
{
    std::vector<uint32_t> levels;
    for (uint32_t level = CHexDigits::LEVEL_SCALAR; level <= CHexDigits::CpuLevel(); ++level)
        levels.push_back(level);
    return levels;
}

class CLevel {
public:
    explicit CLevel(uint32_t level) : m_Trace(__FILE__, __LINE__, "digit path " + std::to_string(level))
    {
        CHexDigits::SetLevel(level);
    }
    ~CLevel() { CHexDigits::SetLevel(CHexDigits::CpuLevel()); }

private:
    testing::ScopedTrace m_Trace;
};

struct ReadCase {
    const char* Name;
    std::string Text;
    KZMRESULT Result;
    std::vector<Block> Blocks;
};

} // namespace

TEST(ImageReader, RecordsAndLinesLoadAsTheRulesSay)
{
    const std::vector<Block> R0 = {{0, 4, Seq(1, 4)}}, R0R10 = {{0, 4, Seq(1, 4)}, {0x10, 0x14, Seq(5, 4)}};
    const std::vector<ReadCase> cases = {
        {"two records, one block", REC0 + REC4 + HEX_END, 0, {{0, 8, Seq(1, 8)}}},
        {"opposite order, same block", REC4 + REC0 + HEX_END, 0, {{0, 8, Seq(1, 8)}}},
        {"type 02 segment", HexLine(0, 2, {0x10, 0}) + HexLine(0x10, 0, {9}) + HEX_END, 0, {{0x10010, 0x10011, {9}}}},
        {"type 04 linear",
         HexLine(0, 4, {0xAB, 0xCD}) + HexLine(2, 0, {7}) + HEX_END,
         0,
         {{0xABCD0002, 0xABCD0003, {7}}}},
        {"two blocks, file order",
         HexLine(256, 0, {1}) + HexLine(0, 0, {2}) + HEX_END,
         0,
         {{256, 257, {1}}, {0, 1, {2}}}},
        {"S0 skipped, S1 loaded, S9 ends",
         "S0030000FC\nS1130000000102030405060708090A0B0C0D0E0F64\nS9030000FC\nS105001000EA\n",
         0,
         {{0, 16, Seq(0, 16)}}},
        {"CR LF reads as LF", ":0400000001020304F2\r\n:00000001FF\r\n", 0, R0},
        {"one digit short stops reading", REC0 + ":04001000050607D2\n" + REC4 + HEX_END, 0, R0},
        {"a line feed within a record's length stops reading", REC0 + ":0200100001\n02FB\n" + REC4, 0, R0},
        {"CR LF one short of a record's length stops reading", REC0 + ":0400100001020304F\r\n" + REC4, 0, R0},
        {"S3 in CR LF lines, a lower-case s",
         "S3090000000001020304EC\r\ns3090000000405060708D8\r\n",
         0,
         {{0, 8, Seq(1, 8)}}},
        {"lower-case digits give wrong bytes", ":010000000aF5\n" + std::string(HEX_END), 0, {{0, 1, {0x2A}}}},
        {"end record stops reading", REC0 + HEX_END + REC10, 0, R0},
        {"last line without line feed is malformed", REC0 + ":0400100005060708D2", 0, R0},
        {"end record without line feed", REC0 + ":00000001FF", 0, R0},
        {"Ctrl-Z ends the file", REC0 + "\x1A" + REC10, 0, R0},
        {"a NUL byte ends the line as a C string", REC0 + std::string(":04001000\0", 10) + "5060708D2\n" + REC4, 0, R0},
        {"Ctrl-Z after a NUL byte in a skipped line ends the file",
         REC0 + std::string("x\0y\n", 4) + REC4 + "\x1A\n" + REC10,
         0,
         {{0, 8, Seq(1, 8)}}},
        {"record after 4,095 characters is read", REC0 + LONG_LINE + REC10 + HEX_END, 0, R0R10},
        {"record line over 4,095 characters is malformed", REC0 + ":" + std::string(4100, '0') + "\n" + REC10, 0, R0},
        {"malformed remainder stops reading", REC0 + LONG_LINE + "S1FF\n" + REC10 + HEX_END, 0, R0},
        {"line feed right after 4,095 characters", REC0 + LONG_LINE + "\n" + REC10, 0, R0R10},
        {"no data record", "S0030000FC\n" + std::string(HEX_END), KZM_E_FAIL, {}},
        {"empty file", "", KZM_E_FAIL, {}},
        {"S1 too short for its address", "S1020000\n", KZM_E_FAIL, {}},
        {"record past 4 GiB", HexLine(0, 4, {0xFF, 0xFF}) + HexLine(0xFFFE, 0, {1, 2}) + HEX_END, KZM_E_FAIL, {}},
    };
    for (uint32_t level : Levels()) {
        CLevel path(level);
        for (const ReadCase& c : cases) {
            SCOPED_TRACE(c.Name);
            const Loaded loaded = LoadText(c.Text);
            EXPECT_EQ(loaded.Result, c.Result);
            EXPECT_EQ(loaded.Blocks, c.Blocks);
        }
    }
}

namespace {

class CWatcher final : public IImageObserver {
public:
    // Each line as "number offset kind length": the kind a letter (Record,
    // sKipped, Malformed, End, Ctrl-Z, Unread), r for a remainder, s split.
    std::vector<std::string> Lines;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Records;
    std::string Text; // every line's characters and record type
    bool Unread = true;
    void OnLine(const LINE& l) override
    {
        Lines.push_back(std::to_string(l.dwNumber) + " " + std::to_string(l.qwOffset) + " " +
                        (l.dwKind < 6 ? "RKMEZU"[l.dwKind] : '?') + (l.bRemainder ? "r" : "") + (l.bSplit ? "s" : "") +
                        " " + std::to_string(l.dwLength));
        Text.append(l.pText, l.dwLength).append(std::to_string(l.dwType));
    }
    void OnRecord(const LINE&, const RECORD_DATA& r) override
    {
        std::vector<uint8_t> bytes(r.dwCount);
        CImageReader::DecodeData(r.pDigits, r.dwCount, bytes.data());
        Records.emplace_back(r.dwAddress, bytes);
    }
    bool WantsUnreadLines() const override { return Unread; }
};

} // namespace

TEST(ImageReader, ObserverSeesEveryLineOfTheFirstPassAndTheLinesAfterTheStop)
{
    struct Case {
        const char* Name;
        std::string Text;
        std::vector<std::string> Lines;
    };
    const std::vector<Case> cases = {
        {"comment, malformed, unread",
         REC0 + "# x\r\n" + ":0400\n" + REC10,
         {"1 0 R 20", "2 20 K 4", "3 25 M 6", "4 31 U 20"}},
        {"end record, what follows", REC0 + HEX_END + "\n" + REC10, {"1 0 R 20", "2 20 E 12", "3 32 U 1", "4 33 U 20"}},
        {"end record as the last line without its line feed", REC0 + ":00000001FF", {"1 0 R 20", "2 20 E 11"}},
        {"only that exact text", REC0 + ":00000001FE", {"1 0 R 20", "2 20 M 11"}},
        {"Ctrl-Z stops, the rest is unread", REC0 + "\x1A" + REC10, {"1 0 R 20", "2 20 Z 1", "2 21 U 20"}},
        {"split line, its remainder", LONG_LINE + REC10 + HEX_END, {"1 0 Ks 4095", "2 4095 Rr 20", "3 4115 E 12"}},
        {"CR LF inside the buffer", std::string(4094, '#') + "\r\n" + REC10, {"1 0 K 4095", "2 4096 R 20"}},
        {"CR LF split across the boundary", LONG_LINE + "\r\n" + REC10, {"1 0 Ks 4095", "2 4095 Kr 1", "3 4097 R 20"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        CWatcher watcher;
        CImageFile image;
        image.SetObserver(&watcher);
        image.LoadMemory(c.Text.data(), c.Text.size());
        EXPECT_EQ(watcher.Lines, c.Lines);
    }
    // Records as decoded, and nothing from the second pass; without the wish,
    // no unread lines.
    CWatcher watcher;
    watcher.Unread = false;
    const std::string text = REC0 + HexLine(0, 4, {0, 1}) + REC10 + HEX_END + REC4;
    CImageFile image;
    image.SetObserver(&watcher);
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    EXPECT_EQ(watcher.Records,
              (std::vector<std::pair<uint32_t, std::vector<uint8_t>>>{{0, Seq(1, 4)}, {0x10010, Seq(5, 4)}}));
    EXPECT_EQ(watcher.Lines.size(), 4u);
}

#ifndef _WIN32 // a named pipe and the peak-memory figure are POSIX
TEST(ImageReader, EndlessStreamReadsInBoundedMemory)
{
    // More lines than any image has, through a pipe: the same record again
    // and again, and a line without end. The reading must not hold them.
    const std::string fifo =
        (std::filesystem::temp_directory_path() / ("kzm_fifo_" + std::to_string(getpid()))).string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::signal(SIGPIPE, SIG_IGN);
    std::thread writer([&] {
        FILE* out = std::fopen(fifo.c_str(), "wb");
        if (out == nullptr)
            return;
        const std::string chunk = [] {
            std::string s;
            for (int i = 0; i < 4096; ++i)
                s += ":10000000000102030405060708090A0B0C0D0E0F78\n";
            return s;
        }();
        for (int i = 0; i < 600; ++i) // 2.4 million records, 110 MB
            std::fwrite(chunk.data(), 1, chunk.size(), out);
        const std::string endless(1 << 20, '#');
        for (int i = 0; i < 32; ++i)
            std::fwrite(endless.data(), 1, endless.size(), out);
        std::fclose(out);
    });
    rusage before{}, after{};
    getrusage(RUSAGE_SELF, &before);
    CImageFile image;
    // The pipe cannot be read a second time: the load fails after the first pass.
    EXPECT_EQ(image.Load(fifo.c_str()), KZM_E_FAIL);
    getrusage(RUSAGE_SELF, &after);
    writer.join();
    std::remove(fifo.c_str());
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 16 * 1024) << "KiB grown";
}
#endif

namespace {

struct Rec {
    uint32_t Address;
    std::vector<uint8_t> Bytes;
};

// The first pass and the merge read literally: walk the list for every
// record, restart the merge after every join.
std::vector<Block> LiteralLoad(const std::vector<Rec>& records)
{
    std::vector<std::pair<uint32_t, uint32_t>> list;
    for (const Rec& r : records) {
        const uint32_t a = r.Address, e = a + static_cast<uint32_t>(r.Bytes.size());
        auto hit = std::find_if(list.begin(), list.end(), [&](auto& b) { return a <= b.second && e >= b.first; });
        if (hit == list.end())
            list.emplace_back(a, e);
        else
            *hit = {std::min(hit->first, a), std::max(hit->second, e)};
    }
    for (bool joined = true; joined;) {
        joined = false;
        for (size_t i = 0; i < list.size() && !joined; ++i)
            for (size_t j = i + 1; j < list.size() && !joined; ++j)
                if (list[i].first <= list[j].second && list[j].first <= list[i].second) {
                    list[j] = {std::min(list[i].first, list[j].first), std::max(list[i].second, list[j].second)};
                    list.erase(list.begin() + static_cast<long>(i));
                    joined = true;
                }
    }
    std::vector<Block> blocks;
    for (auto [s, e] : list)
        blocks.push_back({s, e, std::vector<uint8_t>(e - s)});
    for (const Rec& r : records)
        for (Block& b : blocks)
            if (b.Start <= r.Address && r.Address <= b.End) {
                std::copy(r.Bytes.begin(), r.Bytes.end(), b.Bytes.begin() + (r.Address - b.Start));
                break;
            }
    return blocks;
}

} // namespace

TEST(ImageReader, BlockLayoutMatchesTheLiteralRulesOnRandomImages)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 300; ++round) {
        std::vector<Rec> records(1 + rng() % 40);
        const uint32_t span = 16 + rng() % 600, base = rng() % 2 ? 0 : 0xFFFF0000u + rng() % 0x8000;
        std::string text;
        for (Rec& r : records) {
            r.Address = base + rng() % span;
            r.Bytes.resize(1 + rng() % 24);
            for (uint8_t& b : r.Bytes)
                b = static_cast<uint8_t>(rng());
            if (rng() % 2)
                text += SRecord(r.Address, r.Bytes);
            else
                text += HexLine(0, 4, {static_cast<uint8_t>(r.Address >> 24), static_cast<uint8_t>(r.Address >> 16)}) +
                        HexLine(static_cast<uint16_t>(r.Address), 0, r.Bytes);
        }
        for (uint32_t level : Levels()) {
            CLevel path(level);
            CImageFile image;
            ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
            const std::vector<Block> blocks = BlocksOf(image);
            ASSERT_EQ(blocks, LiteralLoad(records)) << "round " << round;
            // The bounds the placement asks for: the blocks', and no
            // block's once the image is cleared.
            uint32_t lowest = 0xFFFFFFFFu, highest = 0;
            for (const Block& b : blocks) {
                lowest = std::min(lowest, b.Start);
                highest = std::max(highest, b.End);
            }
            EXPECT_EQ(std::make_pair(image.GetLowestAddress(), image.GetHighestAddress()),
                      std::make_pair(lowest, highest));
            image.Clear();
            EXPECT_EQ(std::make_pair(image.GetLowestAddress(), image.GetHighestAddress()),
                      std::make_pair(0xFFFFFFFFu, 0u));
        }
    }
}

namespace {

// What a reading gives: every record as ReadDataRecord delivers it, the
// status that ended it, the image as loaded, and what an observer sees.
struct Reading {
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Records;
    uint32_t Status = 0;
    KZMRESULT Result = 0;
    std::vector<Block> Blocks;
    std::vector<std::string> Lines;
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> Observed;
    std::string Text;
    bool operator==(const Reading&) const = default;
};

Reading ReadAll(const std::string& text)
{
    Reading reading;
    CImageReader reader;
    EXPECT_EQ(reader.OpenMemory(text.data(), text.size()), 0u);
    uint8_t data[CImageReader::DATA_CAPACITY];
    uint32_t length = sizeof(data), address = 0;
    while ((reading.Status = reader.ReadDataRecord(&length, data, &address)) == CImageReader::RECORD_OK) {
        reading.Records.emplace_back(address, std::vector<uint8_t>(data, data + length));
        length = sizeof(data);
    }
    const Loaded loaded = LoadText(text);
    reading.Result = loaded.Result;
    reading.Blocks = loaded.Blocks;
    CWatcher watcher;
    CImageFile image;
    image.SetObserver(&watcher);
    image.LoadMemory(text.data(), text.size());
    reading.Lines = watcher.Lines;
    reading.Observed = watcher.Records;
    reading.Text = watcher.Text;
    return reading;
}

} // namespace

// Files of records and the faults that trip up a line's end: every vector
// path reads them exactly as the scalar path does.
TEST(ImageReader, VectorPathsReadRandomFilesAsTheScalarPathDoes)
{
    std::mt19937 rng(11);
    const std::string faults[] = {"\n", "\r", "\r\n", std::string(1, '\0'), "\x1A", "a", "G", "\xFF", ":", "S"};
    for (int round = 0; round < 400; ++round) {
        std::string text;
        for (uint32_t lines = 1 + rng() % 30; lines-- > 0;) {
            std::vector<uint8_t> bytes(rng() % 5 == 0 ? rng() % 256 : 1 + rng() % 40);
            for (uint8_t& b : bytes)
                b = static_cast<uint8_t>(rng());
            std::string line = rng() % 2 ? SRecord(rng(), bytes) : HexLine(rng(), rng() % 6, bytes);
            if (rng() % 3 == 0)
                line.insert(line.size() - 1, "\r");
            if (rng() % 4 == 0) // a fault somewhere in the line
                line.insert(rng() % line.size(), faults[rng() % std::size(faults)]);
            if (rng() % 8 == 0)
                line.erase(rng() % line.size(), 1);
            text += line;
        }
        text.resize(text.size() - rng() % 3);
        std::vector<Reading> readings;
        for (uint32_t level : Levels()) {
            CLevel path(level);
            readings.push_back(ReadAll(text));
            ASSERT_EQ(readings.back(), readings.front()) << "round " << round;
        }
    }
}

TEST(ImageReader, CorpusImagesLoadIntoTheirBlocks)
{
    KAZMIR_NEED_CORPUS();
    // Ranges in list order, from a separate reading of the rules.
    struct Expected {
        const char* File;
        std::vector<std::pair<uint32_t, uint32_t>> Ranges;
    };
    const Expected corpus[] = {
        {"arduinoavr-optiboot_atmega328.hex", {{0x7E00, 0x7FF4}, {0x7FFE, 0x8000}}},
        {"buspirate-ADC2UART.hex", {{0x0, 0x200}, {0x157F8, 0x15800}, {0x208, 0x6A8}}},
        {"freertoshcs12x-Project.abs.s19",
         {{0xC000, 0xC1E9}, {0xFF12, 0xFF14}, {0xFFF0, 0xFFF2}, {0xFFFE, 0x10000}, {0xFE8000, 0xFE88A3}}},
        {"openblt-demoprog_s12g128.abs.sx", {{0x34000, 0x34093}, {0x3E77E, 0x3E800}, {0x20000, 0x2033E}}},
        {"unistc-hal-demo.ihx",
         {{0x0, 0x4},
          {0xB, 0xC},
          {0x13, 0x14},
          {0x1B, 0x1C},
          {0x23, 0x26},
          {0x2B, 0x2C},
          {0x33, 0x34},
          {0x3B, 0x3E},
          {0x43, 0x1621}}},
    };
    for (const Expected& e : corpus) {
        const std::string path = std::string(KAZMIR_CORPUS_DIR) + "/" + e.File;
        CImageFile image;
        ASSERT_EQ(image.Load(path.c_str()), 0u) << e.File;
        std::vector<std::pair<uint32_t, uint32_t>> ranges;
        for (const Block& b : BlocksOf(image))
            ranges.emplace_back(b.Start, b.End);
        EXPECT_EQ(ranges, e.Ranges) << e.File;
    }
    // Every image of the corpus, on every path: the records, the result and
    // the blocks of the scalar path.
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KAZMIR_CORPUS_DIR)) {
        std::ifstream in(entry.path(), std::ios::binary);
        const std::string text{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        std::vector<Reading> readings;
        for (uint32_t level : Levels()) {
            CLevel path(level);
            readings.push_back(ReadAll(text));
            EXPECT_EQ(readings.back(), readings.front()) << entry.path();
        }
        files += readings.front().Result == 0 ? 1 : 0;
    }
    EXPECT_GE(files, 15u) << "images that load";
}

// Every pair of 8-bit characters, digits or not, decodes by the digit rule
// (c - '0' below 'A', c - 55 from 'A' on, in 8 bits), in runs of every
// length the decoder unrolls.
TEST(ImageReader, EveryCharacterPairDecodesByTheDigitRule)
{
    auto value = [](unsigned c) { return c < 'A' ? c - '0' : c - 55u; };
    std::string digits;
    std::vector<uint8_t> expected;
    for (unsigned high = 0; high < 256; ++high)
        for (unsigned low = 0; low < 256; ++low) {
            digits += static_cast<char>(high);
            digits += static_cast<char>(low);
            expected.push_back(static_cast<uint8_t>(((value(high) << 4) | value(low)) & 0xFFu));
        }
    for (uint32_t level : Levels()) {
        CLevel path(level);
        for (uint32_t run : {1u, 3u, 4u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 48u, 49u, 64u, 100u, 255u}) {
            std::vector<uint8_t> got(expected.size());
            for (size_t at = 0; at < expected.size(); at += run) {
                const uint32_t n = static_cast<uint32_t>(std::min<size_t>(run, expected.size() - at));
                CImageReader::DecodeData(digits.data() + 2 * at, n, got.data() + at);
            }
            ASSERT_EQ(got, expected) << "runs of " << run;
        }
    }
    for (size_t i = 0; i < expected.size(); i += 97)
        EXPECT_EQ(CImageReader::HexByte(digits[2 * i], digits[2 * i + 1]), expected[i]) << i;
}

// The marker's first place in any bytes, as a plain search finds it: near
// misses and '$' bytes around it, at every place of a vector step and at the
// very end.
TEST(ImageReader, FirmwareMarkerIsFoundAtItsFirstPlace)
{
    const std::string MARKER = "$FW-INFO$";
    const std::string DECOYS[] = {"", "$FW-INFO", "$FW-INFOX$", "$$FW-INFO", "FW-INFO$", "$fw-info$"};
    for (uint32_t level : Levels()) {
        CLevel path(level);
        for (const std::string& decoy : DECOYS)
            for (size_t size : {8u, 9u, 24u, 25u, 40u, 41u, 90u})
                for (size_t at = 0; at <= size; ++at) {
                    // '$' bytes all over, the decoy right before the place, the marker there and once more after.
                    std::string bytes;
                    for (size_t i = 0; i < size; ++i)
                        bytes += "$W-$O"[i % 5];
                    const size_t decoyAt = at >= decoy.size() ? at - decoy.size() : 0;
                    bytes.replace(decoyAt, std::min(decoy.size(), size - decoyAt), decoy.substr(0, size - decoyAt));
                    if (at + MARKER.size() <= size)
                        bytes.replace(at, MARKER.size(), MARKER);
                    if (at + 2 * MARKER.size() + 1 <= size)
                        bytes.replace(at + MARKER.size() + 1, MARKER.size(), MARKER);
                    const size_t first = bytes.find(MARKER);
                    ASSERT_EQ(CFwInfo::FindMarker(reinterpret_cast<const uint8_t*>(bytes.data()), size),
                              first == std::string::npos ? -1 : static_cast<ptrdiff_t>(first))
                        << "decoy '" << decoy << "', size " << size << ", at " << at;
                }
    }
}

// The firmware record of a loaded image: the last block in list order whose
// first marker has the whole 50-byte record before it inside the block.
TEST(ImageReader, FirmwareRecordComesFromTheLastBlockWithAUsableMarker)
{
    const std::vector<uint8_t> first = FwInfoBytes("FIRST", 0, 0x100), last = FwInfoBytes("LAST", 1, 0x2000);
    std::vector<uint8_t> early(first.begin() + 1, first.end());    // the marker 49 bytes in
    std::vector<uint8_t> twice(19 + last.size(), 0), small(10, 0); // a marker before the record's; a lone one
    std::memcpy(twice.data() + 10, "$FW-INFO$", 9);
    std::copy(last.begin(), last.end(), twice.begin() + 19);
    std::memcpy(small.data(), "$FW-INFO$", 9);
    const struct {
        std::vector<std::vector<uint8_t>> Blocks; // in list order, far apart
        const char* Name;                         // null: no record
    } cases[] = {
        {{first}, "FIRST"},       {{early}, nullptr},        {{first, last}, "LAST"},
        {{last, first}, "FIRST"}, {{first, small}, "FIRST"}, {{first, twice}, "FIRST"},
    };
    for (const auto& c : cases) {
        std::string text;
        for (size_t i = 0; i < c.Blocks.size(); ++i) {
            const std::string hex = HexImage(static_cast<uint32_t>(0x1000 * (i + 1)), c.Blocks[i]);
            text += hex.substr(0, hex.size() - std::strlen(HEX_END));
        }
        text += HEX_END;
        CImageFile image;
        ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
        FW_INFO info;
        ASSERT_EQ(image.GetFwInfo(&info), c.Name != nullptr ? 0u : KZM_E_FAIL) << text;
        EXPECT_STREQ(info.Name, c.Name != nullptr ? c.Name : "") << text;
    }
}
