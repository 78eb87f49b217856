// What a run of library calls has done to the flash, phase by phase, from
// the decoded reports: each phase's sectors of the range, the bytes they
// hold (when the layout is known) and its time. A host draws its progress
// from it, and tells after a stop what the flash went through.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "FlashLayout.h"
#include "Reports.h"

namespace kzhost {

struct PhaseStats {
    ReportPhase phase;
    unsigned first = 0; // first sector of the phase
    unsigned total = 0; // sectors the phase will handle (0: unknown)
    unsigned done = 0;  // sectors finished well
    bool failed = false;
    uint64_t bytes = 0; // bytes of the finished sectors (0 when sizes are unknown)
    double seconds = 0;
};

class CProgress {
public:
    void SetLayout(const FlashLayout& layout) { m_Layout = layout; }
    // The sectors the calls work on; without them a phase's total is the
    // range the library's lines show.
    void SetRange(unsigned firstSector, unsigned endSector);
    void ClearRange() { m_RangeKnown = false; }

    // A phase begins with this event's phase (a PhaseBegin, or a sector that
    // arrives while no phase is open).
    PhaseStats& Begin(const DecodedEvent& event);
    // A sector line of the open phase: its time, and at a sector's end its
    // count (false when the sector failed).
    bool OnSector(const DecodedEvent& event);
    bool Open() const { return m_Open; }
    void Close() { m_Open = false; }

    const std::vector<PhaseStats>& Phases() const { return m_Phases; }
    void Clear() { m_Phases.clear(); }
    // Sectors erased and written in all, and the largest erase range.
    struct Totals {
        unsigned erased = 0, written = 0, rangeSectors = 0;
    };
    Totals Sum() const;
    // An erase or write phase has begun: the flash is no longer as it was.
    bool TouchesFlash() const;

private:
    std::optional<FlashLayout> m_Layout;
    bool m_RangeKnown = false;
    unsigned m_RangeFirst = 0, m_RangeEnd = 0;
    std::optional<unsigned> m_RunFirst; // the first sector seen
    std::vector<PhaseStats> m_Phases;
    bool m_Open = false;
    std::chrono::steady_clock::time_point m_Start;
};

// One progress bar line that takes at most columns - 1 columns, with `end`
// (the phase's time, once it is over) at its end.
std::string BarLine(const PhaseStats& s, bool unicode, unsigned columns, const std::string& end = "");

} // namespace kzhost
