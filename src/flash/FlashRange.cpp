// Program and verify: the image is placed on the flash, the smallest run of
// whole sectors that covers it is read, overlaid with the image and written
// back (or compared), so that every byte the image does not cover keeps its
// content.
//
// The range goes through one sector's buffer: reading keeps only the bytes
// the image leaves as they are, writing puts each sector together from the
// image and those bytes, and verifying compares each sector as it is read.
// Every sector is still read, erased and written once, in the same order.
#include "flash/FlashProg.h"

#include "flash/ImageBlock.h"
#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

// Pieces and gaps of 8 to 16 bytes (most of those of an image of many small
// blocks) in two moves each, without a call.
inline void CopyBytes(uint8_t* to, const uint8_t* from, uint64_t length)
{
    if (length - 8 <= 8) {
        uint64_t head = 0, tail = 0;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + length - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + length - 8, &tail, 8);
    } else {
        std::memcpy(to, from, static_cast<size_t>(length));
    }
}

inline bool SameBytes(const uint8_t* a, const uint8_t* b, uint64_t length)
{
    if (length - 8 <= 8) {
        uint64_t a0 = 0, a1 = 0, b0 = 0, b1 = 0;
        std::memcpy(&a0, a, 8);
        std::memcpy(&a1, a + length - 8, 8);
        std::memcpy(&b0, b, 8);
        std::memcpy(&b1, b + length - 8, 8);
        return ((a0 ^ b0) | (a1 ^ b1)) == 0;
    }
    return std::memcmp(a, b, static_cast<size_t>(length)) == 0;
}

} // namespace

// Walks the range part [lo, hi) of one sector: fn(offset, length, bytes) for
// each image piece in it (bytes: the piece's bytes there) and each gap
// between them (bytes null), in order. *next is the first piece not yet
// wholly walked; a piece that runs on into the next sector stays next.
template <typename FN>
void CFlashProg::WalkSector(uint32_t* next, uint64_t lo, uint64_t hi, FN fn)
{
    uint64_t at = lo;
    uint32_t p = *next;
    for (; p < m_dwPieces; ++p) {
        const RANGE_PIECE& piece = m_pPieces[p];
        if (piece.dwOffset >= hi)
            break;
        const uint64_t start = piece.dwOffset > lo ? piece.dwOffset : lo;
        const uint64_t pieceEnd = static_cast<uint64_t>(piece.dwOffset) + piece.dwLength;
        const uint64_t end = pieceEnd < hi ? pieceEnd : hi;
        if (start > at)
            fn(at, start - at, nullptr);
        fn(start, end - start, piece.pBytes + (start - piece.dwOffset));
        at = end;
        if (pieceEnd > hi)
            break;
    }
    *next = p;
    if (hi > at)
        fn(at, hi - at, nullptr);
}

KZMRESULT CFlashProg::Program(const char* fileName)
{
    KZMRESULT result = LoadAndPlace(fileName);
    if (result == KZM_OK)
        result = ReadRange(false);
    for (uint16_t sector = m_wFirstSector; result == KZM_OK && sector < m_wEndSector; ++sector) {
        // The erase's own code is the result; nothing is written after it.
        result = EraseSector(sector, m_wEndSector);
    }
    if (result == KZM_OK)
        result = WriteRange();
    FreeRange();
    return result;
}

KZMRESULT CFlashProg::Verify(const char* fileName)
{
    KZMRESULT result = LoadAndPlace(fileName);
    if (result == KZM_OK)
        result = ReadRange(true);
    if (result == KZM_OK)
        result = m_bRangeDiffers ? KZM_E_VERIFY : KZM_OK;
    FreeRange();
    return result;
}

// The steps Program and Verify share: load the image, place it, and give the
// range its buffers.
KZMRESULT CFlashProg::LoadAndPlace(const char* fileName)
{
    LoadImage(fileName);
    if (m_pImage == nullptr)
        return KZM_E_FAIL;
    const KZMRESULT result = PrepareRange();
    return result == KZM_OK ? AllocRange() : result;
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
    return FLASH_LAYOUT{m_FlashInfo.BaseAddress, count, sizes, m_bSectorsKnown != 0, m_dwFlashSize};
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
    uint32_t largest = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector && s < SectorCount(); ++s) {
        size += m_Sectors[s].Size;
        largest = m_Sectors[s].Size > largest ? m_Sectors[s].Size : largest;
    }
    m_dwRangeSize = static_cast<uint32_t>(size);
    if (m_dwRangeSize == 0)
        return KZM_E_ALLOC_RANGE;
    FreeRange();
    m_pRangeBuf = static_cast<uint8_t*>(std::malloc(largest));
    if (m_pRangeBuf == nullptr)
        return KZM_E_ALLOC_RANGE;
    // The image's pieces inside the range, walked by range offset; blocks
    // never share an address, so neither do their pieces. Blocks mostly
    // stand in address order: the table is sorted only when they do not.
    uint32_t blocks = 0;
    const CImageBlock* const* table = m_pImage != nullptr ? m_pImage->GetBlocks(&blocks) : nullptr;
    m_pPieces = static_cast<RANGE_PIECE*>(std::malloc(sizeof(RANGE_PIECE) * (blocks != 0 ? blocks : 1)));
    if (m_pPieces == nullptr) {
        FreeRange();
        return KZM_E_ALLOC_RANGE;
    }
    uint64_t covered = 0, lastEnd = 0;
    bool inOrder = true;
    uint32_t count = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        RANGE_PIECE& piece = m_pPieces[count];
        if (!PieceInRange(table[i]->GetStart(), table[i]->GetSize(), table[i]->GetData(), &piece))
            continue;
        covered += piece.dwLength;
        inOrder = inOrder && piece.dwOffset >= lastEnd;
        lastEnd = static_cast<uint64_t>(piece.dwOffset) + piece.dwLength;
        ++count;
    }
    m_dwPieces = count;
    if (!inOrder)
        std::sort(m_pPieces, m_pPieces + count,
                  [](const RANGE_PIECE& a, const RANGE_PIECE& b) { return a.dwOffset < b.dwOffset; });
    // The flash bytes the image leaves as they are, in range order.
    m_pKept = static_cast<uint8_t*>(std::malloc(m_dwRangeSize - covered + 1));
    if (m_pKept == nullptr) {
        FreeRange();
        return KZM_E_ALLOC_RANGE;
    }
    return KZM_OK;
}

bool CFlashProg::PieceInRange(uint32_t blockStart, uint32_t length, const uint8_t* bytes, RANGE_PIECE* piece) const
{
    RANGE_PLACEMENT placement{};
    placement.bUseBase = m_bUseBase;
    placement.dwFirstOffset = m_dwFirstOffset;
    placement.dwBase = m_dwBase;
    placement.dwStartOffset = m_dwStartOffset;
    const uint32_t offset = RangeOffset(placement, blockStart);
    if (bytes == nullptr || length == 0 || offset >= m_dwRangeSize)
        return false;
    const uint32_t room = m_dwRangeSize - offset;
    piece->dwOffset = offset;
    piece->dwLength = length < room ? length : room;
    piece->pBytes = bytes;
    return true;
}

// Reads every sector of the range. For programming it keeps the bytes the
// image leaves; for verifying it compares the image's bytes instead.
KZMRESULT CFlashProg::ReadRange(bool compare)
{
    if (m_bRangeValid == 0 || m_wFirstSector >= m_wEndSector || m_pRangeBuf == nullptr || m_pKept == nullptr)
        return KZM_E_READ_RANGE;
    m_bRangeDiffers = false;
    uint64_t lo = 0, kept = 0;
    uint32_t next = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector; ++s) {
        // The buffers were sized from the same table; checked all the same.
        if (s >= SectorCount() || lo + m_Sectors[s].Size > m_dwRangeSize)
            return KZM_E_READ_RANGE;
        if (ReadSector(s, m_wEndSector, m_pRangeBuf) != KZM_OK)
            return KZM_E_READ_RANGE;
        WalkSector(&next, lo, lo + m_Sectors[s].Size, [&](uint64_t at, uint64_t length, const uint8_t* bytes) {
            if (compare && bytes != nullptr && !m_bRangeDiffers)
                m_bRangeDiffers = !SameBytes(m_pRangeBuf + (at - lo), bytes, length);
            else if (!compare && bytes == nullptr) {
                CopyBytes(m_pKept + kept, m_pRangeBuf + (at - lo), length);
                kept += length;
            }
        });
        lo += m_Sectors[s].Size;
    }
    return KZM_OK;
}

// Puts each sector together from the image and the kept bytes, and writes it.
KZMRESULT CFlashProg::WriteRange()
{
    if (m_pRangeBuf == nullptr || m_pKept == nullptr || m_wFirstSector >= m_wEndSector)
        return KZM_E_WRITE_RANGE;
    uint64_t lo = 0, kept = 0;
    uint32_t next = 0;
    for (uint16_t s = m_wFirstSector; s < m_wEndSector; ++s) {
        if (s >= SectorCount() || lo + m_Sectors[s].Size > m_dwRangeSize)
            return KZM_E_WRITE_RANGE;
        WalkSector(&next, lo, lo + m_Sectors[s].Size, [&](uint64_t at, uint64_t length, const uint8_t* bytes) {
            CopyBytes(m_pRangeBuf + (at - lo), bytes != nullptr ? bytes : m_pKept + kept, length);
            kept += bytes != nullptr ? 0 : length;
        });
        if (WriteSector(s, m_wEndSector, m_pRangeBuf) != KZM_OK)
            return KZM_E_WRITE_RANGE;
        lo += m_Sectors[s].Size;
    }
    return KZM_OK;
}

void CFlashProg::FreeRange()
{
    std::free(m_pRangeBuf);
    std::free(m_pKept);
    std::free(m_pPieces);
    m_pRangeBuf = nullptr;
    m_pKept = nullptr;
    m_pPieces = nullptr;
    m_dwPieces = 0;
}
