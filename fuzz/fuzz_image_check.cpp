// libFuzzer target for the host kit's check of untrusted image files: every
// input is analysed as the kit reads a file; what it says the library loads
// must be what the library loads, an accepted image written again through
// the kit's S-record writer must read back the same, every digit path must
// judge it alike, and its placement on a few flashes must add up. Each line
// also goes through the report decoder.
#include "ImageCheck.h"
#include "ImageInput.h"
#include "Reports.h"
#include "flash/HexDigits.h"
#include "flash/ImageFile.h"
#include "kazmir.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

using namespace kzhost;

namespace {

[[noreturn]] void Fail(const char* what)
{
    std::fprintf(stderr, "fuzz_image_check: %s\n", what);
    std::abort();
}

std::vector<ImageBlock> Sorted(std::vector<ImageBlock> blocks)
{
    std::sort(blocks.begin(), blocks.end(), [](const ImageBlock& a, const ImageBlock& b) { return a.start < b.start; });
    return blocks;
}

bool SameBlocks(const std::vector<ImageBlock>& a, const std::vector<ImageBlock>& b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](const ImageBlock& x, const ImageBlock& y) { return x.start == y.start && x.end == y.end; });
}

void CheckFindings(const ImageAnalysis& a)
{
    for (const Finding& f : a.findings) {
        if (f.text.empty() || std::string_view(IssueName(f.issue)) == "unknown")
            Fail("a finding without its sentence or its name");
        if (f.line > a.lines + 1)
            Fail("a finding names a line the file does not have");
    }
    if (a.Accepted() != (a.readable && a.Errors() == 0))
        Fail("accepted with an error");
}

// The kit's account of the load against the library's own load.
void CheckAgainstTheLibrary(const uint8_t* data, size_t size, const ImageAnalysis& a)
{
    CImageFile image;
    const bool loaded = image.LoadMemory(data, size) == 0;
    if (loaded != a.loaded)
        Fail("the kit and the library disagree on whether the image loads");
    if (!loaded)
        return;
    std::vector<ImageBlock> blocks;
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* bytes = nullptr;
        if (image.GetBlock(i, &start, &end, &bytes) != 0)
            Fail("GetBlock failed below the block count");
        blocks.push_back({start, end});
    }
    if (!SameBlocks(blocks, a.blocks))
        Fail("the kit's blocks are not the library's");
    FW_INFO record{};
    const bool found = image.GetFwInfo(&record) == 0;
    if (found != a.fwInfo.found || (found && std::memcmp(&record, &a.fwInfo.record, sizeof(record)) != 0))
        Fail("the kit's firmware record is not the library's");
    if (!a.Accepted())
        return;
    // Written again through the one writer, block by block in address order.
    std::vector<LoadSegment> segments;
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* bytes = nullptr;
        image.GetBlock(i, &start, &end, &bytes);
        segments.push_back({start, std::vector<uint8_t>(bytes, bytes + (end - start))});
    }
    std::sort(segments.begin(), segments.end(),
              [](const LoadSegment& x, const LoadSegment& y) { return x.address < y.address; });
    const ImageAnalysis again = AnalyseImageText(SRecordText(segments));
    if (!again.Accepted() || !SameBlocks(Sorted(again.blocks), Sorted(a.blocks)))
        Fail("the image written as S-records does not read back the same");
}

// Every digit path the CPU has judges the file alike, word for word.
void CheckDigitPaths(std::string_view text, const ImageAnalysis& best)
{
    auto same = [](const Finding& x, const Finding& y) {
        return x.severity == y.severity && x.issue == y.issue && x.line == y.line && x.block == y.block &&
               x.text == y.text && x.minor == y.minor;
    };
    for (uint32_t level = CHexDigits::LEVEL_SCALAR; level < CHexDigits::CpuLevel(); ++level) {
        CHexDigits::SetLevel(level);
        const ImageAnalysis a = AnalyseImageText(text);
        CHexDigits::SetLevel(CHexDigits::CpuLevel());
        if (a.lines != best.lines || a.dataRecords != best.dataRecords || a.dataBytes != best.dataBytes ||
            a.loaded != best.loaded || a.libraryStopLine != best.libraryStopLine ||
            a.recordsNotRead != best.recordsNotRead || a.splitLines != best.splitLines ||
            !SameBlocks(a.blocks, best.blocks) || a.fwInfo.found != best.fwInfo.found ||
            a.fwInfo.block != best.fwInfo.block || a.fwInfo.address != best.fwInfo.address ||
            std::memcmp(&a.fwInfo.record, &best.fwInfo.record, sizeof(a.fwInfo.record)) != 0 ||
            a.findings.size() != best.findings.size() ||
            !std::equal(a.findings.begin(), a.findings.end(), best.findings.begin(), same))
            Fail("a digit path judges the file otherwise");
    }
}

void CheckPlacements(const ImageAnalysis& a)
{
    FlashLayout small, based, unknown;
    small.sectorSizes.assign(4, 256);
    small.sectorCount = 4;
    based.base = 0x08000000;
    based.sectorSizes = {0x4000, 0x4000, 0x10000, 0x20000};
    based.sectorCount = 4;
    unknown.sectorCount = 8;
    uint64_t imageBytes = 0;
    for (const ImageBlock& b : a.blocks)
        imageBytes += b.Size();
    for (const FlashLayout* layout : {&small, &based, &unknown}) {
        const PlacementPlan plan = PreviewPlacement(a, *layout);
        if (plan.result != 0 || plan.endSector <= plan.firstSector)
            continue;
        if (plan.bytesWritten + plan.bytesKept != plan.rangeSize || plan.blocks.size() != a.blocks.size())
            Fail("a placement's bytes do not add up to its range");
        for (size_t i = 0; i < plan.blocks.size(); ++i)
            if (plan.blocks[i].written > a.blocks[i].Size())
                Fail("a block writes more bytes than it has");
        if (plan.Accepted() && plan.bytesWritten != imageBytes)
            Fail("an accepted placement leaves image bytes out");
    }
}

void DecodeLines(const uint8_t* data, size_t size)
{
    CReportDecoder decoder;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    uint8_t kind = 0;
    while (!text.empty()) {
        const size_t end = std::min(text.find('\n'), text.size());
        for (const DecodedEvent& e : decoder.Feed(kind, text.substr(0, end)))
            if (e.type == DecodedEvent::Type::Sector && e.status == SectorStatus::Ok && e.done == 0)
                Fail("a finished sector that counts for nothing");
        kind = static_cast<uint8_t>((kind + 1) % 4);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    decoder.End();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const ImageAnalysis a = AnalyseImageText(text);
    CheckFindings(a);
    CheckDigitPaths(text, a);
    CheckAgainstTheLibrary(data, size, a);
    CheckPlacements(a);
    DecodeLines(data, size);
    return 0;
}
