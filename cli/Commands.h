// The kazmir commands: one file each, one table (Commands.cpp) that gives
// each its name, help, options, handler, whether it runs over several boards
// (one process per board) and the past-tense verb a batch summary uses.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "Session.h"
#if KAZMIR_CLI_RUNLOG
#include "Digest.h"
#include "LineRecord.h"
#endif

namespace kzcli {

// What program and verify do around their main step.
struct FlashOptions {
    bool verify = false;        // program: verify afterwards (verify always compares)
    bool skipUnchanged = false; // program: compare first, write nothing when the flash holds the image
    bool noCheck = false;       // hand the file to the library without the strict check
};

// Everything the command line sets.
struct CommandLine {
    CLI::App app{"kazmir: program the flash of Kazmir interface boards and drive their firmware modes", "kazmir"};
    GlobalOptions options;
    std::string device;               // --device as given
    std::vector<std::string> serials; // --serial, once or more
    bool json = false, quiet = false, verbose = false, plain = false;
    CLI::Option* benchOpt = nullptr;
    std::string file, baseText, modeName, text;
    FlashOptions flash;
    bool eraseAll = false, hex = false, allBoards = false;
    unsigned jobs = 0;
    const struct Command* chosen = nullptr; // the table's command given, if any
    std::function<int(CSession&)> run;      // what runs it (also kazmir log and counter)
#if KAZMIR_CLI_RUNLOG
    kzlog::LineSettings line; // --log, --station, --no-log, --require-log, --stamp, --junit, --csv
#endif
};

struct Command {
    const char* name; // "program", "bgi send": a group's subcommand after its group's name
    const char* help;
    void (*addOptions)(CLI::App& sub, CommandLine& c); // nullptr: none
    int (*run)(CSession& session, const CommandLine& c);
    bool batch;       // runs on several boards, one kazmir process per board
    const char* done; // "programmed": "4 boards programmed"
};

// Every command, in the help's order.
const std::vector<Command>& Commands();
// The command of that name; nullptr when there is none.
const Command* FindCommand(const std::string& name);

// Each command file's entry in the table.
extern const Command PROGRAM_COMMAND, VERIFY_COMMAND, ERASE_COMMAND, FWINFO_COMMAND, VERSION_COMMAND, MODE_COMMAND,
    BGI_SEND_COMMAND, BGI_RECEIVE_COMMAND, BGI_ECHO_COMMAND, INFO_COMMAND, BENCH_SHOW_COMMAND, BENCH_RESET_COMMAND;

// The group a command name begins with ("bgi", "bench") and its help; ""
// for a command of no group.
std::string GroupOf(const std::string& name);
const char* GroupHelp(const std::string& group);
// A word of a list, in kazmir's words when it is none of them.
CLI::Validator OneOf(const std::vector<std::string>& words);

// FILE and --base: the image options of program, verify and info.
void AddImageArguments(CLI::App& sub, CommandLine& c);
// program and verify: the image's steps around the library's program and verify.
int RunFlashImage(CSession& s, const std::string& command, const std::string& file, const FlashOptions& flash);

#if KAZMIR_CLI_RUNLOG
using kzlog::ImageSha256; // info's SHA-256 line
#endif

} // namespace kzcli
