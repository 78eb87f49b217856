#include "flash/ImageFile.h"

#include "flash/ImageBlock.h"
#include "flash/ImageIndex.h"
#include "flash/ImageReader.h"
#include "flash/ImageStore.h"

#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

namespace {

// Fingerprint of the record sequence, so that the second pass can tell that
// it reads the same records as the first (the file might change between).
inline uint64_t MixRecord(uint64_t hash, uint32_t address, uint32_t count)
{
    constexpr uint64_t PRIME = 0x100000001B3ull;
    hash = (hash ^ address) * PRIME;
    hash = (hash ^ count) * PRIME;
    return hash;
}

constexpr uint64_t HASH_SEED = 0xCBF29CE484222325ull;

inline bool Holds(const CImageBlock* block, uint32_t address, uint64_t end)
{
    return address >= block->GetStart() && end <= block->GetEnd();
}

// Blocks up to this size take their bytes from the image's shared allocation.
constexpr uint32_t SMALL_BLOCK = 4096;
// New blocks go to the store this many at a time (about 56 KiB of them).
constexpr uint32_t APPEND_STEP = 1024;

} // namespace

CImageFile::CImageFile()
    : m_pStore(nullptr), m_ppIndex(nullptr), m_dwIndexCount(0), m_dwIndexCapacity(0), m_qwIndexVersion(0),
      m_bIndexValid(false), m_bBoundsValid(false), m_dwLowest(0), m_dwHighest(0), m_dwLargest(0), m_pObserver(nullptr),
      m_pBlockArena(nullptr), m_dwArenaBlocks(0)
{
}

CImageFile::~CImageFile()
{
    if (m_pStore != nullptr) {
        Clear();
        delete m_pStore;
        m_pStore = nullptr;
    }
    std::free(m_ppIndex);
}

void CImageFile::DropIndex()
{
    m_bIndexValid = false;
    m_bBoundsValid = false;
    m_dwIndexCount = 0;
}

bool CImageFile::UpdateBounds()
{
    if (!UpdateIndex())
        return false;
    if (m_bBoundsValid)
        return true;
    uint32_t lowest = 0xFFFFFFFFu, highest = 0, largest = 0;
    for (uint32_t i = 0; i < m_dwIndexCount; ++i) {
        const CImageBlock* block = m_ppIndex[i];
        lowest = block->GetStart() < lowest ? block->GetStart() : lowest;
        highest = block->GetEnd() > highest ? block->GetEnd() : highest;
        largest = block->GetSize() > largest ? block->GetSize() : largest;
    }
    m_dwLowest = lowest;
    m_dwHighest = highest;
    m_dwLargest = largest;
    m_bBoundsValid = true;
    return true;
}

bool CImageFile::UpdateIndex()
{
    if (m_pStore == nullptr)
        return false;
    const uint64_t version = m_pStore->GetVersion();
    if (m_bIndexValid && version == m_qwIndexVersion)
        return true;
    DropIndex();
    const uint32_t count = m_pStore->GetCount();
    if (count > m_dwIndexCapacity) {
        auto** index = static_cast<CImageBlock**>(std::realloc(m_ppIndex, sizeof(CImageBlock*) * count));
        if (index == nullptr)
            return false;
        m_ppIndex = index;
        m_dwIndexCapacity = count;
    }
    uint32_t n = 0;
    for (CListNode* node = m_pStore->GetFirst(); node != nullptr && n < m_dwIndexCapacity;
         node = m_pStore->GetNext(node)) {
        if (auto* block = dynamic_cast<CImageBlock*>(node))
            m_ppIndex[n++] = block;
    }
    m_dwIndexCount = n;
    m_qwIndexVersion = version;
    m_bIndexValid = true;
    return true;
}

KZMRESULT CImageFile::Load(const char* fileName)
{
    return LoadWith([fileName](CImageReader& reader) { return reader.Open(fileName); });
}

KZMRESULT CImageFile::LoadMemory(const void* text, size_t size)
{
    return LoadWith([text, size](CImageReader& reader) { return reader.OpenMemory(text, size); });
}

// A fresh store, filled from a reader that open() points at the input.
KZMRESULT CImageFile::LoadWith(const std::function<KZMRESULT(CImageReader&)>& open)
{
    if (m_pStore != nullptr)
        return KZM_E_FAIL;
    m_pStore = new (std::nothrow) CImageStore;
    if (m_pStore == nullptr)
        return KZM_E_FAIL;
    // The reader holds a 1 MiB buffer: keep it off the stack.
    CImageReader* reader = new (std::nothrow) CImageReader;
    if (reader == nullptr)
        return KZM_E_FAIL;
    KZMRESULT result = open(*reader);
    if (result == KZM_OK)
        result = LoadFrom(*reader);
    delete reader;
    return result;
}

KZMRESULT CImageFile::LoadFrom(CImageReader& reader)
{
    CImageIndex layout;
    LOAD_PASS first{HASH_SEED, 0};
    if (ReadLayout(reader, layout, &first) != KZM_OK)
        return KZM_E_FAIL;
    const uint32_t blocks = layout.GetBlockCount();
    auto** byList = static_cast<CImageBlock**>(std::malloc(sizeof(CImageBlock*) * (blocks != 0 ? blocks : 1)));
    uint32_t withoutBytes = 0;
    KZMRESULT result = byList != nullptr ? CreateBlocks(layout, byList, &withoutBytes) : KZM_E_FAIL;
    if (result == KZM_OK)
        result = reader.Rewind() == KZM_OK ? FillBlocks(reader, layout, byList, first, withoutBytes) : KZM_E_FAIL;
    // Owned by the index now, or freed.
    if (result != KZM_OK || !AdoptAsIndex(byList, layout))
        std::free(byList);
    reader.Close();
    return result;
}

// First pass: the address ranges of the records, with the observer watching.
KZMRESULT CImageFile::ReadLayout(CImageReader& reader, CImageIndex& layout, LOAD_PASS* pass)
{
    reader.SetObserver(m_pObserver);
    CImageReader::RECORD record;
    uint32_t status = reader.NextRecord(&record);
    if (status != CImageReader::RECORD_OK) {
        reader.ReportUnreadLines();
        return KZM_E_FAIL;
    }
    do {
        if (layout.AddRecord(record.dwAddress, record.dwCount) != KZM_OK)
            return KZM_E_FAIL;
        pass->qwHash = MixRecord(pass->qwHash, record.dwAddress, record.dwCount);
        ++pass->dwRecords;
        status = reader.NextRecord(&record);
    } while (status == CImageReader::RECORD_OK);
    reader.ReportUnreadLines();
    reader.SetObserver(nullptr);
    return layout.Finish();
}

// The merged blocks, appended to the store in their list order. Blocks the
// store did not take are deleted; the others go with the store.
KZMRESULT CImageFile::CreateBlocks(const CImageIndex& layout, CImageBlock** byList, uint32_t* withoutBytes)
{
    const uint32_t blocks = layout.GetBlockCount();
    *withoutBytes = 0;
    // The blocks share one allocation when it can be had (freed by Clear),
    // else each is allocated on its own.
    if (m_pBlockArena == nullptr && blocks > 1) {
        m_pBlockArena = std::malloc(sizeof(CImageBlock) * static_cast<size_t>(blocks));
        m_dwArenaBlocks = m_pBlockArena != nullptr ? blocks : 0;
    }
    // Small blocks share one allocation for their bytes: an image of many
    // small blocks costs one allocation instead of one per block. Without
    // the memory each block gets its own bytes later.
    uint64_t smallBytes = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t size = layout.GetBlockEnd(i) - layout.GetBlockStart(i);
        smallBytes += size <= SMALL_BLOCK ? size : 0;
    }
    CImageBlock::SHARED_BYTES* shared = smallBytes != 0 ? CImageBlock::AllocShared(smallBytes) : nullptr;
    uint64_t sharedAt = 0;
    KZMRESULT result = KZM_OK;
    // Blocks in the arena cannot fail to be made: they go to the store in
    // steps as they are made, while they are still in the cache.
    uint32_t appended = 0;
    uint32_t made = 0;
    for (; made < blocks && result == KZM_OK; ++made) {
        if (made - appended == APPEND_STEP && made <= m_dwArenaBlocks) {
            result = m_pStore->AppendNew(byList + appended, APPEND_STEP);
            appended = made;
        }
        const uint32_t start = layout.GetBlockStart(made), end = layout.GetBlockEnd(made);
        CImageBlock* block = made < m_dwArenaBlocks ? new (static_cast<CImageBlock*>(m_pBlockArena) + made)
                                                          CImageBlock(start, end)
                                                    : new (std::nothrow) CImageBlock(start, end);
        byList[made] = block;
        if (block == nullptr) {
            result = KZM_E_FAIL;
        } else if (shared != nullptr && end - start <= SMALL_BLOCK) {
            block->UseShared(shared, sharedAt);
            sharedAt += end - start;
        } else {
            ++*withoutBytes;
        }
    }
    // The blocks that use the shared bytes free them with the last of them.
    if (shared != nullptr && shared->dwUsers == 0)
        std::free(shared);
    if (result == KZM_OK && m_pStore->AppendNew(byList + appended, blocks - appended) != KZM_OK)
        result = KZM_E_FAIL;
    for (uint32_t i = 0; i < made && result != KZM_OK; ++i)
        if (byList[i] != nullptr && byList[i]->GetOwner() == nullptr)
            DeleteBlock(byList[i]);
    return result;
}

void CImageFile::DeleteBlock(CListNode* node)
{
    const std::less<const void*> below;
    const auto* first = static_cast<const CImageBlock*>(m_pBlockArena);
    if (first != nullptr && !below(node, first) && below(node, first + m_dwArenaBlocks))
        static_cast<CImageBlock*>(node)->CImageBlock::~CImageBlock(); // made as one: no virtual call
    else
        delete node;
}

// The list is exactly byList when the store was empty and nobody else
// changed it meanwhile: then the table becomes the index at once instead of
// the list being walked again.
bool CImageFile::AdoptAsIndex(CImageBlock** byList, const CImageIndex& layout)
{
    const uint32_t blocks = layout.GetBlockCount();
    const uint64_t version = m_pStore->GetVersion();
    if (m_pStore->GetCount() != blocks || version != blocks)
        return false;
    std::free(m_ppIndex);
    m_ppIndex = byList;
    m_dwIndexCapacity = m_dwIndexCount = blocks;
    m_qwIndexVersion = version;
    m_bIndexValid = true;
    // The bounds from the layout's compact table, not from the blocks.
    uint32_t lowest = 0xFFFFFFFFu, highest = 0, largest = 0;
    for (uint32_t i = 0; i < blocks; ++i) {
        const uint32_t start = layout.GetBlockStart(i), end = layout.GetBlockEnd(i);
        lowest = start < lowest ? start : lowest;
        highest = end > highest ? end : highest;
        largest = end - start > largest ? end - start : largest;
    }
    m_dwLowest = lowest;
    m_dwHighest = highest;
    m_dwLargest = largest;
    m_bBoundsValid = true;
    return true;
}

// Second pass: the bytes, straight into their blocks. The records must be
// those of the first pass (the file might have changed between).
KZMRESULT CImageFile::FillBlocks(CImageReader& reader, CImageIndex& layout, CImageBlock* const* byList,
                                 const LOAD_PASS& first, uint32_t withoutBytes)
{
    const uint32_t blocks = layout.GetBlockCount();
    if (blocks == 0)
        return KZM_E_FAIL;
    LOAD_PASS second{HASH_SEED, 0};
    uint32_t allocated = 0;
    layout.RestartRecords();
    CImageReader::RECORD record;
    while (reader.NextRecord(&record) == CImageReader::RECORD_OK) {
        const uint32_t address = record.dwAddress;
        const uint32_t at = layout.BlockOfNextRecord(address, record.dwCount);
        // Only when the file changed after the first pass can a record miss
        // its block.
        if (at >= blocks || !Holds(byList[at], address, static_cast<uint64_t>(address) + record.dwCount))
            return KZM_E_FAIL;
        CImageBlock* block = byList[at];
        if (block->GetData() == nullptr) {
            if (!block->AllocData())
                return KZM_E_FAIL;
            ++allocated;
        }
        CImageReader::DecodeData(record.pDigits, record.dwCount, block->GetData() + (address - block->GetStart()));
        second.qwHash = MixRecord(second.qwHash, address, record.dwCount);
        ++second.dwRecords;
    }
    // Every block has its bytes: each block made without them got them at
    // its first record (a block's bytes are allocated once).
    if (second.dwRecords != first.dwRecords || second.qwHash != first.qwHash || allocated != withoutBytes)
        return KZM_E_FAIL;
    return KZM_OK;
}

KZMRESULT CImageFile::Clear()
{
    if (m_pStore == nullptr)
        return KZM_E_FAIL;
    m_pStore->TakeAll([this](CListNode* node) { DeleteBlock(node); });
    std::free(m_pBlockArena);
    m_pBlockArena = nullptr;
    m_dwArenaBlocks = 0;
    DropIndex();
    return KZM_OK;
}

uint32_t CImageFile::GetBlockCount()
{
    return UpdateIndex() ? m_dwIndexCount : 0;
}

KZMRESULT CImageFile::GetBlock(uint32_t index, uint32_t* start, uint32_t* end, const uint8_t** data)
{
    if (start == nullptr || end == nullptr || data == nullptr || !UpdateIndex() || index >= m_dwIndexCount)
        return KZM_E_FAIL;
    const CImageBlock* block = m_ppIndex[index];
    *start = block->GetStart();
    *end = block->GetEnd();
    *data = block->GetData();
    return KZM_OK;
}

const CImageBlock* const* CImageFile::GetBlocks(uint32_t* count)
{
    const bool valid = UpdateIndex();
    *count = valid ? m_dwIndexCount : 0;
    return valid ? m_ppIndex : nullptr;
}

uint32_t CImageFile::GetLowestAddress()
{
    return UpdateBounds() ? m_dwLowest : 0;
}

uint32_t CImageFile::GetHighestAddress()
{
    return UpdateBounds() ? m_dwHighest : 0;
}

uint32_t CImageFile::GetLargestBlockSize()
{
    return UpdateBounds() ? m_dwLargest : 0;
}
