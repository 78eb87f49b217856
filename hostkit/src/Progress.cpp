#include "Progress.h"

#include <algorithm>

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

} // namespace kzhost
