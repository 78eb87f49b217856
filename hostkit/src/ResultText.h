// The one table of result codes: for each code (and, where the meaning
// depends on it, the call that gave it) a name, one sentence, the failure
// kind and the kazmir command's exit code. The command's texts, the README's
// tables and the Python binding's texts all come from here.
#pragma once

#include <cstdint>
#include <string>

namespace kzhost {

// Exit codes of the kazmir command, one per failure kind.
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

// A failure kind: its name (the JSON exit_name), its exit code, one sentence.
struct Kind {
    uint32_t id; // KZH_KIND_*
    const char* name;
    int exitCode;
    const char* meaning;
};
// The kinds in exit-code order; nullptr past the last.
const Kind* KindAt(uint32_t index);
const char* ExitCodeName(int exitCode); // "image", "no-board", ...; "unknown" for none

// What the code came from: the same code means different things in
// different calls (0x80004005 above all). Values as KZH_OP_*.
enum class Operation {
    Other, // any call
    Initialize,
    Open, // the init functions
    Program,
    Verify,
    Erase,
    ScanFwInfo,
    BgiSend,
    BgiReceive,
};

// One row of the table.
struct ResultRow {
    uint32_t code;
    Operation op; // Other: the row holds for every call without a row of its own
    const char* name;
    const char* meaning;
    int exitCode;
};
// The rows in table order; nullptr past the last.
const ResultRow* ResultRowAt(uint32_t index);
// The row a call of this operation gives the code: its own, a system code's
// (also wrapped as 0x8007xxxx), or the row of unknown codes.
const ResultRow& LookupResult(uint32_t code, Operation op);

// Codes and addresses: eight digits, more only past 32 bits ("0xE0FE0004").
std::string Hex32(uint64_t value);

// One sentence, without the code.
std::string Describe(uint32_t code, Operation op);

// "the image ends beyond the flash (0xE0FE0004)"
std::string DescribeWithCode(uint32_t code, Operation op);

int ExitCodeFor(uint32_t code, Operation op);

// The exit codes as the command's help lists them: "  3  image file ..."
// lines, wrapped to fit 80 columns.
std::string ExitCodeHelp();
// The tables as Markdown, as README.md and cli/README.md show them.
std::string ExitCodeTableMarkdown();
std::string ResultTableMarkdown();

} // namespace kzhost
