// Where an image goes on the flash: the sector range that covers it and the
// arithmetic that puts each block into that range. A pure function of the
// flash layout and the image's summary, shared by the programmer and by
// hosts that want to show or check the placement before programming.
#pragma once

#include "kazmir.h"

#include <cstdint>

struct FLASH_LAYOUT {
    uint32_t dwBase;          // flash base address (0 when the flash starts at 0)
    uint16_t wSectorCount;    // sectors in pdwSizes
    const uint32_t* pdwSizes; // sector sizes, wSectorCount of them
    bool bSectorsKnown;       // the sizes have been read
    // What a range may not end beyond: the sum of the sizes of the sectors
    // read, 0 when their reading failed. Not worked out from pdwSizes, which
    // may still hold sizes of a flash read earlier.
    uint32_t dwFlashSize;
};

struct IMAGE_SUMMARY {
    bool bFwInfo;       // the image holds a firmware-information record
    uint32_t dwAddress; // its Address (host order)
    uint32_t dwKind;    // its Kind (host order)
    uint32_t dwLowest;  // lowest and highest address of the image's blocks
    uint32_t dwHighest;
};

struct RANGE_PLACEMENT {
    KZMRESULT result;       // 0, or the code the programmer returns
    bool bRangeSet;         // the range fields below were worked out
    bool bFirstFound;       // the start lies in a sector (else wFirstSector is the earlier one)
    bool bEndFound;         // the end lies in a sector (else wEndSector is the earlier one)
    uint32_t bUseBase;      // blocks are placed relative to dwBase + dwStartOffset
    uint32_t dwStartOffset; // flash offset of the image's start
    uint32_t dwBase;
    uint32_t dwLength;      // highest minus lowest address
    uint32_t dwFirstOffset; // offset of the start inside the first sector
    uint16_t wFirstSector;  // range: [wFirstSector, wEndSector)
    uint16_t wEndSector;
};

// The placement of an image. wFirstSector and wEndSector start from the
// given earlier values, which stay where no sector is found.
RANGE_PLACEMENT PlaceImage(const FLASH_LAYOUT& layout, const IMAGE_SUMMARY& image, uint16_t firstBefore,
                           uint16_t endBefore);
// The range for an image placed at flash offset start: the sector walk alone.
RANGE_PLACEMENT PlaceRange(const FLASH_LAYOUT& layout, uint32_t useBase, uint32_t start, uint32_t length, uint32_t base,
                           uint16_t firstBefore, uint16_t endBefore);
// Offset in the range buffer of a block's first byte (u32 arithmetic, as the
// copy does it).
inline uint32_t RangeOffset(const RANGE_PLACEMENT& placement, uint32_t blockStart)
{
    return placement.bUseBase != 0 ? placement.dwFirstOffset + blockStart - placement.dwBase - placement.dwStartOffset
                                   : placement.dwFirstOffset + blockStart;
}
// Size of the sectors [first, end); 0 when the layout has none of them.
uint64_t RangeSize(const FLASH_LAYOUT& layout, uint16_t first, uint16_t end);
// Flash offset of a sector.
uint64_t SectorStart(const FLASH_LAYOUT& layout, uint16_t sector);
