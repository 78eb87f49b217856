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

// Two closed ranges [s1, e1] and [s2, e2] overlap or touch.
inline bool Touch(uint32_t s1, uint32_t e1, uint32_t s2, uint32_t e2)
{
    return s1 <= e2 && s2 <= e1;
}

} // namespace

CImageIndex::CImageIndex()
    : m_pRuns(nullptr), m_dwRuns(0), m_dwRunCapacity(0), m_Current{}, m_bHaveCurrent(false), m_dwRecords(0),
      m_bFailed(false), m_pBlocks(nullptr), m_pListOrder(nullptr), m_pAddressToList(nullptr), m_dwBlocks(0),
      m_bAddressOrder(false)
{
}

CImageIndex::~CImageIndex()
{
    FreeWork();
    std::free(m_pBlocks);
    std::free(m_pListOrder);
    std::free(m_pAddressToList);
}

void CImageIndex::FreeWork()
{
    std::free(m_pRuns);
    m_pRuns = nullptr;
    m_dwRuns = m_dwRunCapacity = 0;
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

KZMRESULT CImageIndex::AddRecord(uint32_t address, uint32_t count)
{
    if (m_bFailed)
        return KZM_E_FAIL;
    const uint32_t end = address + count;
    ++m_dwRecords;
    // A record that touches the current run joins it: it creates no block,
    // and the run stays one touching-connected range.
    if (m_bHaveCurrent && Touch(address, end, m_Current.dwStart, m_Current.dwEnd)) {
        m_Current.dwStart = std::min(m_Current.dwStart, address);
        m_Current.dwEnd = std::max(m_Current.dwEnd, end);
        return KZM_OK;
    }
    if (m_bHaveCurrent)
        PushRun();
    m_Current = RUN{address, end, address, end};
    m_bHaveCurrent = true;
    return m_bFailed ? KZM_E_FAIL : KZM_OK;
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
    if (m_dwRuns == 0) {
        FreeWork();
        return KZM_OK;
    }
    if (RunsAscend()) {
        // The runs themselves are the blocks; no further tables.
        m_dwBlocks = m_dwRuns;
        m_bAddressOrder = true;
        return KZM_OK;
    }
    WORK work{};
    bool ok = AllocWork(&work);
    if (ok) {
        SortRunsByStart(work);
        MarkCreatingRuns(work);
        const uint32_t groups = GroupRuns(work);
        m_pBlocks = AllocArray<BLOCK>(groups);
        m_pListOrder = AllocArray<uint32_t>(groups);
        m_pAddressToList = AllocArray<uint32_t>(groups);
        ok = m_pBlocks && m_pListOrder && m_pAddressToList && OrderGroups(work, groups);
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
    std::free(m_pListOrder);
    std::free(m_pAddressToList);
    m_pBlocks = nullptr;
    m_pListOrder = m_pAddressToList = nullptr;
    m_dwBlocks = 0;
    m_bAddressOrder = false;
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
    work->pByStart = AllocArray<uint32_t>(runs);
    work->pStarts = AllocArray<uint32_t>(runs);
    work->pRankOf = AllocArray<uint32_t>(runs);
    work->pTree = AllocArray<uint32_t>(runs + 1);
    work->pCreates = AllocArray<uint8_t>(runs);
    work->pGroupOfRun = AllocArray<uint32_t>(runs);
    work->pSlot = AllocArray<uint32_t>(runs);
    return work->pByStart && work->pStarts && work->pRankOf && work->pTree && work->pCreates && work->pGroupOfRun &&
           work->pSlot;
}

void CImageIndex::FreeWork(WORK* work)
{
    std::free(work->pByStart);
    std::free(work->pStarts);
    std::free(work->pRankOf);
    std::free(work->pTree);
    std::free(work->pCreates);
    std::free(work->pGroupOfRun);
    std::free(work->pSlot);
}

// Run numbers sorted by start (ties in file order), their starts, and each
// run's position in that order.
void CImageIndex::SortRunsByStart(const WORK& work) const
{
    const uint32_t runs = m_dwRuns;
    for (uint32_t r = 0; r < runs; ++r)
        work.pByStart[r] = r;
    const RUN* runArray = m_pRuns;
    std::sort(work.pByStart, work.pByStart + runs, [runArray](uint32_t a, uint32_t b) {
        return runArray[a].dwStart != runArray[b].dwStart ? runArray[a].dwStart < runArray[b].dwStart : a < b;
    });
    for (uint32_t i = 0; i < runs; ++i) {
        work.pStarts[i] = m_pRuns[work.pByStart[i]].dwStart;
        work.pRankOf[work.pByStart[i]] = i;
    }
}

// In file order: a run's first record creates a block exactly when no
// earlier run starting at or below its end reaches up to its start. The tree
// holds prefix maxima of the ends by start (0: none, as ends are >= 1).
void CImageIndex::MarkCreatingRuns(const WORK& work) const
{
    const uint32_t runs = m_dwRuns;
    std::memset(work.pTree, 0, (static_cast<size_t>(runs) + 1) * sizeof(uint32_t));
    for (uint32_t r = 0; r < runs; ++r) {
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

// By address: joins touching runs into groups (the final blocks); returns
// their number.
uint32_t CImageIndex::GroupRuns(const WORK& work) const
{
    uint32_t groups = 0;
    uint32_t groupEnd = 0;
    for (uint32_t i = 0; i < m_dwRuns; ++i) {
        const RUN& run = m_pRuns[work.pByStart[i]];
        if (groups == 0 || run.dwStart > groupEnd) {
            ++groups;
            groupEnd = run.dwEnd;
        } else {
            groupEnd = std::max(groupEnd, run.dwEnd);
        }
        work.pGroupOfRun[work.pByStart[i]] = groups - 1;
    }
    return groups;
}

// The groups' ranges, and their list order: each group stands where its last
// creating run put a block. Runs are numbered in file order, so a pass over
// them keeps the last creator of every group.
bool CImageIndex::OrderGroups(const WORK& work, uint32_t groups)
{
    const uint32_t runs = m_dwRuns;
    for (uint32_t g = 0; g < groups; ++g)
        m_pBlocks[g] = BLOCK{0xFFFFFFFFu, 0};
    for (uint32_t r = 0; r < runs; ++r) {
        BLOCK& block = m_pBlocks[work.pGroupOfRun[r]];
        block.dwStart = std::min(block.dwStart, m_pRuns[r].dwStart);
        block.dwEnd = std::max(block.dwEnd, m_pRuns[r].dwEnd);
    }
    for (uint32_t r = 0; r < runs; ++r)
        work.pSlot[r] = 0xFFFFFFFFu;
    for (uint32_t g = 0; g < groups; ++g)
        m_pAddressToList[g] = 0xFFFFFFFFu; // holds the group's last creator for now
    for (uint32_t r = 0; r < runs; ++r)
        if (work.pCreates[r])
            m_pAddressToList[work.pGroupOfRun[r]] = r;
    for (uint32_t g = 0; g < groups; ++g) {
        // Every group has a creator (its earliest record touches no earlier
        // one); checked all the same.
        if (m_pAddressToList[g] >= runs)
            return false;
        work.pSlot[m_pAddressToList[g]] = g;
    }
    uint32_t position = 0;
    for (uint32_t r = 0; r < runs; ++r) {
        if (work.pSlot[r] != 0xFFFFFFFFu) {
            m_pListOrder[position] = work.pSlot[r];
            m_pAddressToList[work.pSlot[r]] = position;
            ++position;
        }
    }
    m_dwBlocks = groups;
    return true;
}
