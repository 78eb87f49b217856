#include "flash/ImageBlock.h"

#include <cstdlib>

CImageBlock::CImageBlock(uint32_t start, uint32_t end) : m_dwStart(start), m_dwEnd(end), m_pData(nullptr)
{
}

CImageBlock::~CImageBlock()
{
    std::free(m_pData);
    m_pData = nullptr;
}

bool CImageBlock::AllocData()
{
    if (m_pData == nullptr)
        m_pData = static_cast<uint8_t*>(std::malloc(GetSize() != 0 ? GetSize() : 1));
    return m_pData != nullptr;
}
