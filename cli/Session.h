// One kazmir command's run: the bench, the library's start, the board it
// opens, stop requests, and the summary every command ends with. The
// commands (one file each, listed in Commands.cpp) are written on it.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "ImageInput.h"
#include "Output.h"
#include "ResultText.h"
#include "StopRequests.h"

#if KAZMIR_CLI_BENCH
#include "VirtualBench.h"
#endif

namespace kzcli {

struct GlobalOptions {
    std::optional<uint64_t> deviceId; // --device
    std::string serial;               // --serial
    uint32_t timeout = 5000;          // --timeout: wait for a restarting board, ms
    uint32_t wait = 1000;             // --wait: wait for a BGI message or room, ms
    std::string bench;                // --bench
    std::optional<uint32_t> base;     // --base: load address of a raw binary
    bool benchGiven = false;
};

// A step that ended the command has written its summary: the exit code.
// nullopt: the command goes on.
using Ended = std::optional<int>;

// How a command ends: its exit code and sentence (the result line, or the
// error), and the library's result code when one decided it.
struct Outcome {
    int exitCode = EXIT_OK;
    std::string message;
    std::optional<uint32_t> code;
    Operation op = Operation::Other;
};

// The firmware mode a command opens the board in.
enum class BoardMode { None, Fld, Bal, Ccl, Bgi };

class CSession;

// One board, opened in one mode for the length of a command; left again by
// the mode's reset export on every way out.
class CBoardSession {
public:
    explicit CBoardSession(CSession& session) : m_Session(session) {}
    ~CBoardSession() { Close(); }
    CBoardSession(const CBoardSession&) = delete;
    CBoardSession& operator=(const CBoardSession&) = delete;

    uint32_t Start();
    uint32_t Open(BoardMode mode, uint64_t& deviceId);
    void Close();

private:
    CSession& m_Session;
    BoardMode m_Mode = BoardMode::None;
};

class CSession {
public:
    CSession(const GlobalOptions& options, COutput& out);
    ~CSession();
    CSession(const CSession&) = delete;
    CSession& operator=(const CSession&) = delete;

    COutput& Out() { return m_Out; }
    const GlobalOptions& Options() const { return m_Options; }
    CImageInput& Input() { return m_Input; }
    double Elapsed() const;
#if KAZMIR_CLI_BENCH
    kazsim::BenchSetup& Bench()
    {
        return m_Bench;
    }
#endif

    // Puts the bench in place (simulator builds). readOnly: for commands
    // that only look, the flash files stay untouched.
    Ended PrepareBench(const std::string& command, bool readOnly = false, const Json& extra = Json::object());

    // Stop requests (Ctrl-C, SIGTERM, SIGHUP, a closed output): the first
    // says what is under way; a library call that erases or writes the flash
    // finishes and the command stops after it, anything else (a wait for a
    // board, reading) ends within half a second. A second signal stops at
    // once. Each way ends with a summary of what the flash holds, exit 128
    // plus the first signal's number, and the temporary folders removed.
    void CatchSignals();
    // On the watcher's thread, with the state lock held (it may let it go
    // while it waits).
    void OnStopRequest(StopCause cause, std::unique_lock<std::mutex>& lock);

    // Before a library call or a step: what is under way (writes: the call
    // erases or writes the flash). Ended when a stop was asked for already.
    Ended BeginCall(const std::string& command, const std::string& activity, bool writes, const Json& extra);
    // After a library call: Ended when a stop was asked for meanwhile.
    Ended StopIfInterrupted(const std::string& command, const Json& extra);

    // The command's summary (the result line, or the summary event) for a
    // library result, and its exit code.
    int Summarise(const std::string& command, uint32_t code, Operation op, const std::string& what,
                  Json extra = Json::object());
    // The same for an outcome no library code decided.
    int SummariseExit(const std::string& command, int exitCode, const std::string& message,
                      Json extra = Json::object());
    // Every command ends here: the summary (after a stop request, the stop's
    // own), the line for a human, the exit code.
    int End(const std::string& command, const Outcome& outcome, Json extra = Json::object());
    // A refused command line: the summary only (the message is shown already).
    int UsageError(const std::string& message);
    // An unexpected failure (an exception): its summary, exit 1.
    int InternalError(const std::string& message);

    // Puts the bench in place, starts the library and opens the board in one
    // mode for a command.
    Ended OpenBoard(const std::string& command, CBoardSession& board, BoardMode mode, uint64_t& deviceId,
                    const Json& extra = Json::object());
    // The flash layout of the open board, from the library's report and the
    // bench; the output's bars learn it too.
    std::optional<FlashLayout> BoardLayout(uint64_t deviceId);

    // Makes the image file ready for the library (raw binaries and ELF files
    // become a temporary S-record file); the one sentence when it cannot be.
    std::optional<std::string> OpenInput(const std::string& file);
    // program and verify: opens, hands to the image hook and checks the file
    // strictly (unless noCheck); Ended when it is refused.
    Ended ReadFlashImage(const std::string& command, const std::string& file, bool noCheck, ImageAnalysis& image,
                         const Json& extra);
    // The file the library reads for program and verify.
    const std::string& LibraryImage() const
    {
        return m_ImagePath.empty() ? m_Input.LibraryPath() : m_ImagePath;
    }

    // Called once program or verify has opened its image: sets usePath to the
    // file the library is to read (a board's own copy), or gives the
    // sentence why the board is refused (exit 3, nothing written).
    using ImageHook = std::function<std::optional<std::string>(const std::string& command, const std::string& file,
                                                               const std::string& libraryPath, std::string& usePath)>;
    // checked: called with the check of that file, before it is judged.
    using ImageCheckedHook = std::function<void(const ImageAnalysis& image)>;
    void SetImageHook(ImageHook hook, ImageCheckedHook checked)
    {
        m_ImageHook = std::move(hook);
        m_ImageCheckedHook = std::move(checked);
    }

    // Program, verify and erase: what the flash holds after a library call
    // that writes it (whenDone when it succeeded) or compares it.
    void AfterWrite(uint32_t result, const char* whenDone);
    void AfterVerify(uint32_t result);
    // What a failure of program or verify means: a failure once a sector
    // operation has begun is the device's, before that the image's.
    Operation CauseOf(Operation op, size_t phasesBefore) const;

private:
    friend class CBoardSession;

    bool CheckImage(const ImageAnalysis& image, bool noCheck);
#if KAZMIR_CLI_BENCH
    // The flash loader's board on the bench (kazsim::ChooseFlashBoard); on a
    // bench of several boards a choice is needed.
    Ended ChooseBenchBoard(const std::string& command, BoardMode mode, const Json& extra);
    std::string BusyText() const;
#endif
    // A second signal, or a wait that did not end in time: the summary, the
    // temporary folders removed, and the process ends (the lock is held).
    [[noreturn]] void StopNow();
    // The same, or as soon as the image's conversion ends (the lock is held).
    void StopSoon();
    // Runs a step that makes a temporary folder (a converted or stamped
    // image): a stop from outside waits for it, so that the folder's name is
    // known and the folder goes.
    void MakingTemporary(const std::function<void()>& make);
    Json InterruptSummary(const std::string& command, Json extra, std::string& text);
    // "image", "erased", "differs", "incomplete" or "unchanged".
    std::string FlashHolds() const;

    GlobalOptions m_Options;
    COutput& m_Out;
    ImageHook m_ImageHook;
    ImageCheckedHook m_ImageCheckedHook;
    std::string m_ImagePath;
    std::chrono::steady_clock::time_point m_Start;
    std::string m_Serial; // the board's serial number, when known (--serial, or the bench's board)
    CImageInput m_Input;
    std::string m_Command;     // the command under way ("" before it starts)
    std::string m_Activity;    // what it is doing now, in words
    bool m_Writing = false;    // the library call under way erases or writes the flash
    bool m_Converting = false; // a converted or stamped image is being made
    bool m_StopWhenConverted = false;
    Json m_Extra = Json::object(); // the summary's own fields known so far
    std::string m_Holds = "unchanged";
    std::optional<uint64_t> m_OpenId; // the board to open, when the bench has told its id
    int m_BoardIndex = -1;            // the bench board the flash command uses
#if KAZMIR_CLI_BENCH
    kazsim::BenchSetup m_Bench;
    bool m_BenchReady = false;
#endif
};

} // namespace kzcli
