// CListNode: the links of an intrusive, doubly linked list; the base of every
// block of an image store.
#pragma once

#include <atomic>

class CImageStore;

class CListNode {
public:
    CListNode() : m_pOwner(nullptr), m_pPrev(nullptr), m_pNext(nullptr) {}
    // Takes the node out of its list, if it is in one, then clears the links.
    virtual ~CListNode()
    {
        if (GetOwner() != nullptr)
            LeaveOwner();
        m_pOwner.store(nullptr, std::memory_order_relaxed);
        m_pPrev = nullptr;
        m_pNext = nullptr;
    }
    CListNode(const CListNode&) = delete;
    CListNode& operator=(const CListNode&) = delete;

    // The store the node belongs to, null while it is in no list.
    CImageStore* GetOwner() const { return m_pOwner.load(std::memory_order_acquire); }

private:
    friend class CImageStore;

    // Takes the node out of its owner's list: one locked step of the owner.
    void LeaveOwner();

    // The owner is claimed by an atomic compare-and-exchange from null, so a
    // node belongs to at most one store at a time.
    bool ClaimFor(CImageStore* store);
    // A node just made, which no other thread can reach yet, needs no
    // compare-and-exchange.
    void ClaimNew(CImageStore* store);
    // Only the owning store releases a node, under its lock, where nothing
    // else changes the owner: a plain atomic store does, without the cost of
    // a locked instruction on each node of a long list.
    void Release();

    std::atomic<CImageStore*> m_pOwner;
    CListNode* m_pPrev;
    CListNode* m_pNext;
};
