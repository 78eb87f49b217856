// Child processes with their output and error streams on pipes, all watched
// from one thread. One backend per platform (ChildProcessPosix.cpp,
// ChildProcessWin.cpp). A child ends when the process that started it ends,
// even when that is killed: as after a SIGTERM on POSIX systems (for a child
// built with this library, told by KAZMIR_BATCH_PARENT), at once on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "StopRequests.h"

namespace kzsupport {

// What Wait() hands over: bytes of one child's stream ("" when the stream
// ended), or a stop request (child == STOP, stream its StopCause).
struct ChildOutput {
    static constexpr size_t STOP = SIZE_MAX;
    size_t child;
    int stream; // 0 output, 1 error
    std::string data;
};

// How a child starts besides its program and arguments.
struct ChildSetup {
    // Changes to this process's environment, made in order: "NAME=value"
    // sets or replaces NAME, a bare "NAME" removes it.
    std::vector<std::string> environment;
    std::string folder; // the folder it starts in; "": this process's
};

// Makes one such change to an environment ("NAME=value" each).
void ChangeEnvironment(std::vector<std::string>& env, const std::string& change);

class CChildren {
public:
    CChildren();
    ~CChildren();
    CChildren(const CChildren&) = delete;
    CChildren& operator=(const CChildren&) = delete;

    // Runs program (a path, or a name looked up on PATH) with args as child
    // number id, in a process group of its own: a Ctrl-C at the terminal
    // reaches this process alone, which passes it on once. Its standard input
    // is this process's. False with the sentence in error.
    bool Start(size_t id, const std::string& program, const std::vector<std::string>& args, std::string& error,
               const ChildSetup& setup = {});
    // What arrived within the wait, in arrival order.
    std::vector<ChildOutput> Wait(std::chrono::milliseconds wait);
    // From any thread: a stop request for Wait to hand over.
    void NoteStop(StopCause cause);
    // Passes a stop request on to a running child.
    void Forward(size_t id, StopCause cause);
    // Stops reading a stream of a child, as a reader that is done does: its
    // writes to it fail from then on (on Windows from its next one on), and
    // Wait hands over nothing more of it, not even its end.
    void Close(size_t id, int stream);
    // The system's id of a running child's process.
    long ProcessId(size_t id) const;
    // Once both its streams ended or were closed: the child's exit code, and
    // in how why it has none of its own (EXIT_FAILURE then). signal, when
    // given, is set to the number of the signal that ended it, 0 when none.
    int Reap(size_t id, std::string& how, int* signal = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> m_p;
};

// A whole run of one program.
struct RunResult {
    int exit = -1;        // its exit code; 128 + the signal's number when a signal ended it; -1: it did not start
    std::string out, err; // what it wrote on its output and error streams
    std::string error;    // why it did not start, or why its end was not seen
};

// Runs program to its end and collects its streams. onLine, when given, is
// handed each line of the output as it arrives (with its newline) and the
// child's process id; false from it closes the output (see Close).
RunResult RunToEnd(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup = {},
                   const std::function<bool(long, const std::string&)>& onLine = {});

} // namespace kzsupport
