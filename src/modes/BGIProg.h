// CBGIProg: the BGI message channel: send, receive and auxiliary channel
// objects built on the CCL object.
#pragma once

#include "modes/CCLProg.h"

class CBGIProg : public CCCLProg {
public:
    CBGIProg() = default;

    virtual KZMRESULT OpenChannels();
    virtual KZMRESULT CloseChannels();
    virtual KZMRESULT GetMsgLen(uint16_t* sendMax, uint16_t* receiveMax);
    virtual KZMRESULT Send(uint16_t length, const void* data, uint32_t ignored, uint32_t timeout);
    virtual KZMRESULT Receive(uint16_t size, void* buffer, uint16_t* received, uint32_t timeout);

private:
    struct CChannel {
        uint64_t m_CreationField = 0;
        IKazChannel* m_pObject = nullptr;
        HANDLE m_hEvent = nullptr;
    };
    struct CMsgChannel : CChannel {
        uint16_t m_wMaxMsgLen = 0;
    };

    bool FindEntry(uint16_t kind1, uint16_t kind2, CCL_ENTRY* entry, uint16_t* index);
    KZMRESULT StartEntry(uint16_t index);
    KZMRESULT StopEntry(uint16_t index);
    KZMRESULT OpenMsgChannel(CMsgChannel& channel, uint16_t kind2, const GUID& interfaceId);
    static KZMRESULT CurrentEntry(CMsgChannel& channel, bool send, uint32_t timeout, uint8_t** entry);
    static void ReleaseChannel(CChannel& channel);

    CChannel m_Aux;
    CMsgChannel m_Send;
    CMsgChannel m_Receive;
};
