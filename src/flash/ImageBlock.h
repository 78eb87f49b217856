// CImageBlock: one contiguous run of image addresses, [start, end), with its
// bytes.
#pragma once

#include "flash/ListNode.h"

#include <cstdint>
#include <cstdlib>

class CImageBlock : public CListNode {
public:
    // Inline, as UseShared: an image of many small blocks makes one each.
    CImageBlock(uint32_t start, uint32_t end) : m_dwStart(start), m_dwEnd(end), m_pData(nullptr), m_pShared(nullptr) {}
    // Frees the bytes, then leaves the list.
    ~CImageBlock() override
    {
        if (m_pShared != nullptr) {
            if (--m_pShared->dwUsers == 0)
                std::free(m_pShared);
        } else {
            FreeData();
        }
        m_pData = nullptr;
        m_pShared = nullptr;
    }

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
    void UseShared(SHARED_BYTES* shared, uint64_t offset)
    {
        if (m_pData != nullptr || shared == nullptr)
            return;
        ++shared->dwUsers;
        m_pShared = shared;
        m_pData = SharedData(shared) + offset;
    }

private:
    void FreeData();

    uint32_t m_dwStart;
    uint32_t m_dwEnd;
    uint8_t* m_pData;
    SHARED_BYTES* m_pShared;
};
