// The library's report lines as typed events: sector progress grouped into
// phases, the flash layout, messages and traces. The lines are recognised by
// the formats the library prints them with (src/flash/FlashReports.h), so a
// text the library changes is a line this decoder no longer knows (a test
// runs the library and fails on it), never a wrong number.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kzhost {

enum class ReportPhase { Read, Erase, Write, Verify }; // values as KZH_PHASE_*
enum class SectorStatus { Start, Ok, Failed };         // values as KZH_SECTOR_*

const char* ReportPhaseName(ReportPhase phase); // "read", "erase", "write", "verify"

// One line the library prints with a format of FlashReports.h.
struct ReportLine {
    enum class Type { Sector, FlashInfo };
    Type type = Type::Sector;
    ReportPhase phase = ReportPhase::Read; // Sector: read, erase or write
    uint32_t sector = 0;
    uint32_t sectorEnd = 0; // the end of the range, as shown after the slash
    SectorStatus status = SectorStatus::Start;
    std::optional<uint32_t> address; // reads and writes
    uint32_t words[5] = {};          // FlashInfo: word 4, word 6, sector count, word 10, base
};

// The line's meaning when the library printed it with one of those formats
// for reports of this kind (REPORT_*); leading indentation and trailing
// blanks and line ends are allowed. nullopt for any other line.
std::optional<ReportLine> DecodeReportLine(uint8_t kind, std::string_view text);

struct DecodedEvent {
    // Values as KZH_EVENT_*.
    enum class Type { PhaseBegin = 1, Sector, PhaseEnd, FlashLayout, Message, Trace, Unknown };
    Type type = Type::Message;
    ReportPhase phase = ReportPhase::Read;
    uint32_t sector = 0;                       // PhaseBegin: the phase's first sector
    uint32_t sectorEnd = 0;                    // Sector, PhaseBegin
    SectorStatus status = SectorStatus::Start; // Sector; PhaseEnd: Ok or Failed
    std::optional<uint32_t> address;           // Sector of a read or write
    uint32_t done = 0;                         // Sector, PhaseEnd: sectors of the phase finished well
    uint32_t words[5] = {};                    // FlashLayout
    std::string text; // FlashLayout, Message, Trace, Unknown: the line without indentation and line end
};

// Groups the sector lines of a run of library calls into phases: a phase
// begins with a sector line of another phase than the one open, or with the
// start of a sector at or below one the phase started already (the same
// phase again), and ends with a message, a failed sector, or End.
class CReportDecoder {
public:
    static constexpr size_t MAX_EVENTS = 4; // a report makes at most this many events

    // While set, the library's sector reads are the verify phase.
    void SetVerifying(bool verifying) { m_bVerifying = verifying; }

    // One report as the library's callback got it.
    std::vector<DecodedEvent> Feed(uint8_t kind, std::string_view text);
    // Ends the phase still open, if any.
    std::vector<DecodedEvent> End();

private:
    void OnSector(const ReportLine& line, std::vector<DecodedEvent>& events);
    void EndPhase(std::vector<DecodedEvent>& events, bool failed);

    bool m_bVerifying = false;
    bool m_bOpen = false;
    ReportPhase m_Phase = ReportPhase::Read;
    uint32_t m_Done = 0;
    std::optional<uint32_t> m_LastStarted; // the last sector the open phase started
};

} // namespace kzhost
