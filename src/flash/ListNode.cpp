#include "flash/ListNode.h"

#include "flash/ImageStore.h"

void CListNode::LeaveOwner()
{
    if (CImageStore* owner = GetOwner())
        owner->Remove(this);
}

bool CListNode::ClaimFor(CImageStore* store)
{
    CImageStore* expected = nullptr;
    return m_pOwner.compare_exchange_strong(expected, store, std::memory_order_acq_rel);
}

void CListNode::ClaimNew(CImageStore* store)
{
    m_pOwner.store(store, std::memory_order_relaxed);
}

void CListNode::Release()
{
    m_pOwner.store(nullptr, std::memory_order_release);
}
