// The heap of a loading process: a large table made after PrepareHeap lies in
// memory the kernel is asked to back with large pages.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Heap.h"

// Sanitizers bring heaps of their own, which the C library's settings miss.
#if defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
namespace {

// The VmFlags line of the mapping that holds an address, from /proc/self/smaps.
std::string FlagsAt(const void* address)
{
    const auto at = reinterpret_cast<uintptr_t>(address);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        uintptr_t begin = 0, end = 0;
        char dash = 0;
        std::istringstream head(line);
        if (head >> std::hex >> begin >> dash >> end && dash == '-' && line.find(':') > line.find(' '))
            inside = begin <= at && at < end;
        else if (inside && line.rfind("VmFlags:", 0) == 0)
            return line;
    }
    return "";
}

TEST(Heap, ImageTablesLieInLargePageMemory)
{
    if (!std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled"))
        GTEST_SKIP() << "this kernel has no transparent large pages";
    kzsupport::PrepareHeap();
    // A table of 32 MiB, as a dense image's blocks take: without the heap's
    // settings it would be a mapping of its own, in small pages.
    std::vector<char> table(size_t(32) << 20);
    const std::string flags = FlagsAt(table.data() + table.size() / 2);
    ASSERT_FALSE(flags.empty());
    EXPECT_NE(flags.find(" hg"), std::string::npos) << flags;
}

} // namespace
#endif
