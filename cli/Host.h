// The kazmir commands: each a thin layer over the library's exports, with the
// host's own checks in front of them.
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
#include "Signals.h"

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

// What program and verify do around their main step.
struct FlashOptions {
    bool verify = false;        // program: verify afterwards (verify always compares)
    bool skipUnchanged = false; // program: compare first, write nothing when the flash holds the image
    bool noCheck = false;       // hand the file to the library without the strict check
};

// The firmware mode a command opens the board in.
enum class BoardMode { None, Fld, Bal, Ccl, Bgi };

class CBoard;

class CHost {
public:
    CHost(const GlobalOptions& options, COutput& out);
    ~CHost();
    CHost(const CHost&) = delete;
    CHost& operator=(const CHost&) = delete;

    // Puts the bench in place (simulator builds); the command's exit code,
    // after its summary, when that fails. readOnly: for commands that only
    // look, the flash files stay untouched.
    std::optional<int> PrepareBench(const std::string& command, bool readOnly = false,
                                    const Json& extra = Json::object());

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

    int Program(const std::string& file, const FlashOptions& flash);
    int Verify(const std::string& file, bool noCheck);
    int Erase(bool all);
    int FwInfo();
    int Version();
    int Mode(const std::string& mode);
    int BgiSend(const std::string& text, bool hex);
    int BgiReceive(bool hex);
    int BgiEcho(const std::string& text);
    int Info(const std::string& file);
    int BenchShow();
    int BenchReset();
    // A refused command line: the summary only (the message is shown already).
    int UsageError(const std::string& message);
    // An unexpected failure (an exception): its summary, exit 1.
    int InternalError(const std::string& message);

    // Called once program or verify has opened its image: sets usePath to the
    // file the library is to read (a board's own copy), or gives the
    // sentence why the board is refused (exit 3, nothing written).
    using ImageHook = std::function<std::optional<std::string>(const std::string& command, const std::string& file,
                                                               const std::string& libraryPath, std::string& usePath)>;
    void SetImageHook(ImageHook hook) { m_ImageHook = std::move(hook); }

private:
    friend class CBoard;

    // Ends a command: the result line (human) or the summary event (JSON).
    int Finish(const std::string& command, uint32_t code, Operation op, const std::string& what,
               Json extra = Json::object());
    int FinishExit(const std::string& command, int exitCode, const std::string& message, Json extra = Json::object());
    double Elapsed() const;

    // Makes the image file ready for the library (raw binaries and ELF files
    // become a temporary S-record file); the one sentence when it cannot be.
    std::optional<std::string> OpenInput(const std::string& file);
    // Checks the file strictly; reports and returns false when refused.
    bool CheckImage(const ImageAnalysis& image, bool noCheck);
    // Works out the flash layout of the open board.
    std::optional<FlashLayout> BoardLayout(uint64_t handle);
    // Places the image; reports; returns false when refused.
    bool CheckPlacement(const ImageAnalysis& image, const std::optional<FlashLayout>& layout, bool noCheck,
                        PlacementPlan& plan);
    // Puts the bench in place, starts the library and opens the board in one
    // mode for a command; the command's exit code when any of it fails.
    std::optional<int> OpenBoard(const std::string& command, CBoard& board, BoardMode mode, uint64_t& handle,
                                 const Json& extra = Json::object());
#if KAZMIR_CLI_BENCH
    // The flash loader on the bench: the board chosen by --serial or
    // --device is left alone on it, since the library finds a board in its
    // boot ROM by the boot ROM's serial and waits for the flash loader on the
    // first listed board only. On a bench of several boards a choice is
    // needed. The board's flash file is taken for the run. The exit code
    // when the choice is missing or the board is in use.
    std::optional<int> ChooseBenchBoard(const std::string& command, BoardMode mode, const Json& extra);
    // The chosen board's flash file is held by another process (taken for
    // this run when it is free).
    bool HeldElsewhere() const;
    std::string BusyText() const;
#endif
    std::optional<int> OpenBgi(const std::string& command, CBoard& board, uint64_t& handle, uint16_t& sendMax,
                               uint16_t& receiveMax);
    int FlashCommand(const std::string& command, const std::string& file, const FlashOptions& flash);
    // The steps of program and verify: read and check the image (the exit
    // code when it is refused), tell the flash layout, compare before
    // programming (the exit code when that ends the command).
    std::optional<int> ReadFlashImage(const std::string& command, const std::string& file, bool noCheck,
                                      ImageAnalysis& image, const Json& extra);
    void SayFlashLoader(uint64_t handle, const std::optional<FlashLayout>& layout);
    std::optional<int> CompareFirst(const std::string& command, CBoard& board, const ImageAnalysis& image,
                                    const std::optional<FlashLayout>& layout, Json& extra);
    uint32_t VerifyImage(); // kzmFLDverify on the image, shown as the verify phase
    // Program, verify and erase: what the flash holds after a library call
    // that writes it (whenDone when it succeeded) or compares it.
    void AfterWrite(uint32_t result, const char* whenDone);
    void AfterVerify(uint32_t result);
    // "image", "erased", "differs", "incomplete" or "unchanged".
    std::string FlashHolds() const;
    // What a failure of program or verify means: a failure once a sector
    // operation has begun is the device's, before that the image's.
    Operation CauseOf(Operation op, size_t phasesBefore) const;
#if KAZMIR_CLI_BENCH
    // Where the image would go on each bench board: the placements in the
    // event, lines through out; false when no board with a flash takes it.
    bool InfoOnBench(const ImageAnalysis& image, Json& event, const std::function<void(const std::string&)>& out);
#endif
    int EraseAll(uint64_t handle, const std::optional<FlashLayout>& layout);
    // Before a library call or a step: what is under way (writes: the call
    // erases or writes the flash). The exit code, after the summary, when a
    // stop was asked for already.
    std::optional<int> BeginCall(const std::string& command, const std::string& activity, bool writes,
                                 const Json& extra);
    // After a library call: the exit code, after the summary, when a stop
    // was asked for meanwhile.
    std::optional<int> StopIfInterrupted(const std::string& command, const Json& extra);
    // A second signal, or a wait that did not end in time: the summary, the
    // temporary folders removed, and the process ends (the lock is held).
    [[noreturn]] void StopNow();
    // The same, or as soon as the image's conversion ends (the lock is held).
    void StopSoon();
    // Runs a step that makes a temporary folder (a converted or stamped
    // image): a stop from outside waits for it, so that the folder's name is
    // known and the folder goes.
    void MakingTemporary(const std::function<void()>& make);
    // Says how much of the image lies in the range the library programmed or
    // compared; the exit code when none of it does.
    std::optional<int> CheckCoverage(const std::string& command, const ImageAnalysis& image,
                                     const std::optional<FlashLayout>& layout, Json& extra);
    // After a failed verify: where the flash differs, as far as can be told
    // (the image as the library read it, also when converted from ELF or a
    // raw binary).
    void ExplainMismatch(uint64_t handle, const ImageAnalysis& image, const std::optional<FlashLayout>& layout);
    Json InterruptSummary(const std::string& command, Json extra, std::string& text);

    // The file the library reads for program and verify.
    const std::string& LibraryImage() const
    {
        return m_ImagePath.empty() ? m_Input.LibraryPath() : m_ImagePath;
    }

    GlobalOptions m_Options;
    COutput& m_Out;
    ImageHook m_ImageHook;
    std::string m_ImagePath;
    std::chrono::steady_clock::time_point m_Start;
    CImageInput m_Input;
    std::string m_ScratchDir;  // erase --all's temporary folder, while it exists
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

// Parses "257", "0x101"; nullopt when it is no number.
std::optional<uint64_t> ParseNumber(const std::string& text);

} // namespace kzcli
