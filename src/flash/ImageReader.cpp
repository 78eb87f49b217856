#include "flash/ImageReader.h"

#include "flash/HexDigits.h"

#include <cstring>

// The record loop inlines the parsers: a call per line costs more than the
// parsing of most lines.
#if defined(__GNUC__)
#define KZM_ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define KZM_ALWAYS_INLINE inline
#endif

namespace {

constexpr uint32_t RECORD_OK = CImageReader::RECORD_OK;
constexpr uint32_t RECORD_END = CImageReader::RECORD_END;
constexpr uint32_t RECORD_MALFORMED = CImageReader::RECORD_MALFORMED;

inline uint8_t Byte(const char* p)
{
    return CHexDigits::Pair(p);
}

inline uint8_t HexPair(char high, char low)
{
    const char pair[2] = {high, low};
    return Byte(pair);
}

// A character of the line as a C string: NUL at and after its end.
inline char At(const char* line, uint32_t length, uint32_t pos)
{
    return pos < length ? line[pos] : '\0';
}

// Data bytes must end at or below 0xFFFFFFFF: a block's end is a 32-bit
// address, so a record that would run past it (or wrap to 0) is malformed.
inline bool FitsAddressSpace(uint32_t address, uint32_t count)
{
    return static_cast<uint64_t>(address) + count <= 0xFFFFFFFFull;
}

// The record parsers' bodies, for the public ones and for NextRecord's loop.
KZM_ALWAYS_INLINE uint32_t ParseHex(const char* line, uint32_t length, uint32_t* extension,
                                    CImageReader::RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    const uint32_t count = length >= 3 ? Byte(line + 1) : HexPair(At(line, length, 1), At(line, length, 2));
    if (length != 12 + 2 * count) {
        // A last line without its line feed may still be the end record.
        if (length == 11 && std::memcmp(line, ":00000001FF", 11) == 0)
            return RECORD_END;
        return RECORD_MALFORMED;
    }
    switch (Byte(line + 7)) {
    case 0x00: {
        const uint32_t address = ((static_cast<uint32_t>(Byte(line + 3)) << 8) | Byte(line + 5)) + *extension;
        if (count != 0 && !FitsAddressSpace(address, count))
            return RECORD_MALFORMED;
        record->dwCount = count;
        record->dwAddress = address;
        record->pDigits = line + 9;
        return RECORD_OK;
    }
    case 0x01:
        return RECORD_END;
    case 0x02:
    case 0x04: {
        // Read as a C string, so that a record too short for its two data
        // bytes reads its line feed and NUL instead (and never past them).
        const uint32_t value = static_cast<uint32_t>(HexPair(At(line, length, 9), At(line, length, 10))) * 256u +
                               HexPair(At(line, length, 11), At(line, length, 12));
        *extension = Byte(line + 7) == 0x02 ? value * 16u : value * 65536u;
        return RECORD_OK;
    }
    default:
        // 03 and 05 (start addresses) and unknown types change nothing.
        return RECORD_OK;
    }
}

KZM_ALWAYS_INLINE uint32_t ParseS(const char* line, uint32_t length, CImageReader::RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    const uint32_t count = HexPair(At(line, length, 2), At(line, length, 3));
    if (length != 2 * count + 5)
        return RECORD_MALFORMED;
    const uint8_t type = HexPair('0', line[1]);
    uint32_t addressBytes = 0;
    switch (type) {
    case 1:
        addressBytes = 2;
        break;
    case 2:
        addressBytes = 3;
        break;
    case 3:
        addressBytes = 4;
        break;
    case 7:
    case 8:
    case 9:
        return RECORD_END;
    default:
        // S0 (header), S4, S5, S6 and any other type: nothing to load.
        return RECORD_OK;
    }
    // The count covers address, data and checksum: a record too short for
    // its address and checksum would have a negative data count.
    if (count < addressBytes + 1)
        return RECORD_MALFORMED;
    uint32_t address = 0;
    for (uint32_t i = 0; i < addressBytes; ++i)
        address = (address << 8) | Byte(line + 4 + 2 * i);
    const uint32_t dataCount = count - addressBytes - 1;
    if (dataCount != 0 && !FitsAddressSpace(address, dataCount))
        return RECORD_MALFORMED;
    record->dwCount = dataCount;
    record->dwAddress = address;
    record->pDigits = line + 4 + 2 * addressBytes;
    return RECORD_OK;
}

// The length of the record line at p, its line feed included, when its
// byte count tells it and its line feed (or CR LF) stands there with none
// before, within the count characters at p; 0 otherwise.
KZM_ALWAYS_INLINE size_t WholeRecordLength(const char* p, size_t count)
{
    if (count < 4)
        return 0;
    size_t length = 0;
    if (p[0] == ':')
        length = 12 + 2 * static_cast<size_t>(Byte(p + 1));
    else if ((p[0] | 0x20) == 's')
        length = 5 + 2 * static_cast<size_t>(Byte(p + 2));
    else
        return 0;
    if (length >= count)
        return 0;
    // A carriage return before the line feed is not part of the line: then
    // the line is one character shorter than its count says.
    const char last = p[length - 1];
    if (last == '\n' ? p[length - 2] == '\r' : last != '\r' || p[length] != '\n')
        return 0;
    return CHexDigits::NoLineFeed(p, length - 1) ? length : 0;
}

} // namespace

KZM_ALWAYS_INLINE bool CImageReader::ParseLine(const char* line, uint32_t length, RECORD* record, uint32_t* status)
{
    if (length == 0)
        return false;
    if (line[0] == ':')
        *status = ParseHex(line, length, &m_dwExtension, record);
    else if (line[0] == 'S' || line[0] == 's')
        *status = ParseS(line, length, record);
    else
        return false; // empty lines, comments
    return *status != RECORD_OK || record->dwCount != 0;
}

KZM_ALWAYS_INLINE uint32_t CImageReader::NextLine(const char** line, uint32_t* length)
{
    if (m_bShortcut) {
        size_t count = 0;
        const char* p = m_Lines.PeekBuffered(&count);
        const size_t whole = WholeRecordLength(p, count);
        if (whole != 0) {
            m_Lines.TakeLine(whole, p[whole - 1] == '\r');
            *line = p;
            *length = static_cast<uint32_t>(whole);
            return CLineReader::LINE_OK;
        }
    }
    return m_Lines.NextLine(line, length);
}

uint32_t CImageReader::NextRecord(RECORD* record)
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
    return ParseHex(line, length, extension, record);
}

uint32_t CImageReader::ParseSRecord(const char* line, uint32_t length, RECORD* record)
{
    return ParseS(line, length, record);
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
            status = ParseHex(line, length, &m_dwExtension, record);
        } else if (first == 'S' || first == 's') {
            type = HexPair('0', length >= 2 ? line[1] : '\0');
            status = ParseS(line, length, record);
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
