// Program and verify: the image is placed on the flash, the smallest run of
// whole sectors that covers it is read, overlaid with the image and written
// back (or compared), so that every byte the image does not cover keeps its
// content.
#include "flash/FlashProg.h"

#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

// The steps Program and Verify share: load the image, place it, and give
// the range its buffer (the whole range, or one sector at a time). On
// failure the buffer is freed.
KZMRESULT CFlashProg::LoadAndPlace(const char* fileName, bool wholeRange)
{
    LoadImage(fileName);
    if (m_pImage == nullptr)
        return KZM_E_FAIL;
    KZMRESULT result = PrepareRange();
    if (result != KZM_OK)
        return result;
    result = AllocRange(wholeRange);
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
    KZMRESULT result = LoadAndPlace(fileName, true);
    if (result != KZM_OK)
        return result;
    result = ReadRange();
    if (result != KZM_OK) {
        FreeRange();
        return result;
    }
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

// Verify reads the range sector by sector into one sector's buffer and
// compares the image's bytes in each sector as they arrive: the flash holds
// the image exactly when the range overlaid with it would equal the range as
// read. Every sector of the range is read, as for programming.
KZMRESULT CFlashProg::Verify(const char* fileName)
{
    KZMRESULT result = LoadAndPlace(fileName, false);
    if (result != KZM_OK)
        return result;
    result = CompareRange();
    FreeRange();
    return result;
}

KZMRESULT CFlashProg::CompareRange()
{
    if (m_bRangeValid == 0 || m_wFirstSector >= m_wEndSector || m_pRangeBuf == nullptr)
        return KZM_E_READ_RANGE;
    // The image's pieces inside the range, by range offset; blocks never
    // share an address, so neither do their pieces.
    const uint32_t blocks = m_pImage->GetBlockCount();
    auto* pieces = static_cast<RANGE_PIECE*>(std::malloc(sizeof(RANGE_PIECE) * (blocks != 0 ? blocks : 1)));
    if (pieces == nullptr)
        return KZM_E_READ_RANGE;
    uint32_t count = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* bytes = nullptr;
        if (m_pImage->GetBlock(i, &start, &end, &bytes) == KZM_OK && PieceInRange(start, end - start, bytes, &pieces[count]))
            ++count;
    }
    std::sort(pieces, pieces + count,
              [](const RANGE_PIECE& a, const RANGE_PIECE& b) { return a.dwOffset < b.dwOffset; });
    bool same = true;
    uint32_t next = 0; // first piece not yet wholly compared
    uint64_t lo = 0;
    KZMRESULT result = KZM_OK;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector; ++s) {
        if (s >= SectorCount() || lo + m_Sectors[s].Size > m_dwRangeSize ||
            ReadSector(s, m_wEndSector, m_pRangeBuf) != KZM_OK) {
            result = KZM_E_READ_RANGE;
            break;
        }
        const uint64_t hi = lo + m_Sectors[s].Size;
        for (uint32_t p = next; p < count && pieces[p].dwOffset < hi; ++p) {
            const uint64_t from = pieces[p].dwOffset > lo ? pieces[p].dwOffset : lo;
            const uint64_t pieceEnd = static_cast<uint64_t>(pieces[p].dwOffset) + pieces[p].dwLength;
            const uint64_t to = pieceEnd < hi ? pieceEnd : hi;
            if (same && from < to &&
                std::memcmp(m_pRangeBuf + (from - lo), pieces[p].pBytes + (from - pieces[p].dwOffset), to - from) != 0)
                same = false;
            if (pieceEnd <= hi)
                next = p + 1;
        }
        lo = hi;
    }
    std::free(pieces);
    if (result != KZM_OK)
        return result;
    return same ? KZM_OK : KZM_E_VERIFY;
}

bool CFlashProg::PieceInRange(uint32_t blockStart, uint32_t length, const uint8_t* bytes, RANGE_PIECE* piece) const
{
    const uint32_t offset = RangeOffset(CurrentPlacement(), blockStart);
    if (bytes == nullptr || length == 0 || offset >= m_dwRangeSize)
        return false;
    const uint32_t room = m_dwRangeSize - offset;
    piece->dwOffset = offset;
    piece->dwLength = length < room ? length : room;
    piece->pBytes = bytes;
    return true;
}

RANGE_PLACEMENT CFlashProg::CurrentPlacement() const
{
    RANGE_PLACEMENT placement{};
    placement.bUseBase = m_bUseBase;
    placement.dwFirstOffset = m_dwFirstOffset;
    placement.dwBase = m_dwBase;
    placement.dwStartOffset = m_dwStartOffset;
    return placement;
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

KZMRESULT CFlashProg::AllocRange(bool wholeRange)
{
    if (m_bRangeValid == 0)
        return KZM_E_ALLOC_RANGE;
    uint64_t size = 0;
    uint32_t largest = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector && s < SectorCount(); ++s) {
        size += m_Sectors[s].Size;
        largest = m_Sectors[s].Size > largest ? m_Sectors[s].Size : largest;
    }
    m_dwRangeSize = static_cast<uint32_t>(size);
    if (m_dwRangeSize == 0)
        return KZM_E_ALLOC_RANGE;
    FreeRange();
    m_pRangeBuf = static_cast<uint8_t*>(std::malloc(wholeRange ? m_dwRangeSize : largest));
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
    return KZM_OK;
}

void CFlashProg::CopyToRange(uint32_t blockStart, uint32_t length, const uint8_t* bytes)
{
    const uint32_t offset = RangeOffset(CurrentPlacement(), blockStart);
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
    m_pRangeBuf = nullptr;
}
