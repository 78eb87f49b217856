// kazsim: the control interface of the virtual bench (libkazapi).
//
// The virtual bench plays a set of interface boards together with their
// kernel driver, the Setup API (SetupApi.DLL) and the device-server library
// (KAZAPI). Host programs and the library's tests run on it unchanged; this
// header is how a test (or a host that wants to) arranges the bench, injects
// failures, reads the call log and checks that nothing was left open.
//
// Everything here is thread-safe. Board indices count from 0 in the order the
// boards were put on the bench since the last Bench::Reset; a removed board
// keeps its index (BoardInfo(i).Present turns false) and indices are never
// reused until the next Reset. Functions taking an index throw
// std::out_of_range for an index that was never given.
//
// See simulator/README.md for the firmware behaviour, the result codes, the
// JSON bench description and the environment variables.
#pragma once

#include "platform/Platform.h"

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#if defined(_WIN32)
#if defined(KAZSIM_BUILDING)
#define KAZSIM_API __declspec(dllexport)
#else
#define KAZSIM_API __declspec(dllimport)
#endif
#else
#define KAZSIM_API __attribute__((visibility("default")))
#endif

namespace kazsim {

// ---------------------------------------------------------------------------
// Identifiers
// ---------------------------------------------------------------------------

// The five board classes of the family, in the library's search order.
inline constexpr GUID BOARD_CLASS_1 = {0x2219F6A0, 0x732A, 0x4750, {0xB6, 0x6F, 0x0A, 0xE7, 0x31, 0xFB, 0x40, 0xE1}};
inline constexpr GUID BOARD_CLASS_2 = {0xB9AAAF39, 0xB9B9, 0x4850, {0x94, 0x02, 0x7D, 0x82, 0x50, 0xC7, 0xB8, 0x8F}};
inline constexpr GUID BOARD_CLASS_3 = {0x0F254982, 0xBCEE, 0x40AC, {0x8E, 0xB8, 0x90, 0x6F, 0x77, 0x3D, 0x00, 0xFA}};
inline constexpr GUID BOARD_CLASS_4 = {0xEDCCFFED, 0xC78C, 0x4242, {0xB6, 0x17, 0x56, 0x32, 0x0E, 0x33, 0xA3, 0x61}};
inline constexpr GUID BOARD_CLASS_5 = {0xD55C1655, 0x3F48, 0x463F, {0x9B, 0x91, 0xC7, 0x44, 0x8B, 0xDC, 0x7C, 0x22}};

// A class or interface id as bench descriptions write it:
// "{2219F6A0-732A-4750-B66F-0AE731FB40E1}".
KAZSIM_API std::string GuidText(const GUID& guid);

// Board states as the driver's GetInfo reports them.
inline constexpr uint32_t STATE_FLASH_LOADER = 1;
inline constexpr uint32_t STATE_BAL = 2;
inline constexpr uint32_t STATE_CCL = 3;
inline constexpr uint32_t STATE_BOOT_ROM = 16;

// Result codes of the device-server objects (COM-style results).
inline constexpr uint32_t SIM_E_NOTIMPL = 0x80004001;     // reserved slot
inline constexpr uint32_t SIM_E_NOINTERFACE = 0x80004002; // unknown mode pair / interface, entry kind mismatch
inline constexpr uint32_t SIM_E_POINTER = 0x80004003;     // null pointer argument
inline constexpr uint32_t SIM_E_FAIL = 0x80004005;        // enumeration exhausted
inline constexpr uint32_t SIM_E_PENDING = 0x8000000A;     // no channel entry available now
inline constexpr uint32_t SIM_E_UNEXPECTED = 0x8000FFFF;  // operation of the other channel direction
inline constexpr uint32_t SIM_E_INVALIDARG = 0x80070057;  // bad sector, size, index, record or count
inline constexpr uint32_t SIM_E_NOT_READY = 0x80070015; // flash loader not executed, CCL not started, channel not bound
inline constexpr uint32_t SIM_E_GONE = 0x8007048F;      // the board restarted or left since the object was made
inline constexpr uint32_t SIM_E_NOT_LISTED = 0x80070490;      // OpenDevice: no listed device has that id
inline constexpr uint32_t SIM_E_WRONG_STATE = 0x8007139F;     // the board's firmware does not offer that mode
inline constexpr uint32_t SIM_E_RELEASED = 0x800401FD;        // call on an object whose last reference was released
inline constexpr uint32_t SIM_E_ACCESS_DENIED = 0x80070005;   // the board's flash file cannot be opened or is refused
inline constexpr uint32_t SIM_E_IN_USE = 0x80070020;          // another process holds the board's flash file
inline constexpr uint32_t SIM_E_WRITE_FAULT = 0x8007001D;     // the flash file did not take an erase or write
inline constexpr uint32_t SIM_E_READ_FAULT = 0x8007001E;      // the flash file could not be read
inline constexpr uint32_t SIM_E_NOT_INITIALIZED = 0x800401F0; // OpenDevice before the first successful
                                                              // InitializeServer (CO_E_NOTINITIALIZED)

// ---------------------------------------------------------------------------
// Bench description
// ---------------------------------------------------------------------------

// One entry of a board's CCL entry list, with the queue behind it.
struct CclEntryDesc {
    uint16_t Kind1 = 1;
    uint16_t Kind2 = 1;
    uint16_t MaxMsgLen = 256; // bytes per queue entry
    uint16_t Value = 0;       // the entry record's value field
    uint32_t Depth = 8;       // queue depth in entries (at least 1)
};

// Send 1/1 (256 bytes, 8 deep), receive 1/2 (256 bytes, 8 deep), aux 3/3
// (64 bytes, 4 deep).
KAZSIM_API std::vector<CclEntryDesc> DefaultCclEntries();

struct FlashDesc {
    std::vector<uint32_t> SectorSizes; // bytes, in sector order; empty = no flash
    uint32_t BaseAddress = 0;          // FLASH_INFO base address
    uint16_t Word4 = 0x0001;           // FLASH_INFO words the library only reports
    uint16_t Word6 = 0x22F6;
    uint16_t Word10 = 0x0010;
    // Raw flash image that keeps the contents between runs: read as it is
    // (a missing or short file reads erased), created by the first erase or
    // write, completed to the flash's size by the first write, and written
    // through on every change. Empty: the flash lives in memory only. The file is not
    // touched when the bench is loaded; this process opens and locks it when
    // it first opens the board (README.md, "Flash files").
    std::string File;

    uint32_t Size() const
    {
        uint32_t total = 0;
        for (uint32_t size : SectorSizes)
            total += size;
        return total;
    }
};

// 4 x 16 KiB, 1 x 64 KiB, 3 x 128 KiB (512 KiB) at base address 0.
KAZSIM_API FlashDesc DefaultFlash();

// A failure armed when the bench is set up (Reset, Load, AddBoard), as
// Faults::Fail(Operation, Code, Nth, board) would arm it at that moment.
struct FaultDesc {
    std::string Operation; // a name of Faults::Names()
    uint32_t Code = 0;
    uint32_t Nth = 0; // 0: every call; N: the Nth call from then
};

struct BoardDesc {
    GUID BoardClass = BOARD_CLASS_1;
    std::string Serial = "KZ000001";    // reported by every state but the boot ROM
    std::string RomSerial = "ABCD";     // reported in the boot ROM (state 16)
    uint32_t State = STATE_CCL;         // state on arrival
    uint32_t FirmwareState = STATE_CCL; // what Reset 1 starts (2 or 3, or any other)
    std::optional<uint64_t> DeviceId;   // id of the first arrival; later ones are new
    uint32_t RestartDelayMs = 0;        // time away from the list on each restart
    uint32_t EraseDelayMs = 0;          // time each sector erase takes, as on a real NOR flash
    bool Held = false;                  // held by another process: opening fails (32)
    bool Echo = true;                   // CCL firmware echoes send -> receive
    // false: installed but not plugged in. Neither the Setup API's list of
    // present devices nor the device server lists it; it cannot be opened.
    bool Present = true;
    bool NeverReturns = false; // leaves on its first restart for good (Bench::SetNeverReturns)
    FlashDesc Flash = DefaultFlash();
    std::vector<CclEntryDesc> CclEntries = DefaultCclEntries();
    std::vector<FaultDesc> Faults; // failures of this board's calls only
};

struct ServerVersion {
    uint32_t Major = 5;
    uint32_t Minor = 3;
    uint32_t Build = 1200;
};

// A bench description could not be read: the message names the file, the
// place in it and what is wrong.
class KAZSIM_API BenchError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Another process holds a board's flash file: its contents can be neither read
// nor changed here.
class KAZSIM_API FlashInUseError : public BenchError {
public:
    using BenchError::BenchError;
};

struct BenchDesc {
    std::vector<BoardDesc> Boards;
    ServerVersion Version;
    std::vector<FaultDesc> Faults; // failures of any board's calls and of calls of no board

    // One board of class 1 in state 3, serial "KZ000001", the default flash.
    KAZSIM_API static BenchDesc Default();
    // No board at all.
    KAZSIM_API static BenchDesc Empty();
    // Reads a JSON bench description (format in README.md). Relative flash
    // file names are taken relative to the file's folder. Throws BenchError.
    KAZSIM_API static BenchDesc FromJsonFile(const std::string& path);
    // The same from text; relative flash files are taken relative to baseDir.
    KAZSIM_API static BenchDesc FromJsonText(const std::string& text, const std::string& baseDir = "");
};

// ---------------------------------------------------------------------------
// The bench at run time
// ---------------------------------------------------------------------------

struct BoardStatus {
    bool Present = false;  // on the bench (false once removed)
    bool Listed = false;   // in the device list now (false while restarting)
    uint64_t DeviceId = 0; // current id (the last one while away)
    std::string Path;      // current device-interface path (the last one while away)
    uint32_t State = 0;    // firmware state
    std::string Serial;    // serial reported in that state
    GUID BoardClass = {};
    uint32_t Restarts = 0;    // restarts since the board was put on the bench
    uint32_t OpenHandles = 0; // driver handles open on the current arrival
    bool Held = false;
};

struct CclEntryStatus {
    uint16_t Kind1 = 0, Kind2 = 0;
    uint16_t MaxMsgLen = 0;
    uint32_t Depth = 0;
    bool Started = false; // command 586 given (587 clears it)
    uint32_t Queued = 0;  // entries holding a message (send: committed by the host,
                          // not yet taken by the firmware; receive: not yet taken by the host)
};

enum class Signal {
    Silent,   // no change event
    Signalled // the change event is signalled from the simulator's thread
};

class KAZSIM_API Bench {
public:
    // Replaces every board by those of desc; clears faults, the call log and
    // the counters, drops pending arrivals, and takes a new accounting
    // baseline. Objects that the library holds (device manager, enumerators,
    // events) stay valid; device and mode objects of the old boards fail with
    // SIM_E_GONE from then on. Signal::Signalled signals the change event once.
    static void Reset(const BenchDesc& desc = BenchDesc::Default(), Signal signal = Signal::Silent);
    // Reset from a JSON file; throws BenchError (the bench is left unchanged).
    static void Load(const std::string& jsonPath);
    // The error met reading KAZSIM_BENCH when the library was loaded ("" if none).
    static std::string LoadError();

    // Puts a board on the bench and lists it at once; signals the change event.
    static int AddBoard(const BoardDesc& board);
    // Takes the board off the bench: it leaves the list, its handles and
    // objects go stale; signals the change event.
    static void RemoveBoard(int index);
    // Number of indices given since the last Reset (removed boards included).
    static int BoardCount();
    static BoardStatus BoardInfo(int index);
    // The index of the present board with this id (current id only), or -1.
    static int FindBoard(uint64_t deviceId);
    // Indices of the listed boards in device-list order.
    static std::vector<int> ListOrder();
    // Moves a listed board to a position of the device list; signals.
    static void MoveBoard(int index, int position);

    // Every call that reads or changes a board's flash takes the board's
    // flash file (if it has one) for this process first, as the flash
    // program does: it is opened and locked then, and kept until the board
    // is removed or the bench reset. They throw FlashInUseError when another
    // process holds the file, BenchError when it cannot be opened, read or
    // written.

    // Flash contents, byte for byte from flash offset 0.
    static std::vector<uint8_t> FlashContents(int index);
    // Writes bytes as they are (no flash semantics) at a flash offset.
    static void SetFlash(int index, uint32_t offset, const std::vector<uint8_t>& bytes);
    // Takes the flash file for changing it (a missing one is created empty)
    // without reading or changing the contents: false when another process
    // holds it (nothing is taken then).
    static bool ClaimFlash(int index);
    // Sets the whole flash to 0xFF. The file keeps its length: a short one
    // stays short (its missing tail reads erased), a longer one keeps its tail.
    static void EraseFlash(int index);
    // Hands the flash files' writes to the disk (every change is written
    // through to the file when it is made; this waits until it is on disk).
    static void FlushFlashFiles();

    // Sets the firmware state without a restart (id and path stay).
    static void SetState(int index, uint32_t state, Signal signal = Signal::Silent);
    // Sets the state from the simulator's thread after a delay (no restart).
    static void SetStateLater(int index, uint32_t state, uint32_t delayMs);
    // The state changes (no restart) once the driver has answered this many
    // more GetInfo requests: with 1, the next GetInfo still shows the old
    // state and the ones after it the new one.
    static void SetStateAfterGetInfo(int index, uint32_t state, uint32_t count);
    // Restarts the board into a state as its firmware would on its own: it
    // leaves the list and comes back under a new id and path.
    static void Restart(int index, uint32_t state);
    // The next restart (Reset, LoadFw or Restart) comes up in this state.
    static void SetNextRestartState(int index, uint32_t state);
    static void SetRestartDelay(int index, uint32_t milliseconds);
    // While set, a restarting board leaves the list and does not come back.
    static void SetNeverReturns(int index, bool never);
    // While set, opening the board's driver fails with ERROR_SHARING_VIOLATION.
    static void SetHeld(int index, bool held);

    // CCL firmware: echo of the send queue into the receive queue.
    static void SetEcho(int index, bool echo);
    // While paused the CCL firmware takes nothing from the send queues.
    static void PauseFirmware(int index, bool paused);
    // Puts a message into the board's first receive entry (kinds 1/2) as if
    // the board had sent it; false when that queue is full or missing.
    static bool InjectReceive(int index, const std::vector<uint8_t>& message);
    // Messages the CCL firmware took from the send queues (whole entries, as
    // long as the entry's maximum message length), oldest first.
    static std::vector<std::vector<uint8_t>> SentMessages(int index);
    static CclEntryStatus CclEntry(int index, uint16_t entry);

    static void SetServerVersion(uint32_t major, uint32_t minor, uint32_t build = 0);

    // Signals the change event of every enumerator (from the simulator's thread).
    static void SignalChange();
    // Number of change-event signals delivered since the last Reset.
    static uint32_t ChangeSignals();
    // While set, a device-server object is deleted when its last reference
    // goes, instead of being kept to catch late calls (which then are
    // use-after-free), and Reset drops the old boards nothing refers to any
    // more: for long runs, whose object count must stay bounded.
    static void ReclaimReleasedObjects(bool reclaim);
    // Waits until the simulator's thread has nothing left to do (arrivals,
    // signals, echoes, delayed restarts included); false on time-out.
    static bool Quiesce(uint32_t timeoutMs = 5000);
};

// ---------------------------------------------------------------------------
// Faults
// ---------------------------------------------------------------------------

// Operation names (the same as in the call log and in a bench file's
// "faults"): simulator/README.md, "Faults"; Faults::Names() gives them all.
// AddRef, Release and closing a driver handle cannot fail and are not logged.
class KAZSIM_API Faults {
public:
    // Makes an operation fail with code: every call (nth 0) or only the nth
    // call (1-based) counted from now, optionally only calls that concern one
    // board. Windows-style calls return their failure value with code as the
    // last error; device-server calls return code. Several faults may be armed
    // at once; the first armed one that matches wins. Throws
    // std::invalid_argument for an unknown name.
    static void Fail(const std::string& operation, uint32_t code, uint32_t nth = 0, int board = -1);
    // Disarms all faults and restores SetupApi.DLL and its names.
    static void Clear();
    // SetupApi.DLL cannot be loaded (ERROR_MOD_NOT_FOUND).
    static void RemoveSetupApi(bool missing = true);
    // One of the 27 names is missing from SetupApi.DLL (ERROR_PROC_NOT_FOUND).
    static void RemoveSetupApiName(const std::string& name);
    // How often armed faults of this operation have fired since Reset.
    static uint32_t Fired(const std::string& operation);
    // Every name Fail accepts.
    static std::vector<std::string> Names();
};

// ---------------------------------------------------------------------------
// Call log
// ---------------------------------------------------------------------------

struct Call {
    std::string Name;        // operation name as for Faults::Fail
    int Board = -1;          // board index the call concerned, -1 if none
    uint32_t Occurrence = 0; // 1-based count of calls of this name in the log
    uint32_t Result = 0;     // result code, or the last error of a failed Windows-style call
    std::string Detail;      // e.g. the path opened, the module or entry name
};

// Every call made into the driver, the Setup API and the device-server
// library since the last Reset or ClearCallLog, in order. Arming
// Faults::Fail(c.Name, code, c.Occurrence) right after a Reset makes the same
// call fail when the same sequence runs again.
KAZSIM_API std::vector<Call> CallLog();
KAZSIM_API std::vector<std::string> CallNames();
KAZSIM_API void ClearCallLog();

// ---------------------------------------------------------------------------
// Accounting
// ---------------------------------------------------------------------------

struct ObjectCount {
    uint32_t Objects = 0;    // live objects of the kind
    uint32_t References = 0; // references held on them
};

struct AccountingInfo {
    ObjectCount DeviceManagers, Enumerators, Devices, Flds, Bals, Ccls, Channels;
    uint32_t DriverHandles = 0;     // open driver handles (stale ones included)
    uint32_t DeviceInfoLists = 0;   // live Setup-API device-information lists
    uint32_t SetupApiModules = 0;   // LoadLibraryA references on SetupApi.DLL (and KAZAPI.dll)
    uint32_t Events = 0;            // live events of the process (platform count; on Windows
                                    // the events handed to the bench and not yet closed)
    uint32_t DeviceFiles = 0;       // live device-file handles (platform count)
    uint32_t OverReleases = 0;      // Release calls on objects with no reference left
    uint32_t CallsOnReleased = 0;   // calls on objects with no reference left
    uint32_t Refused = 0;           // calls refused for an argument the real system refuses
    uint32_t EventsClosedEarly = 0; // channel or enumerator events closed while their object held them
    uint32_t CallsBeforeInit = 0;   // server calls refused before the first successful InitializeServer

    // One line per field.
    KAZSIM_API std::string Describe() const;
    // What this holds beyond baseline, one item a line ("" when nothing).
    // Module references are not counted as left behind (the library keeps
    // SetupApi.DLL bound once initialised); over-releases, calls on
    // released objects, refused arguments, events closed early and server
    // calls before InitializeServer always are.
    KAZSIM_API std::string LeftBehind(const AccountingInfo& baseline) const;
};

KAZSIM_API AccountingInfo Accounting();
// The snapshot taken by the last Bench::Reset or MarkBaseline. It holds what
// the library keeps for its whole life (one device-manager and one enumerator
// reference, the change event).
KAZSIM_API AccountingInfo AccountingBaseline();
KAZSIM_API void MarkBaseline();
// Accounting().LeftBehind(AccountingBaseline()): "" when nothing is left open.
KAZSIM_API std::string LeftBehind();

// The arguments refused since the last Reset, each as "<operation>: <argument>"
// (e.g. "Driver.Open: shareMode 0x00000003"); simulator/README.md lists the checks.
KAZSIM_API std::vector<std::string> Refusals();

} // namespace kazsim

// For hosts that cannot call C++ (the Python binding): the flash of the present
// board with this id, as the bench describes it. Copies its base address and up
// to capacity sector sizes (either pointer may be null) and returns its sector
// count; -1 when no present board has the id.
extern "C" KAZSIM_API int kazsimFlashLayout(uint64_t deviceId, uint32_t* base, uint32_t* sectorSizes,
                                            uint32_t capacity);
