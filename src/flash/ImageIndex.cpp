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
    std::free(m_pBlocks);
    std::free(m_pListOrder);
    std::free(m_pAddressToList);
    m_pBlocks = nullptr;
    m_pListOrder = m_pAddressToList = nullptr;
    m_dwBlocks = 0;
    m_bAddressOrder = false;
    const uint32_t runs = m_dwRuns;
    if (runs == 0) {
        FreeWork();
        return KZM_OK;
    }

    // The common case: every run lies above all earlier ones and touches none
    // of them. Then every run creates its own block, in address order.
    bool ascending = true;
    for (uint32_t r = 1; r < runs && ascending; ++r)
        ascending = m_pRuns[r].dwStart > m_pRuns[r - 1].dwEnd;
    if (ascending) {
        // The runs themselves are the blocks; no further tables.
        m_dwBlocks = runs;
        m_bAddressOrder = true;
        return KZM_OK;
    }

    uint32_t* byStart = AllocArray<uint32_t>(runs);  // run numbers sorted by start
    uint32_t* starts = AllocArray<uint32_t>(runs);   // their starts
    uint32_t* rankOf = AllocArray<uint32_t>(runs);   // run -> position in byStart
    uint32_t* tree = AllocArray<uint32_t>(runs + 1); // prefix maxima of ends (0: none, as ends are >= 1)
    uint8_t* creates = AllocArray<uint8_t>(runs);
    uint32_t* groupOfRun = AllocArray<uint32_t>(runs);
    uint32_t* slot = AllocArray<uint32_t>(runs); // creating run -> group whose last creator it is
    bool ok = byStart && starts && rankOf && tree && creates && groupOfRun && slot;
    if (ok) {
        for (uint32_t r = 0; r < runs; ++r)
            byStart[r] = r;
        const RUN* runArray = m_pRuns;
        std::sort(byStart, byStart + runs, [runArray](uint32_t a, uint32_t b) {
            return runArray[a].dwStart != runArray[b].dwStart ? runArray[a].dwStart < runArray[b].dwStart : a < b;
        });
        for (uint32_t i = 0; i < runs; ++i) {
            starts[i] = m_pRuns[byStart[i]].dwStart;
            rankOf[byStart[i]] = i;
        }
        std::memset(tree, 0, (static_cast<size_t>(runs) + 1) * sizeof(uint32_t));

        // In file order: a run's first record creates a block exactly when no
        // earlier run starting at or below its end reaches up to its start.
        for (uint32_t r = 0; r < runs; ++r) {
            const RUN& run = m_pRuns[r];
            const uint32_t below = static_cast<uint32_t>(std::upper_bound(starts, starts + runs, run.dwFirstEnd) - starts);
            uint32_t reach = 0; // highest end among earlier runs starting at or below dwFirstEnd
            for (uint32_t i = below; i > 0; i -= i & (0u - i))
                reach = std::max(reach, tree[i]);
            creates[r] = !(reach != 0 && reach >= run.dwFirstStart);
            for (uint32_t i = rankOf[r] + 1; i <= runs; i += i & (0u - i))
                tree[i] = std::max(tree[i], run.dwEnd);
        }

        // By address: join touching runs into groups (the final blocks).
        uint32_t groups = 0;
        uint32_t groupEnd = 0;
        for (uint32_t i = 0; i < runs; ++i) {
            const RUN& run = m_pRuns[byStart[i]];
            if (groups == 0 || run.dwStart > groupEnd) {
                ++groups;
                groupEnd = run.dwEnd;
            } else {
                groupEnd = std::max(groupEnd, run.dwEnd);
            }
            groupOfRun[byStart[i]] = groups - 1;
        }
        m_pBlocks = AllocArray<BLOCK>(groups);
        m_pListOrder = AllocArray<uint32_t>(groups);
        m_pAddressToList = AllocArray<uint32_t>(groups);
        ok = m_pBlocks && m_pListOrder && m_pAddressToList;
        if (ok) {
            for (uint32_t g = 0; g < groups; ++g)
                m_pBlocks[g] = BLOCK{0xFFFFFFFFu, 0};
            for (uint32_t r = 0; r < runs; ++r) {
                BLOCK& block = m_pBlocks[groupOfRun[r]];
                block.dwStart = std::min(block.dwStart, m_pRuns[r].dwStart);
                block.dwEnd = std::max(block.dwEnd, m_pRuns[r].dwEnd);
            }
            // Each group stands where its last creating run put a block.
            // Runs are numbered in file order, so a pass over them keeps the
            // last creator of every group.
            for (uint32_t r = 0; r < runs; ++r)
                slot[r] = 0xFFFFFFFFu;
            for (uint32_t g = 0; g < groups; ++g)
                m_pAddressToList[g] = 0xFFFFFFFFu; // holds the group's last creator for now
            for (uint32_t r = 0; r < runs; ++r)
                if (creates[r])
                    m_pAddressToList[groupOfRun[r]] = r;
            for (uint32_t g = 0; g < groups && ok; ++g) {
                // Every group has a creator (its earliest record touches no
                // earlier one); checked all the same.
                ok = m_pAddressToList[g] < runs;
                if (ok)
                    slot[m_pAddressToList[g]] = g;
            }
            uint32_t position = 0;
            for (uint32_t r = 0; r < runs && ok; ++r) {
                if (slot[r] != 0xFFFFFFFFu) {
                    m_pListOrder[position] = slot[r];
                    m_pAddressToList[slot[r]] = position;
                    ++position;
                }
            }
            m_dwBlocks = groups;
        }
    }
    std::free(byStart);
    std::free(starts);
    std::free(rankOf);
    std::free(tree);
    std::free(creates);
    std::free(groupOfRun);
    std::free(slot);
    FreeWork();
    if (!ok) {
        std::free(m_pBlocks);
        std::free(m_pListOrder);
        std::free(m_pAddressToList);
        m_pBlocks = nullptr;
        m_pListOrder = m_pAddressToList = nullptr;
        m_dwBlocks = 0;
        return KZM_E_FAIL;
    }
    return KZM_OK;
}
