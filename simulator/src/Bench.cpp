// The kazsim control interface: arranging the bench, faults, the call log and
// accounting.
#include "Faces.h"
#include "Sim.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <set>

using namespace kazsim::detail;

namespace kazsim {

// --- descriptions ------------------------------------------------------------

std::string GuidText(const GUID& g)
{
    char text[40];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(g.Data1), g.Data2, g.Data3, g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

std::vector<CclEntryDesc> DefaultCclEntries()
{
    return {
        {1, 1, 256, 1, 8}, // send
        {1, 2, 256, 2, 8}, // receive
        {3, 3, 64, 3, 4},  // auxiliary
    };
}

FlashDesc DefaultFlash()
{
    FlashDesc flash;
    flash.SectorSizes = {0x4000, 0x4000, 0x4000, 0x4000, 0x10000, 0x20000, 0x20000, 0x20000};
    return flash;
}

BenchDesc BenchDesc::Default()
{
    BenchDesc desc;
    desc.Boards.push_back(BoardDesc{});
    return desc;
}

BenchDesc BenchDesc::Empty()
{
    return BenchDesc{};
}

// --- the bench ---------------------------------------------------------------

void Bench::Reset(const BenchDesc& desc, Signal signal)
{
    auto lock = Sim().Hold();
    Sim().ResetBench(desc, signal == Signal::Signalled);
}

void Bench::Load(const std::string& jsonPath)
{
    BenchDesc desc = BenchDesc::FromJsonFile(jsonPath);
    Reset(desc);
}

std::string Bench::LoadError()
{
    auto lock = Sim().Hold();
    return Sim().LoadError;
}

int Bench::AddBoard(const BoardDesc& board)
{
    auto lock = Sim().Hold();
    int index = Sim().AddBoard(board);
    Sim().SignalChange();
    return index;
}

void Bench::RemoveBoard(int index)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    if (!board.Present)
        return;
    Sim().RemoveBoard(board);
    Sim().SignalChange();
}

int Bench::BoardCount()
{
    auto lock = Sim().Hold();
    return Sim().BoardCount();
}

BoardStatus Bench::BoardInfo(int index)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    BoardStatus status;
    status.Present = board.Present;
    status.Listed = board.Listed;
    status.DeviceId = board.DeviceId;
    status.Path = board.Path;
    status.State = board.State;
    status.Serial = board.ReportedSerial();
    status.BoardClass = board.Desc.BoardClass;
    status.Restarts = board.Restarts;
    status.OpenHandles = board.OpenHandles;
    status.Held = board.Held;
    return status;
}

int Bench::FindBoard(uint64_t deviceId)
{
    auto lock = Sim().Hold();
    for (int i = 0; i < Sim().BoardCount(); ++i) {
        CBoard& board = Sim().BoardAt(i);
        if (board.Present && board.DeviceId == deviceId)
            return i;
    }
    return -1;
}

std::vector<int> Bench::ListOrder()
{
    auto lock = Sim().Hold();
    return Sim().ListOrder();
}

void Bench::MoveBoard(int index, int position)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    if (!board.Listed)
        throw std::invalid_argument("kazsim: board " + std::to_string(index) + " is not listed");
    std::vector<int>& order = Sim().ListOrder();
    order.erase(std::find(order.begin(), order.end(), index));
    position = std::clamp(position, 0, static_cast<int>(order.size()));
    order.insert(order.begin() + position, index);
    Sim().SignalChange();
}

namespace {

// Throws for a failed flash operation of a board.
void Check(int index, uint32_t code, const std::string& error)
{
    if (code == SIM_E_IN_USE)
        throw FlashInUseError("board " + std::to_string(index) + ": " + error);
    if (code != 0)
        throw BenchError("board " + std::to_string(index) + ": " + error);
}

// The board's flash taken for this process (a removed board's is not taken
// again); change: for changing it, which creates a missing file.
CFlashStore& ClaimedFlash(int index, bool change)
{
    CBoard& board = Sim().BoardAt(index);
    if (!board.Present)
        return board.Flash;
    std::string error;
    Check(index, Sim().ClaimFlash(board, &error, change), error);
    return board.Flash;
}

} // namespace

std::vector<uint8_t> Bench::FlashContents(int index)
{
    auto lock = Sim().Hold();
    CFlashStore& flash = ClaimedFlash(index, false);
    std::vector<uint8_t> bytes(flash.Size());
    std::string error;
    Check(index, flash.Read(0, bytes.data(), flash.Size(), &error), error);
    return bytes;
}

bool Bench::ClaimFlash(int index)
{
    auto lock = Sim().Hold();
    try {
        ClaimedFlash(index, true);
    } catch (const FlashInUseError&) {
        return false;
    }
    return true;
}

void Bench::EraseFlash(int index)
{
    auto lock = Sim().Hold();
    CFlashStore& flash = ClaimedFlash(index, true);
    std::string error;
    Check(index, flash.Erase(0, flash.Size(), &error), error);
}

void Bench::SetFlash(int index, uint32_t offset, const std::vector<uint8_t>& bytes)
{
    auto lock = Sim().Hold();
    CFlashStore& flash = ClaimedFlash(index, true);
    if (static_cast<uint64_t>(offset) + bytes.size() > flash.Size())
        throw std::out_of_range("kazsim: SetFlash beyond the end of the flash");
    std::string error;
    Check(index, flash.Write(offset, bytes.data(), static_cast<uint32_t>(bytes.size()), false, &error), error);
}

void Bench::FlushFlashFiles()
{
    auto lock = Sim().Hold();
    if (!Sim().SyncFlashFiles())
        throw BenchError("a flash file could not be written to the disk");
}

void Bench::SetState(int index, uint32_t state, Signal signal)
{
    auto lock = Sim().Hold();
    Sim().BoardAt(index).State = state;
    if (signal == Signal::Signalled)
        Sim().SignalChange();
}

void Bench::SetStateLater(int index, uint32_t state, uint32_t delayMs)
{
    auto lock = Sim().Hold();
    std::shared_ptr<CBoard> board = Sim().SharedBoard(&Sim().BoardAt(index));
    Sim().Post(delayMs, [board, state] {
        if (board->Present)
            board->State = state;
    });
}

void Bench::SetStateAfterGetInfo(int index, uint32_t state, uint32_t count)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    if (count == 0) {
        board.State = state;
        return;
    }
    board.GetInfoCountdown = count;
    board.CountdownState = state;
}

void Bench::ReclaimReleasedObjects(bool reclaim)
{
    auto lock = Sim().Hold();
    Sim().ReclaimReleased = reclaim;
}

void Bench::Restart(int index, uint32_t state)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    if (board.Present)
        Sim().Restart(board, state);
}

void Bench::SetNextRestartState(int index, uint32_t state)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    board.HasNextState = true;
    board.NextState = state;
}

void Bench::SetRestartDelay(int index, uint32_t milliseconds)
{
    auto lock = Sim().Hold();
    Sim().BoardAt(index).Desc.RestartDelayMs = milliseconds;
}

void Bench::SetNeverReturns(int index, bool never)
{
    auto lock = Sim().Hold();
    Sim().BoardAt(index).NeverReturns = never;
}

void Bench::SetHeld(int index, bool held)
{
    auto lock = Sim().Hold();
    Sim().BoardAt(index).Held = held;
}

void Bench::SetEcho(int index, bool echo)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    board.Echo = echo;
    Sim().ScheduleFirmware(board);
}

void Bench::PauseFirmware(int index, bool paused)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    board.Paused = paused;
    if (!paused)
        Sim().ScheduleFirmware(board);
}

bool Bench::InjectReceive(int index, const std::vector<uint8_t>& message)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    for (auto& queue : board.Entries) {
        if (queue->Desc.Kind1 != 1 || queue->Desc.Kind2 != 2)
            continue;
        if (queue->Free() == 0)
            return false;
        uint8_t* entry = queue->Tail();
        size_t length = std::min<size_t>(message.size(), queue->Desc.MaxMsgLen);
        std::copy_n(message.begin(), length, entry);
        std::fill(entry + length, entry + queue->Desc.MaxMsgLen, uint8_t{0});
        ++queue->Count;
        Sim().SignalQueue(queue);
        return true;
    }
    return false;
}

std::vector<std::vector<uint8_t>> Bench::SentMessages(int index)
{
    auto lock = Sim().Hold();
    const auto& sent = Sim().BoardAt(index).Sent;
    return {sent.begin(), sent.end()};
}

CclEntryStatus Bench::CclEntry(int index, uint16_t entry)
{
    auto lock = Sim().Hold();
    CBoard& board = Sim().BoardAt(index);
    if (entry >= board.Entries.size())
        throw std::out_of_range("kazsim: board " + std::to_string(index) + " has no CCL entry " +
                                std::to_string(entry));
    const CEntryQueue& queue = *board.Entries[entry];
    CclEntryStatus status;
    status.Kind1 = queue.Desc.Kind1;
    status.Kind2 = queue.Desc.Kind2;
    status.MaxMsgLen = queue.Desc.MaxMsgLen;
    status.Depth = queue.Depth();
    status.Started = queue.Started;
    status.Queued = queue.Count;
    return status;
}

void Bench::SetServerVersion(uint32_t major, uint32_t minor, uint32_t build)
{
    auto lock = Sim().Hold();
    Sim().Version = ServerVersion{major, minor, build};
}

void Bench::SignalChange()
{
    auto lock = Sim().Hold();
    Sim().SignalChange();
}

uint32_t Bench::ChangeSignals()
{
    auto lock = Sim().Hold();
    return Sim().ChangeSignals;
}

bool Bench::Quiesce(uint32_t timeoutMs)
{
    return Sim().Quiesce(timeoutMs);
}

// --- faults ----------------------------------------------------------------

namespace {

const char* const g_ObjectOperations[] = {
    "DeviceManager.QueryInterface",
    "DeviceManager.EnumDevices",
    "DeviceManager.OpenDevice",
    "Enum.QueryInterface",
    "Enum.Next",
    "Enum.Reserved4",
    "Enum.ResetEnum",
    "Enum.AssignEvent",
    "Device.QueryInterface",
    "Device.Reserved3",
    "Device.Reserved4",
    "Device.OpenComponent",
    "Fld.QueryInterface",
    "Fld.Reserved3",
    "Fld.Reserved4",
    "Fld.Execute",
    "Fld.Stop",
    "Fld.GetFlashInfo",
    "Fld.GetSectorInfo",
    "Fld.EraseSector",
    "Fld.ReadSector",
    "Fld.WriteSector",
    "Bal.QueryInterface",
    "Bal.Attach",
    "Ccl.QueryInterface",
    "Ccl.Reserved3",
    "Ccl.Reserved4",
    "Ccl.Start",
    "Ccl.Stop",
    "Ccl.Reserved7",
    "Ccl.Reserved8",
    "Ccl.Command",
    "Ccl.Command.Response",
    "Ccl.GetSummary",
    "Ccl.GetEntry",
    "Ccl.BindEntry",
    "Channel.QueryInterface",
    "Channel.Reserved3",
    "Channel.Reserved4",
    "Channel.AssignEvent",
    "Channel.Reserved6",
    "Channel.Reserved7",
    "Channel.Reserved8",
    "Channel.GetMaxMsgLen",
    "Channel.GetReceiveStatus",
    "Channel.GetSendStatus",
    "Channel.Reserved12",
    "Channel.GetCurrentEntry",
    "Channel.ReleaseEntries",
};

} // namespace

void Faults::Fail(const std::string& operation, uint32_t code, uint32_t nth, int board)
{
    const auto& names = AllOperationNames();
    if (std::find(names.begin(), names.end(), operation) == names.end())
        throw std::invalid_argument("kazsim: no operation named \"" + operation + "\"");
    auto lock = Sim().Hold();
    CFault fault;
    fault.Name = operation;
    fault.Code = code;
    fault.Nth = nth;
    fault.Board = board;
    Sim().Faults.push_back(fault);
}

void Faults::Clear()
{
    auto lock = Sim().Hold();
    Sim().Faults.clear();
    Sim().SetupApiMissing = false;
    Sim().SetupApiNamesMissing.clear();
}

void Faults::RemoveSetupApi(bool missing)
{
    auto lock = Sim().Hold();
    Sim().SetupApiMissing = missing;
}

void Faults::RemoveSetupApiName(const std::string& name)
{
    const char* const* names = SetupApiNames();
    if (std::find(names, names + 27, name) == names + 27)
        throw std::invalid_argument("kazsim: SetupApi.DLL has no name \"" + name + "\"");
    auto lock = Sim().Hold();
    Sim().SetupApiNamesMissing.push_back(name);
}

uint32_t Faults::Fired(const std::string& operation)
{
    auto lock = Sim().Hold();
    auto it = Sim().FaultsFired.find(operation);
    return it == Sim().FaultsFired.end() ? 0 : it->second;
}

std::vector<std::string> Faults::Names()
{
    return AllOperationNames();
}

// --- call log --------------------------------------------------------------

std::vector<Call> CallLog()
{
    auto lock = Sim().Hold();
    return Sim().Log;
}

std::vector<std::string> CallNames()
{
    auto lock = Sim().Hold();
    std::vector<std::string> names;
    for (const Call& call : Sim().Log)
        names.push_back(call.Name);
    return names;
}

void ClearCallLog()
{
    auto lock = Sim().Hold();
    Sim().Log.clear();
    Sim().LogCounts.clear();
}

// --- accounting ------------------------------------------------------------

namespace {

struct CField {
    const char* Name;
    uint32_t AccountingInfo::*Value;
};

const CField g_PlainFields[] = {
    {"driver handles", &AccountingInfo::DriverHandles},
    {"device-information lists", &AccountingInfo::DeviceInfoLists},
    {"events", &AccountingInfo::Events},
    {"device files", &AccountingInfo::DeviceFiles},
};

struct CObjectField {
    const char* Name;
    ObjectCount AccountingInfo::*Value;
};

const CObjectField g_ObjectFields[] = {
    {"device managers", &AccountingInfo::DeviceManagers},
    {"enumerators", &AccountingInfo::Enumerators},
    {"devices", &AccountingInfo::Devices},
    {"FLD objects", &AccountingInfo::Flds},
    {"BAL objects", &AccountingInfo::Bals},
    {"CCL objects", &AccountingInfo::Ccls},
    {"channels", &AccountingInfo::Channels},
};

} // namespace

std::string AccountingInfo::Describe() const
{
    std::string text;
    char line[256];
    for (const CObjectField& field : g_ObjectFields) {
        const ObjectCount& count = this->*field.Value;
        std::snprintf(line, sizeof(line), "%s: %u objects, %u references\n", field.Name, count.Objects,
                      count.References);
        text += line;
    }
    for (const CField& field : g_PlainFields) {
        std::snprintf(line, sizeof(line), "%s: %u\n", field.Name, this->*field.Value);
        text += line;
    }
    std::snprintf(line, sizeof(line),
                  "module references: %u\nover-releases: %u\ncalls on released objects: %u\n"
                  "refused arguments: %u\nevents closed early: %u\nserver calls before InitializeServer: %u\n",
                  SetupApiModules, OverReleases, CallsOnReleased, Refused, EventsClosedEarly, CallsBeforeInit);
    text += line;
    return text;
}

std::string AccountingInfo::LeftBehind(const AccountingInfo& baseline) const
{
    std::string text;
    char line[160];
    for (const CObjectField& field : g_ObjectFields) {
        const ObjectCount& now = this->*field.Value;
        const ObjectCount& base = baseline.*field.Value;
        if (now.References > base.References) {
            std::snprintf(line, sizeof(line), "%s: %u references beyond the baseline (%u now, %u before)\n", field.Name,
                          now.References - base.References, now.References, base.References);
            text += line;
        }
    }
    for (const CField& field : g_PlainFields) {
        uint32_t now = this->*field.Value, base = baseline.*field.Value;
        if (now > base) {
            std::snprintf(line, sizeof(line), "%s: %u left open (%u now, %u before)\n", field.Name, now - base, now,
                          base);
            text += line;
        }
    }
    if (OverReleases > baseline.OverReleases) {
        std::snprintf(line, sizeof(line), "over-releases: %u\n", OverReleases - baseline.OverReleases);
        text += line;
    }
    if (Refused > baseline.Refused) {
        std::snprintf(line, sizeof(line), "refused arguments: %u\n", Refused - baseline.Refused);
        text += line;
    }
    if (EventsClosedEarly > baseline.EventsClosedEarly) {
        std::snprintf(line, sizeof(line), "events closed before their channel or enumerator was released: %u\n",
                      EventsClosedEarly - baseline.EventsClosedEarly);
        text += line;
    }
    if (CallsBeforeInit > baseline.CallsBeforeInit) {
        std::snprintf(line, sizeof(line), "server calls before InitializeServer: %u\n",
                      CallsBeforeInit - baseline.CallsBeforeInit);
        text += line;
    }
    if (CallsOnReleased > baseline.CallsOnReleased) {
        std::snprintf(line, sizeof(line), "calls on released objects: %u\n",
                      CallsOnReleased - baseline.CallsOnReleased);
        text += line;
    }
    return text;
}

AccountingInfo Accounting()
{
    auto lock = Sim().Hold();
    return Sim().Snapshot();
}

AccountingInfo AccountingBaseline()
{
    auto lock = Sim().Hold();
    return Sim().Baseline;
}

void MarkBaseline()
{
    auto lock = Sim().Hold();
    Sim().Baseline = Sim().Snapshot();
}

std::string LeftBehind()
{
    auto lock = Sim().Hold();
    return Sim().Snapshot().LeftBehind(Sim().Baseline);
}

std::vector<std::string> Refusals()
{
    auto lock = Sim().Hold();
    return Sim().Refusals;
}

} // namespace kazsim

namespace kazsim::detail {

AccountingInfo CSim::Snapshot()
{
    AccountingInfo info;
    ObjectCount* counts[] = {&info.DeviceManagers, &info.Enumerators, &info.Devices, &info.Flds,
                             &info.Bals,           &info.Ccls,        &info.Channels};
    for (CObjectCore* object : m_Objects) {
        if (object->Refs() == 0)
            continue;
        ObjectCount& count = *counts[static_cast<int>(object->GetKind())];
        ++count.Objects;
        count.References += object->Refs();
    }
    info.DriverHandles = DriverHandles;
    info.DeviceInfoLists = DeviceInfoLists;
    info.SetupApiModules = SetupApiModuleRefs + KazApiModuleRefs;
    PlatformObjectCounts(&info.Events, &info.DeviceFiles);
    info.OverReleases = OverReleases;
    info.CallsOnReleased = CallsOnReleased;
    info.Refused = static_cast<uint32_t>(Refusals.size());
    info.EventsClosedEarly = EventsClosedEarly;
    info.CallsBeforeInit = CallsBeforeInit;
    return info;
}

const std::vector<std::string>& AllOperationNames()
{
    static const std::vector<std::string> s_Names = [] {
        std::vector<std::string> names = {"LoadLibraryA",     "GetProcAddress",   "FreeLibrary",
                                          "Driver.Open",      "Driver.GetInfo",   "Driver.Reset",
                                          "Driver.LoadFw",    "Driver.Control",   "InitializeServer",
                                          "GetServerVersion", "GetDeviceManager", "CreateChannelObject"};
        const char* const* setup = SetupApiNames();
        names.insert(names.end(), setup, setup + 27);
        names.insert(names.end(), std::begin(g_ObjectOperations), std::end(g_ObjectOperations));
        return names;
    }();
    return s_Names;
}

void StartBench()
{
    CSim& sim = Sim();
    auto lock = sim.Hold();
    const char* path = std::getenv("KAZSIM_BENCH");
    BenchDesc desc = BenchDesc::Default();
    if (path && *path) {
        try {
            desc = BenchDesc::FromJsonFile(path);
        } catch (const std::exception& error) {
            // A host must not run against boards it did not ask for: the
            // bench stays empty and the reason is told.
            sim.LoadError = error.what();
            std::fprintf(stderr, "kazsim: KAZSIM_BENCH: %s; the bench has no board\n", error.what());
            desc = BenchDesc::Empty();
        }
    }
    try {
        sim.ResetBench(desc, false);
    } catch (const std::exception& error) {
        sim.LoadError = error.what();
        std::fprintf(stderr, "kazsim: %s; the bench has no board\n", error.what());
        sim.ResetBench(BenchDesc::Empty(), false);
    }
}

} // namespace kazsim::detail

extern "C" int kazsimFlashLayout(uint64_t deviceId, uint32_t* base, uint32_t* sectorSizes, uint32_t capacity)
{
    auto lock = Sim().Hold();
    for (int i = 0; i < Sim().BoardCount(); ++i) {
        const CBoard& board = Sim().BoardAt(i);
        if (!board.Present || board.DeviceId != deviceId)
            continue;
        const kazsim::FlashDesc& flash = board.Desc.Flash;
        if (base != nullptr)
            *base = flash.BaseAddress;
        for (size_t s = 0; sectorSizes != nullptr && s < flash.SectorSizes.size() && s < capacity; ++s)
            sectorSizes[s] = flash.SectorSizes[s];
        return static_cast<int>(flash.SectorSizes.size());
    }
    return -1;
}
