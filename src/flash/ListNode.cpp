#include "flash/ListNode.h"

#include "flash/ImageStore.h"

static_assert(sizeof(void*) <= sizeof(LONG64), "an owner pointer fits the compare-and-exchange");

namespace {
inline LONG64 ToValue(CImageStore* store)
{
    return static_cast<LONG64>(reinterpret_cast<intptr_t>(store));
}
} // namespace

CListNode::CListNode() : m_llOwner(0), m_pPrev(nullptr), m_pNext(nullptr) {}

CListNode::~CListNode()
{
    if (CImageStore* owner = GetOwner())
        owner->Remove(this);
    m_llOwner = 0;
    m_pPrev = nullptr;
    m_pNext = nullptr;
}

CImageStore* CListNode::GetOwner() const
{
    // A compare-and-exchange that never changes anything reads atomically.
    LONG64 value = InterlockedCompareExchange64(const_cast<volatile LONG64*>(&m_llOwner), 0, 0);
    return reinterpret_cast<CImageStore*>(static_cast<intptr_t>(value));
}

bool CListNode::ClaimFor(CImageStore* store)
{
    return InterlockedCompareExchange64(&m_llOwner, ToValue(store), 0) == 0;
}

bool CListNode::ReleaseFrom(CImageStore* store)
{
    return InterlockedCompareExchange64(&m_llOwner, 0, ToValue(store)) == ToValue(store);
}
