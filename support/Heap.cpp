#include "Heap.h"

#include <cstdint>
#include <cstdlib>

#ifdef __GLIBC__
#include <malloc.h>
#include <sys/mman.h>
#endif

namespace kzsupport {

void PrepareHeap()
{
#ifdef __GLIBC__
    // Image and range buffers of tens of MiB come and go several times in a
    // run: keep them in the heap, so that each one is not mapped and faulted
    // in anew (no mapping threshold can be set above 32 MiB; none are mapped).
    mallopt(M_MMAP_MAX, 0);
    mallopt(M_TRIM_THRESHOLD, 512 << 20);
#ifdef MADV_HUGEPAGE
    // The heap's top grows by the room and keeps it when it is freed: later
    // blocks are cut from it, inside the range marked for large pages. Where
    // the room cannot be had, the heap stays as it was.
    constexpr uintptr_t LARGE_PAGE = uintptr_t(2) << 20;
    void* room = std::malloc(HEAP_LARGE_PAGE_ROOM);
    if (room == nullptr)
        return;
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(room) + LARGE_PAGE - 1) & ~(LARGE_PAGE - 1);
    const uintptr_t end = (reinterpret_cast<uintptr_t>(room) + HEAP_LARGE_PAGE_ROOM) & ~(LARGE_PAGE - 1);
    madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
    std::free(room);
#endif
#endif
}

} // namespace kzsupport
