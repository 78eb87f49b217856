// CLargeMemory: memory for an image's large buffers (a block's bytes). From
// LARGE bytes on it comes from the platform's page allocator, which asks for
// huge pages where the system gives them (a buffer filled end to end then
// faults once every 2 MiB, not every 4 KiB); below that from the heap, which
// keeps freed memory for the next load in the same process. A buffer is freed
// with the size it was taken with.
#pragma once

#include <cstddef>

class CLargeMemory {
public:
    static constexpr size_t LARGE = 2u << 20;

    // Uninitialised (below LARGE) or zeroed memory; null without memory.
    static void* Alloc(size_t size);
    static void Free(void* memory, size_t size);
};
