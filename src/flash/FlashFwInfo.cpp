// The firmware-information scan of the board's flash (CFlashProg::ScanFwInfo)
// and the record's listing when an image is loaded for programming or
// verifying.
#include "flash/FlashProg.h"
#include "flash/FwInfo.h"
#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <cstdlib>
#include <cstring>
#include <new>

KZMRESULT CFlashProg::ScanFwInfo(FW_INFO* info)
{
    if (SectorCount() == 0 || info == nullptr)
        return KZM_OK;
    FW_INFO found;
    if (FindFwInfoOnFlash(SectorCount(), &found) == KZM_OK)
        std::memcpy(info, &found, sizeof(found));
    return KZM_OK;
}

KZMRESULT CFlashProg::FindFwInfoOnFlash(uint16_t limit, FW_INFO* info)
{
    const uint16_t sectors = limit < SectorCount() ? limit : SectorCount();
    if (sectors == 0 || info == nullptr)
        return CFwInfo::NOT_FOUND;
    KZMRESULT status = CFwInfo::NOT_FOUND;
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
        const KZMRESULT read = ReadSector(s, sectors, current);
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
