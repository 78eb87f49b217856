// CImageStore: a locked, doubly linked, intrusive list of the blocks of one
// firmware image. Every step that touches the links holds the lock for that
// one step.
#pragma once

#include "kazmir.h"
#include "platform/Platform.h"

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
    // Takes the first node out of the list in one step; null when empty.
    CListNode* TakeFirst();

    // One locked step each: the first node, the node after `node` (null at the
    // end or when `node` is not in this store).
    CListNode* GetFirst();
    CListNode* GetNext(CListNode* node);
    CListNode* GetLast();
    uint32_t GetCount();
    // Changes whenever the links change, so that a reader may keep an index
    // of the list and know when it has gone stale.
    uint64_t GetVersion();

private:
    CRITICAL_SECTION m_Lock;
    CListNode* m_pFirst;
    CListNode* m_pLast;
    uint32_t m_dwCount;
    uint64_t m_qwVersion;
};
