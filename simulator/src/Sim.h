// The bench's inner state: boards, device list, objects, faults, call log and
// the simulator's own thread. One instance per process (CSim::Get), never
// destroyed, so that objects the library still holds at exit stay valid.
#pragma once

#include "SimApi.h"
#include "kazsim/Bench.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kazsim::detail {

// A flash file held open under an exclusive, non-blocking lock of the
// operating system, so that two processes never use one file at once. The
// host file of each platform implements it (flock on POSIX, a share mode that
// lets others only read on Windows).
class CLockedFile {
public:
    enum class Status { Locked, Missing, InUse, Failed };
    CLockedFile() = default;
    ~CLockedFile() { Close(); }
    CLockedFile(const CLockedFile&) = delete;
    CLockedFile& operator=(const CLockedFile&) = delete;

    // Opens the file and locks it; a missing file is created only when asked
    // (Missing otherwise). A symbolic link or anything but a regular file is
    // refused. InUse: another process holds the lock; Failed: the reason
    // (a sentence's tail, e.g. "is a symbolic link; ...") is in *error.
    Status Open(const std::string& path, bool create, std::string* error);
    void Close(); // lets go of the lock
    bool IsOpen() const { return m_Handle != NO_HANDLE; }
    // Reads up to size bytes at offset; the count read (short at the end).
    // On failure the system's reason is in *error.
    bool ReadAt(uint64_t offset, uint8_t* data, size_t size, size_t* got, std::string* error);
    // Writes all bytes, or fails with the reason in *error (a short write
    // that cannot be completed is a failure).
    bool WriteAt(uint64_t offset, const uint8_t* data, size_t size, std::string* error);
    bool Size(uint64_t* size);
    // Hands what was written to the disk (fdatasync, FlushFileBuffers).
    bool Sync();

private:
    static constexpr intptr_t NO_HANDLE = -1;
    intptr_t m_Handle = NO_HANDLE; // file descriptor or HANDLE
};

// Whether two flash-file names mean one file: the same file when both exist
// (links included), else the same path once "." , ".." and links of the
// folders are resolved.
bool SameFile(const std::string& a, const std::string& b);

// The raw flash of one board: in memory, or, when the bench names a file, in
// that file alone (every read goes to the file, so what is read is what is
// stored). Loading a bench does not touch the file: it is attached (opened
// and locked) when this process first needs the board. Nothing but an erase
// or a write ever writes it: a missing file reads erased and is created
// (empty, so that it is locked) by the first erase or write; the first write
// completes a short file with erased bytes; an erase never makes a file
// longer or shorter.
class CFlashStore {
public:
    enum class Use { Ready, InUse, Failed };

    // Remembers the size and file; nothing is allocated or touched.
    void Describe(const FlashDesc& desc);
    // Opens and locks the file unless that happened already or it is missing
    // (Ready at once without a file). InUse: another process holds the file.
    Use Attach(std::string* error, bool create = false);
    // Attach for reading or changing the contents: from then on the lock is
    // kept until Release. 0, SIM_E_IN_USE or SIM_E_ACCESS_DENIED (the reason
    // in *error).
    uint32_t Claim(std::string* error, bool create = false);
    // Lets go of the file and its lock.
    void Release();
    // Lets go of a file that was attached but never claimed.
    void ReleaseUnclaimed()
    {
        if (!m_bClaimed)
            Release();
    }

    // The sector operations: 0, or the code the device server fails with
    // (SIM_E_READ_FAULT, SIM_E_WRITE_FAULT, those of Claim) and the reason,
    // naming the file, in *error.
    uint32_t Read(uint32_t offset, uint8_t* data, uint32_t size, std::string* error);
    uint32_t Erase(uint32_t offset, uint32_t size, std::string* error);
    // program: only clears bits, as NOR flash programming does (flash &=
    // data); otherwise the bytes are stored as they are.
    uint32_t Write(uint32_t offset, const uint8_t* data, uint32_t size, bool program, std::string* error);
    bool Sync();
    uint32_t Size() const { return m_Size; }
    const std::string& File() const { return m_File; }

private:
    std::vector<uint8_t>& Memory();
    uint32_t Fault(uint32_t code, const char* what, uint64_t from, uint64_t to, const std::string& reason,
                   std::string* error) const;
    // Writes erased bytes over [from, to); what: the operation, for the error.
    uint32_t Fill(uint64_t from, uint64_t to, const char* what, std::string* error);

    uint32_t m_Size = 0;
    std::vector<uint8_t> m_Data;            // a flash in memory only, allocated when first used
    std::string m_File;                     // from the description; "" = memory only
    std::unique_ptr<CLockedFile> m_pLocked; // set while attached
    bool m_bClaimed = false;
};

// The queue behind one CCL entry. Entries are fixed buffers of MaxMsgLen
// bytes used as a ring; buffers keep their old content when reused.
struct CEntryQueue {
    enum Direction { TO_BOARD, TO_HOST };

    CclEntryDesc Desc;
    uint16_t Index = 0;
    Direction Dir = TO_BOARD;
    bool Started = false;
    std::vector<std::vector<uint8_t>> Slots;
    uint32_t Head = 0;          // oldest filled entry
    uint32_t Count = 0;         // filled entries
    std::vector<HANDLE> Events; // events of the channel objects on this entry

    uint32_t Depth() const { return static_cast<uint32_t>(Slots.size()); }
    uint32_t Free() const { return Depth() - Count; }
    // Where the producer writes next and where the consumer reads next.
    uint8_t* Tail() { return Slots[(Head + Count) % Depth()].data(); }
    uint8_t* Oldest() { return Slots[Head].data(); }
    // The entry the host's channel hands out: a free one to fill (send) or
    // the oldest filled one (receive).
    uint8_t* HostEntry() { return Dir == TO_BOARD ? Tail() : Oldest(); }
};

struct CBoard {
    uint32_t Uid = 0; // unique in the process
    int Index = -1;   // bench index; -1 once the bench was reset
    BoardDesc Desc;
    bool Present = true;
    bool Listed = false;
    uint64_t DeviceId = 0;
    std::string Path;
    uint32_t DevInst = 0;
    uint32_t Generation = 0; // one per arrival; handles and objects of older ones are stale
    uint32_t State = 0;
    uint32_t Restarts = 0;
    bool FirstArrival = true;
    bool NeverReturns = false;
    bool HasNextState = false;
    uint32_t NextState = 0;
    bool Held = false;
    bool Echo = true;
    bool Paused = false;
    uint32_t OpenHandles = 0;      // on the current generation
    uint32_t GetInfoCountdown = 0; // GetInfo answers left before CountdownState applies
    uint32_t CountdownState = 0;
    CFlashStore Flash;
    std::vector<std::shared_ptr<CEntryQueue>> Entries;
    std::deque<std::vector<uint8_t>> Sent;

    const std::string& ReportedSerial() const { return State == STATE_BOOT_ROM ? Desc.RomSerial : Desc.Serial; }
    bool Alive(uint32_t generation) const { return Present && Listed && Generation == generation; }
};

enum class Kind { DeviceManager, Enumerator, Device, Fld, Bal, Ccl, Channel, COUNT };
const char* KindName(Kind kind);

// Reference counting and registration shared by every device-server object.
class CObjectCore {
public:
    explicit CObjectCore(Kind kind);
    virtual ~CObjectCore() = default;
    CObjectCore(const CObjectCore&) = delete;
    CObjectCore& operator=(const CObjectCore&) = delete;

    Kind GetKind() const { return m_Kind; }
    uint32_t Refs() const { return m_Refs; }
    uint32_t DoAddRef();
    uint32_t DoRelease();
    // The board the object belongs to, for faults and the log (may be null).
    virtual CBoard* Board() const { return nullptr; }
    // The change event an enumerator was given (null for other objects).
    virtual HANDLE ChangeEvent() const { return nullptr; }

protected:
    virtual void OnFinalRelease() {}

private:
    Kind m_Kind;
    uint32_t m_Refs = 1;
};

struct CFault {
    std::string Name;
    uint32_t Code = 0;
    uint32_t Nth = 0;
    int Board = -1;
    uint32_t Seen = 0;
};

class CSim {
public:
    static CSim& Get();

    using Lock = std::unique_lock<std::recursive_mutex>;
    Lock Hold() { return Lock(m_Mutex); }

    // --- bench (call with the lock held) ---
    void ResetBench(const BenchDesc& desc, bool signal);
    int AddBoard(const BoardDesc& desc);
    void RemoveBoard(CBoard& board);
    CBoard& BoardAt(int index); // throws std::out_of_range
    CBoard* FindListed(uint64_t deviceId);
    CBoard* FindByPath(const std::string& path);
    std::vector<CBoard*> ListedBoards(); // in list order
    std::vector<int>& ListOrder() { return m_ListOrder; }
    int BoardCount() const { return static_cast<int>(m_Boards.size()); }
    void Restart(CBoard& board, uint32_t state);
    void ResetCcl(CBoard& board);
    void SignalChange();  // posts the signal to the simulator's thread
    void DeliverChange(); // signals every enumerator's event now
    // Posts a pass of the board's CCL firmware (takes from the send queues,
    // echoes into the receive queue, signals the channels' events).
    void ScheduleFirmware(CBoard& board);
    void FirmwarePass(CBoard& board);
    // Posts a signal of the events of the channels on one queue.
    void SignalQueue(const std::shared_ptr<CEntryQueue>& queue);
    bool SyncFlashFiles(); // false when a file could not be synced
    // Takes a board's flash file for reading or changing its contents (create:
    // a missing file is created empty, to be locked): 0, or the result a
    // device-server call gives when it cannot (the reason in *error).
    uint32_t ClaimFlash(CBoard& board, std::string* error, bool create = false);

    ServerVersion Version;
    std::string LoadError;
    uint32_t ChangeSignals = 0;
    uint32_t ServerInits = 0; // successful InitializeServer calls of the process (kept by Reset)

    // --- faults and call log ---
    // Counts the call against every armed fault; gives the code of the first
    // one that fires (0 when none).
    uint32_t CheckFault(const std::string& name, int board);
    // Throws BenchError for a fault of no known operation.
    static void CheckFaultNames(const std::vector<FaultDesc>& faults);
    // Arms a description's faults, counted from now (board -1: any board).
    void ArmFaults(const std::vector<FaultDesc>& faults, int board);
    size_t LogCall(const std::string& name, int board, std::string detail);
    void LogResult(size_t entry, uint32_t result);
    std::vector<CFault> Faults;
    std::map<std::string, uint32_t> FaultsFired;
    std::vector<Call> Log;
    std::map<std::string, uint32_t> LogCounts;
    bool SetupApiMissing = false;
    std::vector<std::string> SetupApiNamesMissing;
    bool Trace = false;

    // --- accounting ---
    void Register(CObjectCore* object) { m_Objects.push_back(object); }
    // Forgets an object that is about to be deleted (ReclaimReleased).
    void Unregister(CObjectCore* object);
    // Objects whose last reference goes are deleted at once instead of kept
    // for late calls: long runs then keep a bounded number of objects.
    bool ReclaimReleased = false;
    const std::vector<CObjectCore*>& Objects() const { return m_Objects; }
    uint32_t OverReleases = 0;
    uint32_t CallsOnReleased = 0;
    std::vector<std::string> Refusals; // since the last Reset
    uint32_t EventsClosedEarly = 0;    // events closed while their channel or enumerator lived on
    uint32_t CallsBeforeInit = 0;      // server calls refused before InitializeServer succeeded
    uint32_t DriverHandles = 0;
    uint32_t DeviceInfoLists = 0;
    uint32_t SetupApiModuleRefs = 0;
    uint32_t KazApiModuleRefs = 0;
    AccountingInfo Snapshot();
    AccountingInfo Baseline;

    // The device manager handed out by GetDeviceManager (one per process
    // while referenced).
    CObjectCore* Manager = nullptr;

    // --- the simulator's thread ---
    void Post(uint32_t delayMs, std::function<void()> task);
    bool Quiesce(uint32_t timeoutMs);
    void Shutdown(); // at exit: stops the thread and runs what was still due

private:
    CSim();
    void Run();
    std::shared_ptr<CBoard> MakeBoard(const BoardDesc& desc, int index);
    void ListBoard(CBoard& board);
    // Gives a board an id and path without listing it (a board described as
    // not present, or one on its way back).
    void NewArrival(CBoard& board);
    // Lists a new board, or only places it when it is described as not present.
    void PlaceBoard(CBoard& board);
    void Unlist(CBoard& board);

    std::recursive_mutex m_Mutex;
    std::condition_variable_any m_Cond;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> m_Tasks;
    bool m_bBusy = false;
    bool m_bStop = false;
    bool m_bStopped = false;
    std::thread m_Thread;

    std::vector<std::shared_ptr<CBoard>> m_Boards;    // this bench, by index
    std::vector<std::shared_ptr<CBoard>> m_OldBoards; // of earlier benches (objects may point at them)
    std::vector<int> m_ListOrder;
    std::vector<CObjectCore*> m_Objects; // every object ever made (kept for late calls)
    uint32_t m_NextUid = 0;
    uint64_t m_NextArrival = 0;

public:
    std::shared_ptr<CBoard> SharedBoard(CBoard* board);
};

inline CSim& Sim()
{
    return CSim::Get();
}

// One call into a face of the bench: takes the lock, logs the call, checks
// armed faults and calls on released objects. Ended() tells that the call is
// decided already (Code() is its result).
class CCall {
public:
    CCall(const std::string& name, CBoard* board, std::string detail = {}, const CObjectCore* object = nullptr);
    bool Ended() const { return m_bEnded; }
    uint32_t Code() const { return m_Code; }
    // Records the result and gives it back.
    uint32_t Return(uint32_t code);
    // Windows-style failure: records the code and sets it as the last error.
    void FailWin(uint32_t code);
    // An argument the real system refuses: records the refusal (named in the
    // log's detail, the trace and Refusals()) and gives code back for the
    // caller to return; RefuseWin also ends the call Windows-style.
    uint32_t Refuse(uint32_t code, const std::string& argument);
    void RefuseWin(uint32_t code, const std::string& argument);
    // Adds to the call's detail (log and trace) without counting a refusal:
    // a reason the call failed that lies outside this process.
    void Note(const std::string& text);
    // Index of the board the call concerns (-1: none).
    int BoardIndex() const { return m_BoardIndex; }
    void SetBoard(CBoard* board);

private:
    CSim::Lock m_Lock;
    size_t m_Entry;
    int m_BoardIndex;
    bool m_bEnded = false;
    uint32_t m_Code = 0;
    std::string m_Name;
};

// Case-insensitive comparison of ASCII text.
bool EqualNoCase(const std::string& a, const std::string& b);
bool SameGuid(const GUID& a, const GUID& b);
bool ParseGuid(const std::string& text, GUID* guid);

// The names of the device-server operations that can be faulted, and of the
// Setup API (faces register theirs here).
const std::vector<std::string>& AllOperationNames();

// Platform counts of live events and device files (given by the host file).
void PlatformObjectCounts(uint32_t* events, uint32_t* deviceFiles);
// An event handed to the bench (AssignEvent), for the host file's accounting.
void NoteEvent(HANDLE event);
// Whether a handle is a live event of the process, with its kind and state
// (host file).
bool QueryEvent(HANDLE event, bool* manualReset, bool* signalled);
// Checks an event the library hands over: a live auto-reset event that is not
// signalled. Refuses anything else on the call (0 when accepted).
uint32_t CheckHandedEvent(CCall& call, HANDLE event);
// Opening a device needs the server initialised: refused (and counted) until
// InitializeServer first succeeded in the process; 0 once it has. Device
// objects come only from OpenDevice, so no component is opened and no mode
// started before either.
uint32_t RefuseBeforeInit(CCall& call);
// At an object's last release: counts its event when the holder closed it
// while the object still held it (the server could have signalled a dead or
// reused handle until then).
void CountEventClosedEarly(HANDLE event, const char* holder);

} // namespace kazsim::detail
