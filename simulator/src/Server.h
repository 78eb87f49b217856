// Common ground of the device-server objects: reference counting, the logged
// QueryInterface and reserved slots, and one way every operation starts
// (logged, faults applied, calls on released objects caught, null pointers
// refused, stale objects failed).
#pragma once

#include "Sim.h"

#include <initializer_list>

namespace kazsim::detail {

template <class I, Kind K>
class CObject : public I, public CObjectCore {
public:
    CObject() : CObjectCore(K) {}

    KZRESULT QueryInterface(const GUID* iid, void** object) override
    {
        return Run("QueryInterface", iid ? GuidText(*iid) : std::string(), {iid, object}, [&](CCall&) {
            if (SameGuid(*iid, IID_UNKNOWN) || Supports(*iid)) {
                DoAddRef();
                *object = static_cast<I*>(this);
                return KZRESULT{0};
            }
            *object = nullptr;
            return SIM_E_NOINTERFACE;
        });
    }
    uint32_t AddRef() override { return DoAddRef(); }
    uint32_t Release() override { return DoRelease(); }

protected:
    virtual bool Supports(const GUID& /*iid*/) const { return false; }
    // Whether the object's board is still on the arrival the object was made on.
    virtual bool Alive() const { return true; }
    static std::string Name(const char* operation) { return std::string(KindName(K)) + "." + operation; }

    // One operation: body(call) gives the result once the call got past the
    // faults, the released-object check, the null-pointer check (any of
    // pointers null: SIM_E_POINTER) and the board check (SIM_E_GONE).
    template <class F>
    KZRESULT Run(const char* operation, std::string detail, std::initializer_list<const void*> pointers, F&& body)
    {
        CCall call(Name(operation), Board(), std::move(detail), this);
        if (call.Ended())
            return call.Code();
        for (const void* pointer : pointers)
            if (!pointer)
                return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        return call.Return(body(call));
    }
    KZRESULT Reserved(const char* slot)
    {
        return Run(slot, {}, {}, [](CCall&) { return SIM_E_NOTIMPL; });
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
    bool Alive() const override { return m_pBoard->Alive(m_Generation); }

    std::shared_ptr<CBoard> m_pBoard;
    uint32_t m_Generation;
};

// The device records of the listed boards, in list order.
std::vector<DEVICE_RECORD> DeviceRecords();

// The server's own bytes of an entry record: which board, arrival and entry.
void EncodeEntry(const CBoard& board, uint16_t index, CCL_ENTRY* entry);
bool DecodeEntry(const CCL_ENTRY* entry, uint32_t* uid, uint32_t* generation, uint16_t* index);

// Binds the channel whose creation field holds cookie to an entry (Channel.cpp).
KZRESULT BindChannel(uint64_t cookie, CBoard* board, uint32_t generation, uint16_t index);

} // namespace kazsim::detail
