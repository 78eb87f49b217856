// The children of a batch: each one this program again, its output and error
// streams on pipes, all watched from the batch's own thread. One backend per
// platform (ChildProcessPosix.cpp, ChildProcessWin.cpp). A child ends when
// the batch that started it ends, even when that is killed: as after a
// SIGTERM on POSIX systems, at once on Windows.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Signals.h"

namespace kzcli {

// What Wait() hands over: bytes of one child's stream ("" when the stream
// ended), or a stop request (child == STOP, stream its StopCause).
struct ChildOutput {
    static constexpr size_t STOP = SIZE_MAX;
    size_t child;
    int stream; // 0 output, 1 error
    std::string data;
};

class CChildren {
public:
    CChildren();
    ~CChildren();
    CChildren(const CChildren&) = delete;
    CChildren& operator=(const CChildren&) = delete;

    // Runs program with args as child number id, in a process group of its
    // own: a Ctrl-C at the terminal reaches the batch alone, which passes it
    // on once. False with the sentence in error.
    bool Start(size_t id, const std::string& program, const std::vector<std::string>& args, std::string& error);
    // What arrived within the wait, in arrival order.
    std::vector<ChildOutput> Wait(std::chrono::milliseconds wait);
    // From any thread: a stop request for Wait to hand over.
    void NoteStop(StopCause cause);
    // Passes a stop request on to a running child.
    void Forward(size_t id, StopCause cause);
    // Once both its streams ended: the child's exit code, and in how why it
    // has none of its own.
    int Reap(size_t id, std::string& how);

private:
    struct Impl;
    std::unique_ptr<Impl> m_p;
};

} // namespace kzcli
