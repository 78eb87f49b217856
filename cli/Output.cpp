#include "Output.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "kazmir.h"

namespace kzcli {

std::string HandleText(uint64_t handle)
{
    char buf[32];
    std::snprintf(buf, sizeof(buf), "0x%016llX", static_cast<unsigned long long>(handle));
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

void COutput::OnReport(uint8_t kind, const char* text)
{
    std::lock_guard<std::recursive_mutex> lock(m_Lock);
    bool sectorLine = false;
    for (const DecodedEvent& e : m_Decoder.Feed(kind, text)) {
        sectorLine |= e.type == DecodedEvent::Type::Sector;
        OnEvent(e);
    }
    // A failed sector comes as a message too: it is shown as one.
    if (sectorLine && kind == REPORT_MESSAGE) {
        DecodedEvent message;
        message.text = text;
        const size_t first = message.text.find_first_not_of(" \t");
        message.text.erase(0, first);
        message.text.erase(message.text.find_last_not_of(" \t\r\n") + 1);
        OnEvent(message);
    }
}

void COutput::OnEvent(const DecodedEvent& e)
{
    switch (e.type) {
    case DecodedEvent::Type::PhaseBegin:
        BeginPhase(e);
        return;
    case DecodedEvent::Type::Sector:
        OnSector(e);
        return;
    case DecodedEvent::Type::PhaseEnd:
        EndPhase();
        return;
    case DecodedEvent::Type::Unknown: // a progress text this host does not know: shown as a trace
        Verbose(e.text);
        return;
    case DecodedEvent::Type::Message:
        // The same listing from a second call (program, then verify) is
        // shown once. The library's listings and headings repeat what the
        // host has shown already; failures come back as result codes.
        EndPhase();
        if (!m_MessagesShown.insert(e.text).second)
            return;
        if (m_Mode == Mode::Json)
            Event({{"event", "message"}, {"text", e.text}});
        else if (m_Detail == Detail::Verbose)
            HumanLine("  library: " + e.text);
        return;
    case DecodedEvent::Type::FlashLayout:
        m_TraceLayout = FlashLayout::FromTraceLine(e.text);
        [[fallthrough]];
    case DecodedEvent::Type::Trace:
        if (m_Mode == Mode::Json) {
            if (m_Detail == Detail::Verbose)
                Event({{"event", "trace"}, {"text", e.text}});
        } else if (m_Detail == Detail::Verbose) {
            HumanLine("  trace: " + e.text);
        }
        return;
    }
}

void COutput::BeginPhase(const DecodedEvent& e)
{
    EndPhase();
    const PhaseStats& stats = m_Progress.Begin(e);
    m_LastDraw = {};
    if (m_Mode == Mode::Json)
        Event({{"event", "phase"}, {"phase", ReportPhaseName(e.phase)}, {"state", "begin"}, {"total", stats.total}});
}

void COutput::OnSector(const DecodedEvent& e)
{
    // The host ended the phase for a line of its own: the sectors go on in a
    // phase of their own.
    if (!m_Progress.Open())
        BeginPhase(e);
    const bool ok = m_Progress.OnSector(e);
    if (e.status == SectorStatus::Start) {
        Draw(false);
        return;
    }
    const PhaseStats& stats = m_Progress.Phases().back();
    if (m_Mode == Mode::Json) {
        Event({{"event", "sector"},
               {"phase", ReportPhaseName(e.phase)},
               {"sector", e.sector},
               {"of", e.sectorEnd},
               {"result", ok ? "ok" : "failed"},
               {"done", stats.done},
               {"total", stats.total}});
    } else if (m_Mode == Mode::Plain && m_Detail == Detail::Verbose) {
        std::fprintf(m_Err, "%s sector %u/%u %s\n", ReportPhaseName(e.phase), e.sector, e.sectorEnd,
                     ok ? "ok" : "FAILED");
    }
    Draw(!ok);
}

void COutput::Draw(bool final, const std::string& end)
{
    if (m_Mode != Mode::Bars || m_Detail == Detail::Quiet || !m_Progress.Open())
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!final && m_BarShown && now - m_LastDraw < std::chrono::milliseconds(50))
        return;
    m_LastDraw = now;
    const unsigned columns = m_Columns != 0 ? m_Columns : TerminalColumns(m_Err);
    std::fprintf(m_Err, "\r\033[K%s", BarLine(m_Progress.Phases().back(), m_Unicode, columns, end).c_str());
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
    if (!m_Progress.Open())
        return;
    const PhaseStats& s = m_Progress.Phases().back();
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
            std::string text = std::string(ReportPhaseName(s.phase)) + ": " + std::to_string(s.done);
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
               {"phase", ReportPhaseName(s.phase)},
               {"state", "end"},
               {"result", s.failed ? "failed" : "ok"},
               {"done", s.done},
               {"total", s.total},
               {"bytes", s.bytes},
               {"seconds", s.seconds}});
    }
    m_Progress.Close();
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
