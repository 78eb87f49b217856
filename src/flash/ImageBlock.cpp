#include "flash/ImageBlock.h"

#include "flash/LargeMemory.h"

#include <cstdlib>

void CImageBlock::FreeData()
{
    CLargeMemory::Free(m_pData, GetSize());
}

bool CImageBlock::AllocData()
{
    if (m_pData == nullptr)
        m_pData = static_cast<uint8_t*>(CLargeMemory::Alloc(GetSize()));
    return m_pData != nullptr;
}

CImageBlock::SHARED_BYTES* CImageBlock::AllocShared(uint64_t size)
{
    if (size > SIZE_MAX - sizeof(SHARED_BYTES))
        return nullptr;
    auto* shared = static_cast<SHARED_BYTES*>(std::malloc(sizeof(SHARED_BYTES) + static_cast<size_t>(size)));
    if (shared != nullptr)
        shared->dwUsers = 0;
    return shared;
}
