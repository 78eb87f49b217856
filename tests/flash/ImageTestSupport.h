// Loading image text in the flash tests.
#pragma once

#include "FlashTestSupport.h"
#include "flash/ImageFile.h"

#include <string>
#include <vector>

namespace flashtest {

struct Block {
    uint32_t Start = 0;
    uint32_t End = 0;
    std::vector<uint8_t> Bytes;
    bool operator==(const Block&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Block& block);

// The blocks of a loaded image in list order.
std::vector<Block> BlocksOf(CImageFile& image);

struct Loaded {
    KZRESULT Result = 0;
    std::vector<Block> Blocks;
};

// Writes the text to a file and loads it; also loads it from memory and
// expects the same outcome.
Loaded LoadText(const std::string& text);

} // namespace flashtest
