#include "flash/ImageStore.h"

#include "flash/ListNode.h"
#include "kazmir.h"

CImageStore::CImageStore() : m_pFirst(nullptr), m_pLast(nullptr), m_dwCount(0), m_qwVersion(0)
{
    InitializeCriticalSection(&m_Lock);
}

CImageStore::~CImageStore()
{
    while (CListNode* node = GetFirst())
        Remove(node);
    DeleteCriticalSection(&m_Lock);
}

KZMRESULT CImageStore::Append(CListNode* node)
{
    return AppendAll(&node, 1);
}

KZMRESULT CImageStore::AppendLocked(CListNode* node, uint64_t* linked)
{
    if (node == nullptr)
        return KZM_E_FAIL;
    if (node->ClaimFor(this)) {
        Link(node, linked);
        return KZM_OK;
    }
    return node->GetOwner() == this ? KZM_OK : KZM_E_FAIL;
}

void CImageStore::LinkNew(CListNode* node, uint64_t* linked)
{
    node->ClaimNew(this);
    Link(node, linked);
}

void CImageStore::Link(CListNode* node, uint64_t* linked)
{
    node->m_pPrev = m_pLast;
    node->m_pNext = nullptr;
    if (m_pLast != nullptr)
        m_pLast->m_pNext = node;
    else
        m_pFirst = node;
    m_pLast = node;
    ++m_dwCount;
    ++*linked;
}

KZMRESULT CImageStore::Remove(CListNode* node)
{
    if (node == nullptr)
        return KZM_E_FAIL;
    KZMRESULT result = KZM_E_FAIL;
    EnterCriticalSection(&m_Lock);
    if (node->GetOwner() == this) {
        if (node->m_pPrev != nullptr)
            node->m_pPrev->m_pNext = node->m_pNext;
        else
            m_pFirst = node->m_pNext;
        if (node->m_pNext != nullptr)
            node->m_pNext->m_pPrev = node->m_pPrev;
        else
            m_pLast = node->m_pPrev;
        node->m_pPrev = nullptr;
        node->m_pNext = nullptr;
        node->Release();
        --m_dwCount;
        ++m_qwVersion;
        result = KZM_OK;
    }
    LeaveCriticalSection(&m_Lock);
    return result;
}

CListNode* CImageStore::TakeFirst()
{
    EnterCriticalSection(&m_Lock);
    CListNode* node = m_pFirst;
    if (node != nullptr) {
        m_pFirst = node->m_pNext;
        if (m_pFirst != nullptr)
            m_pFirst->m_pPrev = nullptr;
        else
            m_pLast = nullptr;
        node->m_pNext = nullptr;
        node->Release();
        --m_dwCount;
        ++m_qwVersion;
    }
    LeaveCriticalSection(&m_Lock);
    return node;
}

CListNode* CImageStore::Detach(CListNode* node)
{
    CListNode* next = node->m_pNext;
    node->m_pPrev = nullptr;
    node->m_pNext = nullptr;
    node->Release();
    return next;
}

CListNode* CImageStore::GetFirst()
{
    EnterCriticalSection(&m_Lock);
    CListNode* node = m_pFirst;
    LeaveCriticalSection(&m_Lock);
    return node;
}

CListNode* CImageStore::GetLast()
{
    EnterCriticalSection(&m_Lock);
    CListNode* node = m_pLast;
    LeaveCriticalSection(&m_Lock);
    return node;
}

CListNode* CImageStore::GetNext(CListNode* node)
{
    if (node == nullptr)
        return nullptr;
    EnterCriticalSection(&m_Lock);
    CListNode* next = node->GetOwner() == this ? node->m_pNext : nullptr;
    LeaveCriticalSection(&m_Lock);
    return next;
}

uint32_t CImageStore::GetCount()
{
    EnterCriticalSection(&m_Lock);
    uint32_t count = m_dwCount;
    LeaveCriticalSection(&m_Lock);
    return count;
}
