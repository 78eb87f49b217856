// CCCLProg: holds the CCL object of the board while it runs the CCL firmware
// and reads its entry list.
#pragma once

#include "device/KazApi.h"

class CCCLProg {
public:
    CCCLProg() = default;
    virtual ~CCCLProg() = default; // releases nothing
    CCCLProg(const CCCLProg&) = delete;
    CCCLProg& operator=(const CCCLProg&) = delete;

    // Takes a reference of its own on success; a reference held before is
    // replaced without being released.
    virtual KZMRESULT Open(IKazCcl* cclObject);
    virtual KZMRESULT Close();
    virtual KZMRESULT GetEntryCount(uint16_t* count);
    virtual KZMRESULT GetEntryValue(uint16_t index, uint16_t* value);

    IKazCcl* GetObject() const { return m_pCclObject; }
    bool IsOpened() const { return m_bOpened != 0; }

protected:
    IKazCcl* m_pCclObject = nullptr;
    uint32_t m_bOpened = 0;
};
