#include "flash/ImageIndex.h"

#include "kazmir.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace {

template <typename T>
T* AllocArray(size_t count)
{
    return static_cast<T*>(std::malloc((count != 0 ? count : 1) * sizeof(T)));
}

// Sorts keys by their upper 32 bits, keeping the order of equal ones: a
// least-significant-digit radix sort, 11 bits a pass, passing over digits
// that all keys share. The result is in keys or in spare: the one returned.
uint64_t* RadixSortUpper(uint64_t* keys, uint64_t* spare, uint32_t count)
{
    constexpr uint32_t BITS = 11, BUCKETS = 1u << BITS;
    static_assert(3 * BITS >= 32, "three passes cover 32 bits");
    for (uint32_t shift = 32; shift < 64; shift += BITS) {
        uint32_t offsets[BUCKETS] = {};
        for (uint32_t i = 0; i < count; ++i)
            ++offsets[(keys[i] >> shift) & (BUCKETS - 1)];
        if (offsets[(keys[0] >> shift) & (BUCKETS - 1)] == count)
            continue;
        uint32_t sum = 0;
        for (uint32_t& offset : offsets) {
            const uint32_t n = offset;
            offset = sum;
            sum += n;
        }
        for (uint32_t i = 0; i < count; ++i)
            spare[offsets[(keys[i] >> shift) & (BUCKETS - 1)]++] = keys[i];
        std::swap(keys, spare);
    }
    return keys;
}

} // namespace

CImageIndex::CImageIndex()
    : m_pRuns(nullptr), m_dwRuns(0), m_dwRunCapacity(0), m_Current{}, m_bHaveCurrent(false), m_dwRecords(0),
      m_bFailed(false), m_pBlocks(nullptr), m_pBlockOfRun(nullptr), m_dwBlocks(0), m_dwRunCount(0),
      m_bRunsAreBlocks(false), m_Cursor{}, m_dwCursorRun(NO_RUN)
{
}

CImageIndex::~CImageIndex()
{
    FreeWork();
    FreeBlocks();
}

void CImageIndex::FreeWork()
{
    std::free(m_pRuns);
    m_pRuns = nullptr;
    m_dwRuns = m_dwRunCapacity = 0;
}

KZMRESULT CImageIndex::StartRun(uint32_t address, uint32_t end)
{
    if (m_bHaveCurrent)
        PushRun();
    m_Current = RUN{address, end, address, end};
    m_bHaveCurrent = true;
    return m_bFailed ? KZM_E_FAIL : KZM_OK;
}

void CImageIndex::PushRun()
{
    if (m_dwRuns == m_dwRunCapacity) {
        const uint32_t capacity = m_dwRunCapacity != 0 ? m_dwRunCapacity * 2 : 64;
        RUN* runs = static_cast<RUN*>(std::realloc(m_pRuns, static_cast<size_t>(capacity) * sizeof(RUN)));
        if (runs == nullptr || capacity < m_dwRunCapacity) {
            m_bFailed = true;
            return;
        }
        m_pRuns = runs;
        m_dwRunCapacity = capacity;
    }
    m_pRuns[m_dwRuns++] = m_Current;
}

KZMRESULT CImageIndex::Finish()
{
    if (m_bHaveCurrent) {
        PushRun();
        m_bHaveCurrent = false;
    }
    if (m_bFailed)
        return KZM_E_FAIL;
    FreeBlocks();
    m_dwRunCount = m_dwRuns;
    RestartRecords();
    if (m_dwRuns == 0) {
        FreeWork();
        return KZM_OK;
    }
    if (RunsAscend()) {
        // The runs themselves are the blocks; no further tables.
        m_dwBlocks = m_dwRuns;
        m_bRunsAreBlocks = true;
        return KZM_OK;
    }
    WORK work{};
    bool ok = AllocWork(&work);
    if (ok) {
        SortRunsByStart(work);
        const uint32_t groups = GroupRuns(work);
        if (groups == m_dwRuns) {
            // No run touches another (a shuffled image of separate blocks):
            // each creates its own block, in file order, and none merge.
            FreeWork(&work);
            m_dwBlocks = m_dwRuns;
            m_bRunsAreBlocks = true;
            return KZM_OK;
        }
        MarkCreatingRuns(work);
        m_pBlocks = AllocArray<BLOCK>(groups);
        m_pBlockOfRun = AllocArray<uint32_t>(m_dwRuns);
        work.pListOfGroup = AllocArray<uint32_t>(groups);
        ok = m_pBlocks && m_pBlockOfRun && work.pListOfGroup && OrderGroups(work, groups);
    }
    FreeWork(&work);
    FreeWork();
    if (!ok) {
        FreeBlocks();
        return KZM_E_FAIL;
    }
    return KZM_OK;
}

void CImageIndex::FreeBlocks()
{
    std::free(m_pBlocks);
    std::free(m_pBlockOfRun);
    m_pBlocks = nullptr;
    m_pBlockOfRun = nullptr;
    m_dwBlocks = 0;
    m_bRunsAreBlocks = false;
}

// The common case: every run lies above all earlier ones and touches none of
// them. Then every run creates its own block, in address order.
bool CImageIndex::RunsAscend() const
{
    for (uint32_t r = 1; r < m_dwRuns; ++r)
        if (m_pRuns[r].dwStart <= m_pRuns[r - 1].dwEnd)
            return false;
    return true;
}

bool CImageIndex::AllocWork(WORK* work) const
{
    const uint32_t runs = m_dwRuns;
    work->pByStart = AllocArray<uint64_t>(runs);
    work->pSortSpare = AllocArray<uint64_t>(runs);
    work->pStarts = AllocArray<uint32_t>(runs);
    work->pRankOf = AllocArray<uint32_t>(runs);
    work->pTree = AllocArray<uint32_t>(runs + 1);
    work->pCreates = AllocArray<uint8_t>(runs);
    work->pGroupOfRun = AllocArray<uint32_t>(runs);
    work->pSlot = AllocArray<uint32_t>(runs);
    return work->pByStart && work->pSortSpare && work->pStarts && work->pRankOf && work->pTree && work->pCreates &&
           work->pGroupOfRun && work->pSlot;
}

void CImageIndex::FreeWork(WORK* work)
{
    std::free(work->pByStart);
    std::free(work->pSortSpare);
    std::free(work->pStarts);
    std::free(work->pRankOf);
    std::free(work->pTree);
    std::free(work->pCreates);
    std::free(work->pGroupOfRun);
    std::free(work->pSlot);
    std::free(work->pListOfGroup);
}

// Runs sorted by start (ties in file order), their starts, and each run's
// position in that order.
void CImageIndex::SortRunsByStart(const WORK& work) const
{
    const uint32_t runs = m_dwRuns;
    for (uint32_t r = 0; r < runs; ++r)
        work.pByStart[r] = static_cast<uint64_t>(m_pRuns[r].dwStart) << 32 | r;
    const uint64_t* sorted = RadixSortUpper(work.pByStart, work.pSortSpare, runs);
    if (sorted != work.pByStart)
        std::memcpy(work.pByStart, sorted, static_cast<size_t>(runs) * sizeof(uint64_t));
    for (uint32_t i = 0; i < runs; ++i) {
        work.pStarts[i] = static_cast<uint32_t>(work.pByStart[i] >> 32);
        work.pRankOf[static_cast<uint32_t>(work.pByStart[i])] = i;
    }
}

// By address: joins touching runs into groups (the final blocks); returns
// their number. A run alone in its group touches no other run, so its
// first record creates a block; the runs of larger groups are marked for
// MarkCreatingRuns.
uint32_t CImageIndex::GroupRuns(const WORK& work) const
{
    constexpr uint8_t UNDECIDED = 2;
    uint32_t groups = 0;
    uint32_t groupEnd = 0;
    for (uint32_t i = 0; i < m_dwRuns; ++i) {
        const uint32_t r = static_cast<uint32_t>(work.pByStart[i]);
        const RUN& run = m_pRuns[r];
        if (groups == 0 || run.dwStart > groupEnd) {
            ++groups;
            groupEnd = run.dwEnd;
            const bool alone = i + 1 == m_dwRuns || work.pStarts[i + 1] > run.dwEnd;
            work.pCreates[r] = alone ? 1 : UNDECIDED;
        } else {
            groupEnd = std::max(groupEnd, run.dwEnd);
            work.pCreates[r] = UNDECIDED;
        }
        work.pGroupOfRun[r] = groups - 1;
    }
    return groups;
}

// In file order, the runs that share a group: a run's first record creates
// a block exactly when no earlier run starting at or below its end reaches
// up to its start. Only runs of the same group can, so the tree holds only
// theirs: prefix maxima of the ends by start (0: none, as ends are >= 1).
void CImageIndex::MarkCreatingRuns(const WORK& work) const
{
    const uint32_t runs = m_dwRuns;
    std::memset(work.pTree, 0, (static_cast<size_t>(runs) + 1) * sizeof(uint32_t));
    for (uint32_t r = 0; r < runs; ++r) {
        if (work.pCreates[r] == 1)
            continue;
        const RUN& run = m_pRuns[r];
        const uint32_t below =
            static_cast<uint32_t>(std::upper_bound(work.pStarts, work.pStarts + runs, run.dwFirstEnd) - work.pStarts);
        uint32_t reach = 0; // highest end among earlier runs starting at or below dwFirstEnd
        for (uint32_t i = below; i > 0; i -= i & (0u - i))
            reach = std::max(reach, work.pTree[i]);
        work.pCreates[r] = !(reach != 0 && reach >= run.dwFirstStart);
        for (uint32_t i = work.pRankOf[r] + 1; i <= runs; i += i & (0u - i))
            work.pTree[i] = std::max(work.pTree[i], run.dwEnd);
    }
}

// The groups' ranges in list order, and each run's block: each group stands
// where its last creating run put a block. Runs are numbered in file order,
// so a pass over them keeps the last creator of every group.
bool CImageIndex::OrderGroups(const WORK& work, uint32_t groups)
{
    const uint32_t runs = m_dwRuns;
    uint32_t* lastCreator = work.pListOfGroup; // by group, until the list order is known
    for (uint32_t g = 0; g < groups; ++g)
        lastCreator[g] = NO_RUN;
    for (uint32_t r = 0; r < runs; ++r) {
        work.pSlot[r] = NO_RUN;
        if (work.pCreates[r])
            lastCreator[work.pGroupOfRun[r]] = r;
    }
    for (uint32_t g = 0; g < groups; ++g) {
        // Every group has a creator (its earliest record touches no earlier
        // one); checked all the same.
        if (lastCreator[g] == NO_RUN)
            return false;
        work.pSlot[lastCreator[g]] = g;
    }
    uint32_t position = 0;
    for (uint32_t r = 0; r < runs; ++r)
        if (work.pSlot[r] != NO_RUN) {
            work.pListOfGroup[work.pSlot[r]] = position;
            m_pBlocks[position++] = BLOCK{0xFFFFFFFFu, 0};
        }
    for (uint32_t r = 0; r < runs; ++r) {
        const uint32_t at = work.pListOfGroup[work.pGroupOfRun[r]];
        BLOCK& block = m_pBlocks[at];
        block.dwStart = std::min(block.dwStart, m_pRuns[r].dwStart);
        block.dwEnd = std::max(block.dwEnd, m_pRuns[r].dwEnd);
        m_pBlockOfRun[r] = at;
    }
    m_dwBlocks = groups;
    return true;
}
