#include "Host.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "ImageCheck.h"
#include "kazmir.h"
#if KAZMIR_CLI_RUNLOG
#include "LineRecord.h"
#endif

#if KAZMIR_CLI_BENCH
#include "kazsim/Bench.h"
#endif

#ifndef KAZMIR_VERSION
#define KAZMIR_VERSION "unknown"
#endif

namespace kzcli {

namespace {

// Sectors the library's sector table holds.
constexpr size_t MAX_SECTORS = 32;

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

Json FindingJson(const Finding& f)
{
    Json j = {{"severity", f.severity == Severity::Error ? "error" : "warning"},
              {"issue", IssueName(f.issue)},
              {"text", f.text}};
    if (f.line != 0)
        j["line"] = f.line;
    if (f.block >= 0)
        j["block"] = f.block;
    return j;
}

Json FindingsJson(const std::vector<Finding>& findings)
{
    Json list = Json::array();
    for (const auto& f : findings)
        list.push_back(FindingJson(f));
    return list;
}

Json FwInfoJson(const FwInfoView& fw)
{
    if (!fw.found)
        return nullptr;
    return {{"name", fw.Name()},
            {"version", fw.Version()},
            {"kind", static_cast<uint32_t>(fw.record.Kind)}, // a copy: the record is packed
            {"kind_text", fw.KindText()},
            {"address", Hex32(fw.record.Address)},
            {"device", fw.Device()},
            {"device_version", fw.DeviceVersion()},
            {"block", fw.block},
            {"at", Hex32(fw.address)}};
}

Json PlanJson(const PlacementPlan& plan)
{
    Json j = {{"accepted", plan.Accepted()},
              {"library_result", Hex32(plan.result)},
              {"findings", FindingsJson(plan.findings)}};
    if (plan.result == 0 && plan.endSector > plan.firstSector) {
        j["first_sector"] = plan.firstSector;
        j["last_sector"] = plan.endSector - 1;
        j["range_start"] = Hex32(plan.rangeStart);
        j["range_size"] = plan.rangeSize;
        j["bytes_written"] = plan.bytesWritten;
        j["bytes_kept"] = plan.bytesKept;
    }
    return j;
}

// The findings as lines, at most three of one kind (then how many more of
// that kind), errors only or all.
std::vector<std::string> FindingLines(const std::vector<Finding>& all, bool errorsOnly, const std::string& indent)
{
    std::vector<Finding> findings = all;
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return !a.minor && b.minor; });
    std::vector<std::string> lines;
    std::map<Issue, size_t> seen, total;
    for (const auto& f : findings)
        if (!errorsOnly || f.severity == Severity::Error)
            ++total[f.issue];
    for (const auto& f : findings) {
        if (errorsOnly && f.severity != Severity::Error)
            continue;
        const size_t n = ++seen[f.issue];
        const std::string prefix = errorsOnly ? "" : (f.severity == Severity::Error ? "error: " : "warning: ");
        if (n <= 3)
            lines.push_back(indent + prefix + f.text);
        if (n == 3 && total[f.issue] > 3)
            lines.push_back(indent + "... and " + std::to_string(total[f.issue] - 3) + " more of this kind (" +
                            IssueName(f.issue) + ")");
    }
    return lines;
}

std::string SectorRangeText(const PlacementPlan& plan)
{
    const unsigned last = plan.endSector - 1u;
    std::string text = plan.firstSector == last
                           ? "sector " + std::to_string(plan.firstSector)
                           : "sectors " + std::to_string(plan.firstSector) + ".." + std::to_string(last);
    return text + " (flash " + Hex32(plan.rangeStart) + " to " + Hex32(plan.rangeStart + plan.rangeSize - 1) + ", " +
           HumanBytes(plan.rangeSize) + ")";
}

std::string FwInfoLine(const FwInfoView& fw)
{
    return "firmware \"" + fw.Name() + "\" " + fw.Version() + ", " + fw.KindText() + " at " + Hex32(fw.record.Address) +
           ", for \"" + fw.Device() + "\" " + fw.DeviceVersion();
}

// Text of a received message up to its first NUL, with other bytes escaped.
std::string MessageText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size && data[i] != 0; ++i) {
        const uint8_t c = data[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02X", c);
            text += buf;
        }
    }
    return text;
}

std::string HexText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof(buf), "%02X", data[i]);
        text += buf;
    }
    return text;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-')
            digits += c;
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(digits.substr(i, 2).c_str(), "%2x", &value) != 1 ||
            !std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

// An image of 0xFF bytes from address 0 to size, as S3 records of 128 bytes.
bool WriteBlankSRecords(const std::string& path, uint32_t size)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr)
        return false;
    constexpr uint32_t CHUNK = 128;
    for (uint64_t at = 0; at < size; at += CHUNK) {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(CHUNK, size - at));
        const uint32_t address = static_cast<uint32_t>(at);
        unsigned sum = (n + 5) + (address >> 24) + ((address >> 16) & 0xFF) + ((address >> 8) & 0xFF) +
                       (address & 0xFF) + 0xFF * n;
        std::fprintf(f, "S3%02X%08X", n + 5, address);
        for (uint32_t i = 0; i < n; ++i)
            std::fputs("FF", f);
        std::fprintf(f, "%02X\n", ~sum & 0xFFu);
    }
    std::fputs("S70500000000FA\n", f);
    return std::fclose(f) == 0;
}

// A new folder only this user can enter; empty on failure.
std::filesystem::path MakePrivateFolder()
{
    std::error_code ec;
    const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
    if (ec)
        return {};
#ifdef _WIN32
    for (unsigned i = 0; i < 100; ++i) {
        const auto p = temp / ("kazmir-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(i));
        if (std::filesystem::create_directory(p, ec))
            return p;
    }
    return {};
#else
    std::string pattern = (temp / "kazmir-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr)
        return {};
    return pattern;
#endif
}

// The command's state that the stop-request watcher reads: what is under
// way, whether the summary is written. The report callback holds it too, so
// that a stop request sees no report half taken.
std::mutex g_StateLock;
bool g_Finished = false;         // the command's summary is written (g_StateLock)
std::atomic<int> g_StopCause{0}; // the first stop request's cause; 0: none
CHost* g_pSignalHost = nullptr;  // g_StateLock

// How long a wait for a board, or reading, may go on after the first request.
constexpr auto STOP_GRACE = std::chrono::milliseconds(500);

void LockedCallback(void* context, uint8_t kind, const char* text)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    COutput::Callback(context, kind, text);
}

bool TouchesFlash(const std::vector<PhaseStats>& phases)
{
    return std::any_of(phases.begin(), phases.end(), [](const PhaseStats& p) {
        return p.phase == ReportPhase::Erase || p.phase == ReportPhase::Write;
    });
}

bool IsFlashCommand(const std::string& command)
{
    return command == "program" || command == "verify" || command == "erase";
}

} // namespace

std::optional<uint64_t> ParseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text[0] == '-' || text[0] == '+')
        return std::nullopt;
    const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0')
        return std::nullopt;
    return static_cast<uint64_t>(value);
}

// One board, opened in one mode for the length of a command; closed again by
// the mode's reset on every way out.
class CBoard {
public:
    explicit CBoard(CHost& host) : m_Host(host) {}
    ~CBoard() { Close(); }
    CBoard(const CBoard&) = delete;
    CBoard& operator=(const CBoard&) = delete;

    uint32_t Start()
    {
        m_Host.m_Out.Verbose("kzmInitialize");
        const uint32_t result = kzmInitialize();
        if (result != 0)
            return result;
        return kzmRegisterCallback(&m_Host.m_Out, &LockedCallback);
    }

    uint32_t Open(BoardMode mode, uint64_t& handle)
    {
        const GlobalOptions& o = m_Host.m_Options;
        const uint32_t timeout = o.timeout;
        uint64_t id = m_Host.m_OpenId.value_or(o.deviceId.value_or(DEVICE_ID_ANY));
        // A serial the bench has resolved to a board is opened by its id.
        if (!o.serial.empty() && !m_Host.m_OpenId) {
            const char* serial = o.serial.c_str();
            if (mode == BoardMode::Bal) {
                m_Mode = mode;
                m_Host.m_Out.Verbose("kzmBALinitSer " + o.serial);
                return kzmBALinitSer(timeout, serial, &handle);
            }
            if (mode == BoardMode::Ccl) {
                m_Mode = mode;
                m_Host.m_Out.Verbose("kzmCCLinitSer " + o.serial);
                return kzmCCLinitSer(timeout, serial, &handle);
            }
            // The flash loader and the BGI channels open by id only: find the
            // board by its serial number in its CCL firmware first.
            m_Mode = BoardMode::Ccl;
            m_Host.m_Out.Verbose("kzmCCLinitSer " + o.serial + " (to learn the board's id)");
            const uint32_t result = kzmCCLinitSer(timeout, serial, &id);
            Close();
            if (result != 0)
                return result;
        }
        m_Mode = mode;
        const std::string idText = id == DEVICE_ID_ANY ? std::string("any board") : HandleText(id);
        switch (mode) {
        case BoardMode::Fld:
            m_Host.m_Out.Verbose("kzmFLDinit " + idText);
            return kzmFLDinit(timeout, id, &handle);
        case BoardMode::Bal:
            m_Host.m_Out.Verbose("kzmBALinit " + idText);
            return kzmBALinit(timeout, id, &handle);
        case BoardMode::Ccl:
            m_Host.m_Out.Verbose("kzmCCLinit " + idText);
            return kzmCCLinit(timeout, id, &handle);
        case BoardMode::Bgi:
            m_Host.m_Out.Verbose("kzmBGIinit " + idText);
            return kzmBGIinit(timeout, id, &handle);
        case BoardMode::None:
            break;
        }
        return KZM_E_FAIL;
    }

    void Close()
    {
        switch (m_Mode) {
        case BoardMode::Fld:
            kzmFLDreset();
            break;
        case BoardMode::Bal:
            kzmBALreset();
            break;
        case BoardMode::Ccl:
            kzmCCLreset();
            break;
        case BoardMode::Bgi:
            kzmBGIreset();
            break;
        case BoardMode::None:
            break;
        }
        m_Mode = BoardMode::None;
    }

private:
    CHost& m_Host;
    BoardMode m_Mode = BoardMode::None;
};

CHost::CHost(const GlobalOptions& options, COutput& out)
    : m_Options(options), m_Out(out), m_Start(std::chrono::steady_clock::now())
{
}

CHost::~CHost()
{
    // A stop request from now on finds the command over.
    std::lock_guard<std::mutex> lock(g_StateLock);
    g_Finished = true;
    if (g_pSignalHost == this)
        g_pSignalHost = nullptr;
}

double CHost::Elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
}

std::optional<int> CHost::PrepareBench(const std::string& command, bool readOnly, const Json& extra)
{
#if KAZMIR_CLI_BENCH
    if (m_BenchReady)
        return std::nullopt;
    std::string error;
    if (!SetUpBench(m_Options.bench, m_Bench, error, readOnly))
        return FinishExit(command, EXIT_USAGE, "cannot set up the bench: " + error, extra);
    m_BenchReady = true;
    return std::nullopt;
#else
    (void)readOnly;
    if (m_Options.benchGiven)
        return FinishExit(command, EXIT_USAGE, "this build of kazmir has no virtual bench", extra);
    return std::nullopt;
#endif
}

void CHost::CatchSignals()
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

std::optional<int> CHost::BeginCall(const std::string& command, const std::string& activity, bool writes,
                                    const Json& extra)
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

std::string CHost::FlashHolds() const
{
    // Stopped inside a call that erases or writes: as far as it came.
    if (m_Writing && TouchesFlash(m_Out.Phases()))
        return "incomplete";
    return m_Holds;
}

void CHost::AfterWrite(uint32_t result, const char* whenDone)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (result == 0)
        m_Holds = whenDone;
    else if (TouchesFlash(m_Out.Phases()))
        m_Holds = "incomplete";
    m_Writing = false;
}

void CHost::AfterVerify(uint32_t result)
{
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (result == 0)
        m_Holds = "image";
    else if (result == KZM_E_VERIFY)
        m_Holds = "differs";
}

Operation CHost::CauseOf(Operation op, size_t phasesBefore) const
{
    return m_Out.Phases().size() > phasesBefore ? Operation::Sectors : op;
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

Json CHost::InterruptSummary(const std::string& command, Json extra, std::string& text)
{
    const StopCause cause = static_cast<StopCause>(g_StopCause.load());
    const int exitCode = StopExitCode(cause);
    unsigned erased = 0, written = 0, total = 0;
    for (const PhaseStats& p : m_Out.Phases()) {
        if (p.phase == ReportPhase::Erase) {
            erased += p.done;
            total = std::max(total, p.total);
        }
        if (p.phase == ReportPhase::Write)
            written += p.done;
    }
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

void CHost::OnStopRequest(StopCause cause, std::unique_lock<std::mutex>& lock)
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
    const std::vector<PhaseStats> phases = m_Out.Phases();
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

void CHost::StopSoon()
{
    // The temporary folder's name is known once it is made.
    if (m_Converting)
        m_StopWhenConverted = true;
    else
        StopNow();
}

void CHost::StopNow()
{
    std::string text;
    const Json summary = InterruptSummary(m_Command.empty() ? "kazmir" : m_Command, m_Extra, text);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    m_Out.Warn("error: " + text);
    // The main thread may be inside the library: no destructors run, so the
    // temporary folders go here.
    std::error_code ec;
    // A stamped copy lies in a folder of its own; the user's file is no copy.
    const bool copy = !m_ImagePath.empty() && m_ImagePath != m_Input.LibraryPath();
    const std::string stamped = copy ? std::filesystem::path(m_ImagePath).parent_path().string() : "";
    for (const std::string& folder : {m_Input.TempDir(), m_ScratchDir, stamped})
        if (!folder.empty())
            std::filesystem::remove_all(folder, ec);
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(summary.value("exit", EXIT_FAILURE_));
}

std::optional<int> CHost::StopIfInterrupted(const std::string& command, const Json& extra)
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

int CHost::Finish(const std::string& command, uint32_t code, Operation op, const std::string& what, Json extra)
{
    // A run asked to stop ends as stopped, whatever its last step gave.
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
#if KAZMIR_CLI_BENCH
    // A board another run took meanwhile: the library's code names another
    // cause (a lost driver connection, a failed read).
    if (code != 0 && HeldElsewhere())
        return FinishExit(command, EXIT_BUSY, what + ": " + BusyText(), extra);
#endif
    const int exitCode = ExitCodeFor(code, op);
    Json summary = {{"event", "summary"},
                    {"command", command},
                    {"result", {{"code", Hex32(code)}, {"text", Describe(code, op)}}},
                    {"exit", exitCode},
                    {"exit_name", ExitCodeName(exitCode)},
                    {"seconds", Elapsed()}};
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (IsFlashCommand(command))
        summary["flash_holds"] = FlashHolds();
    summary.update(extra);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    if (code == 0) {
        if (!what.empty())
            m_Out.Result(what);
    } else {
        m_Out.Warn("error: " + what + ": " + DescribeWithCode(code, op));
    }
    return exitCode;
}

int CHost::FinishExit(const std::string& command, int exitCode, const std::string& message, Json extra)
{
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
    // No library code decided this outcome: the result has text only.
    Json summary = {{"event", "summary"},
                    {"command", command},
                    {"result", {{"text", message.empty() ? std::string(ExitCodeName(exitCode)) : message}}},
                    {"exit", exitCode},
                    {"exit_name", ExitCodeName(exitCode)},
                    {"seconds", Elapsed()}};
    std::lock_guard<std::mutex> lock(g_StateLock);
    if (IsFlashCommand(command))
        summary["flash_holds"] = FlashHolds();
    summary.update(extra);
    g_Finished = true;
    m_Out.EndPhase();
    m_Out.Event(summary);
    if (exitCode == EXIT_OK) {
        if (!message.empty())
            m_Out.Result(message);
    } else
        m_Out.Warn("error: " + message);
    return exitCode;
}

bool CHost::CheckImage(const ImageAnalysis& image, bool noCheck)
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
        if (image.fwInfo.found)
            text += ", " + FwInfoLine(image.fwInfo);
        else
            text += ", no firmware-information record";
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

std::optional<FlashLayout> CHost::BoardLayout(uint64_t handle)
{
    std::optional<FlashLayout> layout = m_Out.TraceLayout();
#if KAZMIR_CLI_BENCH
    if (auto bench = BenchLayout(m_Bench, handle)) {
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

bool CHost::CheckPlacement(const ImageAnalysis& image, const std::optional<FlashLayout>& layout, bool noCheck,
                           PlacementPlan& plan)
{
    if (!layout) {
        if (noCheck)
            return true;
        m_Out.Warn("The board's flash layout is unknown, so where the image would go cannot be checked.");
        return false;
    }
    if (noCheck)
        return true;
    plan = PreviewPlacement(image, *layout);
    m_Out.Event({{"event", "placement"}, {"file", image.path}, {"plan", PlanJson(plan)}});
    if (!plan.Accepted()) {
        m_Out.Warn(image.path + " does not fit this board's flash (nothing was written):");
        if (!plan.explanation.empty())
            m_Out.Warn("  " + plan.explanation + ";");
        for (const auto& line : FindingLines(plan.findings, true, "  "))
            m_Out.Warn(line);
        // Offered only where the library would write some of the image.
        if (plan.result == 0 && plan.bytesWritten > 0)
            m_Out.Warn("Give --no-check to hand it to the library all the same.");
        return false;
    }
    for (const auto& line : FindingLines(plan.findings, false, "  "))
        m_Out.Say(line);
    if (plan.result == 0 && plan.endSector > plan.firstSector) {
        m_Out.Say("The image goes into " + SectorRangeText(plan) + ": " + Plural(plan.bytesWritten, "byte", "bytes") +
                  " from the image, " + Plural(plan.bytesKept, "byte", "bytes") + " kept as they are.");
        m_Out.SetRange(plan.firstSector, plan.endSector);
    }
    return true;
}

std::optional<int> CHost::OpenBoard(const std::string& command, CBoard& board, BoardMode mode, uint64_t& handle,
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
        return Finish(command, result, Operation::Initialize, "the library could not start", extra);
    result = board.Open(mode, handle);
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
    if (result == 0)
        return std::nullopt;
    board.Close();
    return Finish(command, result, Operation::Open,
                  mode == BoardMode::Bgi ? std::string("could not open the board's BGI channels")
                                         : "could not bring the board " + into,
                  extra);
}

#if KAZMIR_CLI_BENCH
std::optional<int> CHost::ChooseBenchBoard(const std::string& command, BoardMode mode, const Json& extra)
{
    // The firmware modes find their board again by its serial after a
    // restart: they need no help.
    if (mode != BoardMode::Fld)
        return std::nullopt;
    const std::vector<BenchBoard>& boards = m_Bench.boards;
    int chosen = -1;
    if (!m_Options.serial.empty()) {
        for (const BenchBoard& b : boards)
            if (b.serial == m_Options.serial) {
                chosen = b.index;
                break;
            }
    } else if (m_Options.deviceId) {
        chosen = kazsim::Bench::FindBoard(*m_Options.deviceId);
    } else if (boards.size() > 1) {
        std::string serials;
        for (const BenchBoard& b : boards)
            serials += (serials.empty() ? "" : ", ") + b.serial;
        const std::string all = command == "erase"    ? " or every board with --all-boards"
                                : command == "fwinfo" ? ""
                                                      : " or every board with --all";
        return FinishExit(command, EXIT_USAGE,
                          "the bench has " + std::to_string(boards.size()) + " boards (" + serials +
                              "): choose one with --serial" + all,
                          extra);
    }
    if (chosen >= 0) {
        for (const BenchBoard& b : boards)
            if (b.index != chosen)
                kazsim::Bench::RemoveBoard(b.index);
        m_OpenId = kazsim::Bench::BoardInfo(chosen).DeviceId;
        m_Out.Verbose("bench board " + std::to_string(chosen) + " (" + boards[static_cast<size_t>(chosen)].serial +
                      ", device id " + HandleText(*m_OpenId) + ") alone on the bench");
    } else if (boards.size() == 1 && !m_Options.deviceId && m_Options.serial.empty()) {
        chosen = 0;
    }
    // A choice the bench does not hold is left to the library, which finds
    // no such board.
    if (chosen < 0)
        return std::nullopt;
    // The board's flash file, when there is one, is taken before the library
    // opens the board, so that of runs that start together exactly one has
    // it; the others would otherwise lose it only after the board's restart,
    // where the library reports another cause. A missing file is not made.
    m_BoardIndex = chosen;
    if (HeldElsewhere())
        return FinishExit(command, EXIT_BUSY, BusyText(), extra);
    return std::nullopt;
}

bool CHost::HeldElsewhere() const
{
    if (m_BoardIndex < 0)
        return false;
    const std::string& file = m_Bench.boards[static_cast<size_t>(m_BoardIndex)].flashFile;
    std::error_code ec;
    if (file.empty() || !std::filesystem::exists(file, ec))
        return false;
    try {
        return !kazsim::Bench::ClaimFlash(m_BoardIndex);
    } catch (const std::exception&) {
        return false; // a file that cannot be taken is reported by the library's use of it
    }
}

std::string CHost::BusyText() const
{
    return "the board is in use by another program: its flash file " +
           m_Bench.boards[static_cast<size_t>(m_BoardIndex)].flashFile +
           " is held by another process; close that program and try again";
}
#endif

void CHost::MakingTemporary(const std::function<void()>& make)
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

std::optional<std::string> CHost::OpenInput(const std::string& file)
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

int CHost::Program(const std::string& file, const FlashOptions& flash)
{
    return FlashCommand("program", file, flash);
}

int CHost::Verify(const std::string& file, bool noCheck)
{
    FlashOptions flash;
    flash.verify = true;
    flash.noCheck = noCheck;
    return FlashCommand("verify", file, flash);
}

std::optional<int> CHost::ReadFlashImage(const std::string& command, const std::string& file, bool noCheck,
                                         ImageAnalysis& image, const Json& extra)
{
    if (auto stop = BeginCall(command, "reading " + file, false, extra))
        return stop;
    // Regular files only: a folder, device or pipe never reaches the library.
    if (auto reason = OpenInput(file))
        return FinishExit(command, m_Input.FailureExit(), *reason, extra);
    std::optional<std::string> refused;
    if (m_ImageHook)
        MakingTemporary([&] { refused = m_ImageHook(command, file, m_Input.LibraryPath(), m_ImagePath); });
    if (refused)
        return FinishExit(command, EXIT_IMAGE, *refused, extra);
    // Read even with --no-check: how much of the image the library's range
    // holds is told afterwards in any case.
    image = AnalyseImageFile(LibraryImage());
    image.path = file;
    if (!noCheck && !image.readable)
        return FinishExit(command, EXIT_IMAGE, image.findings.front().text, extra);
    if (!CheckImage(image, noCheck))
        return FinishExit(command, EXIT_IMAGE, file + " is damaged or would not be read as it is meant", extra);
    return std::nullopt;
}

void CHost::SayFlashLoader(uint64_t handle, const std::optional<FlashLayout>& layout)
{
    if (layout && layout->SizesKnown())
        m_Out.Say("Board " + HandleText(handle) + " is in its flash loader: flash of " + HumanBytes(layout->Size()) +
                  " in " + Plural(layout->sectorSizes.size(), "sector", "sectors") + " at base " + Hex32(layout->base) +
                  ".");
    else
        m_Out.Say("Board " + HandleText(handle) + " is in its flash loader.");
}

uint32_t CHost::VerifyImage()
{
    m_Out.SetVerifying(true);
    const uint32_t code = kzmFLDverify(LibraryImage().c_str());
    m_Out.SetVerifying(false);
    AfterVerify(code);
    return code;
}

std::optional<int> CHost::CompareFirst(const std::string& command, CBoard& board, const ImageAnalysis& image,
                                       const std::optional<FlashLayout>& layout, Json& extra)
{
    m_Out.Say("Comparing the flash with " + image.path + " ...");
    if (auto stop =
            BeginCall(command, "comparing the flash with " + image.path + " (nothing is written yet)", false, extra))
        return stop;
    const size_t phasesBefore = m_Out.Phases().size();
    const uint32_t result = VerifyImage();
    if (auto stop = StopIfInterrupted(command, extra))
        return *stop;
    if (result == 0) {
        if (auto stop = CheckCoverage(command, image, layout, extra))
            return *stop;
        board.Close();
        extra["skipped"] = true;
        return Finish(command, 0, Operation::Verify,
                      "The flash already holds " + image.path + ": nothing was erased or written.", extra);
    }
    if (result != KZM_E_VERIFY) {
        board.Close();
        return Finish(command, result, CauseOf(Operation::Verify, phasesBefore),
                      "could not compare the flash with the image", extra);
    }
    m_Out.Say("The flash differs from the image: programming it.");
    m_Out.ResetPhases();
    return std::nullopt;
}

int CHost::FlashCommand(const std::string& command, const std::string& file, const FlashOptions& flash)
{
    const bool programming = command == "program";
    Json extra = {{"file", file}};
    ImageAnalysis image;
    if (auto refused = ReadFlashImage(command, file, flash.noCheck, image, extra))
        return *refused;

    CBoard board(*this);
    uint64_t handle = 0;
    if (auto failed = OpenBoard(command, board, BoardMode::Fld, handle, extra))
        return *failed;
    extra["device_id"] = HandleText(handle);
    const std::optional<FlashLayout> layout = BoardLayout(handle);
    SayFlashLoader(handle, layout);
    if (layout && layout->sectorCount == 0 && !layout->SizesKnown()) {
        board.Close();
        return FinishExit(command, EXIT_DEVICE,
                          "the board reports a flash of no sectors: there is nothing to " +
                              std::string(programming ? "program" : "compare"),
                          extra);
    }
    PlacementPlan plan;
    if (!CheckPlacement(image, layout, flash.noCheck, plan)) {
        board.Close();
        return FinishExit(command, layout ? EXIT_NO_FIT : EXIT_DEVICE,
                          layout ? file + " does not fit this board's flash" : "the board's flash layout is unknown",
                          extra);
    }
    if (plan.result == 0 && plan.rangeSize > 0)
        extra["bytes"] = plan.rangeSize;
    if (programming && flash.skipUnchanged)
        if (auto ended = CompareFirst(command, board, image, layout, extra))
            return *ended;
    extra["skipped"] = false;
    if (programming) {
        if (auto stop = BeginCall(command, "programming " + file, true, extra))
            return *stop;
        const size_t phasesBefore = m_Out.Phases().size();
        const uint32_t result = kzmFLDprogram(LibraryImage().c_str());
        AfterWrite(result, "image");
        if (auto stop = StopIfInterrupted(command, extra))
            return *stop;
        if (result != 0) {
            board.Close();
            return Finish(command, result, CauseOf(Operation::Program, phasesBefore), "programming " + file + " failed",
                          extra);
        }
    }
    if (!programming || flash.verify) {
        if (programming)
            m_Out.Say("Verifying ...");
        if (auto stop = BeginCall(command, "verifying " + file + " (nothing is written)", false, extra))
            return *stop;
        const size_t phasesBefore = m_Out.Phases().size();
        const uint32_t result = VerifyImage();
        if (auto stop = StopIfInterrupted(command, extra))
            return *stop;
        if (result == KZM_E_VERIFY)
            ExplainMismatch(handle, image, layout);
        if (result != 0) {
            board.Close();
            return Finish(command, result, CauseOf(Operation::Verify, phasesBefore),
                          programming ? "programmed " + file + ", but verifying it failed"
                                      : "verifying " + file + " failed",
                          extra);
        }
    }
    board.Close();
    if (auto stop = CheckCoverage(command, image, layout, extra))
        return *stop;
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.2f s", Elapsed());
    const std::string done =
        programming ? "Programmed " + file + (flash.verify ? " and verified it" : "") + " in " + seconds + "."
                    : "The flash holds " + file + " (verified in " + seconds + ").";
    return Finish(command, 0, programming ? Operation::Program : Operation::Verify, done, extra);
}

std::optional<int> CHost::CheckCoverage(const std::string& command, const ImageAnalysis& image,
                                        const std::optional<FlashLayout>& layout, Json& extra)
{
    if (!image.readable || image.blocks.empty() || !layout || !layout->SizesKnown())
        return std::nullopt;
    const PlacementPlan plan = PreviewPlacement(image, *layout);
    if (plan.result != 0 || plan.endSector <= plan.firstSector)
        return std::nullopt;
    uint64_t total = 0;
    for (const auto& b : image.blocks)
        total += b.Size();
    const uint64_t inside = plan.bytesWritten;
    extra["image_bytes"] = total;
    extra["image_bytes_in_range"] = inside;
    const std::string range = SectorRangeText(plan);
    const std::string did = command == "program" ? "wrote" : "compared";
    if (inside == 0)
        return FinishExit(command, EXIT_NO_FIT,
                          "the library reported success, but none of the image's " + Plural(total, "byte", "bytes") +
                              " lie in " + range + ", the range it " + did + ": the flash does not hold the image",
                          extra);
    if (inside < total)
        m_Out.Warn("warning: only " + std::to_string(inside) + " of the image's " + Plural(total, "byte", "bytes") +
                   " lie in " + range + ", the range the library " + did + "; the other " +
                   Plural(total - inside, "byte", "bytes") +
                   (command == "program" ? " were not written" : " were not compared"));
    else
        m_Out.Say("All " + Plural(total, "byte", "bytes") + " of the image lie in " + range +
                  ", the range the library " + did + ".");
    return std::nullopt;
}

void CHost::ExplainMismatch(uint64_t handle, const ImageAnalysis& image, const std::optional<FlashLayout>& layout)
{
    std::optional<std::vector<uint8_t>> flash;
#if KAZMIR_CLI_BENCH
    flash = BenchFlash(handle);
#else
    (void)handle;
#endif
    if (!flash) {
        m_Out.Warn("The library reports only that the flash differs somewhere in the image's sector range, not where.");
        return;
    }
    if (!layout)
        return;
    const auto m = FindMismatch(LibraryImage(), image, *layout, *flash);
    if (!m)
        return;
    const std::string holds = HexText(m->flashBytes.data(), m->flashBytes.size());
    const std::string wants = HexText(m->imageBytes.data(), m->imageBytes.size());
    m_Out.Event({{"event", "mismatch"},
                 {"flash_offset", Hex32(m->flashOffset)},
                 {"address", Hex32(m->flashOffset + layout->base)},
                 {"sector", m->sector},
                 {"flash_bytes", holds},
                 {"image_bytes", wants},
                 {"bytes_differing", m->bytesDiffering}});
    m_Out.Warn("The flash differs first at flash offset " + Hex32(m->flashOffset) + " (address " +
               Hex32(m->flashOffset + layout->base) + ", sector " + std::to_string(m->sector) + "): it holds " + holds +
               " where the image has " + wants + "; " + Plural(m->bytesDiffering, "byte differs", "bytes differ") +
               " in the range.");
}

int CHost::Erase(bool all)
{
    CBoard board(*this);
    uint64_t handle = 0;
    if (auto failed = OpenBoard("erase", board, BoardMode::Fld, handle))
        return *failed;
    const std::optional<FlashLayout> layout = BoardLayout(handle);
    if (all)
        return EraseAll(handle, layout);
    m_Out.SetRange(0, 1);
    const Json extra = {{"device_id", HandleText(handle)}};
    if (auto stop = BeginCall("erase", "erasing flash sector 0", true, extra))
        return *stop;
    const uint32_t result = kzmFLDerase();
    AfterWrite(result, "erased");
    if (auto stop = StopIfInterrupted("erase", extra))
        return *stop;
    board.Close();
    return Finish("erase", result, Operation::Erase,
                  result == 0 ? "Erased flash sector 0 of board " + HandleText(handle) + "." : "erasing failed",
                  {{"device_id", HandleText(handle)}});
}

// The library erases sector 0 alone; the whole flash is erased by programming
// an image of 0xFF bytes over all of it, handed over as a temporary S-record
// file in a folder of its own.
int CHost::EraseAll(uint64_t handle, const std::optional<FlashLayout>& layout)
{
    Json extra = {{"device_id", HandleText(handle)}, {"all", true}};
    if (!layout || !layout->SizesKnown())
        return FinishExit("erase", EXIT_DEVICE,
                          "the flash's sector sizes are unknown, so no image can cover it all: erase --all cannot run",
                          extra);
    const uint64_t size = layout->Size();
    if (size > 0xFFFFFFFFull)
        return FinishExit("erase", EXIT_NO_FIT, "the flash is larger than 4 GiB", extra);
    const std::filesystem::path folder = MakePrivateFolder();
    if (folder.empty())
        return FinishExit("erase", EXIT_FAILURE_, "cannot make a private temporary folder", extra);
    // Removed on the way out, or by a stop that cannot wait for that.
    struct Cleanup {
        std::string& known;
        std::filesystem::path folder;
        ~Cleanup()
        {
            std::error_code ignored;
            std::filesystem::remove_all(folder, ignored);
            std::lock_guard<std::mutex> lock(g_StateLock);
            known.clear();
        }
    } cleanup{m_ScratchDir, folder};
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        m_ScratchDir = folder.string();
    }
    const std::string image = (folder / "erase.s37").string();
    if (!WriteBlankSRecords(image, static_cast<uint32_t>(size)))
        return FinishExit("erase", EXIT_FAILURE_, "cannot write the temporary image " + image, extra);
    m_Out.SetRange(0, static_cast<unsigned>(layout->sectorSizes.size()));
    m_Out.Say("Erasing all " + Plural(layout->sectorSizes.size(), "sector", "sectors") + " (" + HumanBytes(size) +
              ") by programming 0xFF bytes over the whole flash ...");
    if (auto stop = BeginCall("erase", "erasing the whole flash", true, extra))
        return *stop;
    const size_t phasesBefore = m_Out.Phases().size();
    const uint32_t result = kzmFLDprogram(image.c_str());
    AfterWrite(result, "erased");
    if (auto stop = StopIfInterrupted("erase", extra))
        return *stop;
    return Finish("erase", result, CauseOf(Operation::Program, phasesBefore),
                  result == 0 ? "Erased all " + Plural(layout->sectorSizes.size(), "sector", "sectors") + " of board " +
                                    HandleText(handle) + "."
                              : "erasing the whole flash failed",
                  extra);
}

int CHost::FwInfo()
{
    CBoard board(*this);
    uint64_t handle = 0;
    if (auto failed = OpenBoard("fwinfo", board, BoardMode::Fld, handle))
        return *failed;
    BoardLayout(handle);
    FW_INFO untouched;
    std::memset(&untouched, 0xA5, sizeof(untouched));
    FW_INFO info = untouched;
    if (auto stop = BeginCall("fwinfo", "reading the firmware information", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    const uint32_t result = kzmFLDscanFwInfo(&info);
    if (auto stop = StopIfInterrupted("fwinfo", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return Finish("fwinfo", result, Operation::ScanFwInfo, "reading the firmware information failed",
                      {{"device_id", HandleText(handle)}});
    const bool found = std::memcmp(&info, &untouched, sizeof(info)) != 0;
    Json extra = {{"device_id", HandleText(handle)}, {"found", found}};
    if (!found) {
        m_Out.Event({{"event", "fwinfo"}, {"device_id", HandleText(handle)}, {"found", false}});
        m_Out.Print("No firmware-information record in the flash of board " + HandleText(handle) + ".");
        return Finish("fwinfo", 0, Operation::ScanFwInfo, "", extra);
    }
    FwInfoView view;
    view.found = true;
    view.record = DecodeFwInfo(reinterpret_cast<const uint8_t*>(&info));
    Json event = {{"event", "fwinfo"},
                  {"device_id", HandleText(handle)},
                  {"found", true},
                  {"name", view.Name()},
                  {"version", view.Version()},
                  {"kind", static_cast<uint32_t>(view.record.Kind)}, // a copy: the record is packed
                  {"kind_text", view.KindText()},
                  {"address", Hex32(view.record.Address)},
                  {"reserved12", Hex32(view.record.Reserved12)},
                  {"reserved16", Hex32(view.record.Reserved16)},
                  {"device", view.Device()},
                  {"device_version", view.DeviceVersion()}};
    m_Out.Event(event);
    for (const std::string& line :
         {"Firmware information in the flash of board " + HandleText(handle) + ":", "  Name            " + view.Name(),
          "  Version         " + view.Version(),
          "  Kind            " + view.KindText() + " (" + Hex32(view.record.Kind) + ")",
          "  Address         " + Hex32(view.record.Address),
          "  Reserved        " + Hex32(view.record.Reserved12) + " " + Hex32(view.record.Reserved16),
          "  Device          " + view.Device(), "  Device version  " + view.DeviceVersion()})
        m_Out.Print(line);
    return Finish("fwinfo", 0, Operation::ScanFwInfo, "", extra);
}

int CHost::Version()
{
    if (auto failed = PrepareBench("version"))
        return *failed;
    uint32_t major = 0, minor = 0, third = 0, fourth = 0;
    const uint32_t result = kzmGetVersion(&major, &minor, &third, &fourth);
    const std::string server = std::to_string(major) + "." + std::to_string(minor);
    Json event = {{"event", "version"}, {"kazmir", KAZMIR_VERSION}};
    if (result == 0)
        event["device_server"] = server;
    m_Out.Event(event);
    m_Out.Print(std::string("kazmir ") + KAZMIR_VERSION);
    if (result == 0)
        m_Out.Print("device server " + server);
    return Finish("version", result, Operation::Initialize, result == 0 ? "" : "the device server gave no version");
}

int CHost::Mode(const std::string& mode)
{
    const bool bal = mode == "bal";
    const std::string name = bal ? "BAL" : "CCL";
    CBoard board(*this);
    uint64_t handle = 0;
    if (auto failed = OpenBoard("mode", board, bal ? BoardMode::Bal : BoardMode::Ccl, handle))
        return *failed;
    board.Close();
    m_Out.Event({{"event", "mode"}, {"mode", mode}, {"device_id", HandleText(handle)}});
    m_Out.Print(HandleText(handle));
    return Finish("mode", 0, Operation::Open, "Board " + HandleText(handle) + " runs its " + name + " firmware.",
                  {{"mode", mode}, {"device_id", HandleText(handle)}});
}

// Opens the board's BGI channels for one command: their maximum lengths in
// sendMax and receiveMax, or the command's exit code when that fails.
std::optional<int> CHost::OpenBgi(const std::string& command, CBoard& board, uint64_t& handle, uint16_t& sendMax,
                                  uint16_t& receiveMax)
{
    if (auto failed = OpenBoard(command, board, BoardMode::Bgi, handle))
        return failed;
    kzmBGIgetMsgLen(&sendMax, &receiveMax);
    return std::nullopt;
}

int CHost::BgiSend(const std::string& text, bool hex)
{
    std::vector<uint8_t> message;
    if (hex) {
        auto bytes = ParseHexBytes(text);
        if (!bytes)
            return FinishExit("bgi send", EXIT_USAGE, "\"" + text + "\" is not a run of hexadecimal bytes");
        message = *bytes;
    } else {
        // The channel moves whole entries: a NUL byte marks where the text ends.
        message.assign(text.begin(), text.end());
        message.push_back(0);
    }
    CBoard board(*this);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (std::optional<int> exitCode = OpenBgi("bgi send", board, handle, sendMax, receiveMax))
        return *exitCode;
    uint32_t result = 0;
    if (sendMax == 0) {
        board.Close();
        return FinishExit("bgi send", EXIT_DEVICE, "the board has no BGI send channel");
    }
    if (message.size() >= sendMax) {
        board.Close();
        return FinishExit("bgi send", EXIT_USAGE,
                          "the message is " + Plural(message.size(), "byte", "bytes") +
                              " long; the channel takes at most " + std::to_string(sendMax - 1u) +
                              (hex ? " bytes" : " bytes, the closing NUL byte included"));
    }
    if (auto stop = BeginCall("bgi send", "sending a message", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    result = kzmBGIsend(m_Options.wait, static_cast<uint16_t>(message.size()), message.data());
    if (auto stop = StopIfInterrupted("bgi send", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    return Finish("bgi send", result, Operation::BgiSend,
                  result == 0
                      ? "Sent " + Plural(message.size(), "byte", "bytes") + " to board " + HandleText(handle) + "."
                      : "sending failed",
                  {{"device_id", HandleText(handle)}, {"bytes", message.size()}});
}

int CHost::BgiReceive(bool hex)
{
    CBoard board(*this);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (std::optional<int> exitCode = OpenBgi("bgi receive", board, handle, sendMax, receiveMax))
        return *exitCode;
    uint32_t result = 0;
    if (receiveMax == 0) {
        board.Close();
        return FinishExit("bgi receive", EXIT_DEVICE, "the board has no BGI receive channel");
    }
    std::vector<uint8_t> buffer(receiveMax, 0);
    uint16_t received = 0;
    if (auto stop = BeginCall("bgi receive", "waiting for a message", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    result = kzmBGIreceive(m_Options.wait, receiveMax, buffer.data(), &received);
    if (auto stop = StopIfInterrupted("bgi receive", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return Finish("bgi receive", result, Operation::BgiReceive, "nothing received");
    const size_t size = std::min<size_t>(received, buffer.size());
    m_Out.Event(
        {{"event", "received"}, {"hex", HexText(buffer.data(), size)}, {"text", MessageText(buffer.data(), size)}});
    m_Out.Print(hex ? HexText(buffer.data(), size) : MessageText(buffer.data(), size));
    return Finish("bgi receive", 0, Operation::BgiReceive, "", {{"device_id", HandleText(handle)}, {"bytes", size}});
}

int CHost::BgiEcho(const std::string& text)
{
    CBoard board(*this);
    uint64_t handle = 0;
    uint16_t sendMax = 0, receiveMax = 0;
    if (std::optional<int> exitCode = OpenBgi("bgi echo", board, handle, sendMax, receiveMax))
        return *exitCode;
    uint32_t result = 0;
    std::vector<uint8_t> message(text.begin(), text.end());
    message.push_back(0);
    if (sendMax == 0 || receiveMax == 0) {
        board.Close();
        return FinishExit("bgi echo", EXIT_DEVICE, "the board lacks a BGI send or receive channel");
    }
    if (message.size() >= sendMax) {
        board.Close();
        return FinishExit("bgi echo", EXIT_USAGE,
                          "the text is too long: the channel takes at most " + std::to_string(sendMax - 2u) +
                              " characters");
    }
    if (auto stop = BeginCall("bgi echo", "sending a message and waiting for its echo", false,
                              {{"device_id", HandleText(handle)}}))
        return *stop;
    const auto start = std::chrono::steady_clock::now();
    result = kzmBGIsend(m_Options.wait, static_cast<uint16_t>(message.size()), message.data());
    if (result != 0) {
        board.Close();
        return Finish("bgi echo", result, Operation::BgiSend, "sending failed");
    }
    std::vector<uint8_t> buffer(receiveMax, 0);
    uint16_t received = 0;
    result = kzmBGIreceive(m_Options.wait, receiveMax, buffer.data(), &received);
    const double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    if (auto stop = StopIfInterrupted("bgi echo", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return Finish("bgi echo", result, Operation::BgiReceive, "no echo came back");
    const size_t size = std::min<size_t>(received, buffer.size());
    const bool same = size >= message.size() && std::equal(message.begin(), message.end(), buffer.begin());
    m_Out.Event({{"event", "echo"},
                 {"sent", text},
                 {"received", MessageText(buffer.data(), size)},
                 {"same", same},
                 {"milliseconds", ms}});
    if (!same)
        return FinishExit("bgi echo", EXIT_DEVICE,
                          "the echo differs: sent \"" + MessageText(message.data(), message.size()) +
                              "\", received \"" + MessageText(buffer.data(), size) + "\"");
    m_Out.Print(MessageText(buffer.data(), size));
    char timing[64];
    std::snprintf(timing, sizeof(timing), "%.2f ms", ms);
    return Finish("bgi echo", 0, Operation::BgiReceive,
                  "The echo came back unchanged from board " + HandleText(handle) + " in " + timing + ".",
                  {{"device_id", HandleText(handle)}, {"milliseconds", ms}});
}

namespace {

// The info event; its blocks only when they are shown (an image of many
// blocks makes a large event).
Json InfoEvent(const std::string& file, const ImageAnalysis& image, bool withBlocks)
{
    Json blocks = Json::array();
    for (size_t i = 0; withBlocks && i < image.blocks.size(); ++i)
        blocks.push_back({{"start", Hex32(image.blocks[i].start)},
                          {"end", Hex32(image.blocks[i].end - 1)},
                          {"size", image.blocks[i].Size()}});
    return {{"event", "info"},
            {"file", file},
            {"format", image.FormatName()},
            {"lines", image.lines},
            {"data_records", image.dataRecords},
            {"data_bytes", image.dataBytes},
            {"blocks", blocks},
            {"lowest", Hex32(image.Lowest())},
            {"highest", Hex32(image.blocks.empty() ? 0 : image.Highest() - 1)},
            {"fw_info", FwInfoJson(image.fwInfo)},
            {"accepted", image.Accepted()},
            {"library_stop_line", image.libraryStopLine},
            {"library_stop_reason", image.stopReason},
            {"records_not_read", image.recordsNotRead},
            {"split_lines", image.splitLines},
            {"findings", FindingsJson(image.findings)}};
}

// The info report in words, line by line.
void InfoLines(const std::string& file, const ImageAnalysis& image, const std::function<void(const std::string&)>& out)
{
    out(file + ": " + image.FormatName() + ", " + Plural(image.lines, "line", "lines") + ", " +
        Plural(image.dataRecords, "data record", "data records") + ", " + Plural(image.dataBytes, "byte", "bytes"));
    out("Blocks, in the library's order:");
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const auto& b = image.blocks[i];
        char line[128];
        std::snprintf(line, sizeof(line), "  %3zu  %s to %s  %s", i, Hex32(b.start).c_str(), Hex32(b.end - 1).c_str(),
                      Plural(b.Size(), "byte", "bytes").c_str());
        out(line);
    }
    if (!image.blocks.empty())
        out("Lowest address " + Hex32(image.Lowest()) + ", highest " + Hex32(image.Highest() - 1) +
            " (the image spans " + Plural(image.Highest() - image.Lowest(), "byte", "bytes") + ")");
    if (image.fwInfo.found) {
        out("Firmware information (block " + std::to_string(image.fwInfo.block) + ", at " +
            Hex32(image.fwInfo.address) + "):");
        out("  name \"" + image.fwInfo.Name() + "\", version " + image.fwInfo.Version() + ", " +
            image.fwInfo.KindText() + ", address " + Hex32(image.fwInfo.record.Address) + ", device \"" +
            image.fwInfo.Device() + "\" " + image.fwInfo.DeviceVersion());
    } else {
        out("No firmware-information record: the library takes the image's addresses as flash offsets.");
    }
    if (image.Accepted()) {
        out("Check: accepted" + std::string(image.findings.empty() ? "." : ", with warnings:"));
    } else {
        out("Check: refused, " + Plural(image.Errors(), "problem", "problems") + ":");
    }
    for (const auto& line : FindingLines(image.findings, false, "  "))
        out(line);
    if (image.libraryStopLine != 0 && (image.recordsNotRead != 0 || image.stopReason != "an end record"))
        out("The library stops reading at line " + std::to_string(image.libraryStopLine) + " of " +
            std::to_string(image.lines) + ", at " + image.stopReason + "; " +
            Plural(image.recordsNotRead, "record", "records") + " after it " +
            (image.recordsNotRead == 1 ? "is" : "are") + " not read.");
}

} // namespace

int CHost::Info(const std::string& file)
{
    if (auto stop = BeginCall("info", "reading " + file, false, {{"file", file}}))
        return *stop;
    if (auto reason = OpenInput(file))
        return FinishExit("info", m_Input.FailureExit(), *reason, {{"file", file}});
    ImageAnalysis image = AnalyseImageFile(m_Input.LibraryPath());
    image.path = file;
    if (!image.readable)
        return FinishExit("info", EXIT_IMAGE, image.findings.front().text, {{"file", file}});
    Json event = InfoEvent(file, image, m_Out.IsJson());
    auto out = [&](const std::string& line) { m_Out.Print(line); };
    InfoLines(file, image, out);
#if KAZMIR_CLI_RUNLOG
    event["sha256"] = ImageSha256(file);
    out("SHA-256: " + event["sha256"].get<std::string>());
#endif
    int exitCode = image.Accepted() ? EXIT_OK : EXIT_IMAGE;
#if KAZMIR_CLI_BENCH
    if (m_Options.benchGiven) {
        if (auto failed = PrepareBench("info", true, {{"file", file}}))
            return *failed;
        // The image fits when it fits one of the boards it may go to.
        if (!InfoOnBench(image, event, out) && exitCode == EXIT_OK)
            exitCode = EXIT_NO_FIT;
    }
#endif
    m_Out.Event(event);
    return FinishExit("info", exitCode,
                      exitCode == EXIT_OK      ? ""
                      : exitCode == EXIT_IMAGE ? file + " would be refused"
                                               : file + " fits no board of the bench",
                      {{"file", file}});
}

#if KAZMIR_CLI_BENCH
bool CHost::InfoOnBench(const ImageAnalysis& image, Json& event, const std::function<void(const std::string&)>& out)
{
    Json placements = Json::array();
    bool fitsOne = false, anyBoard = false;
    for (const auto& board : m_Bench.boards) {
        if (!m_Options.serial.empty() && board.serial != m_Options.serial)
            continue;
        if (board.flash.sectorSizes.empty())
            continue;
        anyBoard = true;
        const PlacementPlan plan = PreviewPlacement(image, board.flash);
        // The library's sector table holds 32 sectors: it cannot open a larger flash.
        const bool tooMany = board.flash.sectorSizes.size() > MAX_SECTORS;
        const bool fits = plan.Accepted() && !tooMany && plan.result == 0;
        fitsOne = fitsOne || fits;
        Json p = PlanJson(plan);
        p["board"] = board.index;
        p["serial"] = board.serial;
        p["sector_count"] = board.flash.sectorSizes.size();
        p["fits"] = fits;
        placements.push_back(p);
        out("On bench board " + std::to_string(board.index) + " (" + board.serial + ", flash " +
            HumanBytes(board.flash.Size()) + " at base " + Hex32(board.flash.base) + ", " +
            Plural(board.flash.sectorSizes.size(), "sector", "sectors") + "): " + (fits ? "fits" : "does not fit"));
        if (tooMany)
            out("  the library handles at most " + std::to_string(MAX_SECTORS) + " flash sectors, this flash has " +
                std::to_string(board.flash.sectorSizes.size()) + ": kazmir cannot program this board");
        if (plan.Accepted() && plan.result == 0 && plan.endSector > plan.firstSector)
            out("  " + SectorRangeText(plan) + ": " + Plural(plan.bytesWritten, "byte", "bytes") + " from the image, " +
                Plural(plan.bytesKept, "byte", "bytes") + " of the range left untouched");
        if (!plan.Accepted() && !plan.explanation.empty())
            out("  " + plan.explanation + ";");
        for (const auto& line : FindingLines(plan.findings, false, "  "))
            out(line);
    }
    event["placements"] = placements;
    return fitsOne || !anyBoard;
}
#endif

int CHost::InternalError(const std::string& message)
{
    {
        std::lock_guard<std::mutex> lock(g_StateLock);
        if (g_Finished) {
            m_Out.Warn("error: " + message);
            return EXIT_FAILURE_;
        }
    }
    return FinishExit(m_Command.empty() ? "kazmir" : m_Command, EXIT_FAILURE_, message);
}

int CHost::UsageError(const std::string& message)
{
    m_Out.Event({{"event", "summary"},
                 {"command", ""},
                 {"result", {{"text", message}}},
                 {"exit", EXIT_USAGE},
                 {"exit_name", ExitCodeName(EXIT_USAGE)},
                 {"seconds", Elapsed()}});
    return EXIT_USAGE;
}

int CHost::BenchShow()
{
#if KAZMIR_CLI_BENCH
    if (auto failed = PrepareBench("bench show", true))
        return *failed;
    m_Out.Event({{"event", "bench"}, {"bench", BenchJson(m_Bench)}});
    for (const auto& line : DescribeBench(m_Bench))
        m_Out.Print(line);
    return FinishExit("bench show", EXIT_OK, "");
#else
    return FinishExit("bench show", EXIT_USAGE, "this build of kazmir has no virtual bench");
#endif
}

int CHost::BenchReset()
{
#if KAZMIR_CLI_BENCH
    if (auto failed = PrepareBench("bench reset"))
        return *failed;
    if (auto stop = BeginCall("bench reset", "erasing the bench's flash", true, Json::object()))
        return *stop;
    std::string error;
    bool inUse = false;
    const auto done = ResetBench(m_Bench, error, inUse);
    if (auto stop = StopIfInterrupted("bench reset", Json::object()))
        return *stop;
    for (const auto& line : done)
        m_Out.Say(line);
    if (inUse)
        return FinishExit("bench reset", EXIT_BUSY, error);
    if (!error.empty())
        return FinishExit("bench reset", EXIT_FAILURE_, "cannot reset the bench: " + error);
    return FinishExit("bench reset", EXIT_OK, "The bench is as new.");
#else
    return FinishExit("bench reset", EXIT_USAGE, "this build of kazmir has no virtual bench");
#endif
}

} // namespace kzcli
