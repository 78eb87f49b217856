// The image reader's rules on small inline images: records, address
// extensions, end records, text-mode reading, malformed lines.
#include "ImageTestSupport.h"
#include "flash/ImageReader.h"

#include <gtest/gtest.h>

using namespace flashtest;

namespace {

std::vector<uint8_t> Seq(uint8_t first, size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (size_t i = 0; i < count; ++i)
        bytes[i] = static_cast<uint8_t>(first + i);
    return bytes;
}

Block B(uint32_t start, std::vector<uint8_t> bytes)
{
    return Block{start, start + static_cast<uint32_t>(bytes.size()), std::move(bytes)};
}

std::vector<Block> Blocks(const std::string& text)
{
    Loaded loaded = LoadText(text);
    EXPECT_EQ(loaded.Result, 0u);
    return loaded.Blocks;
}

} // namespace

// --- HexByte ----------------------------------------------------------------

TEST(HexByte, UpperCaseDigitsGiveTheirValue)
{
    const char* digits = "0123456789ABCDEF";
    for (int hi = 0; hi < 16; ++hi)
        for (int lo = 0; lo < 16; ++lo)
            EXPECT_EQ(CImageReader::HexByte(digits[hi], digits[lo]), hi * 16 + lo) << digits[hi] << digits[lo];
}

TEST(HexByte, OtherCharactersFollowTheArithmeticUnchecked)
{
    // Lower case counts c - 55: 'a' is 42, so a low digit gains 0x20 unless
    // the high digit's value already sets that bit.
    EXPECT_EQ(CImageReader::HexByte('0', 'a'), 0x2A);
    EXPECT_EQ(CImageReader::HexByte('1', 'a'), 0x3A);
    EXPECT_EQ(CImageReader::HexByte('a', '0'), 0xA0);
    EXPECT_EQ(CImageReader::HexByte('f', 'a'), 0xFA);
    EXPECT_EQ(CImageReader::HexByte('0', 'G'), 0x10);
    // Below '0' the value is negative: its low 8 bits count.
    EXPECT_EQ(CImageReader::HexByte('0', ' '), 0xF0);
    EXPECT_EQ(CImageReader::HexByte('\n', '\0'), 0xF0);
    // Characters above 0x7F count as unsigned codes.
    EXPECT_EQ(CImageReader::HexByte('0', '\xFF'), 0xC8);
    EXPECT_EQ(CImageReader::HexByte('\xFF', '0'), 0x80);
}

// --- Intel HEX --------------------------------------------------------------

TEST(IntelHex, TouchingRecordsMergeInEitherOrder)
{
    const std::string first = HexData(0, {1, 2, 3, 4});
    const std::string second = HexData(4, {5, 6, 7, 8});
    const std::vector<Block> expected = {B(0, Seq(1, 8))};
    EXPECT_EQ(Blocks(first + second + HEX_END), expected);
    EXPECT_EQ(Blocks(second + first + HEX_END), expected);
}

TEST(IntelHex, OverlappingRecordsLaterOneWins)
{
    EXPECT_EQ(Blocks(HexData(0, {1, 2, 3, 4}) + HexData(2, {0xAA, 0xBB, 0xCC}) + HEX_END),
              (std::vector<Block>{B(0, {1, 2, 0xAA, 0xBB, 0xCC})}));
    EXPECT_EQ(Blocks(HexData(2, {0xAA, 0xBB, 0xCC}) + HexData(0, {1, 2, 3, 4}) + HEX_END),
              (std::vector<Block>{B(0, {1, 2, 3, 4, 0xCC})}));
}

TEST(IntelHex, GapsGiveBlocksInFileOrder)
{
    const std::string low = HexData(0x0000, Seq(0, 16));
    const std::string high = HexData(0x0100, Seq(0x40, 16));
    EXPECT_EQ(Blocks(low + high + HEX_END), (std::vector<Block>{B(0, Seq(0, 16)), B(0x100, Seq(0x40, 16))}));
    EXPECT_EQ(Blocks(high + low + HEX_END), (std::vector<Block>{B(0x100, Seq(0x40, 16)), B(0, Seq(0, 16))}));
}

TEST(IntelHex, MergedBlockTakesThePlaceOfTheLaterBlock)
{
    const std::string a = HexData(0x00, {1, 2, 3, 4});
    const std::string b = HexData(0x08, {9, 10, 11, 12});
    const std::string bridge = HexData(0x04, {5, 6, 7, 8});
    const std::string other = HexData(0x100, {0xEE});
    const Block joined = B(0, Seq(1, 12));
    // The bridge extends a; the merge then keeps b's place.
    EXPECT_EQ(Blocks(a + other + b + bridge + HEX_END), (std::vector<Block>{B(0x100, {0xEE}), joined}));
    EXPECT_EQ(Blocks(a + b + other + bridge + HEX_END), (std::vector<Block>{joined, B(0x100, {0xEE})}));
    EXPECT_EQ(Blocks(other + b + a + bridge + HEX_END), (std::vector<Block>{B(0x100, {0xEE}), joined}));
}

TEST(IntelHex, ExtendedSegmentAndLinearAddresses)
{
    // Segment 0x1000 moves address 0x0010 to 0x10010.
    EXPECT_EQ(Blocks(HexRecord(2, 0, {0x10, 0x00}) + HexData(0x0010, {0x42}) + HEX_END),
              (std::vector<Block>{B(0x10010, {0x42})}));
    // Upper address 0xABCD.
    EXPECT_EQ(Blocks(HexRecord(4, 0, {0xAB, 0xCD}) + HexData(0x1234, {0x42}) + HEX_END),
              (std::vector<Block>{B(0xABCD1234, {0x42})}));
    // Each extension replaces the one before; 03 and 05 change nothing.
    EXPECT_EQ(Blocks(HexRecord(4, 0, {0x00, 0x02}) + HexRecord(2, 0, {0x00, 0x01}) + HexRecord(3, 0, {0, 0, 0, 0}) +
                     HexRecord(5, 0, {0x12, 0x34, 0x56, 0x78}) + HexData(0x0000, {7}) + HEX_END),
              (std::vector<Block>{B(0x10, {7})}));
}

TEST(IntelHex, ExtensionStartsAtZeroInBothPasses)
{
    // If the second pass kept the first pass's last extension, the bytes
    // would not find their block.
    const std::string text = HexData(0x0000, {1}) + HexRecord(4, 0, {0x00, 0x05}) + HexData(0x0000, {2}) + HEX_END;
    EXPECT_EQ(Blocks(text), (std::vector<Block>{B(0, {1}), B(0x50000, {2})}));
}

TEST(IntelHex, ShortExtensionRecordReadsItsLineEndAsACString)
{
    // With no data bytes the value's last two digits are the line feed and
    // the string's NUL: 0xFE * 256 + HexByte('\n', '\0') = 0xFEF0.
    EXPECT_EQ(Blocks(":00000002FE\n" + HexData(0, {0x42}) + HEX_END), (std::vector<Block>{B(0xFEF00, {0x42})}));
    EXPECT_EQ(Blocks(":00000002FE\r\n" + HexData(0, {0x42}) + HEX_END), (std::vector<Block>{B(0xFEF00, {0x42})}));
}

TEST(IntelHex, EndRecordEndsTheImage)
{
    EXPECT_EQ(Blocks(HexData(0, {1}) + HEX_END + HexData(0x10, {2})), (std::vector<Block>{B(0, {1})}));
    // Without a line feed the end record is still one.
    EXPECT_EQ(Blocks(HexData(0, {1}) + ":00000001FF"), (std::vector<Block>{B(0, {1})}));
    // Without an end record the file's end ends the image.
    EXPECT_EQ(Blocks(HexData(0, {1}) + HexData(1, {2})), (std::vector<Block>{B(0, {1, 2})}));
}

TEST(IntelHex, RecordsWithoutDataAndUnknownTypesAreSkipped)
{
    EXPECT_EQ(Blocks(HexData(0, {}) + HexRecord(6, 0, {1, 2}) + HexData(4, {9}) + HEX_END),
              (std::vector<Block>{B(4, {9})}));
}

TEST(IntelHex, LowerCaseDigitsAreReadWithTheSameArithmetic)
{
    // "0a" reads 0x2A, "1b" 0x3B; "ab" happens to read right.
    EXPECT_EQ(Blocks(":03000000" "0a1bab" "00\n" ":00000001ff\n"), (std::vector<Block>{B(0, {0x2A, 0x3B, 0xAB})}));
    // A lower-case address digit moves the record.
    EXPECT_EQ(Blocks(":01000a00" "11" "00\n"), (std::vector<Block>{B(0x2A, {0x11})}));
}

TEST(IntelHex, MalformedLineEndsTheReading)
{
    const std::string good = HexData(0, {1, 2});
    std::string missingDigit = HexData(0x10, {3, 4});
    missingDigit.erase(9, 1);
    EXPECT_EQ(Blocks(good + missingDigit + HexData(0x20, {5}) + HEX_END), (std::vector<Block>{B(0, {1, 2})}));
    // Trailing blanks, a doubled carriage return, a wrong byte count.
    std::string blank = HexData(0x10, {3});
    blank.insert(blank.end() - 1, ' ');
    EXPECT_EQ(Blocks(good + blank + HexData(0x20, {5})), (std::vector<Block>{B(0, {1, 2})}));
    std::string doubleCr = HexData(0x10, {3});
    doubleCr.insert(doubleCr.end() - 1, 2, '\r');
    EXPECT_EQ(Blocks(good + doubleCr + HexData(0x20, {5})), (std::vector<Block>{B(0, {1, 2})}));
    EXPECT_EQ(Blocks(good + ":0400100001020300\n" + HexData(0x20, {5})), (std::vector<Block>{B(0, {1, 2})}));
    // A last data line without its line feed is malformed too.
    std::string last = HexData(0x10, {3});
    last.pop_back();
    EXPECT_EQ(Blocks(good + last), (std::vector<Block>{B(0, {1, 2})}));
    // So is a lower-case end record without a line feed, but it ends the
    // image all the same.
    EXPECT_EQ(Blocks(good + ":00000001ff"), (std::vector<Block>{B(0, {1, 2})}));
}

TEST(IntelHex, RecordRunningPastTheAddressSpaceIsMalformed)
{
    const std::string top = HexRecord(4, 0, {0xFF, 0xFF});
    // The last byte at 0xFFFFFFFE still fits a block [.., 0xFFFFFFFF).
    EXPECT_EQ(Blocks(top + HexData(0xFFF0, Seq(0, 15)) + HEX_END),
              (std::vector<Block>{B(0xFFFFFFF0, Seq(0, 15))}));
    EXPECT_EQ(Blocks(HexData(0, {1}) + top + HexData(0xFFF0, Seq(0, 16)) + HEX_END), (std::vector<Block>{B(0, {1})}));
    EXPECT_EQ(Blocks(HexData(0, {1}) + top + HexData(0xFFFF, {1, 2}) + HEX_END), (std::vector<Block>{B(0, {1})}));
}

// --- S-records ------------------------------------------------------------

TEST(SRecords, S1S2S3AndTheirHeaderAndEnd)
{
    EXPECT_EQ(Blocks("S00600004844521B\n" "S1130000000102030405060708090A0B0C0D0E0F74\n" "S9030000FC\n"
                     "S1050100AABB94\n"),
              (std::vector<Block>{B(0, Seq(0, 16))}));
    EXPECT_EQ(Blocks(SRecord(2, 0x123456, {1, 2}) + SRecord(3, 0x89ABCDEF, {3}) + SRecord(8, 0, {})),
              (std::vector<Block>{B(0x123456, {1, 2}), B(0x89ABCDEF, {3})}));
    EXPECT_EQ(Blocks(SRecord(1, 0x10, {1}) + SRecord(7, 0, {}) + SRecord(1, 0x20, {2})), (std::vector<Block>{B(0x10, {1})}));
    // Count records (S5, S6) and S4 are skipped; lower-case 's' starts a record.
    EXPECT_EQ(Blocks(SRecord(5, 3, {}) + SRecord(6, 3, {}) + "S4030000FC\n" + "s1040010AA41\n"),
              (std::vector<Block>{B(0x10, {0xAA})}));
}

TEST(SRecords, CountTooSmallForTheAddressEndsTheReading)
{
    // S1 with count 2: no room for address and checksum.
    EXPECT_EQ(Blocks(SRecord(1, 0, {1}) + "S1020000\n" + SRecord(1, 0x10, {2})), (std::vector<Block>{B(0, {1})}));
    EXPECT_EQ(Blocks(SRecord(1, 0, {1}) + "S30400000000\n" + SRecord(1, 0x10, {2})), (std::vector<Block>{B(0, {1})}));
    // A count of exactly address plus checksum is a record without data.
    EXPECT_EQ(Blocks(SRecord(1, 0, {1}) + SRecord(1, 0x40, {}) + SRecord(1, 0x10, {2})),
              (std::vector<Block>{B(0, {1}), B(0x10, {2})}));
}

TEST(SRecords, WrongLengthAndAddressWrapAreMalformed)
{
    std::string bad = SRecord(1, 0x10, {2, 3});
    bad.erase(8, 1);
    EXPECT_EQ(Blocks(SRecord(1, 0, {1}) + bad + SRecord(1, 0x20, {4})), (std::vector<Block>{B(0, {1})}));
    EXPECT_EQ(Blocks(SRecord(1, 0, {1}) + SRecord(3, 0xFFFFFFFF, {7}) + SRecord(1, 0x20, {4})),
              (std::vector<Block>{B(0, {1})}));
}

TEST(SRecords, MixedWithIntelHexWithoutTheExtension)
{
    // The Intel extension does not move S-records.
    const std::string text = HexRecord(4, 0, {0x00, 0x01}) + HexData(0x0000, {1, 2}) + SRecord(1, 0x0002, {3, 4}) +
                             SRecord(2, 0x010002, {5}) + HEX_END;
    EXPECT_EQ(Blocks(text), (std::vector<Block>{B(0x10000, {1, 2, 5}), B(2, {3, 4})}));
}

// --- Reading the text ------------------------------------------------------

TEST(ImageText, CrLfReadsLikeLf)
{
    std::string lf = HexData(0, {1, 2}) + SRecord(1, 2, {3}) + "comment\n" + HexData(0x100, {4}) + HEX_END;
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::vector<Block> expected = {B(0, {1, 2, 3}), B(0x100, {4})};
    EXPECT_EQ(Blocks(lf), expected);
    EXPECT_EQ(Blocks(crlf), expected);
}

TEST(ImageText, BlankLinesAndCommentsAreSkipped)
{
    EXPECT_EQ(Blocks("\n\n# built by hand\r\n  " + HexData(0, {1}) + "\n" + HexData(1, {2})),
              (std::vector<Block>{B(1, {2})}));
    EXPECT_EQ(Blocks("; header\n\n" + HexData(0, {1}) + "x\n" + HexData(1, {2})), (std::vector<Block>{B(0, {1, 2})}));
}

TEST(ImageText, CtrlZEndsTheFile)
{
    EXPECT_EQ(Blocks(HexData(0, {1}) + "\x1A" + HexData(1, {2})), (std::vector<Block>{B(0, {1})}));
    // Ctrl-Z inside a line cuts it: its line feed is gone, so it is malformed.
    std::string cut = HexData(1, {2});
    cut.insert(cut.begin() + 5, '\x1A');
    EXPECT_EQ(Blocks(HexData(0, {1}) + cut), (std::vector<Block>{B(0, {1})}));
}

TEST(ImageText, NulByteEndsALineAsACStringWould)
{
    // ":00000001FF" then NUL: a C string of 11 characters, the end record.
    EXPECT_EQ(Blocks(HexData(0, {1}) + std::string(":00000001FF\0junk\n", 17) + HexData(1, {2})),
              (std::vector<Block>{B(0, {1})}));
    // A data line with a NUL in it is short: malformed.
    std::string withNul = HexData(1, {2});
    withNul[4] = '\0';
    EXPECT_EQ(Blocks(HexData(0, {1}) + withNul + HexData(2, {3})), (std::vector<Block>{B(0, {1})}));
    // A line that begins with NUL is empty and skipped.
    EXPECT_EQ(Blocks(HexData(0, {1}) + std::string("\0:junk\n", 7) + HexData(1, {2})), (std::vector<Block>{B(0, {1, 2})}));
}

TEST(ImageText, OverLongLines)
{
    // A comment longer than 4095 characters is skipped whole.
    const std::string longComment = std::string(6000, '#') + "\n";
    EXPECT_EQ(Blocks(HexData(0, {1}) + longComment + HexData(1, {2})), (std::vector<Block>{B(0, {1, 2})}));
    // A record line that long is malformed and ends the reading, also when
    // what follows its first 4095 characters would look like a record.
    std::string longRecord = ":" + std::string(4094, '0') + HexData(1, {2});
    EXPECT_EQ(Blocks(HexData(0, {1}) + longRecord + HexData(2, {3})), (std::vector<Block>{B(0, {1})}));
    // A line of 4095 characters with its line feed is still read whole (and
    // skipped as a comment); with CR LF it is one character longer on disk.
    EXPECT_EQ(Blocks(HexData(0, {1}) + std::string(4094, '#') + "\n" + HexData(1, {2})),
              (std::vector<Block>{B(0, {1, 2})}));
    EXPECT_EQ(Blocks(HexData(0, {1}) + std::string(4094, '#') + "\r\n" + HexData(1, {2})),
              (std::vector<Block>{B(0, {1, 2})}));
}

TEST(ImageText, LinesAcrossTheReadBuffer)
{
    // Enough records to cross the reader's 1 MiB buffer several times, with
    // CR LF pairs falling on every possible boundary.
    std::vector<uint8_t> bytes(150000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    std::string text = HexImage(0x20000, bytes);
    std::string crlf;
    for (char c : text)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const std::vector<Block> expected = {B(0x20000, bytes)};
    EXPECT_EQ(Blocks(text), expected);
    EXPECT_EQ(Blocks(crlf), expected);
    EXPECT_EQ(Blocks("x\n" + crlf), expected); // shifts every boundary by two
}

// --- Failures ----------------------------------------------------------------

TEST(ImageLoad, NoDataRecordFails)
{
    EXPECT_EQ(LoadText("").Result, KZM_E_FAIL);
    EXPECT_EQ(LoadText(HEX_END).Result, KZM_E_FAIL);
    EXPECT_EQ(LoadText("just text\nno records\n").Result, KZM_E_FAIL);
    EXPECT_EQ(LoadText(":0200000401").Result, KZM_E_FAIL);
    std::string bad = HexData(0, {1});
    bad.erase(3, 1);
    EXPECT_EQ(LoadText(bad + HexData(0x10, {2})).Result, KZM_E_FAIL);
    EXPECT_EQ(LoadText(std::string("\x7F" "ELF\0\0\x01\x02\x03\xFF\xFE:S\n", 14)).Result, KZM_E_FAIL);
}

TEST(ImageLoad, FilesThatCannotBeRead)
{
    CTempDir dir;
    CImageFile missing;
    EXPECT_EQ(missing.Load((dir.Path() / "nope.hex").string().c_str()), KZM_E_FAIL);
    CImageFile directory;
    EXPECT_EQ(directory.Load(dir.Path().string().c_str()), KZM_E_FAIL);
    CImageFile null;
    EXPECT_EQ(null.Load(nullptr), KZM_E_FAIL);
    EXPECT_EQ(null.GetBlockCount(), 0u); // the empty store stays attached
}

TEST(ImageLoad, SecondLoadOnTheSameImageFails)
{
    CTempDir dir;
    const std::string path = dir.Write("a.hex", HexData(0, {1}) + HEX_END);
    CImageFile image;
    ASSERT_EQ(image.Load(path.c_str()), 0u);
    EXPECT_EQ(image.Load(path.c_str()), KZM_E_FAIL);
    EXPECT_EQ(BlocksOf(image), (std::vector<Block>{B(0, {1})}));
}

// --- The record interface ----------------------------------------------------

TEST(ReadDataRecord, StatusesAndLengths)
{
    const std::string text = "S0030000FC\n" + HexRecord(4, 0, {0x12, 0x34}) + HexData(0x10, {1, 2, 3}) +
                             SRecord(1, 0x20, {4}) + HEX_END + HexData(0, {5});
    CImageReader reader;
    ASSERT_EQ(reader.OpenMemory(text.data(), text.size()), 0u);
    uint8_t data[CImageReader::DATA_CAPACITY];
    uint32_t length = sizeof(data), address = 0;
    ASSERT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_OK);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(address, 0x12340010u);
    EXPECT_EQ(reader.GetExtension(), 0x12340000u);
    length = sizeof(data);
    ASSERT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_OK);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(address, 0x20u);
    EXPECT_EQ(data[0], 4);
    length = sizeof(data);
    EXPECT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_END);
    EXPECT_EQ(length, 0u);
    // Rewinding starts over with extension 0.
    ASSERT_EQ(reader.Rewind(), 0u);
    EXPECT_EQ(reader.GetExtension(), 0u);
    length = sizeof(data);
    EXPECT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_OK);
    EXPECT_EQ(address, 0x12340010u);

    const std::string noEnd = HexData(0, {1});
    ASSERT_EQ(reader.OpenMemory(noEnd.data(), noEnd.size()), 0u);
    length = sizeof(data);
    EXPECT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_OK);
    length = sizeof(data);
    EXPECT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_MALFORMED); // end of file
    // A buffer too small for the record is refused.
    ASSERT_EQ(reader.Rewind(), 0u);
    length = 0;
    EXPECT_EQ(reader.ReadDataRecord(&length, data, &address), CImageReader::RECORD_MALFORMED);
}

TEST(ReadDataRecord, ParseFunctionsOnSingleLines)
{
    CImageReader::RECORD record;
    uint32_t extension = 0x50000;
    EXPECT_EQ(CImageReader::ParseHexRecord(":00000001FF", 11, &extension, &record), CImageReader::RECORD_END);
    EXPECT_EQ(CImageReader::ParseHexRecord(":00000001FF\n", 12, &extension, &record), CImageReader::RECORD_END);
    EXPECT_EQ(CImageReader::ParseHexRecord(":00000001FE", 11, &extension, &record), CImageReader::RECORD_MALFORMED);
    EXPECT_EQ(CImageReader::ParseHexRecord(":", 1, &extension, &record), CImageReader::RECORD_MALFORMED);
    EXPECT_EQ(CImageReader::ParseHexRecord(":02FFFE00AABBCC\n", 16, &extension, &record), CImageReader::RECORD_OK);
    EXPECT_EQ(record.dwCount, 2u);
    EXPECT_EQ(record.dwAddress, 0x5FFFEu);
    EXPECT_EQ(extension, 0x50000u);
    EXPECT_EQ(CImageReader::ParseSRecord("S", 1, &record), CImageReader::RECORD_MALFORMED);
    EXPECT_EQ(CImageReader::ParseSRecord("S9030000FC\n", 11, &record), CImageReader::RECORD_END);
    EXPECT_EQ(CImageReader::ParseSRecord("SA030000FC\n", 11, &record), CImageReader::RECORD_OK);
    EXPECT_EQ(record.dwCount, 0u);
}
