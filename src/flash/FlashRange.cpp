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
KZMRESULT CFlashProg::LoadAndReadRange(const char* fileName)
{
    LoadImage(fileName);
    if (m_pImage == nullptr)
        return KZM_E_FAIL;
    KZMRESULT result = PrepareRange();
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

KZMRESULT CFlashProg::Program(const char* fileName)
{
    KZMRESULT result = LoadAndReadRange(fileName);
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

KZMRESULT CFlashProg::Verify(const char* fileName)
{
    KZMRESULT result = LoadAndReadRange(fileName);
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

KZMRESULT CFlashProg::PrepareRange()
{
    FW_INFO info;
    const bool found = m_pImage != nullptr && m_pImage->GetFwInfo(&info) == KZM_OK;
    IMAGE_SUMMARY summary{};
    summary.bFwInfo = found;
    summary.dwAddress = found ? info.Address : 0;
    summary.dwKind = found ? info.Kind : 0;
    summary.dwLowest = m_pImage != nullptr ? m_pImage->GetLowestAddress() : 0;
    summary.dwHighest = m_pImage != nullptr ? m_pImage->GetHighestAddress() : 0;
    uint32_t sizes[MAX_SECTORS];
    return ApplyPlacement(PlaceImage(Layout(sizes), summary, m_wFirstSector, m_wEndSector));
}

FLASH_LAYOUT CFlashProg::Layout(uint32_t (&sizes)[MAX_SECTORS]) const
{
    const uint16_t count = SectorCount();
    for (uint16_t i = 0; i < count; ++i)
        sizes[i] = m_Sectors[i].Size;
    return FLASH_LAYOUT{m_FlashInfo.BaseAddress, count, sizes, m_bSectorsKnown != 0};
}

KZMRESULT CFlashProg::ApplyPlacement(const RANGE_PLACEMENT& placement)
{
    if (placement.bRangeSet) {
        m_bUseBase = placement.bUseBase;
        m_dwStartOffset = placement.dwStartOffset;
        m_dwBase = placement.dwBase;
        m_dwFirstOffset = placement.dwFirstOffset;
        m_wFirstSector = placement.wFirstSector;
        m_wEndSector = placement.wEndSector;
        m_bRangeValid = 1;
    }
    return placement.result;
}

KZMRESULT CFlashProg::SetRange(uint32_t useBase, uint32_t start, uint32_t length, uint32_t base)
{
    uint32_t sizes[MAX_SECTORS];
    return ApplyPlacement(PlaceRange(Layout(sizes), useBase, start, length, base, m_wFirstSector, m_wEndSector));
}

KZMRESULT CFlashProg::AllocRange()
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

KZMRESULT CFlashProg::ReadRange()
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
    RANGE_PLACEMENT placement{};
    placement.bUseBase = m_bUseBase;
    placement.dwFirstOffset = m_dwFirstOffset;
    placement.dwBase = m_dwBase;
    placement.dwStartOffset = m_dwStartOffset;
    const uint32_t offset = RangeOffset(placement, blockStart);
    if (m_pRangeBuf == nullptr || bytes == nullptr || offset >= m_dwRangeSize)
        return;
    const uint32_t room = m_dwRangeSize - offset;
    std::memcpy(m_pRangeBuf + offset, bytes, length < room ? length : room);
}

KZMRESULT CFlashProg::WriteRange()
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
