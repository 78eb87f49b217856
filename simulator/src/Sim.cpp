// The bench's core: boards coming and going, the device list, restarts, the
// simulator's thread, faults and the call log.
#include "Sim.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kazsim::detail {

namespace {

constexpr size_t MAX_LOG_ENTRIES = 1000000;
constexpr size_t MAX_SENT_KEPT = 4096;

// Ids look like the server's: a family prefix, the arrival number and the
// board's own number.
uint64_t MakeDeviceId(uint64_t arrival, uint32_t uid)
{
    return 0x4B5A000000000000ull | (arrival << 16) | (uid & 0xFFFF);
}

std::string MakePath(uint64_t arrival, uint32_t uid)
{
    char path[160];
    std::snprintf(path, sizeof(path),
                  "\\\\?\\pci#ven_1a2b&dev_4b5a&subsys_0001%04x#5&2a1c37f&0&%06llx#"
                  "{48e20102-d37d-42c8-be32-f86f4fcb2b4c}",
                  uid & 0xFFFF, static_cast<unsigned long long>(arrival));
    return path;
}

} // namespace

const char* KindName(Kind kind)
{
    switch (kind) {
    case Kind::DeviceManager:
        return "DeviceManager";
    case Kind::Enumerator:
        return "Enum";
    case Kind::Device:
        return "Device";
    case Kind::Fld:
        return "Fld";
    case Kind::Bal:
        return "Bal";
    case Kind::Ccl:
        return "Ccl";
    case Kind::Channel:
        return "Channel";
    default:
        return "?";
    }
}

// --- objects ---------------------------------------------------------------

CObjectCore::CObjectCore(Kind kind) : m_Kind(kind)
{
    auto lock = Sim().Hold();
    Sim().Register(this);
}

uint32_t CObjectCore::DoAddRef()
{
    auto lock = Sim().Hold();
    if (m_Refs == 0) {
        ++Sim().CallsOnReleased;
        return 0;
    }
    return ++m_Refs;
}

uint32_t CObjectCore::DoRelease()
{
    auto lock = Sim().Hold();
    if (m_Refs == 0) {
        ++Sim().OverReleases;
        return 0;
    }
    if (--m_Refs == 0) {
        OnFinalRelease();
        // The device manager stays: the server hands the same one out again.
        if (Sim().ReclaimReleased && m_Kind != Kind::DeviceManager) {
            Sim().Unregister(this);
            delete this;
            return 0;
        }
    }
    return m_Refs;
}

void CSim::Unregister(CObjectCore* object)
{
    m_Objects.erase(std::remove(m_Objects.begin(), m_Objects.end(), object), m_Objects.end());
}

// --- the singleton -------------------------------------------------------

CSim& CSim::Get()
{
    static CSim* s_pSim = new CSim; // never destroyed: objects may be used until exit
    return *s_pSim;
}

CSim::CSim()
{
    const char* trace = std::getenv("KAZSIM_TRACE");
    Trace = trace && *trace && std::strcmp(trace, "0") != 0;
    m_Thread = std::thread([this] { Run(); });
}

void CSim::Run()
{
    Lock lock(m_Mutex);
    for (;;) {
        if (m_bStop)
            break;
        if (m_Tasks.empty()) {
            m_Cond.wait(lock);
            continue;
        }
        auto first = m_Tasks.begin();
        if (first->first > std::chrono::steady_clock::now()) {
            m_Cond.wait_until(lock, first->first);
            continue;
        }
        std::function<void()> task = std::move(first->second);
        m_Tasks.erase(first);
        m_bBusy = true;
        task();
        m_bBusy = false;
        m_Cond.notify_all();
    }
    m_bStopped = true;
    m_Cond.notify_all();
}

void CSim::Post(uint32_t delayMs, std::function<void()> task)
{
    Lock lock(m_Mutex);
    if (m_bStop) { // after shutdown there is no thread: deliver at once
        task();
        return;
    }
    m_Tasks.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(task));
    m_Cond.notify_all();
}

bool CSim::Quiesce(uint32_t timeoutMs)
{
    Lock lock(m_Mutex);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    return m_Cond.wait_until(lock, deadline, [this] { return (m_Tasks.empty() && !m_bBusy) || m_bStopped; });
}

void CSim::Shutdown()
{
    {
        Lock lock(m_Mutex);
        if (m_bStop)
            return;
        m_bStop = true;
        m_Cond.notify_all();
    }
    if (m_Thread.joinable())
        m_Thread.join();
    Lock lock(m_Mutex);
    // Whatever was still due runs now, so that no arrival is lost at exit.
    auto tasks = std::move(m_Tasks);
    m_Tasks.clear();
    for (auto& task : tasks)
        task.second();
}

// --- boards and the device list -------------------------------------------

std::shared_ptr<CBoard> CSim::SharedBoard(CBoard* board)
{
    for (auto& shared : m_Boards)
        if (shared.get() == board)
            return shared;
    for (auto& shared : m_OldBoards)
        if (shared.get() == board)
            return shared;
    return nullptr;
}

CBoard& CSim::BoardAt(int index)
{
    if (index < 0 || index >= static_cast<int>(m_Boards.size()))
        throw std::out_of_range("kazsim: no board with index " + std::to_string(index));
    return *m_Boards[static_cast<size_t>(index)];
}

CBoard* CSim::FindListed(uint64_t deviceId)
{
    for (int index : m_ListOrder) {
        CBoard& board = *m_Boards[static_cast<size_t>(index)];
        if (board.DeviceId == deviceId)
            return &board;
    }
    return nullptr;
}

CBoard* CSim::FindByPath(const std::string& path)
{
    for (int index : m_ListOrder) {
        CBoard& board = *m_Boards[static_cast<size_t>(index)];
        if (EqualNoCase(board.Path, path))
            return &board;
    }
    return nullptr;
}

std::vector<CBoard*> CSim::ListedBoards()
{
    std::vector<CBoard*> boards;
    for (int index : m_ListOrder)
        boards.push_back(m_Boards[static_cast<size_t>(index)].get());
    return boards;
}

void CSim::PlaceBoard(CBoard& board)
{
    if (board.Desc.Present)
        ListBoard(board);
    else
        NewArrival(board);
}

void CSim::ListBoard(CBoard& board)
{
    NewArrival(board);
    board.Listed = true;
    ResetCcl(board);
    m_ListOrder.push_back(board.Index);
}

void CSim::NewArrival(CBoard& board)
{
    uint64_t arrival = ++m_NextArrival;
    if (board.FirstArrival && board.Desc.DeviceId)
        board.DeviceId = *board.Desc.DeviceId;
    else
        board.DeviceId = MakeDeviceId(arrival, board.Uid);
    board.FirstArrival = false;
    board.Path = MakePath(arrival, board.Uid);
    board.DevInst = static_cast<uint32_t>(arrival) + 1;
    ++board.Generation;
    board.OpenHandles = 0;
}

void CSim::Unlist(CBoard& board)
{
    board.Listed = false;
    ++board.Generation; // handles and objects of the arrival that ends go stale
    board.OpenHandles = 0;
    m_ListOrder.erase(std::remove(m_ListOrder.begin(), m_ListOrder.end(), board.Index), m_ListOrder.end());
}

void CSim::ResetCcl(CBoard& board)
{
    board.Entries.clear();
    uint16_t index = 0;
    for (const CclEntryDesc& desc : board.Desc.CclEntries) {
        auto queue = std::make_shared<CEntryQueue>();
        queue->Desc = desc;
        queue->Index = index++;
        queue->Dir = desc.Kind1 == 1 && desc.Kind2 == 1 ? CEntryQueue::TO_BOARD : CEntryQueue::TO_HOST;
        queue->Slots.assign(std::max<uint32_t>(desc.Depth, 1), std::vector<uint8_t>(desc.MaxMsgLen, 0));
        board.Entries.push_back(std::move(queue));
    }
}

std::shared_ptr<CBoard> CSim::MakeBoard(const BoardDesc& desc, int index)
{
    auto board = std::make_shared<CBoard>();
    board->Uid = ++m_NextUid;
    board->Index = index;
    board->Desc = desc;
    board->State = desc.State;
    board->Held = desc.Held;
    board->Echo = desc.Echo;
    board->NeverReturns = desc.NeverReturns;
    board->Flash.Describe(desc.Flash); // the file is not touched before the board is used
    return board;
}

int CSim::AddBoard(const BoardDesc& desc)
{
    if (!desc.Flash.File.empty()) {
        for (auto& other : m_Boards)
            if (other->Present && !other->Flash.File().empty() && SameFile(other->Flash.File(), desc.Flash.File))
                throw BenchError("flash file " + desc.Flash.File + ": already used by board " +
                                 std::to_string(other->Index));
    }
    CheckFaultNames(desc.Faults);
    auto board = MakeBoard(desc, static_cast<int>(m_Boards.size()));
    m_Boards.push_back(board);
    ArmFaults(desc.Faults, board->Index);
    PlaceBoard(*board);
    return board->Index;
}

void CSim::RemoveBoard(CBoard& board)
{
    if (!board.Present)
        return;
    if (board.Listed)
        Unlist(board);
    else
        ++board.Generation;
    board.Present = false;
    board.Flash.Release();
}

void CSim::ResetBench(const BenchDesc& desc, bool signal)
{
    // The new boards are made first, so that a description that cannot be
    // used (a shared flash file, a fault of no known operation) leaves the
    // bench as it was.
    CheckFaultNames(desc.Faults);
    for (const BoardDesc& board : desc.Boards)
        CheckFaultNames(board.Faults);
    std::vector<std::shared_ptr<CBoard>> boards;
    for (const BoardDesc& board : desc.Boards) {
        for (auto& other : boards)
            if (!board.Flash.File.empty() && !other->Desc.Flash.File.empty() &&
                SameFile(other->Desc.Flash.File, board.Flash.File))
                throw BenchError("flash file " + board.Flash.File + ": used by boards " + std::to_string(other->Index) +
                                 " and " + std::to_string(boards.size()));
        boards.push_back(MakeBoard(board, static_cast<int>(boards.size())));
    }

    for (auto& board : m_Boards) {
        board->Present = false;
        board->Listed = false;
        ++board->Generation;
        board->Index = -1;
        board->Flash.Release();
        m_OldBoards.push_back(board);
    }
    m_Boards.clear();
    if (ReclaimReleased) {
        // Old boards that no object or handle refers to any more can go.
        m_OldBoards.erase(std::remove_if(m_OldBoards.begin(), m_OldBoards.end(),
                                         [](const std::shared_ptr<CBoard>& board) { return board.use_count() == 1; }),
                          m_OldBoards.end());
    }
    m_ListOrder.clear();
    m_Tasks.clear();
    Faults.clear();
    FaultsFired.clear();
    Log.clear();
    LogCounts.clear();
    SetupApiMissing = false;
    SetupApiNamesMissing.clear();
    ChangeSignals = 0;
    Version = desc.Version;
    Refusals.clear();
    EventsClosedEarly = 0;
    CallsBeforeInit = 0;
    ArmFaults(desc.Faults, -1);
    for (size_t i = 0; i < desc.Boards.size(); ++i)
        ArmFaults(desc.Boards[i].Faults, static_cast<int>(i));
    for (auto& board : boards) {
        m_Boards.push_back(board);
        PlaceBoard(*board);
    }
    if (signal)
        SignalChange();
    Baseline = Snapshot();
}

void CSim::Restart(CBoard& board, uint32_t state)
{
    if (board.HasNextState) {
        state = board.NextState;
        board.HasNextState = false;
    }
    if (board.Listed)
        Unlist(board);
    board.State = state;
    ++board.Restarts;
    ResetCcl(board);
    SignalChange(); // the board left
    if (board.NeverReturns)
        return;
    std::shared_ptr<CBoard> shared = SharedBoard(&board);
    uint32_t generation = board.Generation;
    Post(board.Desc.RestartDelayMs, [this, shared, generation] {
        if (shared->Present && !shared->Listed && shared->Generation == generation) {
            ListBoard(*shared);
            DeliverChange();
        }
    });
}

void CSim::SignalChange()
{
    Post(0, [this] { DeliverChange(); });
}

void CSim::DeliverChange()
{
    ++ChangeSignals;
    for (CObjectCore* object : m_Objects) {
        HANDLE event = object->Refs() ? object->ChangeEvent() : nullptr;
        if (event)
            SetEvent(event);
    }
}

void CSim::SignalQueue(const std::shared_ptr<CEntryQueue>& queue)
{
    // The events are read when the signal is delivered, so that an event of
    // a channel released meanwhile is not touched.
    Post(0, [queue] {
        for (HANDLE event : queue->Events)
            SetEvent(event);
    });
}

void CSim::ScheduleFirmware(CBoard& board)
{
    std::shared_ptr<CBoard> shared = SharedBoard(&board);
    uint32_t generation = board.Generation;
    Post(0, [this, shared, generation] {
        if (shared->Alive(generation))
            FirmwarePass(*shared);
    });
}

void CSim::FirmwarePass(CBoard& board)
{
    if (board.Paused || (board.State != STATE_BAL && board.State != STATE_CCL))
        return;
    CEntryQueue* receive = nullptr;
    for (auto& queue : board.Entries) {
        if (queue->Desc.Kind1 == 1 && queue->Desc.Kind2 == 2) {
            receive = queue.get();
            break;
        }
    }
    std::vector<CEntryQueue*> changed;
    for (auto& queue : board.Entries) {
        CEntryQueue& send = *queue;
        if (send.Dir != CEntryQueue::TO_BOARD || !send.Started)
            continue;
        bool took = false;
        while (send.Count > 0) {
            const std::vector<uint8_t>& message = send.Slots[send.Head];
            if (board.Echo && receive) {
                // A full or stopped receive queue holds the message back.
                if (!receive->Started || receive->Free() == 0)
                    break;
                uint8_t* entry = receive->Tail();
                size_t length = std::min<size_t>(message.size(), receive->Desc.MaxMsgLen);
                std::memcpy(entry, message.data(), length);
                std::memset(entry + length, 0, receive->Desc.MaxMsgLen - length);
                ++receive->Count;
                if (std::find(changed.begin(), changed.end(), receive) == changed.end())
                    changed.push_back(receive);
            }
            board.Sent.push_back(message);
            if (board.Sent.size() > MAX_SENT_KEPT)
                board.Sent.pop_front();
            send.Head = (send.Head + 1) % send.Depth();
            --send.Count;
            took = true;
        }
        if (took)
            changed.push_back(&send);
    }
    for (CEntryQueue* queue : changed)
        for (HANDLE event : queue->Events)
            SetEvent(event);
}

bool CSim::SyncFlashFiles()
{
    bool synced = true;
    for (auto& board : m_Boards)
        synced = board->Flash.Sync() && synced;
    return synced;
}

uint32_t CSim::ClaimFlash(CBoard& board, std::string* error, bool create)
{
    const uint32_t code = board.Flash.Claim(error, create);
    if (code == SIM_E_ACCESS_DENIED)
        std::fprintf(stderr, "kazsim: %s\n", error->c_str());
    return code;
}

// --- faults and the call log ----------------------------------------------

void CSim::CheckFaultNames(const std::vector<FaultDesc>& faults)
{
    const auto& names = AllOperationNames();
    for (const FaultDesc& fault : faults)
        if (std::find(names.begin(), names.end(), fault.Operation) == names.end())
            throw BenchError("fault of \"" + fault.Operation + "\": no operation of that name");
}

void CSim::ArmFaults(const std::vector<FaultDesc>& faults, int board)
{
    for (const FaultDesc& fault : faults) {
        CFault armed;
        armed.Name = fault.Operation;
        armed.Code = fault.Code;
        armed.Nth = fault.Nth;
        armed.Board = board;
        Faults.push_back(armed);
    }
}

uint32_t CSim::CheckFault(const std::string& name, int board)
{
    uint32_t code = 0;
    for (CFault& fault : Faults) {
        if (fault.Name != name || (fault.Board >= 0 && fault.Board != board))
            continue;
        ++fault.Seen;
        if (code == 0 && (fault.Nth == 0 || fault.Seen == fault.Nth)) {
            code = fault.Code;
            ++FaultsFired[name];
        }
    }
    return code;
}

size_t CSim::LogCall(const std::string& name, int board, std::string detail)
{
    if (Log.size() >= MAX_LOG_ENTRIES)
        return SIZE_MAX;
    Call call;
    call.Name = name;
    call.Board = board;
    call.Occurrence = ++LogCounts[name];
    call.Detail = std::move(detail);
    Log.push_back(std::move(call));
    return Log.size() - 1;
}

void CSim::LogResult(size_t entry, uint32_t result)
{
    if (entry >= Log.size())
        return;
    Call& call = Log[entry];
    call.Result = result;
    if (Trace)
        std::fprintf(stderr, "kazsim: %-34s board %2d  %08X  %s\n", call.Name.c_str(), call.Board,
                     static_cast<unsigned>(result), call.Detail.c_str());
}

CCall::CCall(const std::string& name, CBoard* board, std::string detail, const CObjectCore* object)
    : m_Lock(Sim().Hold()), m_BoardIndex(board ? board->Index : -1), m_Name(name)
{
    CSim& sim = Sim();
    m_Entry = sim.LogCall(m_Name, m_BoardIndex, std::move(detail));
    if (object && object->Refs() == 0) {
        ++sim.CallsOnReleased;
        m_bEnded = true;
        m_Code = SIM_E_RELEASED;
        sim.LogResult(m_Entry, m_Code);
        return;
    }
    uint32_t code = sim.CheckFault(m_Name, m_BoardIndex);
    if (code != 0) {
        m_bEnded = true;
        m_Code = code;
        sim.LogResult(m_Entry, code);
    }
}

uint32_t CCall::Return(uint32_t code)
{
    m_Code = code;
    Sim().LogResult(m_Entry, code);
    return code;
}

void CCall::FailWin(uint32_t code)
{
    Return(code);
    SetLastError(code);
}

uint32_t CCall::Refuse(uint32_t code, const std::string& argument)
{
    CSim& sim = Sim();
    sim.Refusals.push_back(m_Name + ": " + argument);
    if (m_Entry < sim.Log.size()) {
        std::string& detail = sim.Log[m_Entry].Detail;
        detail += (detail.empty() ? "refused " : ", refused ") + argument;
    } else if (sim.Trace) {
        std::fprintf(stderr, "kazsim: %-34s refused %s\n", m_Name.c_str(), argument.c_str());
    }
    return code;
}

void CCall::Note(const std::string& text)
{
    CSim& sim = Sim();
    if (m_Entry < sim.Log.size()) {
        std::string& detail = sim.Log[m_Entry].Detail;
        detail += (detail.empty() ? "" : ", ") + text;
    } else if (sim.Trace) {
        std::fprintf(stderr, "kazsim: %-34s %s\n", m_Name.c_str(), text.c_str());
    }
}

void CCall::RefuseWin(uint32_t code, const std::string& argument)
{
    FailWin(Refuse(code, argument));
}

uint32_t CheckHandedEvent(CCall& call, HANDLE event)
{
    bool manualReset = false, signalled = false;
    if (!QueryEvent(event, &manualReset, &signalled))
        return call.Refuse(SIM_E_INVALIDARG, "event (not an event handle)");
    if (manualReset)
        return call.Refuse(SIM_E_INVALIDARG, "event (manual-reset)");
    if (signalled)
        return call.Refuse(SIM_E_INVALIDARG, "event (signalled)");
    return 0;
}

uint32_t RefuseBeforeInit(CCall& call)
{
    if (Sim().ServerInits > 0)
        return 0;
    ++Sim().CallsBeforeInit;
    return call.Refuse(SIM_E_NOT_INITIALIZED, "server (InitializeServer has not succeeded yet)");
}

void CountEventClosedEarly(HANDLE event, const char* holder)
{
    bool manualReset = false, signalled = false;
    if (!event || QueryEvent(event, &manualReset, &signalled))
        return;
    ++Sim().EventsClosedEarly;
    if (Sim().Trace)
        std::fprintf(stderr, "kazsim: %s released after its event was closed\n", holder);
}

void CCall::SetBoard(CBoard* board)
{
    m_BoardIndex = board ? board->Index : -1;
    if (m_Entry < Sim().Log.size())
        Sim().Log[m_Entry].Board = m_BoardIndex;
}

// --- helpers -------------------------------------------------------------

bool EqualNoCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

bool ParseGuid(const std::string& text, GUID* guid)
{
    std::string s = text;
    if (s.size() == 38 && s.front() == '{' && s.back() == '}')
        s = s.substr(1, 36);
    if (s.size() != 36 || s[8] != '-' || s[13] != '-' || s[18] != '-' || s[23] != '-')
        return false;
    std::string hex;
    for (size_t i = 0; i < s.size(); ++i) {
        if (i == 8 || i == 13 || i == 18 || i == 23)
            continue;
        if (!std::isxdigit(static_cast<unsigned char>(s[i])))
            return false;
        hex += s[i];
    }
    auto field = [&](size_t at, size_t len) { return std::stoull(hex.substr(at, len), nullptr, 16); };
    guid->Data1 = static_cast<uint32_t>(field(0, 8));
    guid->Data2 = static_cast<uint16_t>(field(8, 4));
    guid->Data3 = static_cast<uint16_t>(field(12, 4));
    for (size_t i = 0; i < 8; ++i)
        guid->Data4[i] = static_cast<uint8_t>(field(16 + 2 * i, 2));
    return true;
}

} // namespace kazsim::detail
