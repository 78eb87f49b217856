// CImageFile: one loaded firmware image (Intel HEX and/or S-records) as a set
// of blocks, each a contiguous run of addresses with its bytes. The file is
// read twice: the first pass learns the address ranges, the second fills in
// the bytes; later records overwrite earlier ones.
//
// Blocks stand in the order in which the first pass created them, and when
// two blocks merged, the later one survives in its place: block i of
// GetBlock is block i of that list.
#pragma once

#include "kazmir.h"

#include <cstddef>
#include <cstdint>
#include <functional>

class CImageStore;
class CImageBlock;
class CListNode;
class CImageReader;
class CImageIndex;
class IImageObserver;

class CImageFile {
public:
    CImageFile();
    // Deletes the blocks and the store.
    virtual ~CImageFile();
    CImageFile(const CImageFile&) = delete;
    CImageFile& operator=(const CImageFile&) = delete;

    // 0, or 0x80004005 when an image is already loaded, the file cannot be
    // opened, it holds no data record, or memory runs out. On failure the
    // partly built store stays attached; discard the object.
    KZMRESULT Load(const char* fileName);
    // The same reading, from text in memory.
    KZMRESULT LoadMemory(const void* text, size_t size);
    // Deletes every block; 0x80004005 when there is no store.
    KZMRESULT Clear();

    // Number of blocks; 0 when there is no store.
    uint32_t GetBlockCount();
    // Block i's range [start, end) and bytes (owned by the image). 0x80004005
    // when there is no store, an out pointer is null or i is too large.
    KZMRESULT GetBlock(uint32_t index, uint32_t* start, uint32_t* end, const uint8_t** data);
    // Every block in list order, checked once for a whole walk (GetBlock
    // checks on each call): null and *count 0 when there is no store or no
    // memory. Valid until the store changes.
    const CImageBlock* const* GetBlocks(uint32_t* count);
    // Smallest block start: 0xFFFFFFFF when the store is empty, 0 without one.
    uint32_t GetLowestAddress();
    // Largest block end: 0 when the store is empty or missing.
    uint32_t GetHighestAddress();
    // The firmware-information record: the last block in list order whose
    // first marker lies at least 50 bytes into it decides. The record is
    // zeroed first; u32 fields come back in host order. 0x80004005 when there
    // is no image, no block or no marker.
    KZMRESULT GetFwInfo(FW_INFO* info);

    CImageStore* GetStore() const { return m_pStore; }
    // Watches the next load's first pass (every line and record as read);
    // null for none.
    void SetObserver(IImageObserver* observer) { m_pObserver = observer; }

private:
    // The steps of a load.
    struct LOAD_PASS {
        uint64_t qwHash; // fingerprint of the records' addresses and counts
        uint32_t dwRecords;
    };
    KZMRESULT LoadWith(const std::function<KZMRESULT(CImageReader&)>& open);
    KZMRESULT LoadFrom(CImageReader& reader);
    KZMRESULT ReadLayout(CImageReader& reader, CImageIndex& layout, LOAD_PASS* pass);
    // *withoutBytes: the blocks made without their bytes, which the fill
    // allocates.
    KZMRESULT CreateBlocks(const CImageIndex& layout, CImageBlock** byList, uint32_t* withoutBytes);
    bool AdoptAsIndex(CImageBlock** byList, const CImageIndex& layout);
    // Ends a block's life, in the shared allocation or on its own.
    void DeleteBlock(CListNode* node);
    static KZMRESULT FillBlocks(CImageReader& reader, CImageIndex& layout, CImageBlock* const* byList,
                                const LOAD_PASS& first, uint32_t withoutBytes);
    // Blocks in list order, rebuilt when the store's links have changed, so
    // that indexed access does not walk the list each time.
    bool UpdateIndex();
    void DropIndex();
    // The smallest start, largest end and largest size of the indexed
    // blocks, worked out once per index: the placement and the record lookup
    // ask for them on every load, and a walk over many blocks is slow.
    bool UpdateBounds();
    uint32_t GetLargestBlockSize();

    CImageStore* m_pStore;
    CImageBlock** m_ppIndex;
    uint32_t m_dwIndexCount;
    uint32_t m_dwIndexCapacity;
    uint64_t m_qwIndexVersion;
    bool m_bIndexValid;
    bool m_bBoundsValid;
    uint32_t m_dwLowest;
    uint32_t m_dwHighest;
    uint32_t m_dwLargest;
    IImageObserver* m_pObserver;
    void* m_pBlockArena; // storage of the loaded blocks, when they share one
    uint32_t m_dwArenaBlocks;
};
