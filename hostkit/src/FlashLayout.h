// The board's flash as the library sees it: base address and sectors.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kzcli {

struct FlashLayout {
    uint32_t base = 0;
    uint16_t sectorCount = 0;
    std::vector<uint32_t> sectorSizes; // empty when only the count is known

    bool SizesKnown() const { return !sectorSizes.empty(); }
    uint64_t Size() const;
    uint64_t SectorOffset(uint16_t sector) const;

    // Parses the flash-information trace line that the library reports while
    // it opens the flash loader (its format is FLASH_INFO_TRACE_FORMAT in
    // src/flash/FlashInfoTrace.h). Leading blanks are allowed.
    static std::optional<FlashLayout> FromTraceLine(std::string_view line);
};

} // namespace kzcli
