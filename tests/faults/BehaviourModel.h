// An executable statement of how the library is meant to react when one call
// into the driver, the Setup API or the device-server library fails: the
// export sequences restated step by step (search, find, mode switch, attach,
// the FLD and BGI operations, reset) over a one-board bench. For a sequence
// and an armed fault it gives every call the library makes, in order, the
// result of each export, and what is left behind on purpose.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace faults {

enum class Mode { Fld, Bal, Ccl, Bgi };
enum class OpenBy { Id, Any, Serial };

struct Sequence {
    Mode mode;
    OpenBy openBy;
    uint32_t state; // the board's firmware state when the sequence starts
};

std::string Describe(const Sequence& sequence);

// The operations a sequence runs after its init (only when the init gave 0);
// the resets always run.
enum class Step { Init, Program, Verify, Scan, Erase, Send, Receive, MsgLen, Reset, CclReset };
std::vector<Step> StepsOf(const Sequence& sequence);
const char* StepName(Step step);

struct Fault {
    std::string name;    // empty: no fault
    uint32_t occurrence; // 1-based, among the calls of that name
    uint32_t code;
};

// What the library holds in the process beyond one sequence and changes the
// calls of the next: the serial of the last open by serial, and the BGI
// channels' maximum message lengths, which outlive their channels.
struct LibraryMemory {
    bool serialKnown = false;
    uint16_t sendMax = 0;
    uint16_t receiveMax = 0;
};

struct Prediction {
    std::vector<std::string> calls;        // every logged call, in order
    std::vector<uint32_t> results;         // one per step that ran
    std::vector<Step> steps;               // the steps that ran
    uint32_t cclReferencesLeft = 0;        // kept on purpose by the second CCL attach
    bool scanWroteRecord = false;          // kzmFLDscanFwInfo found the record
    LibraryMemory memoryAfter;
};

// What the library does in the sequence with the fault armed (an empty name:
// none), given what it kept from earlier sequences in the process. A
// restarting board is taken to stay away long enough for the library to see
// it leave before it comes back.
Prediction Predict(const Sequence& sequence, const Fault& fault, const LibraryMemory& memory);

// Codes the bench gives without any fault armed.
constexpr uint32_t SIM_FAIL = 0x80004005;        // enumeration exhausted, empty list
constexpr uint32_t SIM_PENDING = 0x8000000A;     // no channel entry available
constexpr uint32_t SIM_GONE = 0x8007048F;        // object of an arrival that ended
constexpr uint32_t SIM_NOT_LISTED = 0x80070490;  // OpenDevice: id not listed
constexpr uint32_t SIM_WRONG_STATE = 0x8007139F; // mode not offered in this state
constexpr uint32_t WIN_FILE_NOT_FOUND = 2;
constexpr uint32_t WIN_SHARING_VIOLATION = 32;
constexpr uint32_t WIN_NOT_READY = 21;
constexpr uint32_t WIN_DEVICE_NOT_CONNECTED = 1167;

// The library's own codes.
constexpr uint32_t E_FAIL = 0x80004005;
constexpr uint32_t E_NO_HANDLE = 0x80070057;
constexpr uint32_t E_ARRIVAL_TIMEOUT = 0xE001000B;
constexpr uint32_t E_FLASH_NOT_STARTED = 0xE0FE0002;
constexpr uint32_t E_READ_RANGE = 0xE0FE0007;
constexpr uint32_t E_WRITE_RANGE = 0xE0FE0009;
constexpr uint32_t E_VERIFY = 0xE0FE000A;

} // namespace faults
