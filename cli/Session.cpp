#include "Session.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "Format.h"
#include "TempFolder.h"
#include "kazmir.h"

#if KAZMIR_CLI_BENCH
#include "kazsim/BenchSetup.h"
#endif

namespace kzcli {

namespace {

// The command's state that the stop-request watcher reads: what is under
// way, whether the summary is written. The report callback holds it too, so
// that a stop request sees no report half taken.
std::mutex g_StateLock;
bool g_Finished = false;           // the command's summary is written (g_StateLock)
std::atomic<int> g_StopCause{0};   // the first stop request's cause; 0: none
CSession* g_pSignalHost = nullptr; // g_StateLock

// How long a wait for a board, or reading, may go on after the first request.
constexpr auto STOP_GRACE = std::chrono::milliseconds(500);

void LockedCallback(void* context, uint8_t kind, const char* text)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    COutput::Callback(context, kind, text);
}

bool IsFlashCommand(const std::string& command)
{
    return command == "program" || command == "verify" || command == "erase";
}

} // namespace

CSession::CSession(const GlobalOptions& options, COutput& out)
    : m_Options(options), m_Out(out), m_Start(std::chrono::steady_clock::now()), m_Serial(options.serial)
{
}

CSession::~CSession()
{
    // A stop request from now on finds the command over.
    std::lock_guard<std::mutex> lock(g_StateLock);
    g_Finished = true;
    if (g_pSignalHost == this)
        g_pSignalHost = nullptr;
}

double CSession::Elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
}

Ended CSession::PrepareBench(const std::string& command, bool readOnly, const Json& extra)
{
#if KAZMIR_CLI_BENCH
    if (m_BenchReady)
        return std::nullopt;
    std::string error;
    if (!kazsim::SetUpBench(m_Options.bench, m_Bench, error, readOnly))
        return SummariseExit(command, EXIT_USAGE, "cannot set up the bench: " + error, extra);
    m_BenchReady = true;
    return std::nullopt;
#else
    (void)readOnly;
    if (m_Options.benchGiven)
        return SummariseExit(command, EXIT_USAGE, "this build of kazmir has no virtual bench", extra);
    return std::nullopt;
#endif
}

void CSession::CatchSignals()
{
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        g_pSignalHost = this;
    }
    m_Out.OnOutputClosed([] { OutputClosed(); });
    CatchStopRequests([](StopCause cause) {
        // The host lives while its command is not finished: its destructor
        // waits for this lock.
        std::unique_lock<std::mutex> lock(g_StateLock);
        if (!g_Finished && g_pSignalHost != nullptr)
            g_pSignalHost->OnStopRequest(cause, lock);
    });
}

Ended CSession::BeginCall(const std::string& command, const std::string& activity, bool writes, const Json& extra)
{
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        m_Command = command;
        m_Extra = extra;
        if (g_StopCause.load() == 0) {
            m_Activity = activity;
            m_Writing = writes;
            return std::nullopt;
        }
    }
    return StopIfInterrupted(command, extra);
}

std::string CSession::FlashHolds() const
{
    // Stopped inside a call that erases or writes: as far as it came.
    if (m_Writing && m_Out.Progress().TouchesFlash())
        return "incomplete";
    return m_Holds;
}

void CSession::AfterWrite(uint32_t result, const char* whenDone)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (result == 0)
        m_Holds = whenDone;
    else if (m_Out.Progress().TouchesFlash())
        m_Holds = "incomplete";
    m_Writing = false;
}

void CSession::AfterVerify(uint32_t result)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (result == 0)
        m_Holds = "image";
    else if (result == KZM_E_VERIFY)
        m_Holds = "differs";
}

Operation CSession::CauseOf(Operation op, size_t phasesBefore) const
{
    return m_Out.PhaseCount() > phasesBefore ? Operation::Sectors : op;
}

namespace {

// What the flash holds, in words, for the summary after a stop.
std::string HoldsText(const std::string& holds, unsigned erased, unsigned written, unsigned total)
{
    const std::string counts = Plural(erased, "sector", "sectors") + " erased and " + std::to_string(written) +
                               " written" +
                               (total != 0 ? " of the " + Plural(total, "sector", "sectors") + " of the range" : "");
    if (holds == "image")
        return counts + ": the flash holds the image";
    if (holds == "erased")
        return counts + ": the flash is erased";
    if (holds == "incomplete")
        return counts + ": the flash is incomplete, program it again";
    if (holds == "differs")
        return "nothing was erased or written: the flash differs from the image";
    return "nothing was erased or written: the flash is as it was";
}

} // namespace

Json CSession::InterruptSummary(const std::string& command, Json extra, std::string& text)
{
    const StopCause cause = static_cast<StopCause>(g_StopCause.load());
    const int exitCode = StopExitCode(cause);
    const auto [erased, written, total] = m_Out.Progress().Sum();
    text =
        "stopped by " + StopCauseWords(cause) + " while " + (m_Activity.empty() ? std::string("starting") : m_Activity);
    if (IsFlashCommand(command))
        text += ": " + HoldsText(FlashHolds(), erased, written, total);
    Json summary = {{"event", "summary"},
                    {"command", command},
                    {"result", {{"text", text}}},
                    {"exit", exitCode},
                    {"exit_name", ExitCodeName(exitCode)},
                    {"seconds", Elapsed()},
                    {"interrupted", true},
                    {"signal", StopCauseName(cause)},
                    {"sectors_erased", erased},
                    {"sectors_written", written},
                    {"range_sectors", total}};
    if (IsFlashCommand(command))
        summary["flash_holds"] = FlashHolds();
    summary.update(extra);
    return summary;
}

void CSession::OnStopRequest(StopCause cause, std::unique_lock<std::mutex>& lock)
{
    // A closed output asks once and never hurries a stop already asked for;
    // a signal after any request stops at once.
    const bool closed = cause == StopCause::OutputClosed;
    if (closed && g_StopCause.load() != 0)
        return;
    if (g_StopCause.load() != 0)
        return StopSoon();
    g_StopCause = static_cast<int>(cause);
    std::string doing = m_Activity.empty() ? std::string("starting") : m_Activity;
    const CProgress progress = m_Out.Progress();
    const std::vector<PhaseStats>& phases = progress.Phases();
    if (m_Writing && !phases.empty()) {
        const PhaseStats& p = phases.back();
        doing += " (" + std::string(ReportPhaseName(p.phase)) + " phase, " + std::to_string(p.done) + " of " +
                 Plural(p.total, "sector", "sectors") + " done)";
    }
    m_Out.Event({{"event", "interrupt"}, {"under_way", doing}, {"signal", StopCauseName(cause)}});
    const std::string head = (closed ? std::string("The output was closed") : "Stopping on " + StopCauseWords(cause)) +
                             " while " + doing + ".";
    if (m_Writing) {
        m_Out.Note(head + " The library finishes the call under way, so that the flash is left whole, then kazmir "
                          "stops; a signal more stops at once and leaves the flash incomplete.");
        return;
    }
    m_Out.Note(head + " Nothing is being written now: kazmir stops within a second.");
    // A wait for a board, or reading, is not waited out: the command gets
    // the grace to stop on its own (it begins no call that writes after a
    // stop request), then it is stopped from here.
    const auto deadline = std::chrono::steady_clock::now() + STOP_GRACE;
    for (;;) {
        lock.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        lock.lock();
        if (g_Finished)
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            return StopSoon();
    }
}

void CSession::StopSoon()
{
    // The temporary folder's name is known once it is made.
    if (m_Converting)
        m_StopWhenConverted = true;
    else
        StopNow();
}

void CSession::StopNow()
{
    std::string text;
    const Json summary = InterruptSummary(m_Command.empty() ? "kazmir" : m_Command, m_Extra, text);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    m_Out.Warn("error: " + text);
    // The main thread may be inside the library: no destructors run, so the
    // temporary folders go here.
    RemoveAllTemporaryFolders();
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(summary.value("exit", EXIT_FAILURE_));
}

Ended CSession::StopIfInterrupted(const std::string& command, const Json& extra)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    m_Writing = false;
    if (g_StopCause.load() == 0 || g_Finished)
        return std::nullopt;
    std::string text;
    const Json summary = InterruptSummary(command, extra, text);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    m_Out.Warn("error: " + text);
    return summary.value("exit", EXIT_FAILURE_);
}

int CSession::Summarise(const std::string& command, uint32_t code, Operation op, const std::string& what, Json extra)
{
#if KAZMIR_CLI_BENCH
    // A board another run took meanwhile: the library's code names another
    // cause (a lost driver connection, a failed read).
    if (code != 0 && g_StopCause.load() == 0 && kazsim::FlashHeldElsewhere(m_Bench, m_BoardIndex))
        return End(command, {EXIT_BUSY, what + ": " + BusyText(), {}, Operation::Other}, std::move(extra));
#endif
    return End(command, {ExitCodeFor(code, op), what, code, op}, std::move(extra));
}

int CSession::SummariseExit(const std::string& command, int exitCode, const std::string& message, Json extra)
{
    return End(command, {exitCode, message, {}, Operation::Other}, std::move(extra));
}

int CSession::End(const std::string& command, const Outcome& outcome, Json extra)
{
    // A run asked to stop ends as stopped, whatever its last step gave.
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
    const int exitCode = outcome.exitCode;
    // Without a library code the result has text only.
    Json result = {{"text", outcome.message.empty() ? std::string(ExitCodeName(exitCode)) : outcome.message}};
    if (outcome.code)
        result = {{"code", Hex32(*outcome.code)}, {"text", Describe(*outcome.code, outcome.op)}};
    Json summary = {{"event", "summary"},
                    {"command", command},
                    {"result", result},
                    {"exit", exitCode},
                    {"exit_name", ExitCodeName(exitCode)},
                    {"seconds", Elapsed()}};
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (IsFlashCommand(command))
        summary["flash_holds"] = FlashHolds();
    if (!m_Serial.empty())
        summary["serial"] = m_Serial;
    summary.update(extra);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    if (exitCode != EXIT_OK)
        m_Out.Warn("error: " + outcome.message +
                   (outcome.code ? ": " + DescribeWithCode(*outcome.code, outcome.op) : std::string()));
    else if (!outcome.message.empty())
        m_Out.Result(outcome.message);
    return exitCode;
}

bool CSession::CheckImage(const ImageAnalysis& image, bool noCheck)
{
    if (noCheck) {
        m_Out.Event({{"event", "check"}, {"file", image.path}, {"result", "skipped"}});
        m_Out.Say("Not checking " + image.path + " (--no-check): the library reads it as it is.");
        return true;
    }
    const size_t errors = image.Errors();
    m_Out.Event({{"event", "check"},
                 {"file", image.path},
                 {"result", errors == 0 ? "accepted" : "refused"},
                 {"findings", FindingsJson(image.findings)}});
    if (errors == 0) {
        std::string text = "Checked " + image.path + ": " + image.FormatName() + ", " +
                           Plural(image.blocks.size(), "block", "blocks") + ", " +
                           Plural(image.dataBytes, "byte", "bytes");
        text += ", " + FwInfoLine(image.fwInfo);
        m_Out.Say(text);
        for (const auto& line : FindingLines(image.findings, false, "  "))
            m_Out.Say(line);
        return true;
    }
    m_Out.Warn(image.path + " is refused, " + Plural(errors, "problem", "problems") +
               " (nothing was sent to the board):");
    for (const auto& line : FindingLines(image.findings, true, "  "))
        m_Out.Warn(line);
    m_Out.Warn("Fix the file, or give --no-check to hand it to the library as it is.");
    return false;
}

std::optional<FlashLayout> CSession::BoardLayout(uint64_t handle)
{
    std::optional<FlashLayout> layout = m_Out.TraceLayout();
#if KAZMIR_CLI_BENCH
    if (auto bench = LayoutOf(kazsim::BenchLayout(m_Bench, handle))) {
        // The library's own figures win where both are known.
        if (!layout || layout->sectorCount == bench->sectorSizes.size()) {
            if (layout)
                bench->base = layout->base;
            layout = bench;
        }
    }
#else
    (void)handle;
#endif
    if (layout)
        m_Out.SetLayout(*layout);
    return layout;
}

Ended CSession::OpenBoard(const std::string& command, CBoardSession& board, BoardMode mode, uint64_t& handle,
                          const Json& extra)
{
    if (auto failed = PrepareBench(command, false, extra))
        return failed;
#if KAZMIR_CLI_BENCH
    if (auto refused = ChooseBenchBoard(command, mode, extra))
        return refused;
#endif
    const std::string into = mode == BoardMode::Fld   ? "into its flash loader"
                             : mode == BoardMode::Bal ? "into its BAL firmware"
                             : mode == BoardMode::Ccl ? "into its CCL firmware"
                                                      : "into its CCL firmware to open its BGI channels";
    if (auto stop = BeginCall(command, "bringing the board " + into, false, extra))
        return stop;
    uint32_t result = board.Start();
    if (result != 0)
        return Summarise(command, result, Operation::Initialize, "the library could not start", extra);
    result = board.Open(mode, handle);
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
    if (result == 0)
        return std::nullopt;
    board.Close();
    return Summarise(command, result, Operation::Open,
                     mode == BoardMode::Bgi ? std::string("could not open the board's BGI channels")
                                            : "could not bring the board " + into,
                     extra);
}

#if KAZMIR_CLI_BENCH
Ended CSession::ChooseBenchBoard(const std::string& command, BoardMode mode, const Json& extra)
{
    // The firmware modes find their board again by its serial after a
    // restart: they need no help.
    if (mode != BoardMode::Fld)
        return std::nullopt;
    const kazsim::FlashBoardChoice choice = kazsim::ChooseFlashBoard(m_Bench, m_Options.serial, m_Options.deviceId);
    if (choice.severalBoards) {
        std::string serials;
        for (const kazsim::BenchBoard& b : m_Bench.boards)
            serials += (serials.empty() ? "" : ", ") + b.serial;
        const std::string all = command == "erase"    ? " or every board with --all-boards"
                                : command == "fwinfo" ? ""
                                                      : " or every board with --all";
        return SummariseExit(command, EXIT_USAGE,
                             "the bench has " + std::to_string(m_Bench.boards.size()) + " boards (" + serials +
                                 "): choose one with --serial" + all,
                             extra);
    }
    // A choice the bench does not hold is left to the library, which finds
    // no such board.
    if (choice.index < 0)
        return std::nullopt;
    m_BoardIndex = choice.index;
    m_Serial = m_Bench.boards[static_cast<size_t>(choice.index)].serial;
    if (choice.deviceId != 0) {
        m_OpenId = choice.deviceId;
        m_Out.Verbose("bench board " + std::to_string(choice.index) + " (" + m_Serial + ", device id " +
                      HandleText(*m_OpenId) + ") alone on the bench");
    }
    if (choice.held)
        return SummariseExit(command, EXIT_BUSY, BusyText(), extra);
    return std::nullopt;
}

std::string CSession::BusyText() const
{
    return "the board is in use by another program: its flash file " +
           m_Bench.boards[static_cast<size_t>(m_BoardIndex)].flashFile +
           " is held by another process; close that program and try again";
}
#endif

void CSession::MakingTemporary(const std::function<void()>& make)
{
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        m_Converting = true;
    }
    make();
    std::lock_guard<std::mutex> lock(g_StateLock);
    m_Converting = false;
    if (m_StopWhenConverted)
        StopNow();
}

std::optional<std::string> CSession::OpenInput(const std::string& file)
{
    std::optional<std::string> reason;
    MakingTemporary([&] { reason = m_Input.Open(file, m_Options.base); });
    if (reason)
        return reason;
    if (!m_Input.Description().empty()) {
        m_Out.Say("Read " + file + ": " + m_Input.Description() + ", handed to the library as S-records.");
        m_Out.Event({{"event", "input"},
                     {"file", file},
                     {"format", m_Input.Format() == ImageFormat::Elf ? "elf" : "binary"},
                     {"text", m_Input.Description()}});
    }
    return std::nullopt;
}

Ended CSession::ReadFlashImage(const std::string& command, const std::string& file, bool noCheck, ImageAnalysis& image,
                               const Json& extra)
{
    if (auto stop = BeginCall(command, "reading " + file, false, extra))
        return stop;
    // Regular files only: a folder, device or pipe never reaches the library.
    if (auto reason = OpenInput(file))
        return SummariseExit(command, m_Input.FailureExit(), *reason, extra);
    std::optional<std::string> refused;
    if (m_ImageHook)
        MakingTemporary([&] { refused = m_ImageHook(command, file, m_Input.LibraryPath(), m_ImagePath); });
    if (refused)
        return SummariseExit(command, EXIT_IMAGE, *refused, extra);
    // Read even with --no-check: how much of the image the library's range
    // holds is told afterwards in any case.
    image = AnalyseImageFile(LibraryImage());
    if (m_ImageCheckedHook)
        m_ImageCheckedHook(image);
    image.path = file;
    if (!noCheck && !image.readable)
        return SummariseExit(command, EXIT_IMAGE, image.findings.front().text, extra);
    if (!CheckImage(image, noCheck))
        return SummariseExit(command, EXIT_IMAGE, file + " is damaged or would not be read as it is meant", extra);
    return std::nullopt;
}

int CSession::InternalError(const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        if (g_Finished) {
            m_Out.Warn("error: " + message);
            return EXIT_FAILURE_;
        }
    }
    return SummariseExit(m_Command.empty() ? "kazmir" : m_Command, EXIT_FAILURE_, message);
}

int CSession::UsageError(const std::string& message)
{
    m_Out.Event({{"event", "summary"},
                 {"command", ""},
                 {"result", {{"text", message}}},
                 {"exit", EXIT_USAGE},
                 {"exit_name", ExitCodeName(EXIT_USAGE)},
                 {"seconds", Elapsed()}});
    return EXIT_USAGE;
}

uint32_t CBoardSession::Start()
{
    m_Session.m_Out.Verbose("kzmInitialize");
    const uint32_t result = kzmInitialize();
    if (result != 0)
        return result;
    return kzmRegisterCallback(&m_Session.m_Out, &LockedCallback);
}

namespace {

// Each mode's entries: open by id, by serial (none for the flash loader and
// the BGI channels), and the reset that leaves it.
struct ModeCalls {
    const char* name; // "FLD": kzmFLDinit, kzmFLDinitSer, kzmFLDreset
    KZMRESULT (*init)(uint32_t, uint64_t, uint64_t*);
    KZMRESULT (*initSer)(uint32_t, const char*, uint64_t*);
    KZMRESULT (*reset)();
};

const ModeCalls& CallsOf(BoardMode mode)
{
    static const ModeCalls FLD{"FLD", kzmFLDinit, nullptr, kzmFLDreset};
    static const ModeCalls BAL{"BAL", kzmBALinit, kzmBALinitSer, kzmBALreset};
    static const ModeCalls CCL{"CCL", kzmCCLinit, kzmCCLinitSer, kzmCCLreset};
    static const ModeCalls BGI{"BGI", kzmBGIinit, nullptr, kzmBGIreset};
    return mode == BoardMode::Fld ? FLD : mode == BoardMode::Bal ? BAL : mode == BoardMode::Ccl ? CCL : BGI;
}

} // namespace

uint32_t CBoardSession::Open(BoardMode mode, uint64_t& handle)
{
    const GlobalOptions& o = m_Session.m_Options;
    COutput& out = m_Session.m_Out;
    uint64_t id = m_Session.m_OpenId.value_or(o.deviceId.value_or(DEVICE_ID_ANY));
    // A serial the bench has resolved to a board is opened by its id.
    if (!o.serial.empty() && !m_Session.m_OpenId) {
        const ModeCalls& calls = CallsOf(mode);
        if (calls.initSer != nullptr) {
            m_Mode = mode;
            out.Verbose(std::string("kzm") + calls.name + "initSer " + o.serial);
            return calls.initSer(o.timeout, o.serial.c_str(), &handle);
        }
        // The flash loader and the BGI channels open by id only: find the
        // board by its serial number in its CCL firmware first.
        m_Mode = BoardMode::Ccl;
        out.Verbose("kzmCCLinitSer " + o.serial + " (to learn the board's id)");
        const uint32_t result = kzmCCLinitSer(o.timeout, o.serial.c_str(), &id);
        Close();
        if (result != 0)
            return result;
    }
    if (mode == BoardMode::None)
        return KZM_E_FAIL;
    m_Mode = mode;
    const ModeCalls& calls = CallsOf(mode);
    out.Verbose(std::string("kzm") + calls.name + "init " +
                (id == DEVICE_ID_ANY ? std::string("any board") : HandleText(id)));
    return calls.init(o.timeout, id, &handle);
}

void CBoardSession::Close()
{
    if (m_Mode != BoardMode::None)
        CallsOf(m_Mode).reset();
    m_Mode = BoardMode::None;
}

} // namespace kzcli
