// Requests from outside to stop: Ctrl-C, SIGTERM, SIGHUP and a closed output,
// met in one way however many children a program runs. The handlers only
// note a request; a thread of its own hands it on.
#pragma once

#include <functional>
#include <string>

namespace kzsupport {

// Why a run is asked to stop. The numbers are the POSIX signal numbers; the
// exit code is 128 plus the number, as a shell reports a process that such a
// signal ended.
enum class StopCause : int { Hangup = 1, Interrupt = 2, OutputClosed = 13, Terminate = 15 };

int StopExitCode(StopCause cause);           // 129, 130, 141, 143
bool IsStopExitCode(int exitCode);           // one of those
const char* StopCauseName(StopCause cause);  // "SIGHUP", "SIGINT", "closed-output", "SIGTERM"
std::string StopCauseWords(StopCause cause); // "Ctrl-C (SIGINT)", "the output was closed", ...

// Installs the handlers once per process and calls onStop on a thread of its
// own for each request, in arrival order. SIGPIPE is ignored: a write to a
// closed output fails with EPIPE instead, which the output reports through
// OutputClosed.
void CatchStopRequests(std::function<void(StopCause)> onStop);

// The output stream was closed by its reader: a stop request of its own,
// handed on once.
void OutputClosed();

} // namespace kzsupport
