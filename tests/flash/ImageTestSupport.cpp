#include "ImageTestSupport.h"

#include <gtest/gtest.h>

#include <ostream>

namespace flashtest {

std::ostream& operator<<(std::ostream& os, const Block& block)
{
    char buf[48];
    std::snprintf(buf, sizeof(buf), "[%08X, %08X) ", block.Start, block.End);
    os << buf;
    for (size_t i = 0; i < block.Bytes.size() && i < 24; ++i) {
        std::snprintf(buf, sizeof(buf), "%02X", block.Bytes[i]);
        os << buf;
    }
    return os << (block.Bytes.size() > 24 ? "..." : "");
}

std::vector<Block> BlocksOf(CImageFile& image)
{
    std::vector<Block> blocks;
    const uint32_t count = image.GetBlockCount();
    for (uint32_t i = 0; i < count; ++i) {
        Block block;
        const uint8_t* data = nullptr;
        EXPECT_EQ(image.GetBlock(i, &block.Start, &block.End, &data), 0u);
        EXPECT_NE(data, nullptr);
        if (data != nullptr)
            block.Bytes.assign(data, data + (block.End - block.Start));
        blocks.push_back(std::move(block));
    }
    return blocks;
}

Loaded LoadText(const std::string& text)
{
    CTempDir dir;
    Loaded loaded;
    {
        CImageFile image;
        loaded.Result = image.Load(dir.Write("image.hex", text).c_str());
        if (loaded.Result == 0)
            loaded.Blocks = BlocksOf(image);
    }
    CImageFile fromMemory;
    const KZRESULT memoryResult = fromMemory.LoadMemory(text.data(), text.size());
    EXPECT_EQ(memoryResult, loaded.Result) << "file and memory reading disagree";
    if (memoryResult == 0) {
        EXPECT_EQ(BlocksOf(fromMemory), loaded.Blocks) << "file and memory reading disagree";
    }
    return loaded;
}

} // namespace flashtest
