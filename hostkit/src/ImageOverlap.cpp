// Images whose records overlap: what the library loaded, and which records
// write the same addresses with different bytes. Only such images are loaded
// in full; the others are judged while they stream by.
#include "ImageOverlap.h"

#include "flash/FwInfo.h"
#include "flash/ImageFile.h"
#include "flash/ImageReader.h"

#include <algorithm>
#include <cstring>

namespace kzhost {

namespace {

// Collects every data record with its bytes: only for files whose records
// overlap, to tell which ones write different bytes.
class CRecordCollector final : public IImageObserver {
public:
    struct Rec {
        uint32_t address, count, line;
        size_t data;
    };
    std::vector<Rec> records;
    std::vector<uint8_t> bytes;
    void OnLine(const LINE&) override {}
    void OnRecord(const LINE& line, const RECORD_DATA& r) override
    {
        records.push_back({r.dwAddress, r.dwCount, line.dwNumber, bytes.size()});
        bytes.resize(bytes.size() + r.dwCount);
        CImageReader::DecodeData(r.pDigits, r.dwCount, bytes.data() + bytes.size() - r.dwCount);
    }
};

// Records that write the same addresses: an error where the bytes differ
// (which value is meant is unclear), a warning where they agree. One finding
// per overwriting line.
void CheckOverlaps(const CRecordCollector& all, ImageAnalysis& out)
{
    std::vector<size_t> order(all.records.size());
    for (size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return all.records[a].address < all.records[b].address; });
    std::vector<size_t> active;
    std::vector<std::pair<uint32_t, Finding>> found; // by overwriting line
    std::vector<uint8_t> reported(all.records.size(), 0);
    for (size_t c : order) {
        const auto& rc = all.records[c];
        const uint64_t start = rc.address;
        active.erase(std::remove_if(active.begin(), active.end(),
                                    [&](size_t a) {
                                        return static_cast<uint64_t>(all.records[a].address) + all.records[a].count <=
                                               start;
                                    }),
                     active.end());
        for (size_t a : active) {
            const auto& ra = all.records[a];
            const auto& early = ra.line < rc.line ? ra : rc;
            const auto& late = ra.line < rc.line ? rc : ra;
            const size_t lateIndex = ra.line < rc.line ? c : a;
            if (reported[lateIndex] == 2)
                continue;
            const uint64_t from = std::max<uint64_t>(ra.address, rc.address);
            const uint64_t to = std::min<uint64_t>(static_cast<uint64_t>(ra.address) + ra.count,
                                                   static_cast<uint64_t>(rc.address) + rc.count);
            const bool same = std::memcmp(all.bytes.data() + early.data + (from - early.address),
                                          all.bytes.data() + late.data + (from - late.address), to - from) == 0;
            if (same && reported[lateIndex] != 0)
                continue;
            Finding f = same ? Finding{Severity::Warning, Issue::Overlap, late.line, -1,
                                       Fmt("line %u writes addresses that line %u already wrote, with the same bytes",
                                           late.line, early.line)}
                             : Finding{Severity::Error, Issue::Overlap, late.line, -1,
                                       Fmt("line %u overwrites data of line %u at %s with different bytes; which "
                                           "value is meant is unclear",
                                           late.line, early.line, Hex32(late.address).c_str())};
            if (reported[lateIndex] == 1) {
                // A difference outweighs an earlier agreement.
                for (auto& [line, g] : found)
                    if (line == late.line)
                        g = f;
            } else {
                found.emplace_back(late.line, f);
            }
            reported[lateIndex] = same ? 1 : 2;
        }
        active.push_back(c);
    }
    for (auto& [line, f] : found)
        out.findings.push_back(std::move(f));
}

} // namespace

void JudgeOverlaps(CImageFile* image, CImageReader* reader, ImageAnalysis& out)
{
    if (image != nullptr) {
        // Everything the library loaded: blocks in its order, the firmware record.
        const uint32_t count = image->GetBlockCount();
        for (uint32_t i = 0; i < count; ++i) {
            uint32_t start = 0, end = 0;
            const uint8_t* data = nullptr;
            if (image->GetBlock(i, &start, &end, &data) != 0)
                continue;
            out.blocks.push_back({start, end});
            // Where the record the library uses lies: the last block with a
            // usable marker, as the lookup goes.
            const ptrdiff_t at = data != nullptr ? CFwInfo::FindMarker(data, end - start) : -1;
            if (at >= static_cast<ptrdiff_t>(CFwInfo::RECORD_SIZE)) {
                out.fwInfo.block = static_cast<int>(i);
                out.fwInfo.address = start + static_cast<uint32_t>(at - CFwInfo::RECORD_SIZE);
            }
        }
        out.fwInfo.found = image->GetFwInfo(&out.fwInfo.record) == 0;
    }
    if (reader == nullptr)
        return;
    CRecordCollector all;
    reader->SetObserver(&all);
    CImageReader::RECORD record;
    while (reader->NextRecord(&record) == CImageReader::RECORD_OK) {
    }
    reader->SetObserver(nullptr);
    CheckOverlaps(all, out);
}

} // namespace kzhost
