// The heap of a process that loads images: set up once, first thing in main.
#pragma once

#include <cstddef>

namespace kzsupport {

// Room the heap is given up front in large pages.
constexpr size_t HEAP_LARGE_PAGE_ROOM = size_t(128) << 20;

// Keeps freed memory in the heap rather than handing it back, and asks for
// its first HEAP_LARGE_PAGE_ROOM bytes in 2 MiB pages where the kernel gives
// them on request: an image's tables of tens of MiB then take a page fault
// for each 2 MiB instead of each 4 KiB. Does nothing where the C library or
// the kernel has no such settings; the room is address space until used.
void PrepareHeap();

} // namespace kzsupport
