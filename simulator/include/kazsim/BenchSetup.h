// kazsim: a host's bench. What a host program (the kazmir command, a binding,
// a test) runs on when it runs on the virtual bench.
//
// Without a bench file it is the default bench: one board (class 1, serial
// KZ000001, CCL firmware) whose flash is kept in a file of the state folder,
// so that separate runs see the same flash. The state folder is
// $KAZMIR_STATE_DIR, else $XDG_STATE_HOME/kazmir, else ~/.local/state/kazmir,
// else (no HOME) kazmir-state-UID in the temporary folder, made private
// (0700) and refused when another user owns it. With a bench file the JSON
// bench description is used instead (its boards keep their flash where the
// file says, or in memory only). See simulator/README.md, "A host's bench".
#pragma once

#include "kazsim/Bench.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kazsim {

// A board's flash as the bench describes it.
struct BoardFlash {
    uint32_t base = 0;
    std::vector<uint32_t> sectorSizes; // bytes, in sector order; empty: no flash

    uint64_t Size() const
    {
        uint64_t total = 0;
        for (uint32_t size : sectorSizes)
            total += size;
        return total;
    }
};

struct BenchBoard {
    int index = 0;
    std::string serial;
    std::string boardClass; // "1" to "5", or the GUID for other classes
    BoardFlash flash;
    std::string flashFile; // "" when the flash lives in memory only
};

struct BenchSetup {
    bool isDefault = true;
    std::string source;   // the bench file, or "" for the default bench
    std::string stateDir; // state folder of the default bench
    std::vector<BenchBoard> boards;
};

// The state folder (not created).
KAZSIM_API std::string StateDir();
// The flash file of the default bench's board.
KAZSIM_API std::string DefaultFlashFile(const std::string& stateDir);

// The bench file in effect: benchOption (a host's --bench), else
// KAZSIM_BENCH; "" (and benchOption "default") for the default bench.
KAZSIM_API std::string BenchFile(const std::string& benchOption);

// Puts the bench in place; must run before the library's first export is
// called. benchOption as for BenchFile. Returns false with a message in
// error. readOnly: the boards have no flash file for this run, so that
// showing a bench never opens its flash files (nor holds any flash in memory).
KAZSIM_API bool SetUpBench(const std::string& benchOption, BenchSetup& setup, std::string& error,
                           bool readOnly = false);

// The serials of every board of the bench, read only (no flash file is
// opened, the running bench is not changed). False with a message in error.
KAZSIM_API bool BenchSerials(const std::string& benchOption, std::vector<std::string>& serials, std::string& error);

// The flash of the bench board that has this device id now; nullopt when no
// board has it or its flash file cannot be read here.
KAZSIM_API std::optional<std::vector<uint8_t>> BenchFlash(uint64_t deviceId);

// The flash layout of the bench board that has this device id now.
KAZSIM_API std::optional<BoardFlash> BenchLayout(const BenchSetup& setup, uint64_t deviceId);

// The bench's boards as they are now: human lines, and the JSON object as
// text (keys in a fixed order).
KAZSIM_API std::vector<std::string> DescribeBench(const BenchSetup& setup);
KAZSIM_API std::string BenchJson(const BenchSetup& setup);

// The board a flash-loader run uses, left alone on the bench: the library
// finds a board in its boot ROM by the boot ROM's serial and waits for the
// flash loader on the first listed board only. Chosen by serial, else by
// device id (deviceId: the board's id now), else the only board (deviceId
// 0: the library opens any board). index -1: the choice is left to the
// library (no such board here), or a choice is needed (several boards and
// none named: severalBoards). held: another process holds the board's flash
// file, which is otherwise taken for this run.
struct FlashBoardChoice {
    int index = -1;
    uint64_t deviceId = 0;
    bool severalBoards = false;
    bool held = false;
};
KAZSIM_API FlashBoardChoice ChooseFlashBoard(const BenchSetup& setup, const std::string& serial,
                                             std::optional<uint64_t> deviceId);
// Takes the board's flash file for this run; false when another process
// holds it. A board without a flash file, or one that cannot be taken (the
// library reports its use of it), is never held.
KAZSIM_API bool FlashHeldElsewhere(const BenchSetup& setup, int index);

// Restores the bench: the default bench's flash file is erased; for a bench
// file, the flash files it names are erased. Returns what was done, one line
// each. When another process holds a board's flash file nothing is erased:
// inUse is set and error names the boards.
KAZSIM_API std::vector<std::string> EraseBenchFlash(BenchSetup& setup, std::string& error, bool& inUse);

} // namespace kazsim
