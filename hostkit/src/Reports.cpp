#include "Reports.h"

#include "flash/FlashReports.h"
#include "kazmir.h"

#include <algorithm>
#include <cstdio>
#include <iterator>
#include <string>

namespace kzhost {

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

// The values a format's conversions took from a line: the words of %s, the
// numbers of %i and %x.
struct Scanned {
    std::string word;
    uint32_t numbers[5] = {};
    unsigned count = 0;
};

// Reads a line by a printf format of FlashReports.h (literal characters,
// %s for a lower-case word, %i, %x with flags and width); true when all of
// the line is taken. The caller prints the values again with the format and
// compares, so that widths and padding must be as the library prints them.
bool Scan(std::string_view format, std::string_view text, Scanned& out)
{
    format = TrimRight(format);
    size_t t = 0;
    for (size_t f = 0; f < format.size(); ++f) {
        if (format[f] != '%') {
            if (t >= text.size() || text[t] != format[f])
                return false;
            ++t;
            continue;
        }
        while (f + 1 < format.size() && format[f + 1] >= '0' && format[f + 1] <= '9')
            ++f; // flags and width: the comparison of the printed line checks them
        if (++f >= format.size())
            return false;
        const char conversion = format[f];
        const size_t begin = t;
        if (conversion == 's') {
            while (t < text.size() && text[t] >= 'a' && text[t] <= 'z')
                ++t;
            if (t == begin)
                return false;
            out.word.assign(text.substr(begin, t - begin));
            continue;
        }
        if (out.count == std::size(out.numbers))
            return false;
        const bool hex = conversion == 'x';
        uint64_t value = 0;
        while (t < text.size() && t - begin < 10) {
            const char c = text[t];
            const int digit = c >= '0' && c <= '9' ? c - '0' : hex && c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
            if (digit < 0)
                break;
            value = value * (hex ? 16 : 10) + static_cast<unsigned>(digit);
            ++t;
        }
        if (t == begin || value > 0xFFFFFFFFull)
            return false;
        out.numbers[out.count++] = static_cast<uint32_t>(value);
    }
    return t == text.size();
}

bool Same(const char* printed, std::string_view text)
{
    return TrimRight(printed) == text;
}

std::optional<ReportLine> SectorLine(std::string_view text)
{
    struct Form {
        const char* format;
        SectorStatus status;
        bool transfer;
    };
    static const Form FORMS[] = {
        {TRANSFER_SECTOR_FORMAT, SectorStatus::Start, true},
        {TRANSFER_SECTOR_OK_FORMAT, SectorStatus::Ok, true},
        {TRANSFER_SECTOR_FAILED_FORMAT, SectorStatus::Failed, true},
        {ERASE_SECTOR_FORMAT, SectorStatus::Start, false},
        {ERASE_SECTOR_OK_FORMAT, SectorStatus::Ok, false},
        {ERASE_SECTOR_FAILED_FORMAT, SectorStatus::Failed, false},
    };
    for (const Form& form : FORMS) {
        Scanned s;
        if (!Scan(form.format, text, s))
            continue;
        char again[160];
        ReportLine line;
        line.status = form.status;
        if (form.transfer) {
            if (s.count != 3 || (s.word != READ_SECTOR_WORD && s.word != WRITE_SECTOR_WORD))
                continue;
            std::snprintf(again, sizeof(again), form.format, s.word.c_str(), static_cast<int>(s.numbers[0]),
                          static_cast<int>(s.numbers[1]), s.numbers[2]);
            line.phase = s.word == READ_SECTOR_WORD ? ReportPhase::Read : ReportPhase::Write;
            line.address = s.numbers[2];
        } else {
            if (s.count != 2)
                continue;
            std::snprintf(again, sizeof(again), form.format, static_cast<int>(s.numbers[0]),
                          static_cast<int>(s.numbers[1]));
            line.phase = ReportPhase::Erase;
        }
        if (!Same(again, text))
            continue;
        line.sector = s.numbers[0];
        line.sectorEnd = s.numbers[1];
        return line;
    }
    return std::nullopt;
}

std::optional<ReportLine> FlashInfoLine(std::string_view text)
{
    Scanned s;
    if (!Scan(FLASH_INFO_TRACE_FORMAT, text, s) || s.count != 5)
        return std::nullopt;
    char again[80];
    std::snprintf(again, sizeof(again), FLASH_INFO_TRACE_FORMAT, s.numbers[0], s.numbers[1], s.numbers[2], s.numbers[3],
                  s.numbers[4]);
    if (!Same(again, text))
        return std::nullopt;
    ReportLine line;
    line.type = ReportLine::Type::FlashInfo;
    for (unsigned i = 0; i < 5; ++i)
        line.words[i] = s.numbers[i];
    return line;
}

} // namespace

const char* ReportPhaseName(ReportPhase phase)
{
    switch (phase) {
    case ReportPhase::Read:
        return "read";
    case ReportPhase::Erase:
        return "erase";
    case ReportPhase::Write:
        return "write";
    case ReportPhase::Verify:
        return "verify";
    }
    return "?";
}

std::optional<ReportLine> DecodeReportLine(uint8_t kind, std::string_view text)
{
    text = TrimRight(TrimLeft(text));
    if (kind == REPORT_PROGRESS || kind == REPORT_MESSAGE)
        return SectorLine(text);
    if (kind == REPORT_TRACE)
        return FlashInfoLine(text);
    return std::nullopt;
}

std::vector<DecodedEvent> CReportDecoder::Feed(uint8_t kind, std::string_view text)
{
    std::vector<DecodedEvent> events;
    const std::string_view trimmed = TrimRight(TrimLeft(text));
    const std::optional<ReportLine> line = DecodeReportLine(kind, trimmed);
    switch (kind) {
    case REPORT_PROGRESS:
    case REPORT_MESSAGE:
        if (line) {
            OnSector(*line, events);
        } else if (!trimmed.empty()) {
            // A message comes between the library's steps: the phase before
            // it is over.
            if (kind == REPORT_MESSAGE)
                EndPhase(events, false);
            DecodedEvent e;
            e.type = kind == REPORT_MESSAGE ? DecodedEvent::Type::Message : DecodedEvent::Type::Unknown;
            e.text = trimmed;
            events.push_back(std::move(e));
        }
        break;
    case REPORT_TRACE:
        if (!trimmed.empty()) {
            DecodedEvent e;
            e.type = line ? DecodedEvent::Type::FlashLayout : DecodedEvent::Type::Trace;
            if (line)
                std::copy(std::begin(line->words), std::end(line->words), e.words);
            e.text = trimmed;
            events.push_back(std::move(e));
        }
        break;
    default: // REPORT_NEWLINE, REPORT_TEST: nothing to tell
        break;
    }
    return events;
}

std::vector<DecodedEvent> CReportDecoder::End()
{
    std::vector<DecodedEvent> events;
    EndPhase(events, false);
    return events;
}

void CReportDecoder::OnSector(const ReportLine& line, std::vector<DecodedEvent>& events)
{
    const ReportPhase phase = m_bVerifying && line.phase == ReportPhase::Read ? ReportPhase::Verify : line.phase;
    const bool again = line.status == SectorStatus::Start && m_LastStarted && line.sector <= *m_LastStarted;
    if (!m_bOpen || m_Phase != phase || again) {
        EndPhase(events, false);
        m_bOpen = true;
        m_Phase = phase;
        m_Done = 0;
        m_LastStarted.reset();
        DecodedEvent begin;
        begin.type = DecodedEvent::Type::PhaseBegin;
        begin.phase = phase;
        begin.sector = line.sector;
        begin.sectorEnd = line.sectorEnd;
        events.push_back(begin);
    }
    if (line.status == SectorStatus::Start)
        m_LastStarted = line.sector;
    else if (line.status == SectorStatus::Ok)
        ++m_Done;
    DecodedEvent sector;
    sector.type = DecodedEvent::Type::Sector;
    sector.phase = phase;
    sector.sector = line.sector;
    sector.sectorEnd = line.sectorEnd;
    sector.status = line.status;
    sector.address = line.address;
    sector.done = m_Done;
    events.push_back(sector);
    if (line.status == SectorStatus::Failed)
        EndPhase(events, true);
}

void CReportDecoder::EndPhase(std::vector<DecodedEvent>& events, bool failed)
{
    if (!m_bOpen)
        return;
    DecodedEvent end;
    end.type = DecodedEvent::Type::PhaseEnd;
    end.phase = m_Phase;
    end.status = failed ? SectorStatus::Failed : SectorStatus::Ok;
    end.done = m_Done;
    events.push_back(end);
    m_bOpen = false;
    m_LastStarted.reset();
}

} // namespace kzhost
