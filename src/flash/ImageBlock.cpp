#include "flash/ImageBlock.h"

#include "flash/LargeMemory.h"

#include <cstdlib>

CImageBlock::CImageBlock(uint32_t start, uint32_t end)
    : m_dwStart(start), m_dwEnd(end), m_pData(nullptr), m_pShared(nullptr)
{
}

CImageBlock::~CImageBlock()
{
    if (m_pShared != nullptr) {
        if (--m_pShared->dwUsers == 0)
            std::free(m_pShared);
    } else {
        CLargeMemory::Free(m_pData, GetSize());
    }
    m_pData = nullptr;
    m_pShared = nullptr;
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

void CImageBlock::UseShared(SHARED_BYTES* shared, uint64_t offset)
{
    if (m_pData != nullptr || shared == nullptr)
        return;
    ++shared->dwUsers;
    m_pShared = shared;
    m_pData = SharedData(shared) + offset;
}
