// Common ground of the device-server objects: reference counting, the
// logged QueryInterface and reserved slots, and the tie to a board's arrival.
#pragma once

#include "Sim.h"

namespace kazsim::detail {

inline constexpr GUID IID_KAZ_UNKNOWN = {0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

template <class I, Kind K>
class CObject : public I, public CObjectCore {
public:
    CObject() : CObjectCore(K) {}

    KZRESULT QueryInterface(const GUID* iid, void** object) override
    {
        CCall call(Name("QueryInterface"), Board(), iid ? GuidText(*iid) : std::string(), this);
        if (call.Ended())
            return call.Code();
        if (!object || !iid)
            return call.Return(SIM_E_POINTER);
        if (SameGuid(*iid, IID_KAZ_UNKNOWN) || Supports(*iid)) {
            DoAddRef();
            *object = static_cast<I*>(this);
            return call.Return(0);
        }
        *object = nullptr;
        return call.Return(SIM_E_NOINTERFACE);
    }
    uint32_t AddRef() override { return DoAddRef(); }
    uint32_t Release() override { return DoRelease(); }

protected:
    virtual bool Supports(const GUID& /*iid*/) const { return false; }
    static std::string Name(const char* operation) { return std::string(KindName(K)) + "." + operation; }
    KZRESULT Reserved(const char* slot)
    {
        CCall call(Name(slot), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        return call.Return(SIM_E_NOTIMPL);
    }
};

// An object that belongs to one arrival of a board; once the board restarts
// or leaves, its operations fail with SIM_E_GONE.
template <class I, Kind K>
class CBoardObject : public CObject<I, K> {
public:
    CBoardObject(std::shared_ptr<CBoard> board, uint32_t generation)
        : m_pBoard(std::move(board)), m_Generation(generation)
    {
    }
    CBoard* Board() const override { return m_pBoard->Index >= 0 ? m_pBoard.get() : nullptr; }

protected:
    bool Alive() const { return m_pBoard->Alive(m_Generation); }

    std::shared_ptr<CBoard> m_pBoard;
    uint32_t m_Generation;
};

// The device records of the listed boards, in list order.
std::vector<KAZ_DEVICE_RECORD> DeviceRecords();

// The server's own bytes of an entry record: which board, arrival and entry.
void EncodeEntry(const CBoard& board, uint16_t index, CCL_ENTRY* entry);
bool DecodeEntry(const CCL_ENTRY* entry, uint32_t* uid, uint32_t* generation, uint16_t* index);

// Binds the channel whose creation field holds cookie to an entry (Channel.cpp).
KZRESULT BindChannel(uint64_t cookie, CBoard* board, uint32_t generation, uint16_t index);

} // namespace kazsim::detail
