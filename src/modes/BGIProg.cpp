#include "modes/BGIProg.h"
#include "kazmir.h"

#include <cstring>

namespace {

// Kinds of the entries the channels are built on.
constexpr uint16_t KIND_MESSAGE = 1;
constexpr uint16_t KIND_SEND = 1;
constexpr uint16_t KIND_RECEIVE = 2;
constexpr uint16_t KIND_AUX = 3;

constexpr uint32_t COMMAND_SIZE = 12;
constexpr uint16_t COMMAND_TARGET = 0xFFFF;

} // namespace

// The first entry of the two kinds, with its index.
bool CBGIProg::FindEntry(uint16_t kind1, uint16_t kind2, CCL_ENTRY* entry, uint16_t* index)
{
    if (!m_pCclObject)
        return false;
    CCL_SUMMARY summary = {};
    if (m_pCclObject->GetSummary(&summary) != 0)
        return false;
    for (uint16_t i = 0; i < summary.EntryCount; ++i) {
        CCL_ENTRY candidate = {};
        if (m_pCclObject->GetEntry(i, &candidate) != 0)
            continue;
        if (candidate.Kind1 == kind1 && candidate.Kind2 == kind2) {
            std::memcpy(entry, &candidate, sizeof(candidate));
            *index = i;
            return true;
        }
    }
    return false;
}

// Sends one command for an entry: the call's failure, or else the command's
// own result.
static KZMRESULT SendCommand(IKazCcl* ccl, uint16_t index, uint32_t command)
{
    CCL_COMMAND_REQUEST request;
    request.Size = COMMAND_SIZE;
    request.Target = COMMAND_TARGET;
    request.EntryIndex = index;
    request.Command = command;
    CCL_COMMAND_RESPONSE response;
    std::memset(&response, 0, sizeof(response));
    response.Size = COMMAND_SIZE;
    KZMRESULT result = ccl->Command(&request, &response);
    return result != 0 ? result : response.Result;
}

KZMRESULT CBGIProg::StartEntry(uint16_t index)
{
    return m_pCclObject ? SendCommand(m_pCclObject, index, CCL_CMD_START_ENTRY) : KZM_E_FAIL;
}

KZMRESULT CBGIProg::StopEntry(uint16_t index)
{
    return m_pCclObject ? SendCommand(m_pCclObject, index, CCL_CMD_STOP_ENTRY) : KZM_E_FAIL;
}

// Creates, binds and starts one message channel on the first entry of kinds
// 1 and kind2. A missing entry leaves the channel out and is no failure.
KZMRESULT CBGIProg::OpenMsgChannel(CMsgChannel& channel, uint16_t kind2, const GUID& interfaceId)
{
    CCL_ENTRY entry;
    uint16_t index = 0;
    if (!FindEntry(KIND_MESSAGE, kind2, &entry, &index))
        return 0;
    IKazChannel* object = nullptr;
    KZMRESULT result = CreateChannelObject(&channel.m_CreationField, &entry, &interfaceId, &object);
    if (result == 0 && !object)
        result = KZM_E_FAIL;
    if (result != 0)
        return result;
    channel.m_pObject = object;
    result = m_pCclObject->BindEntry(index, &channel.m_CreationField);
    if (result != 0)
        return result;
    channel.m_hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    // The event, the length and the start are best effort: a channel that
    // misses one shows it in Send or Receive.
    channel.m_pObject->AssignEvent(channel.m_hEvent);
    channel.m_pObject->GetMaxMsgLen(&channel.m_wMaxMsgLen);
    StartEntry(index);
    return 0;
}

// Releases the channel object and then its event. An event without an
// object stays open.
void CBGIProg::ReleaseChannel(CChannel& channel)
{
    if (!channel.m_pObject)
        return;
    channel.m_pObject->Release();
    channel.m_pObject = nullptr;
    if (channel.m_hEvent) {
        CloseHandle(channel.m_hEvent);
        channel.m_hEvent = nullptr;
    }
}

// Builds the send, receive and auxiliary channels on the CCL object. On a
// failure everything built so far is stopped and released (with the CCL
// object) and the failure is given back.
KZMRESULT CBGIProg::OpenChannels()
{
    if (!m_bOpened)
        return KZM_E_FAIL;
    // Channels left from an earlier open would otherwise be overwritten.
    ReleaseChannel(m_Receive);
    ReleaseChannel(m_Send);
    ReleaseChannel(m_Aux);

    uint16_t count = 0;
    KZMRESULT result = GetEntryCount(&count);
    if (result == 0)
        result = OpenMsgChannel(m_Send, KIND_SEND, KAZ_IID_SEND_CHANNEL);
    if (result == 0)
        result = OpenMsgChannel(m_Receive, KIND_RECEIVE, KAZ_IID_RECEIVE_CHANNEL);
    if (result == 0) {
        CCL_ENTRY entry;
        uint16_t index = 0;
        if (FindEntry(KIND_AUX, KIND_AUX, &entry, &index)) {
            IKazChannel* object = nullptr;
            result = CreateChannelObject(&m_Aux.m_CreationField, &entry, &KAZ_IID_AUX_CHANNEL, &object);
            if (result == 0 && !object)
                result = KZM_E_FAIL;
            if (result == 0) {
                m_Aux.m_pObject = object;
                m_pCclObject->BindEntry(index, &m_Aux.m_CreationField);
                m_Aux.m_hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
                m_Aux.m_pObject->AssignEvent(m_Aux.m_hEvent);
            }
        }
    }
    if (result != 0)
        CloseChannels();
    return result;
}

// Stops every entry (up to the first refused stop), releases the channels and
// the CCL object, and gives the first failure met while stopping.
KZMRESULT CBGIProg::CloseChannels()
{
    if (!m_bOpened)
        return KZM_E_FAIL;
    uint16_t count = 0;
    KZMRESULT result = GetEntryCount(&count);
    for (uint16_t i = 0; result == 0 && i < count; ++i)
        result = StopEntry(i);
    ReleaseChannel(m_Receive);
    ReleaseChannel(m_Send);
    ReleaseChannel(m_Aux);
    if (m_pCclObject) {
        m_pCclObject->Release();
        m_pCclObject = nullptr;
    }
    return result;
}

KZMRESULT CBGIProg::GetMsgLen(uint16_t* sendMax, uint16_t* receiveMax)
{
    if (sendMax)
        *sendMax = m_Send.m_wMaxMsgLen;
    if (receiveMax)
        *receiveMax = m_Receive.m_wMaxMsgLen;
    return 0;
}

// The channel's current entry (to fill when sending, to read when
// receiving). When none is available it waits once, at most timeout ms, and
// the entry request decides; time-out 0 does not wait.
KZMRESULT CBGIProg::CurrentEntry(CMsgChannel& channel, bool send, uint32_t timeout, uint8_t** entry)
{
    CHANNEL_STATUS status = {};
    if (send)
        channel.m_pObject->GetSendStatus(&status);
    else
        channel.m_pObject->GetReceiveStatus(&status);
    if (status.Available == 0) {
        if (timeout == 0)
            return KZM_E_FAIL;
        WaitForSingleObject(channel.m_hEvent, timeout);
    }
    KZMRESULT result = channel.m_pObject->GetCurrentEntry(entry, &status);
    if (result != 0)
        return result;
    return *entry ? 0 : KZM_E_FAIL;
}

// One message of 1 to max-1 bytes into the send channel's current entry.
// No lock, no allocation, at most one wait.
KZMRESULT CBGIProg::Send(uint16_t length, const void* data, uint32_t, uint32_t timeout)
{
    IKazChannel* channel = m_Send.m_pObject;
    if (!channel || length == 0 || !data || length >= m_Send.m_wMaxMsgLen)
        return KZM_E_FAIL;
    uint8_t* entry = nullptr;
    KZMRESULT result = CurrentEntry(m_Send, true, timeout, &entry);
    if (result != 0)
        return result;
    std::memcpy(entry, data, length);
    channel->ReleaseEntries(1);
    return 0;
}

// One message from the receive channel; the buffer must hold the channel's
// maximum length, and exactly that many bytes are copied.
KZMRESULT CBGIProg::Receive(uint16_t size, void* buffer, uint16_t* received, uint32_t timeout)
{
    IKazChannel* channel = m_Receive.m_pObject;
    if (!channel || size == 0 || !buffer || size < m_Receive.m_wMaxMsgLen)
        return KZM_E_FAIL;
    uint8_t* entry = nullptr;
    KZMRESULT result = CurrentEntry(m_Receive, false, timeout, &entry);
    if (result != 0)
        return result;
    const uint16_t length = m_Receive.m_wMaxMsgLen;
    std::memcpy(buffer, entry, length);
    channel->ReleaseEntries(1);
    if (received)
        *received = length;
    return 0;
}
