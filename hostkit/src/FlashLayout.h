// The board's flash as the library sees it: base address and sectors.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kzhost {

struct FlashLayout {
    uint32_t base = 0;
    uint16_t sectorCount = 0;
    std::vector<uint32_t> sectorSizes; // empty when only the count is known
    uint64_t flashSize = 0;            // bytes of the flash when told; 0: the sum of the sectors

    bool SizesKnown() const { return !sectorSizes.empty(); }
    uint64_t Size() const; // flashSize when told, else the sum of the sectors
    uint64_t SectorStart(uint16_t sector) const;

    // The layout in the flash-information trace line that the library
    // reports while it opens the flash loader (decoded as the report decoder
    // does, see Reports.h); nullopt for any other line.
    static std::optional<FlashLayout> FromTraceLine(std::string_view line);
};

} // namespace kzhost
