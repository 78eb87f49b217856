// CListNode: the links of an intrusive, doubly linked list; the base of every
// block of an image store.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

class CImageStore;

class CListNode {
public:
    CListNode();
    // Takes the node out of its list, if it is in one, then clears the links.
    virtual ~CListNode();
    CListNode(const CListNode&) = delete;
    CListNode& operator=(const CListNode&) = delete;

    // The store the node belongs to, null while it is in no list.
    CImageStore* GetOwner() const;

private:
    friend class CImageStore;

    // The owner is claimed by an atomic compare-and-exchange from null, so a
    // node belongs to at most one store at a time.
    bool ClaimFor(CImageStore* store);
    bool ReleaseFrom(CImageStore* store);

    volatile LONG64 m_llOwner;
    CListNode* m_pPrev;
    CListNode* m_pNext;
};
