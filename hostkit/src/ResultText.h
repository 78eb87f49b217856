// Result codes in words, and the exit codes of the kazmir command.
#pragma once

#include <cstdint>
#include <string>

namespace kzcli {

// Exit codes of the kazmir command; documented in --help and README.md.
enum ExitCode : int {
    EXIT_OK = 0,            // success
    EXIT_FAILURE_ = 1,      // any other failure (internal, out of memory, ...)
    EXIT_USAGE = 2,         // wrong command line
    EXIT_IMAGE = 3,         // image file unreadable or damaged (also refused by the check)
    EXIT_NO_BOARD = 4,      // no board found
    EXIT_NO_RESPONSE = 5,   // the board did not respond or timed out
    EXIT_VERIFY = 6,        // the flash differs from the image
    EXIT_DEVICE = 7,        // device or flash failure
    EXIT_BUSY = 8,          // the board is in use by another program
    EXIT_NO_FIT = 9,        // the image does not fit the board's flash (or none of it was written)
    EXIT_INTERRUPTED = 130, // stopped by Ctrl-C or SIGTERM
};

const char* ExitCodeName(int exitCode); // "image", "no-board", ...

// What the code came from: the same code means different things in
// different calls (0x80004005 above all).
enum class Operation {
    Initialize, // kzmInitialize, kzmGetVersion
    Open,       // the init functions
    Program,
    Verify,
    Erase,
    ScanFwInfo,
    BgiSend,
    BgiReceive,
    Other,
};

// Codes and addresses: eight digits, more only past 32 bits ("0xE0FE0004").
std::string Hex32(uint64_t value);

// One sentence, without the code.
std::string Describe(uint32_t code, Operation op);

// "the image ends beyond the flash (0xE0FE0004)"
std::string DescribeWithCode(uint32_t code, Operation op);

int ExitCodeFor(uint32_t code, Operation op);

} // namespace kzcli
