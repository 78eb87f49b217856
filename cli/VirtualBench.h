// The virtual bench behind the kazmir command, in builds on the simulator.
//
// Without --bench the command runs on the default bench: one board (class 1,
// serial KZ000001, CCL firmware) whose flash is kept in a file of the state
// folder, so that separate runs see the same flash. The state folder is
// $KAZMIR_STATE_DIR, else $XDG_STATE_HOME/kazmir, else ~/.local/state/kazmir,
// else (no HOME) kazmir-state-UID in the temporary folder, made private
// (0700) and refused when another user owns it.
// With --bench FILE the simulator's JSON bench description is used instead
// (its boards keep their flash where the file says, or in memory only).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ImageCheck.h"
#include "Output.h"

namespace kzcli {

struct BenchBoard {
    int index = 0;
    std::string serial;
    std::string boardClass; // "1" to "5", or the GUID for other classes
    FlashLayout flash;
    std::string flashFile; // "" when the flash lives in memory only
};

struct BenchSetup {
    bool isDefault = true;
    std::string source;   // the bench file, or "" for the default bench
    std::string stateDir; // state folder of the default bench
    std::vector<BenchBoard> boards;
};

// The state folder (not created).
std::string StateDir();
// The flash file of the default bench's board.
std::string DefaultFlashFile(const std::string& stateDir);

// Puts the bench in place; must run before the library's first export is
// called. benchFile "" (or "default") is the default bench; a set KAZSIM_BENCH
// stands for --bench when none is given. Returns false with a message in
// error. readOnly: the boards have no flash file for this run, so that
// showing a bench never opens its flash files (nor holds any flash in memory).
bool SetUpBench(const std::string& benchFile, BenchSetup& setup, std::string& error, bool readOnly = false);

// The flash of the bench board that has this device id now; nullopt when no
// board has it.
std::optional<std::vector<uint8_t>> BenchFlash(uint64_t deviceId);

// When a board of the bench has this serial but sits in its boot ROM (where
// it reports another serial), a sentence that says so; "" otherwise.
std::string BootRomHint(const BenchSetup& setup, const std::string& serial);

// The flash layout of the bench board that has this device id now.
std::optional<FlashLayout> BenchLayout(const BenchSetup& setup, uint64_t deviceId);

// The bench's boards as they are now: human lines and the JSON object.
std::vector<std::string> DescribeBench(const BenchSetup& setup);
Json BenchJson(const BenchSetup& setup);

// Restores the bench: the default bench's flash file is erased; for a bench
// file, the flash files it names are erased. Returns what was done, one line
// each. When another process holds a board's flash file nothing is erased:
// inUse is set and error names the boards.
std::vector<std::string> ResetBench(BenchSetup& setup, std::string& error, bool& inUse);

} // namespace kzcli
