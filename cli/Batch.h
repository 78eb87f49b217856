// Many boards in one kazmir command: the library drives one board per
// process, so kazmir runs itself once per board (with --serial S --json) and
// follows each child's JSON events: live lines on a terminal, plain lines or
// JSON events with a "board" field otherwise, and a summary per board. A stop
// request (Ctrl-C, SIGTERM, SIGHUP, a closed output) is passed on to every
// running child; the table and the summary still follow.
#pragma once

#include <string>
#include <vector>

#include "Output.h"

namespace kzcli {

struct BatchRequest {
    std::string command;                // "program", "verify" or "erase"
    std::string done;                   // its past tense: "programmed"
    std::string file;                   // the image ("" for erase)
    std::vector<std::string> serials;   // one child per serial, in this order
    unsigned jobs = 0;                  // children at once; 0: one per board
    std::string self;                   // this program, to run again
    std::vector<std::string> childArgs; // the command line without the board choice and output options
    std::string bench;                  // the bench description the boards come from ("": the default bench)
};

// The parent's own command line minus --serial, the all-boards flag (allFlag),
// --jobs, --json, --plain, -q and --bench, so that every other option reaches
// each child unchanged.
std::vector<std::string> ChildArguments(int argc, char** argv, const std::string& allFlag);

// The path of the running program (argv0 when the system does not say).
std::string SelfPath(const char* argv0);

// The bench file in effect and the serials of its boards, as the virtual
// bench tells them (kazsim/BenchSetup.h); a build without the bench lists none.
std::string BenchFile(const std::string& benchOption);
bool BenchSerials(const std::string& benchOption, std::vector<std::string>& serials, std::string& error);

// Runs the command on every board; returns the highest exit code of any board.
int RunBatch(const BatchRequest& request, COutput::Mode mode, COutput::Detail detail, COutput& out);

} // namespace kzcli
