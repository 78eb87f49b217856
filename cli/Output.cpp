#include "Output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#ifndef _WIN32
#include <sys/ioctl.h>
#endif

#include "kazmir.h"

namespace kzcli {

namespace {

std::string_view TrimLeft(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    return s;
}
std::string_view TrimRight(std::string_view s)
{
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool ParseUnsigned(std::string_view& s, unsigned& value)
{
    size_t i = 0;
    value = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9' && i < 9)
        value = value * 10 + static_cast<unsigned>(s[i++] - '0');
    if (i == 0)
        return false;
    s.remove_prefix(i);
    return true;
}

double Seconds(std::chrono::steady_clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

} // namespace

const char* PhaseName(Phase phase)
{
    switch (phase) {
    case Phase::Read:
        return "read";
    case Phase::Erase:
        return "erase";
    case Phase::Write:
        return "write";
    case Phase::Verify:
        return "verify";
    }
    return "?";
}

std::optional<SectorLine> ParseSectorLine(std::string_view text)
{
    std::string_view s = TrimLeft(text);
    SectorLine line;
    if (s.starts_with("read sector ")) {
        line.phase = Phase::Read;
        s.remove_prefix(12);
    } else if (s.starts_with("erase sector ")) {
        line.phase = Phase::Erase;
        s.remove_prefix(13);
    } else if (s.starts_with("write sector ")) {
        line.phase = Phase::Write;
        s.remove_prefix(13);
    } else {
        return std::nullopt;
    }
    if (!ParseUnsigned(s, line.sector) || s.empty() || s.front() != '/')
        return std::nullopt;
    s.remove_prefix(1);
    if (!ParseUnsigned(s, line.of))
        return std::nullopt;
    s = TrimRight(TrimLeft(s));
    if (line.phase != Phase::Erase) {
        constexpr std::string_view prefix = "(address: 0x";
        if (!s.starts_with(prefix))
            return std::nullopt;
        s.remove_prefix(prefix.size());
        uint32_t address = 0;
        size_t digits = 0;
        while (digits < s.size() && digits < 8 && std::isxdigit(static_cast<unsigned char>(s[digits]))) {
            const char c = s[digits];
            address = address * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
            ++digits;
        }
        if (digits == 0 || digits >= s.size() || s[digits] != ')')
            return std::nullopt;
        line.address = address;
        s = TrimLeft(s.substr(digits + 1));
    }
    if (s.empty())
        line.status = SectorLine::Status::Start;
    else if (s == "OK")
        line.status = SectorLine::Status::Ok;
    else if (s == "failed" || s == "FAILED")
        line.status = SectorLine::Status::Failed;
    else
        return std::nullopt;
    return line;
}

unsigned TerminalColumns(FILE* stream)
{
#ifndef _WIN32
    struct winsize size {};
    if (stream != nullptr && ::ioctl(fileno(stream), TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        return size.ws_col;
#else
    (void)stream;
#endif
    if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0 && value < 10000)
            return static_cast<unsigned>(value);
    }
    return 80;
}

namespace {

// Columns a text takes: one per character (the bar's blocks are one column
// each, three bytes in UTF-8).
size_t Columns(const std::string& text)
{
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) { return (c & 0xC0) != 0x80; }));
}

} // namespace

std::string BarLine(const PhaseStats& s, bool unicode, unsigned columns, const std::string& end)
{
    // The last column stays free: a line that fills it makes some terminals
    // wrap at once.
    const size_t room = columns > 1 ? columns - 1 : 1;
    std::string name = PhaseName(s.phase);
    name.resize(7, ' ');
    const std::string counts = s.total > 0 ? std::to_string(s.done) + "/" + std::to_string(s.total) + " sectors"
                                           : std::to_string(s.done) + " sectors";
    std::string bytes, rate;
    if (s.bytes > 0) {
        bytes = "  " + HumanBytes(s.bytes);
        if (s.seconds > 0.0005)
            rate = "  " + HumanBytes(static_cast<uint64_t>(static_cast<double>(s.bytes) / s.seconds)) + "/s";
    }
    const std::string failed = s.failed ? "  FAILED" : "";
    // Without room for everything the rate goes first, then the bytes, then
    // the bar shrinks to no fewer than 5 cells, then it goes too.
    constexpr size_t MIN_BAR = 5, MAX_BAR = 30;
    const size_t fixed = Columns(name) + counts.size() + failed.size() + Columns(end);
    const size_t barFrame = s.total > 0 ? 3 : 0; // "[", "] "
    if (fixed + barFrame + MIN_BAR + bytes.size() + rate.size() > room)
        rate.clear();
    if (fixed + barFrame + MIN_BAR + bytes.size() > room)
        bytes.clear();
    std::string text = name;
    const size_t used = fixed + bytes.size() + rate.size();
    if (s.total > 0 && used + barFrame + MIN_BAR <= room) {
        const size_t width = std::min(MAX_BAR, room - used - barFrame);
        const size_t filled = std::min<size_t>(width, static_cast<size_t>(s.done) * width / s.total);
        text += '[';
        for (size_t i = 0; i < width; ++i)
            text += i < filled ? (unicode ? "\u2588" : "#") : (unicode ? "\u2591" : "-");
        text += "] ";
    }
    text += counts + bytes + rate + failed + end;
    // A terminal narrower than the shortest line: cut it.
    size_t kept = 0, at = 0;
    for (; at < text.size(); ++at)
        if ((text[at] & 0xC0) != 0x80 && ++kept > room)
            break;
    text.resize(at);
    return text;
}

std::string HandleText(uint64_t handle)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%016llX", static_cast<unsigned long long>(handle));
    return buf;
}

std::string HumanBytes(uint64_t bytes)
{
    char buf[32];
    if (bytes < 1024)
        std::snprintf(buf, sizeof(buf), "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(buf, sizeof(buf), "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(buf, sizeof(buf), "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return buf;
}

COutput::COutput(Mode mode, Detail detail, FILE* out, FILE* err, bool unicode)
    : m_Mode(mode), m_Detail(detail), m_Out(out), m_Err(err), m_Unicode(unicode)
{
}

COutput::~COutput()
{
    EndPhase();
}

void COutput::Callback(void* context, uint8_t kind, const char* text)
{
    if (context != nullptr && text != nullptr)
        static_cast<COutput*>(context)->OnReport(kind, text);
}

void COutput::SetRange(unsigned firstSector, unsigned endSector)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    m_RangeKnown = true;
    m_RangeFirst = firstSector;
    m_RangeEnd = endSector;
}

void COutput::OnReport(uint8_t kind, const char* text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    const std::string_view line = TrimRight(text);
    switch (kind) {
    case REPORT_PROGRESS:
    case REPORT_MESSAGE:
        if (auto sector = ParseSectorLine(line)) {
            if (m_Verifying && sector->phase == Phase::Read)
                sector->phase = Phase::Verify;
            OnSector(*sector);
            if (kind == REPORT_PROGRESS)
                return;
        }
        if (kind == REPORT_PROGRESS) {
            // A progress text this host does not know: show it as a trace.
            Verbose(std::string(TrimLeft(line)));
            return;
        }
        if (line.empty())
            return;
        // A message comes between the library's steps: the phase before it is
        // over. The same listing from a second call (program, then verify)
        // is shown once.
        EndPhase();
        if (!m_MessagesShown.insert(std::string(TrimLeft(line))).second)
            return;
        // The library's listings and headings repeat what the host has shown
        // already; failures come back as result codes.
        if (m_Mode == Mode::Json)
            Event({{"event", "message"}, {"text", std::string(TrimLeft(line))}});
        else if (m_Detail == Detail::Verbose)
            HumanLine("  library: " + std::string(TrimLeft(line)));
        return;
    case REPORT_TRACE:
        if (auto layout = FlashLayout::FromTraceLine(line))
            m_TraceLayout = layout;
        if (line.empty())
            return;
        if (m_Mode == Mode::Json) {
            if (m_Detail == Detail::Verbose)
                Event({{"event", "trace"}, {"text", std::string(TrimLeft(line))}});
        } else if (m_Detail == Detail::Verbose) {
            HumanLine("  trace: " + std::string(TrimLeft(line)));
        }
        return;
    default: // REPORT_NEWLINE, REPORT_TEST: nothing to show
        return;
    }
}

uint64_t COutput::SectorBytes(unsigned sector) const
{
    if (!m_Layout || !m_Layout->SizesKnown() || sector >= m_Layout->sectorSizes.size())
        return 0;
    return m_Layout->sectorSizes[sector];
}

void COutput::OnSector(const SectorLine& line)
{
    const auto now = std::chrono::steady_clock::now();
    const bool newPhase =
        !m_PhaseOpen || m_Phases.back().phase != line.phase ||
        (line.status == SectorLine::Status::Start && line.sector < m_Phases.back().first + m_Phases.back().done);
    if (newPhase) {
        EndPhase();
        if (!m_RunFirst)
            m_RunFirst = line.sector;
        PhaseStats stats;
        stats.phase = line.phase;
        stats.first = m_RangeKnown ? m_RangeFirst : std::min(*m_RunFirst, line.sector);
        const unsigned end = m_RangeKnown ? m_RangeEnd : line.of;
        stats.total = end > stats.first ? end - stats.first : 0;
        m_Phases.push_back(stats);
        m_PhaseOpen = true;
        m_PhaseStart = now;
        m_LastDraw = {};
        if (m_Mode == Mode::Json)
            Event({{"event", "phase"}, {"phase", PhaseName(line.phase)}, {"state", "begin"}, {"total", stats.total}});
    }
    PhaseStats& stats = m_Phases.back();
    stats.seconds = Seconds(now - m_PhaseStart);
    if (line.status == SectorLine::Status::Start) {
        Draw(false);
        return;
    }
    if (line.status == SectorLine::Status::Ok) {
        ++stats.done;
        stats.bytes += SectorBytes(line.sector);
    } else {
        stats.failed = true;
    }
    if (m_Mode == Mode::Json) {
        Event({{"event", "sector"},
               {"phase", PhaseName(line.phase)},
               {"sector", line.sector},
               {"of", line.of},
               {"result", line.status == SectorLine::Status::Ok ? "ok" : "failed"},
               {"done", stats.done},
               {"total", stats.total}});
    } else if (m_Mode == Mode::Plain && m_Detail == Detail::Verbose) {
        std::fprintf(m_Err, "%s sector %u/%u %s\n", PhaseName(line.phase), line.sector, line.of,
                     line.status == SectorLine::Status::Ok ? "ok" : "FAILED");
    }
    Draw(line.status == SectorLine::Status::Failed);
    if (line.status == SectorLine::Status::Failed)
        EndPhase();
}

void COutput::Draw(bool final, const std::string& end)
{
    if (m_Mode != Mode::Bars || m_Detail == Detail::Quiet || !m_PhaseOpen)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && m_BarShown && now - m_LastDraw < std::chrono::milliseconds(50))
        return;
    m_LastDraw = now;
    const unsigned columns = m_Columns != 0 ? m_Columns : TerminalColumns(m_Err);
    std::fprintf(m_Err, "\r\033[K%s", BarLine(m_Phases.back(), m_Unicode, columns, end).c_str());
    std::fflush(m_Err);
    m_BarShown = true;
}

void COutput::ClearBarLine()
{
    if (m_BarShown) {
        std::fprintf(m_Err, "\r\033[K");
        m_BarShown = false;
    }
}

void COutput::EndPhase()
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (!m_PhaseOpen)
        return;
    PhaseStats& s = m_Phases.back();
    if (m_Mode == Mode::Bars) {
        if (m_Detail != Detail::Quiet) {
            char seconds[32];
            std::snprintf(seconds, sizeof(seconds), "  %.2f s", s.seconds);
            Draw(true, seconds);
            std::fprintf(m_Err, "\n");
            std::fflush(m_Err);
        }
        m_BarShown = false;
    } else if (m_Mode == Mode::Plain) {
        if (m_Detail != Detail::Quiet) {
            std::string text = std::string(PhaseName(s.phase)) + ": " + std::to_string(s.done);
            if (s.total > 0)
                text += " of " + std::to_string(s.total);
            text += s.done == 1 && s.total <= 1 ? " sector" : " sectors";
            if (s.bytes > 0)
                text += ", " + HumanBytes(s.bytes);
            char tail[64];
            std::snprintf(tail, sizeof(tail), " in %.2f s", s.seconds);
            text += tail;
            if (s.bytes > 0 && s.seconds > 0.0005)
                text += " (" + HumanBytes(static_cast<uint64_t>(static_cast<double>(s.bytes) / s.seconds)) + "/s)";
            if (s.failed)
                text += ", FAILED";
            std::fprintf(m_Err, "%s\n", text.c_str());
        }
    } else {
        Event({{"event", "phase"},
               {"phase", PhaseName(s.phase)},
               {"state", "end"},
               {"result", s.failed ? "failed" : "ok"},
               {"done", s.done},
               {"total", s.total},
               {"bytes", s.bytes},
               {"seconds", s.seconds}});
    }
    m_PhaseOpen = false;
}

void COutput::HumanLine(const std::string& text)
{
    const bool redraw = m_BarShown;
    ClearBarLine();
    std::fprintf(m_Err, "%s\n", text.c_str());
    if (redraw)
        Draw(true);
    std::fflush(m_Err);
}

void COutput::Say(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (m_Mode == Mode::Json || m_Detail == Detail::Quiet)
        return;
    EndPhase();
    HumanLine(text);
}

void COutput::Result(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (m_Mode == Mode::Json && !m_OutClosed)
        return;
    EndPhase();
    HumanLine(text);
}

void COutput::Warn(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    EndPhase();
    HumanLine(text);
}

void COutput::Note(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    HumanLine(text);
}

void COutput::Verbose(const std::string& text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (m_Detail != Detail::Verbose)
        return;
    if (m_Mode == Mode::Json) {
        Event({{"event", "trace"}, {"text", text}});
        return;
    }
    HumanLine("  " + text);
}

void COutput::Event(Json event)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (m_SummaryHook && event.value("event", "") == "summary")
        m_SummaryHook(event);
    if (m_Mode != Mode::Json)
        return;
    // "event" and "schema" lead every line.
    Json line = {{"event", event.value("event", "")}, {"schema", JSON_SCHEMA}};
    for (auto& [key, value] : event.items())
        if (key != "event" && key != "schema")
            line[key] = std::move(value);
    WriteOut(line.dump(-1, ' ', false, Json::error_handler_t::replace));
}

void COutput::Print(const std::string& line)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    if (m_Mode != Mode::Json)
        WriteOut(line);
}

void COutput::WriteOut(const std::string& line)
{
    if (m_OutClosed)
        return;
    errno = 0;
    const bool failed = std::fprintf(m_Out, "%s\n", line.c_str()) < 0 || std::fflush(m_Out) != 0;
    if (!failed || errno != EPIPE)
        return;
    m_OutClosed = true;
    if (m_OnClosed)
        m_OnClosed();
}

} // namespace kzcli
