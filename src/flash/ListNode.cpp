#include "flash/ListNode.h"

#include "flash/ImageStore.h"

CListNode::CListNode() : m_pOwner(nullptr), m_pPrev(nullptr), m_pNext(nullptr) {}

CListNode::~CListNode()
{
    if (CImageStore* owner = GetOwner())
        owner->Remove(this);
    m_pOwner.store(nullptr, std::memory_order_relaxed);
    m_pPrev = nullptr;
    m_pNext = nullptr;
}

CImageStore* CListNode::GetOwner() const
{
    return m_pOwner.load(std::memory_order_acquire);
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
