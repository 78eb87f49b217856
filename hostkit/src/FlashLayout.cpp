#include "FlashLayout.h"

#include "Reports.h"
#include "kazmir.h"

namespace kzhost {

uint64_t FlashLayout::Size() const
{
    if (flashSize != 0)
        return flashSize;
    uint64_t size = 0;
    for (uint32_t s : sectorSizes)
        size += s;
    return size;
}

uint64_t FlashLayout::SectorStart(uint16_t sector) const
{
    uint64_t offset = 0;
    for (uint16_t i = 0; i < sector && i < sectorSizes.size(); ++i)
        offset += sectorSizes[i];
    return offset;
}

std::optional<FlashLayout> FlashLayout::FromTraceLine(std::string_view line)
{
    const std::optional<ReportLine> decoded = DecodeReportLine(REPORT_TRACE, line);
    if (!decoded || decoded->type != ReportLine::Type::FlashInfo)
        return std::nullopt;
    FlashLayout layout;
    layout.sectorCount = static_cast<uint16_t>(decoded->words[2]);
    layout.base = decoded->words[4];
    return layout;
}

} // namespace kzhost
