// The run log's own commands for a host (`kazmir log`, `kazmir counter`):
// the runs it holds, and its counters. Each prints what it found on out and
// what went wrong as "error: ..." lines on err, and gives the host's exit
// code: 0, 2 for a request it cannot take, 1 for a log it cannot open or
// read or a counter that is not set.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace kzlog {

// The log a command reads and the form it prints.
struct LogAccess {
    std::string target;   // the log (--log); "" for the default one in stateDir
    std::string stateDir; // "" when the host has none: then the log must be given
    bool json = false;    // one JSON object per line
};

// Which runs to list; every condition given must hold.
struct RunQuery {
    std::string serial;  // one board's runs; "" for every board's
    std::string since;   // runs from this time on, as ParseSince reads it; "" for all
    std::string image;   // runs of this image, as SetImageFilter reads it; "" for any
    bool failed = false; // only runs that failed
    uint64_t limit = 0;  // at most this many; 0: all
    bool csv = false;    // CSV instead of a table (JSON, when asked, wins)
};

// The runs, newest first.
int ListRuns(const LogAccess& access, const RunQuery& query, FILE* out, FILE* err);

// Every counter's next value (name ""), or one counter's; setText (--set,
// as given) first sets the value the counter gives next.
int ShowCounters(const LogAccess& access, const std::string& name, const std::string& setText, FILE* out, FILE* err);

} // namespace kzlog
