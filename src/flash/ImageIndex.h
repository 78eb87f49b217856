// CImageIndex: the block layout of an image's first pass, worked out in
// O(n log n) instead of by walking the block list for every record.
//
// The first pass extends the first block in list order that a record touches
// (or appends a new block), and the merge then joins touching blocks, the
// later one surviving in its place. Two facts give the same result without
// the walks:
//  - a record appends a block exactly when it touches no earlier record (a
//    block is always the union of its records, as touching ranges join
//    without a gap), and which block it extends changes no later decision;
//  - the merged blocks are the touching-connected groups of records, and
//    each stands in the list at the place of the last-created block of its
//    group, since every merge keeps the later block and the last one of a
//    group is never taken out.
// So the index collects runs of consecutive touching records, finds the runs
// that create blocks with a prefix-maximum tree, joins runs by address, and
// orders the groups by their last creating run. A run that touches no other
// one is a group of its own and creates its block; only runs that share a
// group need the tree.
//
// For the second pass the index also tells each record's block: the same
// records fall into the same runs, and every run lies in one block.
#pragma once

#include "kazmir.h"

#include <cstdint>

class CImageIndex {
public:
    CImageIndex();
    ~CImageIndex();
    CImageIndex(const CImageIndex&) = delete;
    CImageIndex& operator=(const CImageIndex&) = delete;

    // Adds the next record of the first pass, [address, address + count),
    // count >= 1 and the end within 32 bits. 0x80004005 without memory.
    KZMRESULT AddRecord(uint32_t address, uint32_t count)
    {
        if (m_bFailed)
            return KZM_E_FAIL;
        ++m_dwRecords;
        if (m_bHaveCurrent && JoinRun(&m_Current, address, address + count))
            return KZM_OK;
        return StartRun(address, address + count);
    }
    // Works out the blocks; 0x80004005 without memory.
    KZMRESULT Finish();

    uint32_t GetRecordCount() const { return m_dwRecords; }
    // After Finish: the blocks, in the list order of the first pass and merge.
    uint32_t GetBlockCount() const { return m_dwBlocks; }
    uint32_t GetBlockStart(uint32_t listIndex) const
    {
        return m_bRunsAreBlocks ? m_pRuns[listIndex].dwStart : m_pBlocks[listIndex].dwStart;
    }
    uint32_t GetBlockEnd(uint32_t listIndex) const
    {
        return m_bRunsAreBlocks ? m_pRuns[listIndex].dwEnd : m_pBlocks[listIndex].dwEnd;
    }

    // The second pass: the records again, in the same order from the first;
    // each one's block in list order. A record that is not the first pass's
    // may get any block or GetBlockCount().
    void RestartRecords() { m_dwCursorRun = NO_RUN; }
    uint32_t BlockOfNextRecord(uint32_t address, uint32_t count)
    {
        if (m_dwCursorRun == NO_RUN || !JoinRun(&m_Cursor, address, address + count)) {
            m_Cursor = RUN{address, address + count, address, address + count};
            ++m_dwCursorRun;
        }
        if (m_dwCursorRun >= m_dwRunCount)
            return m_dwBlocks;
        return m_bRunsAreBlocks ? m_dwCursorRun : m_pBlockOfRun[m_dwCursorRun];
    }

private:
    static constexpr uint32_t NO_RUN = 0xFFFFFFFFu;
    struct RUN {
        uint32_t dwStart; // range of the run's records
        uint32_t dwEnd;
        uint32_t dwFirstStart; // the run's first record
        uint32_t dwFirstEnd;
    };
    struct BLOCK {
        uint32_t dwStart;
        uint32_t dwEnd;
    };

    // A record that touches the run joins it: it creates no block, and the
    // run stays one touching-connected range.
    static bool JoinRun(RUN* run, uint32_t address, uint32_t end)
    {
        if (address > run->dwEnd || run->dwStart > end)
            return false;
        run->dwStart = address < run->dwStart ? address : run->dwStart;
        run->dwEnd = end > run->dwEnd ? end : run->dwEnd;
        return true;
    }

    // Finish's tables while it works.
    struct WORK {
        uint64_t* pByStart;    // start << 32 | run, sorted
        uint64_t* pSortSpare;  // the radix sort's second buffer
        uint32_t* pStarts;     // the sorted starts
        uint32_t* pRankOf;     // run -> position in pByStart
        uint32_t* pTree;       // prefix maxima of ends, by start
        uint8_t* pCreates;     // the run's first record creates a block
        uint32_t* pGroupOfRun; // run -> group (final block) by address
        uint32_t* pSlot;       // creating run -> group whose last creator it is
        uint32_t* pListOfGroup;
    };

    KZMRESULT StartRun(uint32_t address, uint32_t end);
    void PushRun();
    void FreeWork();
    void FreeBlocks();
    bool RunsAscend() const;
    bool AllocWork(WORK* work) const;
    static void FreeWork(WORK* work);
    void SortRunsByStart(const WORK& work) const;
    uint32_t GroupRuns(const WORK& work) const;
    void MarkCreatingRuns(const WORK& work) const;
    bool OrderGroups(const WORK& work, uint32_t groups);

    RUN* m_pRuns;
    uint32_t m_dwRuns;
    uint32_t m_dwRunCapacity;
    RUN m_Current;
    bool m_bHaveCurrent;
    uint32_t m_dwRecords;
    bool m_bFailed;

    BLOCK* m_pBlocks;        // in list order
    uint32_t* m_pBlockOfRun; // run -> its block in list order
    uint32_t m_dwBlocks;
    uint32_t m_dwRunCount;
    bool m_bRunsAreBlocks; // no run touches another: the runs are the blocks, in file order
    RUN m_Cursor;          // the second pass's current run
    uint32_t m_dwCursorRun;
};
