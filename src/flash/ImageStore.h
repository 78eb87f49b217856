// CImageStore: a locked, doubly linked, intrusive list of the blocks of one
// firmware image. Every step that touches the links holds the lock for that
// one step.
#pragma once

#include "kazmir.h"
#include "platform/Platform.h"

#include <atomic>
#include <cstdint>

class CListNode;

class CImageStore {
public:
    CImageStore();
    // Takes the remaining nodes out of the list (without deleting them) and
    // deletes the lock.
    virtual ~CImageStore();
    CImageStore(const CImageStore&) = delete;
    CImageStore& operator=(const CImageStore&) = delete;

    // Appends a node at the end. 0 also when the node already belongs to this
    // store (nothing changes); 0x80004005 when it belongs to another store or
    // is null.
    KZMRESULT Append(CListNode* node);
    // Takes a node out. 0x80004005, with nothing done, when it does not
    // belong to this store.
    KZMRESULT Remove(CListNode* node);
    // Appends count nodes (of a type derived from CListNode) in order, in one
    // locked step, as Append would each; stops at the first that cannot be
    // appended (0x80004005).
    template <typename NODE>
    KZMRESULT AppendAll(NODE* const* nodes, uint32_t count)
    {
        KZMRESULT result = KZM_OK;
        uint64_t linked = 0;
        EnterCriticalSection(&m_Lock);
        for (uint32_t i = 0; i < count && result == KZM_OK; ++i)
            result = AppendLocked(nodes[i], &linked);
        // One change of the version for the whole step.
        if (linked != 0)
            m_qwVersion.fetch_add(linked, std::memory_order_acq_rel);
        LeaveCriticalSection(&m_Lock);
        return result;
    }
    // AppendAll for nodes just made, which no other thread can reach yet:
    // as nothing can claim them meanwhile, an unowned one is claimed without
    // a locked instruction (a long list of new nodes costs one each).
    template <typename NODE>
    KZMRESULT AppendNew(NODE* const* nodes, uint32_t count)
    {
        KZMRESULT result = KZM_OK;
        uint64_t linked = 0;
        EnterCriticalSection(&m_Lock);
        for (uint32_t i = 0; i < count && result == KZM_OK; ++i) {
            if (nodes[i] != nullptr && nodes[i]->GetOwner() == nullptr)
                LinkNew(nodes[i], &linked);
            else
                result = AppendLocked(nodes[i], &linked);
        }
        if (linked != 0)
            m_qwVersion.fetch_add(linked, std::memory_order_acq_rel);
        LeaveCriticalSection(&m_Lock);
        return result;
    }
    // Takes the first node out of the list in one step; null when empty.
    CListNode* TakeFirst();
    // Takes every node out in one locked step, in list order, each handed
    // unlinked and unowned to taken(node), which may delete it: one walk
    // over a long list instead of one to take the nodes and one to delete.
    template <typename FN>
    void TakeAll(FN taken)
    {
        EnterCriticalSection(&m_Lock);
        CListNode* node = m_pFirst;
        if (node != nullptr) {
            m_pFirst = m_pLast = nullptr;
            m_dwCount = 0;
            ++m_qwVersion;
        }
        while (node != nullptr) {
            CListNode* next = Detach(node);
            taken(node);
            node = next;
        }
        LeaveCriticalSection(&m_Lock);
    }

    // One locked step each: the first node, the node after `node` (null at the
    // end or when `node` is not in this store).
    CListNode* GetFirst();
    CListNode* GetNext(CListNode* node);
    CListNode* GetLast();
    uint32_t GetCount();
    // Changes whenever the links change, so that a reader may keep an index
    // of the list and know when it has gone stale. Read without the lock.
    uint64_t GetVersion() const { return m_qwVersion.load(std::memory_order_acquire); }

private:
    // Counts the node in *linked when it is linked in.
    KZMRESULT AppendLocked(CListNode* node, uint64_t* linked);
    // Clears a node's links and owner; the node that followed it.
    static CListNode* Detach(CListNode* node);
    // Claims an unowned node no other thread can reach and links it in.
    void LinkNew(CListNode* node, uint64_t* linked);
    // Links in a node claimed for this store.
    void Link(CListNode* node, uint64_t* linked);

    CRITICAL_SECTION m_Lock;
    CListNode* m_pFirst;
    CListNode* m_pLast;
    uint32_t m_dwCount;
    std::atomic<uint64_t> m_qwVersion;
};
