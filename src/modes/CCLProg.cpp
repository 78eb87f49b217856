#include "modes/CCLProg.h"
#include "kazmir.h"

namespace {
constexpr uint16_t ENTRY_KIND_VALUE = 1;
}

// Starts the object and takes a reference of its own; the caller keeps its
// reference. A reference held from an earlier Open is overwritten, not
// released: an Open without Close in between leaves that reference behind.
KZMRESULT CCCLProg::Open(IKazCcl* cclObject)
{
    if (!cclObject)
        return KZM_E_FAIL;
    KZMRESULT result = cclObject->Start(0, 0, 0);
    if (result != 0)
        return result;
    cclObject->AddRef();
    m_pCclObject = cclObject;
    m_bOpened = 1;
    return 0;
}

// Stops and releases the object; the opened flag stays as it is.
KZMRESULT CCCLProg::Close()
{
    if (m_pCclObject) {
        m_pCclObject->Stop();
        m_pCclObject->Release();
        m_pCclObject = nullptr;
    }
    return 0;
}

KZMRESULT CCCLProg::GetEntryCount(uint16_t* count)
{
    if (!m_pCclObject || !count)
        return KZM_E_FAIL;
    CCL_SUMMARY summary = {};
    KZMRESULT result = m_pCclObject->GetSummary(&summary);
    if (result == 0)
        *count = summary.EntryCount;
    return result;
}

// The value of an entry of the value kind; other entries leave *value as it
// was and still succeed. Without an object there is nothing to ask.
KZMRESULT CCCLProg::GetEntryValue(uint16_t index, uint16_t* value)
{
    if (!value)
        return 0;
    if (!m_pCclObject)
        return KZM_E_FAIL;
    CCL_ENTRY entry = {};
    KZMRESULT result = m_pCclObject->GetEntry(index, &entry);
    if (result == 0 && entry.Kind1 == ENTRY_KIND_VALUE)
        *value = entry.Value;
    return result;
}
