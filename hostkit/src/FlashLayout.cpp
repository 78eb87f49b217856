#include "FlashLayout.h"

#include "flash/FlashInfoTrace.h"

#include <cstdio>
#include <string>

namespace kzcli {

uint64_t FlashLayout::Size() const
{
    uint64_t size = 0;
    for (uint32_t s : sectorSizes)
        size += s;
    return size;
}

uint64_t FlashLayout::SectorOffset(uint16_t sector) const
{
    uint64_t offset = 0;
    for (uint16_t i = 0; i < sector && i < sectorSizes.size(); ++i)
        offset += sectorSizes[i];
    return offset;
}

std::optional<FlashLayout> FlashLayout::FromTraceLine(std::string_view line)
{
    while (!line.empty() && line.front() == ' ')
        line.remove_prefix(1);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.remove_suffix(1);
    const std::string text(line);
    // Read the words with the library's own format, then print them again with
    // it: only a line the library could have printed matches.
    unsigned words[5] = {};
    if (std::sscanf(text.c_str(), FLASH_INFO_TRACE_FORMAT, &words[0], &words[1], &words[2], &words[3], &words[4]) != 5)
        return std::nullopt;
    char again[64];
    std::snprintf(again, sizeof(again), FLASH_INFO_TRACE_FORMAT, words[0], words[1], words[2], words[3], words[4]);
    if (text != again)
        return std::nullopt;
    FlashLayout layout;
    layout.sectorCount = static_cast<uint16_t>(words[2]);
    layout.base = words[4];
    return layout;
}

} // namespace kzcli
