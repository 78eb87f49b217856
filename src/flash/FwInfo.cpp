// The firmware-information record: finding its marker, its byte order, and
// its lookup in a loaded image (CImageFile::GetFwInfo).
#include "flash/FwInfo.h"

#include "flash/ImageBlock.h"
#include "flash/ImageFile.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr char MARKER[] = "$FW-INFO$";
constexpr char BIG_ENDIAN_MODEL[] = "eMB-K 740";
constexpr size_t U32_OFFSETS[] = {4, 8, 12, 16};
// A smaller block cannot hold a record and its marker.
constexpr size_t SMALLEST_HOLDER = CFwInfo::RECORD_SIZE + CFwInfo::MARKER_SIZE;
} // namespace

ptrdiff_t CFwInfo::FindMarker(const uint8_t* data, size_t size)
{
    if (data == nullptr || size < MARKER_SIZE)
        return -1;
    const uint8_t* p = data;
    const uint8_t* last = data + size - MARKER_SIZE; // last place a whole marker fits
    while (p <= last) {
        const auto* hit = static_cast<const uint8_t*>(std::memchr(p, '$', static_cast<size_t>(last - p) + 1));
        if (hit == nullptr)
            return -1;
        if (std::memcmp(hit, MARKER, MARKER_SIZE) == 0)
            return hit - data;
        p = hit + 1;
    }
    return -1;
}

bool CFwInfo::IsBigEndianModel(const FW_INFO& info)
{
    const size_t modelSize = sizeof(BIG_ENDIAN_MODEL) - 1;
    size_t length = 0;
    while (length < sizeof(info.Device) && info.Device[length] != '\0')
        ++length;
    for (size_t i = 0; i + modelSize <= length; ++i)
        if (std::memcmp(info.Device + i, BIG_ENDIAN_MODEL, modelSize) == 0)
            return true;
    return false;
}

void CFwInfo::ToHostOrder(FW_INFO* info)
{
    const bool bigEndian = IsBigEndianModel(*info);
    auto* bytes = reinterpret_cast<uint8_t*>(info);
    for (size_t offset : U32_OFFSETS) {
        const uint8_t* b = bytes + offset;
        const uint32_t value = bigEndian
                                   ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]
                                   : (uint32_t{b[3]} << 24) | (uint32_t{b[2]} << 16) | (uint32_t{b[1]} << 8) | b[0];
        std::memcpy(bytes + offset, &value, sizeof(value));
    }
}

const char* CFwInfo::KindText(uint32_t kindWithoutBoot)
{
    switch (kindWithoutBoot) {
    case 0:
        return "FLASH";
    case 1:
        return "RAM";
    default:
        // Neither kind the boards know; shown rather than guessed.
        return "UNKNOWN";
    }
}

KZMRESULT CImageFile::GetFwInfo(FW_INFO* info)
{
    if (info == nullptr)
        return KZM_E_FAIL;
    std::memset(info, 0, sizeof(*info));
    uint32_t count = 0;
    const CImageBlock* const* blocks = GetBlocks(&count);
    // An image of small blocks only (many of them, say) holds no record.
    if (count == 0 || GetLargestBlockSize() < SMALLEST_HOLDER)
        return KZM_E_FAIL;
    // The last block in list order that holds a usable marker decides, so
    // search from the last block back and stop at the first that has one.
    // Only the block's first marker counts, and it needs the whole record
    // before it inside the block.
    for (uint32_t i = count; i-- > 0;) {
        const CImageBlock* block = blocks[i];
        const uint8_t* data = block->GetData();
        if (data == nullptr || block->GetSize() < SMALLEST_HOLDER)
            continue;
        const ptrdiff_t at = CFwInfo::FindMarker(data, block->GetSize());
        if (at < static_cast<ptrdiff_t>(CFwInfo::RECORD_SIZE))
            continue;
        std::memcpy(info, data + at - CFwInfo::RECORD_SIZE, CFwInfo::RECORD_SIZE);
        CFwInfo::ToHostOrder(info);
        return KZM_OK;
    }
    return KZM_E_FAIL;
}
