// Large buffers: the platform's page allocator in the one form the library
// asks for it, and images whose blocks cross the size from which their bytes
// come from it, loaded from memory and from a file.
#include "FlashSupport.h"

#include "flash/LargeMemory.h"
#include "platform/Platform.h"

#include <algorithm>
#include <random>

using namespace flashtest;

namespace {

TEST(LargeMemory, PagesComeZeroedAlignedAndGoBackWhole)
{
    const size_t LARGE = CLargeMemory::LARGE;
    for (size_t size : {size_t{1}, size_t{4096}, LARGE - 1, LARGE, 3 * LARGE + 5}) {
        SCOPED_TRACE(size);
        auto* p = static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % 4096, 0u);
        EXPECT_EQ(static_cast<size_t>(std::count(p, p + size, uint8_t{0})), size);
        std::fill(p, p + size, uint8_t{0xA5});
        // Released only whole.
        SetLastError(0);
        EXPECT_FALSE(VirtualFree(p, size, MEM_RELEASE));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
        EXPECT_TRUE(VirtualFree(p, 0, MEM_RELEASE));
    }
    SetLastError(0);
    EXPECT_EQ(VirtualAlloc(nullptr, 0, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
}

// A block's bytes on either side of the size.
TEST(LargeMemory, ImagesAcrossTheLargeSizeLoadTheirBytes)
{
    const size_t LARGE = CLargeMemory::LARGE;
    std::mt19937 rng(11);
    auto bytes = [&](size_t n) {
        std::vector<uint8_t> b(n);
        for (uint8_t& x : b)
            x = static_cast<uint8_t>(rng());
        return b;
    };
    for (size_t size : {LARGE - 1, LARGE}) {
        SCOPED_TRACE(size);
        const std::vector<uint8_t> data = bytes(size);
        const std::string text = HexImage(0x00100000, data);
        const std::vector<Block> expected = {{0x00100000, 0x00100000 + static_cast<uint32_t>(size), data}};
        const Loaded loaded = LoadText(text);
        ASSERT_EQ(loaded.Result, 0u);
        EXPECT_EQ(loaded.Blocks, expected);
    }
}

} // namespace
