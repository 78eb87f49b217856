// The firmware-information scan: the record in the board's flash
// (CFlashProg::ScanFwInfo), in a loaded image (CImageFile::GetFwInfo), and
// its listing when an image is loaded for programming or verifying.
#include "flash/FwInfo.h"

#include "flash/FlashProg.h"
#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace {
constexpr char MARKER[] = "$FW-INFO$";
constexpr char BIG_ENDIAN_MODEL[] = "eMB-K 740";
constexpr size_t U32_OFFSETS[] = {4, 8, 12, 16};
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
        const uint32_t value = bigEndian ? (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3]
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

KZRESULT CImageFile::GetFwInfo(FW_INFO* info)
{
    if (info == nullptr)
        return KZM_E_FAIL;
    std::memset(info, 0, sizeof(*info));
    const uint32_t count = GetBlockCount();
    if (count == 0)
        return KZM_E_FAIL;
    // The last block in list order that holds a usable marker decides, so
    // search from the last block back and stop at the first that has one.
    for (uint32_t i = count; i-- > 0;) {
        uint32_t start = 0, end = 0;
        const uint8_t* data = nullptr;
        if (GetBlock(i, &start, &end, &data) != KZM_OK || data == nullptr)
            continue;
        const ptrdiff_t at = CFwInfo::FindMarker(data, end - start);
        // Only the block's first marker counts, and it needs the whole
        // record before it inside the block.
        if (at < static_cast<ptrdiff_t>(CFwInfo::RECORD_SIZE))
            continue;
        std::memcpy(info, data + at - CFwInfo::RECORD_SIZE, CFwInfo::RECORD_SIZE);
        CFwInfo::ToHostOrder(info);
        return KZM_OK;
    }
    return KZM_E_FAIL;
}

KZRESULT CFlashProg::ScanFwInfo(FW_INFO* info)
{
    if (SectorCount() == 0 || info == nullptr)
        return KZM_OK;
    FW_INFO found;
    if (FindFwInfoOnFlash(SectorCount(), &found) == KZM_OK)
        std::memcpy(info, &found, sizeof(found));
    return KZM_OK;
}

KZRESULT CFlashProg::FindFwInfoOnFlash(uint16_t limit, FW_INFO* info)
{
    const uint16_t sectors = limit < SectorCount() ? limit : SectorCount();
    if (sectors == 0 || info == nullptr)
        return CFwInfo::NOT_FOUND;
    KZRESULT status = CFwInfo::NOT_FOUND;
    uint8_t* window = nullptr;
    uint32_t previousSize = 0;
    size_t currentOffset = 0; // where the last sector read stands in the window
    bool found = false;
    for (uint16_t s = 0; s < sectors && !found; ++s) {
        // The window holds the previous sector followed by this one, so that
        // a record may begin in the previous sector.
        const uint32_t size = m_Sectors[s].Size;
        const size_t windowSize = static_cast<size_t>(previousSize) + size;
        auto* next = static_cast<uint8_t*>(std::malloc(windowSize != 0 ? windowSize : 1));
        if (next == nullptr) {
            status = CFwInfo::NOT_FOUND;
            break;
        }
        if (window != nullptr && previousSize != 0)
            std::memcpy(next, window + currentOffset, previousSize);
        std::free(window);
        window = next;
        currentOffset = previousSize;
        uint8_t* current = window + currentOffset;
        const KZRESULT read = ReadSector(s, sectors, current);
        if (read != KZM_OK) {
            // Not searched; zeroed so that the next sector's window holds no
            // stale bytes.
            std::memset(current, 0, size);
            status = read;
        } else {
            const ptrdiff_t at = CFwInfo::FindMarker(current, size);
            // A record needs its 50 bytes inside the window: never in the
            // first 50 bytes of the flash, and not past a sector before the
            // previous one when sectors are tiny.
            const size_t recordStart = static_cast<size_t>(previousSize) + static_cast<size_t>(at);
            if (at < 0 || recordStart < CFwInfo::RECORD_SIZE) {
                status = CFwInfo::NOT_FOUND;
            } else {
                std::memcpy(info, window + recordStart - CFwInfo::RECORD_SIZE, CFwInfo::RECORD_SIZE);
                status = KZM_OK;
                found = true;
            }
        }
        previousSize = size;
    }
    std::free(window);
    return found ? KZM_OK : status;
}

void CFlashProg::ListFwInfo(const FW_INFO& info)
{
    uint32_t kind = info.Kind;
    const char* boot = (kind & 0x80u) != 0 ? " (BOOT)" : "";
    kind &= ~0x80u;
    // A text that fills its field without a NUL is shown up to its width.
    char name[sizeof(info.Name) + 1] = {};
    char device[sizeof(info.Device) + 1] = {};
    std::memcpy(name, info.Name, sizeof(info.Name));
    std::memcpy(device, info.Device, sizeof(info.Device));
    m_pReporter->Report(REPORT_MESSAGE, 4, "%s\tV%02x.%02x.%02x.%02x \t%s%s \t< %s V%02x.%02x.%02x.%02x >", name,
                        info.Version[0], info.Version[1], info.Version[2], info.Version[3], CFwInfo::KindText(kind),
                        boot, device, info.DeviceVersion[0], info.DeviceVersion[1], info.DeviceVersion[2],
                        info.DeviceVersion[3]);
}

void CFlashProg::LoadImage(const char* fileName)
{
    if (m_pImage != nullptr) {
        m_pImage->Clear();
        delete m_pImage;
        m_pImage = nullptr;
    }
    m_pImage = new (std::nothrow) CImageFile;
    if (m_pImage == nullptr || fileName == nullptr)
        return;
    m_pReporter->Report(REPORT_NEWLINE, 0, "\r\n");
    m_pReporter->Report(REPORT_MESSAGE, 0, "Scan file ...");
    if (m_pImage->Load(fileName) != KZM_OK) {
        m_pImage->Clear();
        delete m_pImage;
        m_pImage = nullptr;
        return;
    }
    FW_INFO info;
    if (m_pImage->GetFwInfo(&info) == KZM_OK) {
        m_pReporter->Report(REPORT_MESSAGE, 2, "Firmware informations ( in the hexfile) ...");
        if (info.Name[0] != '\0')
            ListFwInfo(info);
    } else {
        m_pReporter->Report(REPORT_MESSAGE, 2, "No firmware informations in the hexfile");
    }
}
