// The kazmir commands: each a thin layer over the library's exports, with the
// host's own checks in front of them.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "ImageInput.h"
#include "Output.h"
#include "ResultText.h"

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

    // Puts the bench in place (simulator builds); false after reporting.
    // readOnly: for commands that only look, the flash files stay untouched.
    bool PrepareBench(bool needed, bool readOnly = false);

    // Ctrl-C and SIGTERM: the first says what is under way and lets the
    // library call in progress finish, the command then stops with exit 130;
    // the second stops at once. Both end with a summary of what was erased
    // and written.
    void CatchSignals();
    // The count-th signal arrived (called outside the main thread).
    void OnSignal(int count);

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
#if KAZMIR_CLI_BENCH
    // Where the image would go on each bench board: the placements in the
    // event, lines through out; false when no board with a flash takes it.
    bool InfoOnBench(const ImageAnalysis& image, Json& event, const std::function<void(const std::string&)>& out);
#endif
    int EraseAll(uint64_t handle, const std::optional<FlashLayout>& layout);
    // After a library call: the exit code when a signal came meanwhile.
    std::optional<int> StopIfInterrupted(const std::string& command, const Json& extra);
    // Says how much of the image lies in the range the library programmed or
    // compared; the exit code when none of it does.
    std::optional<int> CheckCoverage(const std::string& command, const ImageAnalysis& image,
                                     const std::optional<FlashLayout>& layout, Json& extra);
    // After a failed verify: where the flash differs, as far as can be told.
    void ExplainMismatch(const std::string& file, uint64_t handle, const ImageAnalysis& image,
                         const std::optional<FlashLayout>& layout);
    Json InterruptSummary(const std::string& command, Json extra, std::string& text);
    // What is under way, for the first signal's message.
    void Doing(const std::string& command, const std::string& activity);

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
    std::string m_Command;         // the command under way ("" before it starts)
    std::string m_Activity;        // what it is doing now, in words
    Json m_Extra = Json::object(); // the summary's own fields known so far
    bool m_Finished = false;       // the summary has been written
#if KAZMIR_CLI_BENCH
    BenchSetup m_Bench;
    bool m_BenchReady = false;
#endif
};

// Parses "257", "0x101"; nullopt when it is no number.
std::optional<uint64_t> ParseNumber(const std::string& text);

} // namespace kzcli
