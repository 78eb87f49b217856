// CBALProg: holds the BAL object of the board while it runs the BAL firmware.
#pragma once

#include "device/KazApi.h"

class CBALProg {
public:
    CBALProg() = default;
    virtual ~CBALProg() = default; // releases nothing
    CBALProg(const CBALProg&) = delete;
    CBALProg& operator=(const CBALProg&) = delete;

    // Takes over the caller's reference on success; releases it when the
    // object's Attach fails (the caller has passed it on).
    virtual KZMRESULT Open(IKazBal* balObject);
    virtual KZMRESULT Close();

    IKazBal* GetObject() const { return m_pBalObject; }

private:
    IKazBal* m_pBalObject = nullptr;
};
