// Channel objects (CreateChannelObject): views on the queue of one CCL entry.
// A send channel hands out free entries and commits them to the board; a
// receive (or auxiliary) channel hands out the entries the board filled and
// frees them. Each channel's event is signalled from the simulator's thread
// when its queue changes in the host's favour (a free send entry, a new
// received entry).
#include "Server.h"

#include <algorithm>
#include <cstdio>

using namespace kazsim;
using namespace kazsim::detail;

namespace kazsim::detail {

namespace {

uint64_t g_NextCookie = 0x4348414E00000000ull; // "CHAN"

} // namespace

class CSimChannel : public CBoardObject<IKazChannel, Kind::Channel> {
public:
    CSimChannel(std::shared_ptr<CBoard> board, uint32_t generation, std::shared_ptr<CEntryQueue> queue, const GUID& iid)
        : CBoardObject(std::move(board), generation), m_pQueue(std::move(queue)), m_Iid(iid), m_Cookie(++g_NextCookie)
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
        return Run("AssignEvent", {}, {}, [&](CCall& call) {
            if (event)
                if (KZRESULT refused = CheckHandedEvent(call, event))
                    return refused;
            DropEvent();
            m_Event = event;
            if (event)
                m_pQueue->Events.push_back(event);
            return KZRESULT{0};
        });
    }
    KZRESULT GetMaxMsgLen(uint16_t* maxLength) override
    {
        return Run("GetMaxMsgLen", {}, {maxLength}, [&](CCall&) {
            *maxLength = m_pQueue->Desc.MaxMsgLen;
            return KZRESULT{0};
        });
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
        return Run("GetCurrentEntry", {}, {entry}, [&](CCall&) {
            if (!m_bBound)
                return SIM_E_NOT_READY;
            uint32_t available = Available();
            if (status) {
                *status = CHANNEL_STATUS{};
                status->Available = static_cast<uint16_t>(available);
            }
            if (available == 0)
                return SIM_E_PENDING;
            *entry = m_pQueue->HostEntry();
            return KZRESULT{0};
        });
    }
    KZRESULT ReleaseEntries(uint32_t count) override
    {
        return Run("ReleaseEntries", std::to_string(count), {}, [&](CCall&) {
            if (!m_bBound)
                return SIM_E_NOT_READY;
            if (count == 0 || count > Available())
                return SIM_E_INVALIDARG;
            CEntryQueue& queue = *m_pQueue;
            if (queue.Dir == CEntryQueue::TO_BOARD) {
                queue.Count += count; // committed: the firmware takes them
            } else {
                queue.Head = (queue.Head + count) % queue.Depth();
                queue.Count -= count;
            }
            Sim().ScheduleFirmware(*m_pBoard);
            return KZRESULT{0};
        });
    }

protected:
    // The holder releases the channel before it closes the channel's event:
    // an event already closed now is counted (the server might have
    // signalled a dead or reused handle until this moment).
    void OnFinalRelease() override
    {
        CountEventClosedEarly(m_Event, "channel");
        DropEvent();
    }

private:
    uint32_t Available() const { return m_pQueue->Dir == CEntryQueue::TO_BOARD ? m_pQueue->Free() : m_pQueue->Count; }
    KZRESULT Status(const char* operation, CEntryQueue::Direction dir, CHANNEL_STATUS* status)
    {
        return Run(operation, {}, {status}, [&](CCall&) {
            if (m_pQueue->Dir != dir)
                return SIM_E_UNEXPECTED;
            *status = CHANNEL_STATUS{};
            status->Available = static_cast<uint16_t>(Available());
            return KZRESULT{0};
        });
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
    const CHANNEL_KIND* kind = nullptr;
    for (const CHANNEL_KIND& k : CHANNEL_KINDS)
        if (SameGuid(*interfaceId, *k.Iid))
            kind = &k;
    if (!kind || kind->Kind1 != queue->Desc.Kind1 || kind->Kind2 != queue->Desc.Kind2)
        return call.Return(SIM_E_NOINTERFACE);
    auto* object = new CSimChannel(sim.SharedBoard(board), generation, queue, *interfaceId);
    *creationField = object->Cookie();
    *channel = object;
    return call.Return(0);
}
