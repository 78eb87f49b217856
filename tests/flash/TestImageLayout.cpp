// The block layout of the first pass and the merge, checked against a literal
// reference of the rules (walk the list for every record, restart the merge
// after every join), on random record sequences.
#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <random>

using namespace flashtest;

namespace {

struct Record {
    uint32_t Address;
    std::vector<uint8_t> Bytes;
};

// The rules read literally: O(records x blocks) and more, on purpose.
std::vector<Block> ReferenceLoad(const std::vector<Record>& records)
{
    struct Range {
        uint32_t Start, End;
    };
    std::vector<Range> list;
    for (const Record& r : records) {
        const uint32_t a = r.Address, e = r.Address + static_cast<uint32_t>(r.Bytes.size());
        bool extended = false;
        for (Range& b : list) {
            if (a <= b.End && e >= b.Start) {
                b.Start = std::min(b.Start, a);
                b.End = std::max(b.End, e);
                extended = true;
                break;
            }
        }
        if (!extended)
            list.push_back({a, e});
    }
    for (bool joined = true; joined;) {
        joined = false;
        for (size_t i = 0; i < list.size() && !joined; ++i) {
            for (size_t j = i + 1; j < list.size(); ++j) {
                if (list[i].Start <= list[j].End && list[j].Start <= list[i].End) {
                    list[j] = {std::min(list[i].Start, list[j].Start), std::max(list[i].End, list[j].End)};
                    list.erase(list.begin() + static_cast<long>(i));
                    joined = true;
                    break;
                }
            }
        }
    }
    std::vector<Block> blocks;
    for (const Range& range : list)
        blocks.push_back(Block{range.Start, range.End, std::vector<uint8_t>(range.End - range.Start, 0)});
    for (const Record& r : records) {
        for (Block& b : blocks) {
            if (b.Start <= r.Address && r.Address <= b.End) {
                std::copy(r.Bytes.begin(), r.Bytes.end(), b.Bytes.begin() + (r.Address - b.Start));
                break;
            }
        }
    }
    return blocks;
}

// Writes the records in a random mix of Intel HEX and S1/S2/S3 lines.
std::string ImageText(const std::vector<Record>& records, std::mt19937& rng)
{
    std::string text;
    uint32_t upper = 0;
    for (const Record& r : records) {
        switch (rng() % 4) {
        case 0:
        case 1:
            if ((r.Address >> 16) != upper || rng() % 8 == 0) {
                upper = r.Address >> 16;
                text += HexExtLinear(static_cast<uint16_t>(upper));
            }
            text += HexData(static_cast<uint16_t>(r.Address & 0xFFFF), r.Bytes);
            break;
        case 2:
            text += SRecord(r.Address <= 0xFFFF ? 1 : r.Address <= 0xFFFFFF ? 2 : 3, r.Address, r.Bytes);
            break;
        default:
            text += SRecord(3, r.Address, r.Bytes);
            break;
        }
        if (rng() % 16 == 0)
            text += "\n";
    }
    return text + (rng() % 2 ? HEX_END : "S9030000FC\n");
}

std::vector<Record> RandomRecords(std::mt19937& rng, size_t count, uint32_t span, uint32_t maxLength, uint32_t base)
{
    std::vector<Record> records;
    for (size_t i = 0; i < count; ++i) {
        const uint32_t length = 1 + rng() % maxLength;
        uint32_t offset = rng() % span;
        Record r{base + offset, std::vector<uint8_t>(length)};
        for (uint8_t& b : r.Bytes)
            b = static_cast<uint8_t>(rng());
        records.push_back(std::move(r));
    }
    return records;
}

void ExpectSameAsReference(const std::vector<Record>& records, std::mt19937& rng, bool throughFile)
{
    const std::string text = ImageText(records, rng);
    const std::vector<Block> expected = ReferenceLoad(records);
    std::vector<Block> actual;
    if (throughFile) {
        Loaded loaded = LoadText(text);
        ASSERT_EQ(loaded.Result, 0u);
        actual = loaded.Blocks;
    } else {
        CImageFile image;
        ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
        actual = BlocksOf(image);
        uint32_t lowest = 0xFFFFFFFF, highest = 0;
        for (const Block& b : expected) {
            lowest = std::min(lowest, b.Start);
            highest = std::max(highest, b.End);
        }
        EXPECT_EQ(image.GetLowestAddress(), lowest);
        EXPECT_EQ(image.GetHighestAddress(), highest);
    }
    ASSERT_EQ(actual, expected) << "records: " << records.size();
}

} // namespace

TEST(ImageLayout, DenseOverlappingRecordsMatchTheLiteralRules)
{
    std::mt19937 rng(1234);
    for (int round = 0; round < 1500; ++round) {
        const size_t count = 1 + rng() % 40;
        const uint32_t span = 8 + rng() % 300;
        ExpectSameAsReference(RandomRecords(rng, count, span, 1 + rng() % 24, 0), rng, round % 100 == 0);
        if (HasFatalFailure())
            return;
    }
}

TEST(ImageLayout, SparseAndTouchingRecordsMatchTheLiteralRules)
{
    std::mt19937 rng(99);
    for (int round = 0; round < 300; ++round) {
        // Records on a grid, so that many touch exactly without overlapping.
        std::vector<Record> records;
        const size_t count = 20 + rng() % 200;
        const uint32_t base = rng() % 3 == 0 ? 0x0800F000 : 0;
        for (size_t i = 0; i < count; ++i) {
            const uint32_t slot = rng() % 400;
            const uint32_t length = 4 * (1 + rng() % 3);
            Record r{base + slot * 8, std::vector<uint8_t>(length)};
            for (uint8_t& b : r.Bytes)
                b = static_cast<uint8_t>(rng());
            records.push_back(std::move(r));
        }
        ExpectSameAsReference(records, rng, round % 50 == 0);
        if (HasFatalFailure())
            return;
    }
}

TEST(ImageLayout, HighAddressesAndManyBlocks)
{
    std::mt19937 rng(7);
    for (int round = 0; round < 20; ++round) {
        // Spread over the address space up to its last byte.
        std::vector<Record> records = RandomRecords(rng, 400, 0x7FFF0000, 32, 0x80000000 - 0x10000);
        records.push_back(Record{0xFFFFFFF0, std::vector<uint8_t>(15, 0x5A)});
        std::shuffle(records.begin(), records.end(), rng);
        ExpectSameAsReference(records, rng, false);
        if (HasFatalFailure())
            return;
    }
}

TEST(ImageLayout, ManyDisjointRecordsInReverseOrderKeepFileOrder)
{
    // 20000 blocks, each its own: the list stands in file order, which is
    // here the reverse of the address order.
    std::string text;
    const uint32_t blocks = 20000;
    for (uint32_t i = blocks; i-- > 0;)
        text += SRecord(3, 0x100000 + i * 32, {static_cast<uint8_t>(i), static_cast<uint8_t>(i >> 8)});
    CImageFile image;
    ASSERT_EQ(image.LoadMemory(text.data(), text.size()), 0u);
    ASSERT_EQ(image.GetBlockCount(), blocks);
    for (uint32_t n = 0; n < blocks; ++n) {
        const uint32_t i = blocks - 1 - n;
        uint32_t start = 0, end = 0;
        const uint8_t* data = nullptr;
        ASSERT_EQ(image.GetBlock(n, &start, &end, &data), 0u);
        ASSERT_EQ(start, 0x100000 + i * 32);
        ASSERT_EQ(end, start + 2);
        ASSERT_EQ(data[0], static_cast<uint8_t>(i));
        ASSERT_EQ(data[1], static_cast<uint8_t>(i >> 8));
    }
    EXPECT_EQ(image.GetLowestAddress(), 0x100000u);
    EXPECT_EQ(image.GetHighestAddress(), 0x100000u + (blocks - 1) * 32 + 2);
}
