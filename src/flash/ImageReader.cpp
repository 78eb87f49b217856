#include "flash/ImageReader.h"

#include "flash/HexDigits.h"

#include <cstring>

namespace {

constexpr uint32_t RECORD_OK = CImageReader::RECORD_OK;
constexpr uint32_t RECORD_END = CImageReader::RECORD_END;
constexpr uint32_t RECORD_MALFORMED = CImageReader::RECORD_MALFORMED;

inline uint8_t HexPair(char high, char low)
{
    return CRecordLine::HexPair(high, low);
}

} // namespace

KZM_ALWAYS_INLINE uint32_t CImageReader::NextLine(const char** line, uint32_t* length)
{
    if (m_bShortcut) {
        size_t count = 0;
        const char* p = m_Lines.PeekBuffered(&count);
        const size_t whole = CRecordLine::WholeRecordLength(p, count);
        if (whole != 0) {
            m_Lines.TakeLine(whole, p[whole - 1] == '\r');
            *line = p;
            *length = static_cast<uint32_t>(whole);
            return CLineReader::LINE_OK;
        }
    }
    return m_Lines.NextLine(line, length);
}

uint32_t CImageReader::NextRecordAny(RECORD* record)
{
    if (m_pObserver != nullptr)
        return NextRecordObserved(record);
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    uint32_t status = RECORD_OK;
    for (;;) {
        const char* line = nullptr;
        uint32_t length = 0;
        if (NextLine(&line, &length) == CLineReader::LINE_END)
            return RECORD_MALFORMED;
        if (ParseLine(line, length, record, &status))
            return status;
    }
}

CImageReader::CImageReader() : m_dwExtension(0), m_pObserver(nullptr), m_dwLineNumber(0), m_bShortcut(false) {}

KZMRESULT CImageReader::Start(KZMRESULT result)
{
    m_dwExtension = 0;
    m_dwLineNumber = 0;
    m_bShortcut = CHexDigits::GetLevel() != CHexDigits::LEVEL_SCALAR;
    return result;
}

uint8_t CImageReader::HexByte(char high, char low)
{
    return HexPair(high, low);
}

uint32_t CImageReader::ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record)
{
    return CRecordLine::ParseHex(line, length, extension, record);
}

uint32_t CImageReader::ParseSRecord(const char* line, uint32_t length, RECORD* record)
{
    return CRecordLine::ParseS(line, length, record);
}

KZM_ALWAYS_INLINE void CImageReader::Notify(uint32_t kind, const char* line, uint32_t length, uint32_t type,
                                            const RECORD* record)
{
    IImageObserver::LINE event;
    event.dwNumber = m_dwLineNumber;
    event.qwOffset = m_Lines.GetLineOffset();
    event.dwKind = kind;
    event.bRemainder = m_Lines.IsRemainder();
    event.bSplit = length == CLineReader::MAX_LINE && line[length - 1] != '\n';
    event.pText = line;
    event.dwLength = length;
    event.dwType = type;
    m_pObserver->OnLine(event);
    if (record != nullptr && record->dwCount != 0)
        m_pObserver->OnRecord(event, {record->dwAddress, record->dwCount, record->pDigits});
}

// The same reading, with every line reported.
uint32_t CImageReader::NextRecordObserved(RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    for (;;) {
        const char* line = nullptr;
        uint32_t length = 0;
        if (NextLine(&line, &length) == CLineReader::LINE_END) {
            if (m_Lines.StoppedAtCtrlZ()) {
                // The Ctrl-Z begins the next line; what follows it on that
                // line counts as the same line.
                IImageObserver::LINE event{m_dwLineNumber + 1,
                                           m_Lines.GetCtrlZOffset(),
                                           IImageObserver::LINE_TEXT_STOP,
                                           false,
                                           false,
                                           "\x1A",
                                           1,
                                           0};
                m_pObserver->OnLine(event);
            }
            return RECORD_MALFORMED;
        }
        ++m_dwLineNumber;
        const char first = length != 0 ? line[0] : '\0';
        uint32_t status;
        uint32_t type;
        if (first == ':') {
            type = length >= 9 ? HexPair(line[7], line[8]) : 0;
            status = CRecordLine::ParseHex(line, length, &m_dwExtension, record);
        } else if (first == 'S' || first == 's') {
            type = HexPair('0', length >= 2 ? line[1] : '\0');
            status = CRecordLine::ParseS(line, length, record);
        } else {
            Notify(IImageObserver::LINE_SKIPPED, line, length, 0, nullptr);
            continue;
        }
        const uint32_t kind = status == RECORD_OK    ? IImageObserver::LINE_RECORD
                              : status == RECORD_END ? IImageObserver::LINE_END
                                                     : IImageObserver::LINE_MALFORMED;
        Notify(kind, line, length, type, status == RECORD_OK ? record : nullptr);
        if (status != RECORD_OK)
            return status;
        if (record->dwCount != 0)
            return RECORD_OK;
    }
}

void CImageReader::ReportUnreadLines()
{
    if (m_pObserver == nullptr || !m_pObserver->WantsUnreadLines())
        return;
    if (m_Lines.StoppedAtCtrlZ() && !m_Lines.ResumeAfterCtrlZ())
        return;
    const char* line = nullptr;
    uint32_t length = 0;
    while (m_Lines.NextLine(&line, &length) == CLineReader::LINE_OK) {
        ++m_dwLineNumber;
        Notify(IImageObserver::LINE_UNREAD, line, length, 0, nullptr);
    }
}

uint32_t CImageReader::ReadDataRecord(uint32_t* length, uint8_t* data, uint32_t* address)
{
    const uint32_t capacity = *length;
    *length = 0;
    RECORD record;
    const uint32_t status = NextRecord(&record);
    if (status != RECORD_OK)
        return status;
    // A record holds at most 255 bytes; the buffer is meant to hold 4096.
    if (record.dwCount > capacity || data == nullptr)
        return RECORD_MALFORMED;
    DecodeData(record.pDigits, record.dwCount, data);
    *length = record.dwCount;
    *address = record.dwAddress;
    return RECORD_OK;
}
