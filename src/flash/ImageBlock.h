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

    // Bytes shared by many small blocks: one allocation, freed with the
    // last block that uses it.
    struct SHARED_BYTES {
        uint32_t dwUsers;
    };
    static SHARED_BYTES* AllocShared(uint64_t size);
    static uint8_t* SharedData(SHARED_BYTES* shared) { return reinterpret_cast<uint8_t*>(shared + 1); }
    // Takes its bytes from a shared allocation (at offset) instead.
    void UseShared(SHARED_BYTES* shared, uint64_t offset);

private:
    uint32_t m_dwStart;
    uint32_t m_dwEnd;
    uint8_t* m_pData;
    SHARED_BYTES* m_pShared;
};
