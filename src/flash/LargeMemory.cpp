#include "flash/LargeMemory.h"

#include "platform/Platform.h"

#include <cstdlib>

void* CLargeMemory::Alloc(size_t size)
{
    if (size < LARGE)
        return std::malloc(size != 0 ? size : 1);
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void CLargeMemory::Free(void* memory, size_t size)
{
    if (memory == nullptr)
        return;
    if (size < LARGE)
        std::free(memory);
    else
        VirtualFree(memory, 0, MEM_RELEASE);
}
