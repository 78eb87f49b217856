// Channel objects (CreateChannelObject): views on the queue of one CCL entry.
// A send channel hands out free entries and commits them to the board; a
// receive (or auxiliary) channel hands out the entries the board filled and
// frees them. Each channel's event is signalled from the simulator's thread
// when its queue changes in the host's favour (a free send entry, a new
// received entry).
#include "Server.h"

#include <algorithm>

using namespace kazsim;
using namespace kazsim::detail;

namespace kazsim::detail {

namespace {

struct CChannelKind {
    const GUID* Iid;
    uint16_t Kind1, Kind2;
};

const CChannelKind g_ChannelKinds[] = {
    {&KAZ_IID_SEND_CHANNEL, 1, 1},
    {&KAZ_IID_RECEIVE_CHANNEL, 1, 2},
    {&KAZ_IID_AUX_CHANNEL, 3, 3},
};

uint64_t g_NextCookie = 0x4348414E00000000ull; // "CHAN"

} // namespace

class CSimChannel : public CBoardObject<IKazChannel, Kind::Channel> {
public:
    CSimChannel(std::shared_ptr<CBoard> board, uint32_t generation, std::shared_ptr<CEntryQueue> queue,
                const GUID& iid)
        : CBoardObject(std::move(board), generation), m_pQueue(std::move(queue)), m_Iid(iid),
          m_Cookie(++g_NextCookie)
    {
    }

    uint64_t Cookie() const { return m_Cookie; }
    bool Matches(CBoard* board, uint32_t generation, uint16_t index) const
    {
        return Refs() > 0 && m_pBoard.get() == board && m_Generation == generation && m_pQueue->Index == index;
    }
    void Bind() { m_bBound = true; }
    bool Supports(const GUID& iid) const override { return SameGuid(iid, m_Iid); }

    KZRESULT Reserved3() override { return Reserved("Reserved3"); }
    KZRESULT Reserved4() override { return Reserved("Reserved4"); }
    KZRESULT Reserved6() override { return Reserved("Reserved6"); }
    KZRESULT Reserved7() override { return Reserved("Reserved7"); }
    KZRESULT Reserved8() override { return Reserved("Reserved8"); }
    KZRESULT Reserved12() override { return Reserved("Reserved12"); }

    KZRESULT AssignEvent(HANDLE event) override
    {
        NoteEvent(event);
        CCall call(Name("AssignEvent"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        DropEvent();
        m_Event = event;
        if (event)
            m_pQueue->Events.push_back(event);
        return call.Return(0);
    }
    KZRESULT GetMaxMsgLen(uint16_t* maxLength) override
    {
        CCall call(Name("GetMaxMsgLen"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!maxLength)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        *maxLength = m_pQueue->Desc.MaxMsgLen;
        return call.Return(0);
    }
    KZRESULT GetReceiveStatus(CHANNEL_STATUS* status) override
    {
        return Status("GetReceiveStatus", CEntryQueue::TO_HOST, status);
    }
    KZRESULT GetSendStatus(CHANNEL_STATUS* status) override
    {
        return Status("GetSendStatus", CEntryQueue::TO_BOARD, status);
    }
    KZRESULT GetCurrentEntry(uint8_t** entry, CHANNEL_STATUS* status) override
    {
        CCall call(Name("GetCurrentEntry"), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!entry)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (!m_bBound)
            return call.Return(SIM_E_NOT_READY);
        uint32_t available = Available();
        if (status) {
            *status = CHANNEL_STATUS{};
            status->Available = static_cast<uint16_t>(available);
        }
        if (available == 0)
            return call.Return(SIM_E_PENDING);
        *entry = m_pQueue->HostEntry();
        return call.Return(0);
    }
    KZRESULT ReleaseEntries(uint32_t count) override
    {
        CCall call(Name("ReleaseEntries"), Board(), std::to_string(count), this);
        if (call.Ended())
            return call.Code();
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (!m_bBound)
            return call.Return(SIM_E_NOT_READY);
        if (count == 0 || count > Available())
            return call.Return(SIM_E_INVALIDARG);
        CEntryQueue& queue = *m_pQueue;
        if (queue.Dir == CEntryQueue::TO_BOARD) {
            queue.Count += count; // committed: the firmware takes them
        } else {
            queue.Head = (queue.Head + count) % queue.Depth();
            queue.Count -= count;
        }
        Sim().ScheduleFirmware(*m_pBoard);
        return call.Return(0);
    }

protected:
    void OnFinalRelease() override { DropEvent(); }

private:
    uint32_t Available() const
    {
        return m_pQueue->Dir == CEntryQueue::TO_BOARD ? m_pQueue->Free() : m_pQueue->Count;
    }
    KZRESULT Status(const char* operation, CEntryQueue::Direction dir, CHANNEL_STATUS* status)
    {
        CCall call(Name(operation), Board(), {}, this);
        if (call.Ended())
            return call.Code();
        if (!status)
            return call.Return(SIM_E_POINTER);
        if (!Alive())
            return call.Return(SIM_E_GONE);
        if (m_pQueue->Dir != dir)
            return call.Return(SIM_E_UNEXPECTED);
        *status = CHANNEL_STATUS{};
        status->Available = static_cast<uint16_t>(Available());
        return call.Return(0);
    }
    void DropEvent()
    {
        if (!m_Event)
            return;
        auto& events = m_pQueue->Events;
        auto it = std::find(events.begin(), events.end(), m_Event);
        if (it != events.end())
            events.erase(it);
        m_Event = nullptr;
    }

    std::shared_ptr<CEntryQueue> m_pQueue;
    GUID m_Iid;
    uint64_t m_Cookie;
    bool m_bBound = false;
    HANDLE m_Event = nullptr;
};

KZRESULT BindChannel(uint64_t cookie, CBoard* board, uint32_t generation, uint16_t index)
{
    for (CObjectCore* object : Sim().Objects()) {
        if (object->GetKind() != Kind::Channel)
            continue;
        auto* channel = static_cast<CSimChannel*>(object);
        if (channel->Cookie() == cookie) {
            if (!channel->Matches(board, generation, index))
                return SIM_E_INVALIDARG;
            channel->Bind();
            return 0;
        }
    }
    return SIM_E_INVALIDARG;
}

} // namespace kazsim::detail

KZRESULT CreateChannelObject(uint64_t* creationField, const CCL_ENTRY* entry, const GUID* interfaceId,
                             IKazChannel** channel)
{
    CSim& sim = Sim();
    auto lock = sim.Hold();
    uint32_t uid = 0, generation = 0;
    uint16_t index = 0;
    bool known = entry && DecodeEntry(entry, &uid, &generation, &index);
    CBoard* board = nullptr;
    if (known) {
        for (int i = 0; i < sim.BoardCount(); ++i)
            if (sim.BoardAt(i).Uid == uid)
                board = &sim.BoardAt(i);
    }
    CCall call("CreateChannelObject", board, interfaceId ? GuidText(*interfaceId) : std::string());
    if (call.Ended())
        return call.Code();
    if (!creationField || !entry || !interfaceId || !channel)
        return call.Return(SIM_E_POINTER);
    *channel = nullptr;
    if (!known)
        return call.Return(SIM_E_INVALIDARG);
    if (!board || !board->Alive(generation) || index >= board->Entries.size())
        return call.Return(SIM_E_GONE);
    const std::shared_ptr<CEntryQueue>& queue = board->Entries[index];
    const CChannelKind* kind = nullptr;
    for (const CChannelKind& k : g_ChannelKinds)
        if (SameGuid(*interfaceId, *k.Iid))
            kind = &k;
    if (!kind || kind->Kind1 != queue->Desc.Kind1 || kind->Kind2 != queue->Desc.Kind2)
        return call.Return(SIM_E_NOINTERFACE);
    auto* object = new CSimChannel(sim.SharedBoard(board), generation, queue, *interfaceId);
    *creationField = object->Cookie();
    *channel = object;
    return call.Return(0);
}
