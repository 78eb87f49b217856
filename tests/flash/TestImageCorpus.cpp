// The 20 real-world images of the sample corpus load into the blocks that an
// independent reading of the rules gives (ranges in list order and a CRC-32
// of each block's bytes).
#include "ImageTestSupport.h"
#include "../support/Corpus.h"

#include <gtest/gtest.h>

using namespace flashtest;

namespace {

struct ExpectedBlock {
    uint32_t Start, End, Crc;
};

struct ExpectedImage {
    const char* File;
    std::vector<ExpectedBlock> Blocks;
};

uint32_t Crc32(const std::vector<uint8_t>& bytes)
{
    uint32_t crc = 0xFFFFFFFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1)));
    }
    return ~crc;
}

// Worked out with a separate, literal model of the reading rules.
const std::vector<ExpectedImage> CORPUS = {
    {"adafruitnrf52-disablecrc.hex", {{0x0007F000, 0x0007F008, 0xA988DFF7}}},
    {"arduinoavr-Caterina-Leonardo.hex", {{0x00000000, 0x00007FDA, 0x55D28229}}},
    {"arduinoavr-optiboot_atmega328.hex", {{0x00007E00, 0x00007FF4, 0x9840438D}, {0x00007FFE, 0x00008000, 0x22D813E2}}},
    {"arduinoavr-stk500boot_v2_mega2560.hex", {{0x0003E000, 0x0003FD1E, 0x14A27E35}}},
    {"arduinorenesas-dfu_minima.hex", {{0x00000000, 0x00003088, 0xB052D797}, {0x01010018, 0x01010034, 0x80E3231D}}},
    {"arduinosamd-Bootloader_D21_M0_150515.hex", {{0x00000000, 0x00003380, 0xEF453FF3}, {0x00004000, 0x00006FD4, 0x2AD16952}}},
    {"buspirate-ADC2UART.hex", {{0x00000000, 0x00000200, 0x51337244}, {0x000157F8, 0x00015800, 0xAEE4B4E2}, {0x00000208, 0x000006A8, 0x7C52F047}}},
    {"diolan18f2550-bootloader.hex", {{0x00000000, 0x00000006, 0x688EB4C4}, {0x00000008, 0x00000012, 0xF9C2E694}, {0x00000016, 0x0000001E, 0x53A7EFE9}, {0x00000038, 0x00000095, 0x6448859A}, {0x00000096, 0x00000696, 0x24BC0DAA}, {0x00000800, 0x00000802, 0xCA4AA8FA}, {0x00300000, 0x00300004, 0x9980C627}, {0x00300005, 0x00300007, 0xCBC86AC1}, {0x00300008, 0x0030000E, 0xE193AD24}}},
    {"freertoshcs12x-Project.abs.s19", {{0x0000C000, 0x0000C1E9, 0x38B352B0}, {0x0000FF12, 0x0000FF14, 0x83E28EAA}, {0x0000FFF0, 0x0000FFF2, 0xC63DD2DF}, {0x0000FFFE, 0x00010000, 0x8A23C5B1}, {0x00FE8000, 0x00FE88A3, 0xAA450D94}}},
    {"liaraforth-tink.s28", {{0x00005000, 0x00007360, 0x88EA6B6D}}},
    {"openblt-demoprog_s12g128.abs.sx", {{0x00034000, 0x00034093, 0x33B9C3DD}, {0x0003E77E, 0x0003E800, 0xCBCEBF90}, {0x00020000, 0x0002033E, 0x219800AD}}},
    {"openblt-demoprog_s32k144.srec", {{0x00002000, 0x00002EB4, 0x7C164E46}}},
    {"openblt-demoprog_stm32f091.srec", {{0x08002800, 0x080043C8, 0xA11EAD80}}},
    {"openblt-demoprog_tc375.srec", {{0xA000C000, 0xA000C0AE, 0x693A6CCD}, {0xA000C0B0, 0xA000C0EC, 0xB54C9F2C}, {0xA000C100, 0xA0015706, 0x2B06BB80}, {0xA0015708, 0xA001571A, 0xC9BA5DC4}, {0xA001571C, 0xA001576E, 0x2AC28D58}, {0xA0015770, 0xA0015956, 0xAA331847}, {0xA0015958, 0xA0015B06, 0x38AF1A80}, {0xA0015B08, 0xA0015B4E, 0x6ECD1572}, {0xA0015B50, 0xA0015B7E, 0xF3E3C8E0}, {0xA0015B80, 0xA0015C4A, 0x7A1894C2}, {0xA0015C4C, 0xA0015C69, 0x1111B799}, {0xA0015C6C, 0xA0015E7C, 0xF5164CF5}, {0xA02FE500, 0xA02FE50A, 0xC24DDAA9}, {0xA0300000, 0xA03003EE, 0xDB6617B5}, {0xA03003F0, 0xA030041E, 0x47848587}, {0xA0300420, 0xA03005D0, 0x8009158A}}},
    {"openblt-eeprom_data.srec", {{0x08080000, 0x08080400, 0xCCBC78E5}}},
    {"openblt-openblt_evbplus_dragon12p.abs.s19", {{0x0000E800, 0x0000FE6A, 0x903107FE}, {0x0000FF80, 0x00010000, 0x7C62DB60}}},
    {"optiboot-hex-with-FFs.hex", {{0x00000000, 0x00000AB0, 0xE4608AA6}, {0x00000AC8, 0x00000ACA, 0xDD0EAFC8}}},
    {"stm32hid-hid_bootloader.hex", {{0x08000000, 0x08000CFC, 0x332A6BBE}}},
    {"superprobe-SUPER-v1-original.HEX", {{0x00000000, 0x00000002, 0xA68D5C0A}, {0x00000008, 0x00000C28, 0x3AF419C4}, {0x0000400E, 0x00004010, 0x1ACF6BB3}}},
    {"unistc-hal-demo.ihx", {{0x00000000, 0x00000004, 0x6221B25B}, {0x0000000B, 0x0000000C, 0x1AD5BE0D}, {0x00000013, 0x00000014, 0x1AD5BE0D}, {0x0000001B, 0x0000001C, 0x1AD5BE0D}, {0x00000023, 0x00000026, 0xDC3A37D2}, {0x0000002B, 0x0000002C, 0x1AD5BE0D}, {0x00000033, 0x00000034, 0x1AD5BE0D}, {0x0000003B, 0x0000003E, 0x4EEFD48D}, {0x00000043, 0x00001621, 0x2F3DC423}}},
};

} // namespace

TEST(ImageCorpus, EveryImageLoadsIntoTheExpectedBlocks)
{
    KAZMIR_NEED_CORPUS();
    ASSERT_EQ(CORPUS.size(), 20u);
    for (const ExpectedImage& expected : CORPUS) {
        SCOPED_TRACE(expected.File);
        const std::string path = std::string(KAZMIR_CORPUS_DIR) + "/" + expected.File;
        CImageFile image;
        ASSERT_EQ(image.Load(path.c_str()), 0u);
        const std::vector<Block> blocks = BlocksOf(image);
        ASSERT_EQ(blocks.size(), expected.Blocks.size());
        for (size_t i = 0; i < blocks.size(); ++i) {
            EXPECT_EQ(blocks[i].Start, expected.Blocks[i].Start) << "block " << i;
            EXPECT_EQ(blocks[i].End, expected.Blocks[i].End) << "block " << i;
            EXPECT_EQ(Crc32(blocks[i].Bytes), expected.Blocks[i].Crc) << "block " << i;
        }
    }
}

TEST(ImageCorpus, ReadingsAgreeWithTheSourcesWhereTheDigitsAreUpperCase)
{
    KAZMIR_NEED_CORPUS();
    // Address ranges as the corpus's notes give them for files whose digits
    // are all upper case: a reader fault would move or cut them.
    struct Range {
        const char* File;
        uint32_t Lowest, Highest;
    };
    const Range ranges[] = {
        {"arduinoavr-optiboot_atmega328.hex", 0x7E00, 0x8000},
        {"arduinoavr-stk500boot_v2_mega2560.hex", 0x3E000, 0x3FD1E},
        {"arduinoavr-Caterina-Leonardo.hex", 0x0000, 0x7FDA},
    };
    for (const Range& range : ranges) {
        CImageFile image;
        ASSERT_EQ(image.Load((std::string(KAZMIR_CORPUS_DIR) + "/" + range.File).c_str()), 0u) << range.File;
        EXPECT_EQ(image.GetLowestAddress(), range.Lowest) << range.File;
        EXPECT_EQ(image.GetHighestAddress(), range.Highest) << range.File;
    }
}
