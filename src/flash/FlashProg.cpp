// CFlashProg: the FLD object's start and stop, the flash and sector layout,
// and the operations on single sectors with their reports.
#include "flash/FlashProg.h"

#include "flash/FlashReports.h"
#include "flash/ImageFile.h"
#include "frame/Reporter.h"

#include <cstdlib>
#include <cstring>

CFlashProg::CFlashProg()
    : m_bSectorsKnown(0), m_bStarted(0), m_bRangeValid(0), m_pFlashObject(nullptr),
      m_pReporter(CReporter::Get()), m_FlashInfo{}, m_Sectors{}, m_dwFlashSize(0), m_pImage(nullptr),
      m_pRangeBuf(nullptr), m_pKept(nullptr), m_pPieces(nullptr), m_dwPieces(0), m_bRangeDiffers(false), m_bUseBase(0),
      m_dwStartOffset(0), m_dwBase(0), m_dwFirstOffset(0), m_dwRangeSize(0), m_wFirstSector(0), m_wEndSector(0)
{
    // The flash information starts zeroed rather than undefined: before the
    // first Open the flash has no sectors.
}

CFlashProg::~CFlashProg()
{
    Close();
    FreeRange();
}

uint16_t CFlashProg::SectorCount() const
{
    return m_FlashInfo.SectorCount <= MAX_SECTORS ? m_FlashInfo.SectorCount : 0;
}

uint32_t CFlashProg::SectorOffset(uint16_t sector) const
{
    uint32_t offset = 0;
    for (uint16_t i = 0; i < sector && i < MAX_SECTORS; ++i)
        offset += m_Sectors[i].Size;
    return offset;
}

KZMRESULT CFlashProg::Open(IKazFlashLoader* flashObject)
{
    Close();
    m_pReporter->Report(REPORT_TRACE, 2, "CFlashProg::Open");
    if (flashObject == nullptr)
        return KZM_E_FAIL;
    m_pReporter->Report(REPORT_TRACE, 2, "pKazObject->Execute");
    const KZMRESULT result = flashObject->Execute(0, 0);
    if (result != KZM_OK) {
        m_pReporter->Report(REPORT_TRACE, 4, "failed ");
        // The caller handed its reference over: it is dropped here rather
        // than leaked.
        flashObject->Release();
        return result;
    }
    m_pReporter->Report(REPORT_TRACE, 4, "ok ");
    m_pFlashObject = flashObject;
    m_bStarted = 1;
    const KZMRESULT info = GetFlashInfo();
    if (info == KZM_E_TOO_MANY_SECTORS) {
        // A flash the sector table cannot describe is refused outright, so
        // that nothing can address sectors past the table.
        Close();
    }
    return info;
}

KZMRESULT CFlashProg::GetFlashInfo()
{
    if (m_bStarted == 0 || m_pFlashObject == nullptr) {
        m_pReporter->Report(REPORT_TRACE, 2, "FlashProgram not started");
        return KZM_E_FLASH_NOT_STARTED;
    }
    if (m_pFlashObject->GetFlashInfo(&m_FlashInfo) != KZM_OK) {
        m_pReporter->Report(REPORT_TRACE, 2, "GetFlashInfo failed");
        return KZM_E_FLASH_NOT_STARTED;
    }
    // Hosts read the flash layout from this line: see FlashReports.h.
    m_pReporter->Report(REPORT_TRACE, 2, FLASH_INFO_TRACE_FORMAT, m_FlashInfo.Word4, m_FlashInfo.Word6,
                        m_FlashInfo.SectorCount, m_FlashInfo.Word10, m_FlashInfo.BaseAddress);
    m_dwFlashSize = 0;
    if (m_FlashInfo.SectorCount > MAX_SECTORS) {
        m_pReporter->Report(REPORT_MESSAGE, 2, "flash of %u sectors not supported (at most %u)",
                            static_cast<unsigned>(m_FlashInfo.SectorCount), static_cast<unsigned>(MAX_SECTORS));
        return KZM_E_TOO_MANY_SECTORS;
    }
    uint64_t total = 0;
    for (uint16_t i = 0; i < m_FlashInfo.SectorCount; ++i) {
        if (m_pFlashObject->GetSectorInfo(MakeSectorAddr(i), &m_Sectors[i]) != KZM_OK) {
            m_dwFlashSize = 0;
            return KZM_E_FLASH_NOT_STARTED;
        }
        m_bSectorsKnown = 1;
        total += m_Sectors[i].Size;
        // Flash offsets are 32-bit: a larger flash cannot be addressed.
        if (total > 0xFFFFFFFFull) {
            m_dwFlashSize = 0;
            return KZM_E_FLASH_NOT_STARTED;
        }
        m_dwFlashSize = static_cast<uint32_t>(total);
    }
    return KZM_OK;
}

KZMRESULT CFlashProg::Close()
{
    if (m_pImage != nullptr) {
        m_pImage->Clear();
        delete m_pImage;
        m_pImage = nullptr;
    }
    if (m_pFlashObject != nullptr) {
        if (m_bStarted != 0) {
            m_pFlashObject->Stop();
            m_bStarted = 0;
            m_bSectorsKnown = 0;
        }
        m_pFlashObject->Release();
        m_pFlashObject = nullptr;
    }
    return KZM_OK;
}

KZMRESULT CFlashProg::EraseSector(uint16_t sector, uint16_t shownEnd)
{
    if (sector >= SectorCount())
        return KZM_E_FAIL;
    m_pReporter->Report(REPORT_PROGRESS, 2, ERASE_SECTOR_FORMAT, sector, shownEnd);
    if (m_pFlashObject == nullptr)
        return KZM_E_FAIL;
    const KZMRESULT result = m_pFlashObject->EraseSector(MakeSectorAddr(sector));
    if (result != KZM_OK) {
        m_pReporter->Report(REPORT_MESSAGE, 2, ERASE_SECTOR_FAILED_FORMAT, sector, shownEnd);
        m_pReporter->Report(REPORT_NEWLINE, 2, "\r\n");
        return result;
    }
    m_pReporter->Report(REPORT_PROGRESS, 2, ERASE_SECTOR_OK_FORMAT, sector, shownEnd);
    return KZM_OK;
}

KZMRESULT CFlashProg::ReadSector(uint16_t sector, uint16_t shownEnd, uint8_t* buffer)
{
    return TransferSector(false, sector, shownEnd, buffer);
}

KZMRESULT CFlashProg::WriteSector(uint16_t sector, uint16_t shownEnd, const uint8_t* buffer)
{
    return TransferSector(true, sector, shownEnd, const_cast<uint8_t*>(buffer));
}

KZMRESULT CFlashProg::TransferSector(bool write, uint16_t sector, uint16_t shownEnd, uint8_t* buffer)
{
    if (sector >= SectorCount())
        return KZM_E_FAIL;
    const uint32_t size = m_Sectors[sector].Size;
    const uint32_t address = m_bSectorsKnown != 0 ? SectorOffset(sector) : MakeSectorAddr(sector);
    const char* word = write ? WRITE_SECTOR_WORD : READ_SECTOR_WORD;
    m_pReporter->Report(REPORT_PROGRESS, 2, TRANSFER_SECTOR_FORMAT, word, sector, shownEnd, address);
    if (m_pFlashObject == nullptr)
        return KZM_E_FAIL;
    const KZMRESULT result = write ? m_pFlashObject->WriteSector(MakeSectorAddr(sector), buffer, size)
                                   : m_pFlashObject->ReadSector(MakeSectorAddr(sector), buffer, size);
    if (result != KZM_OK) {
        m_pReporter->Report(REPORT_MESSAGE, 2, TRANSFER_SECTOR_FAILED_FORMAT, word, sector, shownEnd, address);
        m_pReporter->Report(REPORT_NEWLINE, 0, "\r\n");
        return result;
    }
    m_pReporter->Report(REPORT_PROGRESS, 2, TRANSFER_SECTOR_OK_FORMAT, word, sector, shownEnd, address);
    return KZM_OK;
}
