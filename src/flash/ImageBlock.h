// CImageBlock: one contiguous run of image addresses, [start, end), with its
// bytes.
#pragma once

#include "flash/ListNode.h"

#include <cstdint>

class CImageBlock : public CListNode {
public:
    CImageBlock(uint32_t start, uint32_t end);
    // Frees the bytes, then leaves the list.
    ~CImageBlock() override;

    uint32_t GetStart() const { return m_dwStart; }
    uint32_t GetEnd() const { return m_dwEnd; }
    uint32_t GetSize() const { return m_dwEnd - m_dwStart; }
    // Null until the bytes are first written.
    uint8_t* GetData() const { return m_pData; }
    // Gives the block its (uninitialised) bytes at their final size, once;
    // false without memory.
    bool AllocData();

private:
    uint32_t m_dwStart;
    uint32_t m_dwEnd;
    uint8_t* m_pData;
};
