#include "Progress.h"

#include <algorithm>

#include "ImageWords.h"

namespace kzhost {

void CProgress::SetRange(unsigned firstSector, unsigned endSector)
{
    m_RangeKnown = true;
    m_RangeFirst = firstSector;
    m_RangeEnd = endSector;
}

PhaseStats& CProgress::Begin(const DecodedEvent& e)
{
    if (!m_RunFirst)
        m_RunFirst = e.sector;
    PhaseStats stats{e.phase};
    stats.first = m_RangeKnown ? m_RangeFirst : std::min<unsigned>(*m_RunFirst, e.sector);
    const unsigned end = m_RangeKnown ? m_RangeEnd : e.sectorEnd;
    stats.total = end > stats.first ? end - stats.first : 0;
    m_Phases.push_back(stats);
    m_Open = true;
    m_Start = std::chrono::steady_clock::now();
    return m_Phases.back();
}

bool CProgress::OnSector(const DecodedEvent& e)
{
    PhaseStats& stats = m_Phases.back();
    stats.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_Start).count();
    if (e.status == SectorStatus::Start)
        return true;
    if (e.status != SectorStatus::Ok) {
        stats.failed = true;
        return false;
    }
    ++stats.done;
    if (m_Layout && e.sector < m_Layout->sectorSizes.size())
        stats.bytes += m_Layout->sectorSizes[e.sector];
    return true;
}

CProgress::Totals CProgress::Sum() const
{
    Totals sum;
    for (const PhaseStats& p : m_Phases) {
        if (p.phase == ReportPhase::Erase) {
            sum.erased += p.done;
            sum.rangeSectors = std::max(sum.rangeSectors, p.total);
        }
        if (p.phase == ReportPhase::Write)
            sum.written += p.done;
    }
    return sum;
}

bool CProgress::TouchesFlash() const
{
    return std::any_of(m_Phases.begin(), m_Phases.end(), [](const PhaseStats& p) {
        return p.phase == ReportPhase::Erase || p.phase == ReportPhase::Write;
    });
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
    std::string name = ReportPhaseName(s.phase);
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

} // namespace kzhost
