// CFlashProg: the access object of FLD mode: the flash layout, the sector
// operations, program and verify from an image file, and the
// firmware-information scan.
#pragma once

#include "device/KazApi.h"
#include "flash/FlashPlacement.h"
#include "kazmir.h"

class CReporter;
class CImageFile;

class CFlashProg {
public:
    static constexpr uint16_t MAX_SECTORS = 32;

    // A block's part inside the sector range.
    struct RANGE_PIECE {
        uint32_t dwOffset; // range offset of its first byte
        uint32_t dwLength;
        const uint8_t* pBytes;
    };

    CFlashProg();
    virtual KZMRESULT ScanFwInfo(FW_INFO* info);
    virtual ~CFlashProg();
    // Takes over the caller's reference (also when Execute fails: it is released then).
    virtual KZMRESULT Open(IKazFlashLoader* flashObject);
    virtual KZMRESULT Close();
    virtual KZMRESULT Program(const char* fileName);
    virtual KZMRESULT Verify(const char* fileName);
    virtual KZMRESULT EraseSector(uint16_t sector, uint16_t shownEnd);

    CFlashProg(const CFlashProg&) = delete;
    CFlashProg& operator=(const CFlashProg&) = delete;

    KZMRESULT GetFlashInfo();
    KZMRESULT ReadSector(uint16_t sector, uint16_t shownEnd, uint8_t* buffer);
    KZMRESULT WriteSector(uint16_t sector, uint16_t shownEnd, const uint8_t* buffer);

    const FLASH_INFO& GetFlashInfoRecord() const { return m_FlashInfo; }
    uint32_t GetFlashSize() const { return m_dwFlashSize; }
    bool IsStarted() const { return m_bStarted != 0; }

protected:
    // Program and verify, in calling order.
    void LoadImage(const char* fileName);
    KZMRESULT LoadAndPlace(const char* fileName);
    KZMRESULT PrepareRange();
    KZMRESULT SetRange(uint32_t useBase, uint32_t start, uint32_t length, uint32_t base);
    // The layout as the placement sees it (sizes copied into the caller's table),
    // and a placement taken over into the range members.
    FLASH_LAYOUT Layout(uint32_t (&sizes)[MAX_SECTORS]) const;
    KZMRESULT ApplyPlacement(const RANGE_PLACEMENT& placement);
    // The range's buffers: one sector's, the image's pieces in the range, and
    // room for the flash bytes the image leaves as they are.
    KZMRESULT AllocRange();
    bool PieceInRange(uint32_t blockStart, uint32_t length, const uint8_t* bytes, RANGE_PIECE* piece) const;
    template <typename FN>
    void WalkSector(uint32_t* next, uint64_t lo, uint64_t hi, FN fn);
    KZMRESULT ReadRange(bool compare);
    KZMRESULT WriteRange();
    void FreeRange();
    // The firmware-information scan.
    KZMRESULT FindFwInfoOnFlash(uint16_t limit, FW_INFO* info);
    void ListFwInfo(const FW_INFO& info);

    // The sector count of the flash information, 0 when it was refused for
    // not fitting the sector table.
    uint16_t SectorCount() const;
    // Flash offset of a sector: the sum of the sizes of the sectors before it.
    uint32_t SectorOffset(uint16_t sector) const;
    KZMRESULT TransferSector(bool write, uint16_t sector, uint16_t shownEnd, uint8_t* buffer);

    uint32_t m_bSectorsKnown;
    uint32_t m_bStarted;
    uint32_t m_bRangeValid;
    IKazFlashLoader* m_pFlashObject;
    CReporter* m_pReporter;
    FLASH_INFO m_FlashInfo;
    SECTOR_INFO m_Sectors[MAX_SECTORS];
    uint32_t m_dwFlashSize;
    CImageFile* m_pImage;
    uint8_t* m_pRangeBuf;
    uint8_t* m_pKept;
    RANGE_PIECE* m_pPieces; // sorted by offset
    uint32_t m_dwPieces;
    bool m_bRangeDiffers;
    uint32_t m_bUseBase;
    uint32_t m_dwStartOffset;
    uint32_t m_dwBase;
    uint32_t m_dwFirstOffset;
    uint32_t m_dwRangeSize;
    uint16_t m_wFirstSector;
    uint16_t m_wEndSector;
};
