#include "flash/FlashPlacement.h"

#include "kazmir.h"

uint64_t SectorStart(const FLASH_LAYOUT& layout, uint16_t sector)
{
    uint64_t offset = 0;
    for (uint16_t i = 0; i < sector && i < layout.wSectorCount; ++i)
        offset += layout.pdwSizes[i];
    return offset;
}

uint64_t RangeSize(const FLASH_LAYOUT& layout, uint16_t first, uint16_t end)
{
    uint64_t size = 0;
    for (uint16_t s = first; s < end && s < layout.wSectorCount; ++s)
        size += layout.pdwSizes[s];
    return size;
}

RANGE_PLACEMENT PlaceRange(const FLASH_LAYOUT& layout, uint32_t useBase, uint32_t start, uint32_t length, uint32_t base,
                           uint16_t firstBefore, uint16_t endBefore)
{
    RANGE_PLACEMENT p{};
    p.wFirstSector = firstBefore;
    p.wEndSector = endBefore;
    p.dwLength = length;
    // Worked out in 64 bits: a range may not wrap around past 4 GiB.
    const uint64_t end64 = static_cast<uint64_t>(start) + length;
    if (end64 > layout.dwFlashSize) {
        p.result = KZM_E_BEYOND_FLASH;
        return p;
    }
    const uint32_t end = static_cast<uint32_t>(end64);
    p.bRangeSet = true;
    p.bUseBase = useBase;
    p.dwStartOffset = start;
    p.dwBase = base;
    p.result = KZM_E_RANGE_END;
    // Offsets within a sector are kept in 32 bits, so sectors of 64 KiB and
    // more are placed right. A sector of size 0 counts as one byte; one more
    // single-byte span stands at the flash's end.
    uint64_t lo = 0;
    for (uint32_t i = 0; layout.bSectorsKnown && i <= layout.wSectorCount; ++i) {
        uint64_t size = i < layout.wSectorCount ? layout.pdwSizes[i] : 1;
        if (size == 0)
            size = 1;
        if (!p.bFirstFound && start >= lo && start < lo + size) {
            p.wFirstSector = static_cast<uint16_t>(i);
            p.dwFirstOffset = static_cast<uint32_t>(start - lo);
            p.bFirstFound = true;
        }
        if (!p.bEndFound && end >= lo && end < lo + size) {
            // The partly covered sector belongs to the range.
            p.wEndSector = static_cast<uint16_t>(end > lo ? i + 1 : i);
            p.bEndFound = true;
            p.result = KZM_OK;
        }
        lo += size;
    }
    return p;
}

RANGE_PLACEMENT PlaceImage(const FLASH_LAYOUT& layout, const IMAGE_SUMMARY& image, uint16_t firstBefore,
                           uint16_t endBefore)
{
    const uint32_t address = image.bFwInfo ? image.dwAddress : 0;
    const uint32_t kind = image.bFwInfo ? (image.dwKind & 0xFFu) : 0xFFu;
    const uint32_t length = image.dwHighest - image.dwLowest;
    if (length == 0) {
        RANGE_PLACEMENT p{};
        p.wFirstSector = firstBefore;
        p.wEndSector = endBefore;
        p.result = image.bFwInfo ? KZM_OK : KZM_E_FAIL;
        return p;
    }
    const uint32_t base = layout.dwBase;
    if (base != 0 && kind == 0)
        return PlaceRange(layout, 1, address - base, length, base, firstBefore, endBefore);
    if (base == 0 && address != 0) {
        // Images hold absolute addresses, as linkers write them: with the
        // flash at address 0 the firmware's Address is its flash offset and
        // its blocks are placed relative to it, exactly as with a base.
        return PlaceRange(layout, 1, address, length, 0, firstBefore, endBefore);
    }
    if (layout.bSectorsKnown)
        return PlaceRange(layout, 0, 0, length, 0, firstBefore, endBefore); // image addresses are flash offsets
    RANGE_PLACEMENT p{};
    p.wFirstSector = firstBefore;
    p.wEndSector = endBefore;
    p.result = KZM_E_FAIL;
    p.dwLength = length;
    return p;
}
