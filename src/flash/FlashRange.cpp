// Program and verify: the image is placed on the flash, the smallest run of
// whole sectors that covers it is read, overlaid with the image and written
// back (or compared), so that every byte the image does not cover keeps its
// content.
#include "flash/FlashProg.h"

#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <cstdlib>
#include <cstring>

// The steps Program and Verify share: load the image, place it, and read the
// covering range into both buffers. On failure the buffers are freed.
KZRESULT CFlashProg::LoadAndReadRange(const char* fileName)
{
    LoadImage(fileName);
    if (m_pImage == nullptr)
        return KZM_E_FAIL;
    KZRESULT result = PrepareRange();
    if (result != KZM_OK)
        return result;
    result = AllocRange();
    if (result == KZM_OK)
        result = ReadRange();
    if (result != KZM_OK)
        FreeRange();
    return result;
}

// Lays every block of the image, in list order, over the range buffer.
void CFlashProg::OverlayImage()
{
    const uint32_t blocks = m_pImage->GetBlockCount();
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* bytes = nullptr;
        if (m_pImage->GetBlock(i, &start, &end, &bytes) == KZM_OK)
            CopyToRange(start, end - start, bytes);
    }
}

KZRESULT CFlashProg::Program(const char* fileName)
{
    KZRESULT result = LoadAndReadRange(fileName);
    if (result != KZM_OK)
        return result;
    for (uint16_t sector = m_wFirstSector; sector < m_wEndSector; ++sector) {
        result = EraseSector(sector, m_wEndSector);
        if (result != KZM_OK) {
            FreeRange();
            return result;
        }
    }
    OverlayImage();
    result = WriteRange();
    FreeRange();
    return result;
}

KZRESULT CFlashProg::Verify(const char* fileName)
{
    KZRESULT result = LoadAndReadRange(fileName);
    if (result != KZM_OK)
        return result;
    OverlayImage();
    result = m_pFlashCopy != nullptr && m_pRangeBuf != nullptr &&
                     std::memcmp(m_pFlashCopy, m_pRangeBuf, m_dwRangeSize) == 0
                 ? KZM_OK
                 : KZM_E_VERIFY;
    FreeRange();
    return result;
}

KZRESULT CFlashProg::PrepareRange()
{
    FW_INFO info;
    const KZRESULT lookup = m_pImage != nullptr ? m_pImage->GetFwInfo(&info) : KZM_E_FAIL;
    const uint32_t address = lookup == KZM_OK ? info.Address : 0;
    const uint8_t kind = lookup == KZM_OK ? static_cast<uint8_t>(info.Kind & 0xFFu) : 0xFF;
    const uint32_t lowest = m_pImage != nullptr ? m_pImage->GetLowestAddress() : 0;
    const uint32_t highest = m_pImage != nullptr ? m_pImage->GetHighestAddress() : 0;
    const uint32_t length = highest - lowest;
    if (length == 0)
        return lookup;
    const uint32_t base = m_FlashInfo.BaseAddress;
    if (base != 0 && kind == 0)
        return SetRange(1, address - base, length, base);
    if (base == 0 && address != 0) {
        // Images hold absolute addresses, as linkers write them: with the
        // flash at address 0 the firmware's Address is its flash offset and
        // its blocks are placed relative to it, exactly as with a base.
        return SetRange(1, address, length, 0);
    }
    if (m_bSectorsKnown != 0)
        return SetRange(0, 0, length, 0); // image addresses are flash offsets
    return KZM_E_FAIL;
}

KZRESULT CFlashProg::SetRange(uint32_t useBase, uint32_t start, uint32_t length, uint32_t base)
{
    // Worked out in 64 bits: a range may not wrap around past 4 GiB.
    const uint64_t end64 = static_cast<uint64_t>(start) + length;
    if (end64 > m_dwFlashSize)
        return KZM_E_BEYOND_FLASH;
    const uint32_t end = static_cast<uint32_t>(end64);
    m_bUseBase = useBase;
    m_dwStartOffset = start;
    m_dwBase = base;
    m_dwFirstOffset = 0;
    KZRESULT result = KZM_E_RANGE_END;
    if (m_bSectorsKnown != 0) {
        // Offsets within a sector are kept in 32 bits, so sectors of 64 KiB
        // and more are placed right. A sector of size 0 counts as one byte;
        // one more single-byte span stands at the flash's end.
        const uint16_t count = SectorCount();
        uint64_t lo = 0;
        bool startFound = false;
        for (uint16_t i = 0; i <= count; ++i) {
            uint64_t size = i < count ? m_Sectors[i].Size : 1;
            if (size == 0)
                size = 1;
            if (!startFound && start >= lo && start < lo + size) {
                m_wFirstSector = i;
                m_dwFirstOffset = static_cast<uint32_t>(start - lo);
                startFound = true;
            }
            if (result != KZM_OK && end >= lo && end < lo + size) {
                m_wEndSector = i;
                if (end > lo)
                    ++m_wEndSector; // the partly covered sector belongs to the range
                result = KZM_OK;
            }
            lo += size;
        }
    }
    m_bRangeValid = 1;
    return result;
}

KZRESULT CFlashProg::AllocRange()
{
    if (m_bRangeValid == 0)
        return KZM_E_ALLOC_RANGE;
    uint64_t size = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector && s < SectorCount(); ++s)
        size += m_Sectors[s].Size;
    m_dwRangeSize = static_cast<uint32_t>(size);
    if (m_dwRangeSize == 0)
        return KZM_E_ALLOC_RANGE;
    FreeRange();
    m_pRangeBuf = static_cast<uint8_t*>(std::malloc(m_dwRangeSize));
    if (m_pRangeBuf == nullptr)
        return KZM_E_ALLOC_RANGE;
    return KZM_OK;
}

KZRESULT CFlashProg::ReadRange()
{
    if (m_bRangeValid == 0 || m_wFirstSector >= m_wEndSector || m_pRangeBuf == nullptr)
        return KZM_E_READ_RANGE;
    uint64_t offset = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector; ++s) {
        // The buffer was sized from the same table; checked all the same.
        if (s >= SectorCount() || offset + m_Sectors[s].Size > m_dwRangeSize)
            return KZM_E_READ_RANGE;
        if (ReadSector(s, m_wEndSector, m_pRangeBuf + offset) != KZM_OK)
            return KZM_E_READ_RANGE;
        offset += m_Sectors[s].Size;
    }
    std::free(m_pFlashCopy);
    m_pFlashCopy = static_cast<uint8_t*>(std::malloc(m_dwRangeSize));
    // Without the unchanged copy neither program nor verify can go on; it
    // counts as a failed read of the range.
    if (m_pFlashCopy == nullptr)
        return KZM_E_READ_RANGE;
    std::memcpy(m_pFlashCopy, m_pRangeBuf, m_dwRangeSize);
    return KZM_OK;
}

void CFlashProg::CopyToRange(uint32_t blockStart, uint32_t length, const uint8_t* bytes)
{
    const uint32_t offset = m_bUseBase != 0 ? m_dwFirstOffset + blockStart - m_dwBase - m_dwStartOffset
                                            : m_dwFirstOffset + blockStart;
    if (m_pRangeBuf == nullptr || bytes == nullptr || offset >= m_dwRangeSize)
        return;
    const uint32_t room = m_dwRangeSize - offset;
    std::memcpy(m_pRangeBuf + offset, bytes, length < room ? length : room);
}

KZRESULT CFlashProg::WriteRange()
{
    if (m_pRangeBuf == nullptr || m_wFirstSector >= m_wEndSector)
        return KZM_E_WRITE_RANGE;
    uint64_t offset = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector; ++s) {
        if (s >= SectorCount() || offset + m_Sectors[s].Size > m_dwRangeSize)
            return KZM_E_WRITE_RANGE;
        if (WriteSector(s, m_wEndSector, m_pRangeBuf + offset) != KZM_OK)
            return KZM_E_WRITE_RANGE;
        offset += m_Sectors[s].Size;
    }
    return KZM_OK;
}

void CFlashProg::FreeRange()
{
    std::free(m_pRangeBuf);
    std::free(m_pFlashCopy);
    m_pRangeBuf = nullptr;
    m_pFlashCopy = nullptr;
}
