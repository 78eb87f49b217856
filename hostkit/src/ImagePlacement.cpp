// Where the library would put an image on a board's flash: its own
// placement replayed on the layout, with a finding for every block it would
// not write where it belongs.
#include "ImageCheck.h"

#include "flash/FlashPlacement.h"
#include "flash/ImageBlock.h"
#include "flash/ImageFile.h"

#include <algorithm>

namespace kzhost {

size_t PlacementPlan::Errors() const
{
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(),
                                             [](const Finding& f) { return f.severity == Severity::Error; }));
}

PlacementPlan PreviewPlacement(const ImageAnalysis& image, const FlashLayout& layout)
{
    PlacementPlan plan;
    auto error = [&](Issue issue, int block, std::string text) {
        plan.findings.push_back({Severity::Error, issue, 0, block, std::move(text)});
    };
    if (image.blocks.empty()) {
        plan.result = KZM_E_FAIL;
        return plan;
    }
    const FwInfoView& fw = image.fwInfo;
    const uint32_t address = fw.found ? fw.record.Address : 0;
    const uint32_t kind = fw.found ? (fw.record.Kind & 0xFFu) : 0xFFu;
    const uint32_t base = layout.base;
    if (fw.found && (kind & 0x7Fu) == 1)
        plan.findings.push_back({Severity::Warning, Issue::RamFirmware, 0, fw.block,
                                 "the firmware-information record marks this as RAM firmware; the library writes "
                                 "it into the flash all the same"});
    if (!layout.SizesKnown()) {
        plan.findings.push_back({Severity::Warning, Issue::LayoutUnknown, 0, -1,
                                 "the flash's sector sizes are unknown: where the image goes is not checked"});
        return plan;
    }
    // The library's own placement.
    const FLASH_LAYOUT flash{base, static_cast<uint16_t>(layout.sectorSizes.size()), layout.sectorSizes.data(), true,
                             static_cast<uint32_t>(std::min<uint64_t>(layout.Size(), 0xFFFFFFFFu))};
    // Each a walk over the blocks: once.
    const uint32_t lowest = image.Lowest();
    const uint64_t highest = image.Highest();
    const IMAGE_SUMMARY summary{fw.found, fw.record.Address, fw.record.Kind, lowest, static_cast<uint32_t>(highest)};
    const RANGE_PLACEMENT p = ::PlaceImage(flash, summary, 0, 0);
    plan.useBase = p.bUseBase != 0;
    plan.startOffset = p.dwStartOffset;
    plan.base = p.dwBase;
    plan.firstSector = p.wFirstSector;
    plan.endSector = p.wEndSector;
    plan.firstOffset = p.dwFirstOffset;
    plan.result = p.result;

    const std::string why =
        base != 0 && kind == 0
            ? Fmt("its FLASH record's address %s minus the flash base %s", Hex32(address).c_str(), Hex32(base).c_str())
        : base == 0 && address != 0
            ? Fmt("its record's address %s, the flash starting at address 0", Hex32(address).c_str())
        : fw.found ? std::string(base != 0 ? "its record is not plain FLASH firmware, so its addresses are taken as "
                                             "flash offsets"
                                           : "its record's address is 0, so its addresses are flash offsets")
                   : std::string("it has no firmware-information record, so its addresses are taken as flash offsets");
    const uint32_t length = static_cast<uint32_t>(highest - lowest);
    if (base != 0 && kind == 0 && address < base) {
        error(Issue::StartOutside, fw.block,
              Fmt("the firmware-information record gives the address %s, below the flash base %s: the image would "
                  "start outside the flash",
                  Hex32(address).c_str(), Hex32(base).c_str()));
        return plan;
    }
    if (p.result == KZM_E_BEYOND_FLASH) {
        const uint64_t flashSize = layout.Size();
        std::string blockList;
        for (size_t i = 0; i < image.blocks.size(); ++i) {
            const auto& b = image.blocks[i];
            const uint64_t at =
                plan.useBase ? static_cast<uint64_t>(b.start) - base : static_cast<uint64_t>(p.dwStartOffset) + b.start;
            if (at + b.Size() > flashSize)
                blockList += Fmt("%s%zu", blockList.empty() ? "" : ", ", i);
        }
        error(Issue::BeyondFlash, -1,
              Fmt("the image ends beyond the flash: placed at flash offset %s (%s) its %s bytes reach %s, but the "
                  "flash holds only %s bytes%s%s",
                  Hex32(p.dwStartOffset).c_str(), why.c_str(), Hex32(length).c_str(),
                  Hex32(static_cast<uint64_t>(p.dwStartOffset) + length).c_str(), Hex32(flashSize).c_str(),
                  blockList.empty() ? "" : "; blocks beyond it: ", blockList.c_str()));
        return plan;
    }
    if (!p.bFirstFound)
        error(
            Issue::StartOutside, -1,
            Fmt("the image would start at flash offset %s, in no sector of the flash", Hex32(p.dwStartOffset).c_str()));
    if (p.result != 0) {
        error(Issue::BeyondFlash, -1, "the image's end lies in no sector of the flash");
        return plan;
    }
    if (plan.firstSector >= plan.endSector) {
        plan.result = KZM_E_ALLOC_RANGE;
        error(Issue::NotWritten, -1, "the image covers no flash sector");
        return plan;
    }
    plan.rangeSize = RangeSize(flash, plan.firstSector, plan.endSector);
    plan.rangeStart = SectorStart(flash, plan.firstSector);
    const std::string sectors = plan.endSector - plan.firstSector == 1
                                    ? Fmt("sector %u", plan.firstSector)
                                    : Fmt("sectors %u..%u", plan.firstSector, plan.endSector - 1u);
    plan.explanation = Fmt("the library puts the image at flash offset %s (%s) and programs %s (flash %s to %s)",
                           Hex32(p.dwStartOffset).c_str(), why.c_str(), sectors.c_str(), Hex32(plan.rangeStart).c_str(),
                           Hex32(plan.rangeStart + plan.rangeSize - 1).c_str());
    plan.blocks.reserve(image.blocks.size());
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const auto& b = image.blocks[i];
        const uint32_t offset = RangeOffset(p, b.start);
        // Where the block belongs by the same rule, before the u32 arithmetic wraps.
        const int64_t target =
            plan.useBase ? static_cast<int64_t>(b.start) - base : static_cast<int64_t>(p.dwStartOffset) + b.start;
        BlockPlacement bp;
        bp.flashOffset = plan.rangeStart + offset;
        bp.written = offset >= plan.rangeSize ? 0 : std::min<uint64_t>(b.Size(), plan.rangeSize - offset);
        plan.bytesWritten += bp.written;
        if (bp.written < b.Size()) {
            const std::string head = Fmt("block %zu [%s, %s)", i, Hex32(b.start).c_str(), Hex32(b.end).c_str());
            std::string text;
            if (target < 0)
                text = Fmt("%s: none of its %llu bytes would be written: it lies below %s", head.c_str(),
                           static_cast<unsigned long long>(b.Size()),
                           base != 0 ? Fmt("the flash base %s", Hex32(base).c_str()).c_str()
                                     : Fmt("the firmware's address %s", Hex32(plan.startOffset).c_str()).c_str());
            else if (bp.written == 0)
                text = Fmt("%s: none of its %llu bytes would be written: it belongs at flash offset %s, outside %s, "
                           "the range the library programs",
                           head.c_str(), static_cast<unsigned long long>(b.Size()), Hex32(target).c_str(),
                           sectors.c_str());
            else
                text = Fmt("%s: its last %llu of %llu bytes would not be written: they run past the end of %s, the "
                           "range the library programs",
                           head.c_str(), static_cast<unsigned long long>(b.Size() - bp.written),
                           static_cast<unsigned long long>(b.Size()), sectors.c_str());
            error(Issue::NotWritten, static_cast<int>(i), std::move(text));
        }
        plan.blocks.push_back(bp);
    }
    plan.bytesKept = plan.rangeSize - plan.bytesWritten;
    return plan;
}

std::optional<FlashMismatch> FindMismatch(const std::string& libraryPath, const ImageAnalysis& image,
                                          const FlashLayout& layout, const std::vector<uint8_t>& flash)
{
    if (!layout.SizesKnown() || !image.readable)
        return std::nullopt;
    const PlacementPlan plan = PreviewPlacement(image, layout);
    if (plan.result != 0 || plan.rangeStart + plan.rangeSize > flash.size())
        return std::nullopt;
    const auto rangeStart = static_cast<std::ptrdiff_t>(plan.rangeStart);
    std::vector<uint8_t> expected(flash.begin() + rangeStart,
                                  flash.begin() + rangeStart + static_cast<std::ptrdiff_t>(plan.rangeSize));
    CImageFile loaded;
    if (loaded.Load(libraryPath.c_str()) != 0)
        return std::nullopt;
    uint32_t count = 0;
    const CImageBlock* const* blocks = loaded.GetBlocks(&count);
    for (uint32_t i = 0; i < count && i < plan.blocks.size(); ++i) {
        const uint64_t at = plan.blocks[i].flashOffset - plan.rangeStart;
        const uint64_t size = std::min<uint64_t>(plan.blocks[i].written, blocks[i]->GetSize());
        if (at > expected.size() || size > expected.size() - at)
            continue;
        std::copy(blocks[i]->GetData(), blocks[i]->GetData() + size,
                  expected.begin() + static_cast<std::ptrdiff_t>(at));
    }
    const uint8_t* actual = flash.data() + plan.rangeStart;
    FlashMismatch m;
    size_t first = expected.size();
    for (size_t i = 0; i < expected.size(); ++i)
        if (expected[i] != actual[i]) {
            first = std::min(first, i);
            ++m.bytesDiffering;
        }
    if (m.bytesDiffering == 0)
        return std::nullopt;
    m.flashOffset = plan.rangeStart + first;
    while (m.sector + 1u < layout.sectorSizes.size() &&
           layout.SectorStart(static_cast<uint16_t>(m.sector + 1)) <= m.flashOffset)
        ++m.sector;
    const size_t shown = std::min<size_t>(8, expected.size() - first);
    m.flashBytes.assign(actual + first, actual + first + shown);
    m.imageBytes.assign(expected.begin() + static_cast<std::ptrdiff_t>(first),
                        expected.begin() + static_cast<std::ptrdiff_t>(first + shown));
    return m;
}

} // namespace kzhost
