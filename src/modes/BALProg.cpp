#include "modes/BALProg.h"
#include "kazmir.h"

#include <cstring>

// Gives back what is held first, whatever follows. The caller's reference is
// ours from here on: kept when Attach succeeds, released when it fails.
KZMRESULT CBALProg::Open(IKazBal* balObject)
{
    Close();
    if (!balObject)
        return KZM_E_FAIL;
    KAZ_BAL_RECORD record;
    std::memset(&record, 0, sizeof(record));
    KZMRESULT result = balObject->Attach(&record);
    if (result == 0)
        m_pBalObject = balObject;
    else
        balObject->Release();
    return result;
}

KZMRESULT CBALProg::Close()
{
    if (m_pBalObject) {
        m_pBalObject->Release();
        m_pBalObject = nullptr;
    }
    return 0;
}
