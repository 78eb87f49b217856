#include "flash/ImageReader.h"

#include <array>
#include <cstring>

namespace {

// The digit value of HexByte for every 8-bit character.
constexpr int DigitValue(unsigned c)
{
    return c < 'A' ? static_cast<int>(c) - '0' : static_cast<int>(c) - 55;
}

// HexByte of every pair of characters, indexed by the first character plus
// 256 times the second: one lookup per byte. Only the pairs of digits are
// used in practice, about 25 cache lines of the table.
constexpr std::array<uint8_t, 65536> MakePairTable()
{
    std::array<uint8_t, 65536> table{};
    for (unsigned high = 0; high < 256; ++high)
        for (unsigned low = 0; low < 256; ++low) {
            // Two's-complement arithmetic: the low 8 bits of a negative value.
            const unsigned h = static_cast<unsigned>(DigitValue(high));
            const unsigned l = static_cast<unsigned>(DigitValue(low));
            table[high | (low << 8)] = static_cast<uint8_t>(((h << 4) | l) & 0xFFu);
        }
    return table;
}

constexpr std::array<uint8_t, 65536> g_Pairs = MakePairTable();

inline uint8_t Byte(const char* p)
{
    const auto* d = reinterpret_cast<const uint8_t*>(p);
    return g_Pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
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

} // namespace

CImageReader::CImageReader() : m_dwExtension(0), m_pObserver(nullptr), m_dwLineNumber(0) {}

uint8_t CImageReader::HexByte(char high, char low)
{
    const char pair[2] = {high, low};
    return Byte(pair);
}

void CImageReader::DecodeData(const char* digits, uint32_t count, uint8_t* out)
{
    const uint8_t* pairs = g_Pairs.data();
    const auto* d = reinterpret_cast<const uint8_t*>(digits);
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4, d += 8) {
        out[i] = pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
        out[i + 1] = pairs[d[2] | (static_cast<unsigned>(d[3]) << 8)];
        out[i + 2] = pairs[d[4] | (static_cast<unsigned>(d[5]) << 8)];
        out[i + 3] = pairs[d[6] | (static_cast<unsigned>(d[7]) << 8)];
    }
    for (; i < count; ++i, d += 2)
        out[i] = pairs[d[0] | (static_cast<unsigned>(d[1]) << 8)];
}

uint32_t CImageReader::ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    const uint32_t count = length >= 3 ? Byte(line + 1) : HexByte(At(line, length, 1), At(line, length, 2));
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
        const uint32_t value = static_cast<uint32_t>(HexByte(At(line, length, 9), At(line, length, 10))) * 256u +
                               HexByte(At(line, length, 11), At(line, length, 12));
        *extension = Byte(line + 7) == 0x02 ? value * 16u : value * 65536u;
        return RECORD_OK;
    }
    default:
        // 03 and 05 (start addresses) and unknown types change nothing.
        return RECORD_OK;
    }
}

uint32_t CImageReader::ParseSRecord(const char* line, uint32_t length, RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    const uint32_t count = HexByte(At(line, length, 2), At(line, length, 3));
    if (length != 2 * count + 5)
        return RECORD_MALFORMED;
    const uint8_t type = HexByte('0', line[1]);
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

uint32_t CImageReader::NextRecord(RECORD* record)
{
    if (m_pObserver != nullptr)
        return NextRecordObserved(record);
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    for (;;) {
        const char* line = nullptr;
        uint32_t length = 0;
        if (m_Lines.NextLine(&line, &length) == CLineReader::LINE_END)
            return RECORD_MALFORMED;
        if (length == 0)
            continue;
        const char first = line[0];
        uint32_t status;
        if (first == ':')
            status = ParseHexRecord(line, length, &m_dwExtension, record);
        else if (first == 'S' || first == 's')
            status = ParseSRecord(line, length, record);
        else
            continue; // empty lines, comments
        if (status != RECORD_OK)
            return status;
        if (record->dwCount != 0)
            return RECORD_OK;
    }
}

void CImageReader::Notify(uint32_t kind, const char* line, uint32_t length, uint32_t type, const RECORD* record)
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
        if (m_Lines.NextLine(&line, &length) == CLineReader::LINE_END) {
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
            type = length >= 9 ? HexByte(line[7], line[8]) : 0;
            status = ParseHexRecord(line, length, &m_dwExtension, record);
        } else if (first == 'S' || first == 's') {
            type = HexByte('0', length >= 2 ? line[1] : '\0');
            status = ParseSRecord(line, length, record);
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
