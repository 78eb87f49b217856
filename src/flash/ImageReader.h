// CImageReader: the records of a firmware image file (Intel HEX and Motorola
// S-records, both kinds in one file), one data record at a time.
#pragma once

#include "kazmir.h"
#include "flash/HexDigits.h"
#include "flash/LineReader.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

// Watches the reader: each line as the reader took it and each data record
// as decoded. For checks and listings on top of the library's own reading;
// a reader without an observer pays nothing for it.
class IImageObserver {
public:
    enum : uint32_t {
        LINE_RECORD = 0,    // a record the reader took (data or not)
        LINE_SKIPPED = 1,   // no record (empty line, comment): skipped
        LINE_MALFORMED = 2, // a record line the reader refused: reading stops here
        LINE_END = 3,       // an end record: reading stops here
        LINE_TEXT_STOP = 4, // a Ctrl-Z: text mode ends the file here
        LINE_UNREAD = 5,    // a line after the stop (only for observers that ask for them)
    };
    struct LINE {
        uint32_t dwNumber; // 1 for the first line; each split part counts as a line
        uint64_t qwOffset; // where the line begins in the file
        uint32_t dwKind;   // LINE_...
        bool bRemainder;   // the rest of a longer line, split after MAX_LINE characters
        bool bSplit;       // MAX_LINE characters without a line end: the rest follows as the next line
        const char* pText; // the characters as read (CR LF as LF), valid during the call
        uint32_t dwLength; // as a C string would have it
        uint32_t dwType;   // record type as decoded (Intel type byte, S-record digit); LINE_RECORD only
    };
    // A data record, right after its line: its address as decoded (address
    // extension included) and its data digits, which
    // CImageReader::DecodeData turns into the bytes the library loads.
    struct RECORD_DATA {
        uint32_t dwAddress;
        uint32_t dwCount;
        const char* pDigits;
    };
    virtual void OnLine(const LINE& line) = 0;
    virtual void OnRecord(const LINE& line, const RECORD_DATA& record) = 0;
    // Whether the lines after the stop are wanted too (as LINE_UNREAD).
    virtual bool WantsUnreadLines() const { return false; }

protected:
    ~IImageObserver() = default;
};

class CImageReader {
public:
    // Status of a record: go on, the end of the image, or a malformed line.
    static constexpr uint32_t RECORD_OK = 0;
    static constexpr uint32_t RECORD_END = 38;       // ERROR_HANDLE_EOF
    static constexpr uint32_t RECORD_MALFORMED = 30; // ERROR_READ_FAULT
    static constexpr uint32_t DATA_CAPACITY = 4096;

    // One record as parsed: its data bytes are still digits in the line.
    struct RECORD {
        uint32_t dwCount;    // number of data bytes (0 for a record without data)
        uint32_t dwAddress;  // address of the first data byte
        const char* pDigits; // 2 * dwCount hexadecimal digits
    };

    CImageReader();

    // Two characters to one byte: a character counts c - '0' below 'A' and
    // c - 55 from 'A' on (characters taken as unsigned 8-bit codes), the first
    // shifted left by 4 and or-ed with the second, in 8 bits. Nothing is
    // checked, so lower-case digits give wrong bytes.
    static uint8_t HexByte(char high, char low);
    // Decodes count bytes from 2 * count digits (out must not overlap them),
    // by the same arithmetic, 16 or 32 digits a step where the CPU can.
    static KZM_ALWAYS_INLINE void DecodeData(const char* digits, uint32_t count, uint8_t* out)
    {
        CHexDigits::Decode(digits, count, out);
    }
    // One line (length as a C string, line feed included) of each kind.
    // ParseHexRecord reads and updates the address extension.
    static uint32_t ParseHexRecord(const char* line, uint32_t length, uint32_t* extension, RECORD* record);
    static uint32_t ParseSRecord(const char* line, uint32_t length, RECORD* record);

    KZMRESULT Open(const char* fileName) { return Start(m_Lines.Open(fileName)); }
    KZMRESULT OpenMemory(const void* data, size_t size) { return Start(m_Lines.OpenMemory(data, size)); }
    // Back to the first record, extension 0.
    KZMRESULT Rewind() { return Start(m_Lines.Rewind()); }
    void Close() { m_Lines.Close(); }

    // Reads lines until a record yields data (RECORD_OK, dwCount >= 1) or a
    // status other than RECORD_OK comes; the end of the file is
    // RECORD_MALFORMED. Lines that are no record are skipped.
    uint32_t NextRecord(RECORD* record);
    // The same with the data decoded: *length goes in as the capacity of data
    // and comes back as the number of data bytes (0 unless RECORD_OK).
    uint32_t ReadDataRecord(uint32_t* length, uint8_t* data, uint32_t* address);

    uint32_t GetExtension() const { return m_dwExtension; }

    // Set for one pass; null for none.
    void SetObserver(IImageObserver* observer) { m_pObserver = observer; }
    // NextRecord with every line reported to observer (in place of the one
    // set), whose type the compiler knows here: its calls can go inline into
    // the loop. For a host's check that sees every line. An observer with a
    // TakeDataLine(line, length, number, extension, record) method is offered
    // the next line first, as its byte count tells its length (line feed
    // included): it returns true only when all characters before the line
    // feed are a record mark and hexadecimal digits (so that it is a whole
    // line), having filled record as the parsers would and seen the line as
    // OnLine and OnRecord would have (a data record, nothing else changed);
    // false leaves the line to them.
    template <typename TObserver>
    uint32_t NextRecordReported(TObserver& observer, RECORD* record);
    // After a stop: reports the lines that were not read to an observer that
    // wants them, reading on past a Ctrl-Z.
    void ReportUnreadLines();

private:
    // Extension 0, line 0, the digit path of this pass.
    KZMRESULT Start(KZMRESULT result);
    // NextRecord's loop for any line (NextRecord takes a whole data record
    // line itself), out of line.
    uint32_t NextRecordAny(RECORD* record);
    uint32_t NextRecordObserved(RECORD* record);
    // A line as the record loop sees it; true when reading stops after it
    // (data, or a status other than RECORD_OK).
    bool ParseLine(const char* line, uint32_t length, RECORD* record, uint32_t* status);
    // The next line, as CLineReader::NextLine gives it.
    uint32_t NextLine(const char** line, uint32_t* length);
    // With the vector paths: the next line when it is a whole record line in
    // the buffer (its byte count tells where it ends), taken; false otherwise.
    bool TakeWholeRecordLine(const char** line, uint32_t* length);
    template <typename TObserver>
    void Notify(TObserver& observer, uint32_t kind, const char* line, uint32_t length, uint32_t type,
                const RECORD* record);

    CLineReader m_Lines;
    uint32_t m_dwExtension;
    IImageObserver* m_pObserver;
    uint32_t m_dwLineNumber;
    // With the vector paths: record lines are taken whole from the line
    // buffer when their byte count tells where they end, instead of by a
    // search for the line feed.
    bool m_bShortcut;
};

// One record line's text: the parsers, inline for the record loop (a call
// per line costs more than the parsing of most lines).
class CRecordLine {
public:
    using RECORD = CImageReader::RECORD;
    static constexpr uint32_t RECORD_OK = CImageReader::RECORD_OK;
    static constexpr uint32_t RECORD_END = CImageReader::RECORD_END;
    static constexpr uint32_t RECORD_MALFORMED = CImageReader::RECORD_MALFORMED;

    static KZM_ALWAYS_INLINE uint8_t Byte(const char* p) { return CHexDigits::Pair(p); }

    static KZM_ALWAYS_INLINE uint8_t HexPair(char high, char low)
    {
        const char pair[2] = {high, low};
        return Byte(pair);
    }

    // A character of the line as a C string: NUL at and after its end.
    static KZM_ALWAYS_INLINE char At(const char* line, uint32_t length, uint32_t pos)
    {
        return pos < length ? line[pos] : '\0';
    }

    // Data bytes must end at or below 0xFFFFFFFF: a block's end is a 32-bit
    // address, so a record that would run past it (or wrap to 0) is malformed.
    static KZM_ALWAYS_INLINE bool FitsAddressSpace(uint32_t address, uint32_t count)
    {
        return static_cast<uint64_t>(address) + count <= 0xFFFFFFFFull;
    }

    static KZM_ALWAYS_INLINE uint32_t ParseHex(const char* line, uint32_t length, uint32_t* extension, RECORD* record)
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

    static KZM_ALWAYS_INLINE uint32_t ParseS(const char* line, uint32_t length, RECORD* record)
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
        // Two to four address bytes, without a loop.
        uint32_t address = (static_cast<uint32_t>(Byte(line + 4)) << 8) | Byte(line + 6);
        if (addressBytes >= 3)
            address = (address << 8) | Byte(line + 8);
        if (addressBytes == 4)
            address = (address << 8) | Byte(line + 10);
        const uint32_t dataCount = count - addressBytes - 1;
        if (dataCount != 0 && !FitsAddressSpace(address, dataCount))
            return RECORD_MALFORMED;
        record->dwCount = dataCount;
        record->dwAddress = address;
        record->pDigits = line + 4 + 2 * addressBytes;
        return RECORD_OK;
    }

    // The length the record line at p has by its byte count, its line feed
    // included, when the count characters at p hold more; 0 otherwise.
    static KZM_ALWAYS_INLINE size_t LengthByCount(const char* p, size_t count)
    {
        if (count < 4)
            return 0;
        size_t length = 0;
        if (p[0] == ':')
            length = 12 + 2 * static_cast<size_t>(Byte(p + 1));
        else if ((p[0] | 0x20) == 's')
            length = 5 + 2 * static_cast<size_t>(Byte(p + 2));
        return length < count ? length : 0;
    }

    // LengthByCount when a line feed stands last; 0 otherwise. What comes
    // before it (another line feed, a carriage return) is not looked at.
    static KZM_ALWAYS_INLINE size_t CountedLength(const char* p, size_t count)
    {
        const size_t length = LengthByCount(p, count);
        return length != 0 && p[length - 1] == '\n' ? length : 0;
    }

    // The length of the record line at p, its line feed included, when its
    // byte count tells it and its line feed (or CR LF) stands there with none
    // before, within the count characters at p; 0 otherwise.
    static KZM_ALWAYS_INLINE size_t WholeRecordLength(const char* p, size_t count)
    {
        const size_t length = LengthByCount(p, count);
        if (length == 0)
            return 0;
        // A carriage return before the line feed is not part of the line: then
        // the line is one character shorter than its count says.
        const char last = p[length - 1];
        if (last == '\n' ? p[length - 2] == '\r' : last != '\r' || p[length] != '\n')
            return 0;
        return CHexDigits::NoLineFeed(p, length - 1) ? length : 0;
    }
};

KZM_ALWAYS_INLINE bool CImageReader::ParseLine(const char* line, uint32_t length, RECORD* record, uint32_t* status)
{
    if (length == 0)
        return false;
    if (line[0] == ':')
        *status = CRecordLine::ParseHex(line, length, &m_dwExtension, record);
    else if (line[0] == 'S' || line[0] == 's')
        *status = CRecordLine::ParseS(line, length, record);
    else
        return false; // empty lines, comments
    return *status != RECORD_OK || record->dwCount != 0;
}

KZM_ALWAYS_INLINE bool CImageReader::TakeWholeRecordLine(const char** line, uint32_t* length)
{
    if (!m_bShortcut)
        return false;
    size_t count = 0;
    const char* p = m_Lines.PeekBuffered(&count);
    const size_t whole = CRecordLine::WholeRecordLength(p, count);
    if (whole == 0)
        return false;
    m_Lines.TakeLine(whole, p[whole - 1] == '\r');
    *line = p;
    *length = static_cast<uint32_t>(whole);
    return true;
}

KZM_ALWAYS_INLINE uint32_t CImageReader::NextRecord(RECORD* record)
{
    // The usual line of an image, a whole data record in the buffer, is read
    // here without a call.
    const char* line = nullptr;
    uint32_t length = 0;
    uint32_t status = RECORD_OK;
    if (m_pObserver == nullptr && TakeWholeRecordLine(&line, &length) && ParseLine(line, length, record, &status))
        return status;
    return NextRecordAny(record);
}

KZM_ALWAYS_INLINE uint32_t CImageReader::NextLine(const char** line, uint32_t* length)
{
    return TakeWholeRecordLine(line, length) ? CLineReader::LINE_OK : m_Lines.NextLine(line, length);
}

template <typename TObserver>
KZM_ALWAYS_INLINE void CImageReader::Notify(TObserver& observer, uint32_t kind, const char* line, uint32_t length,
                                            uint32_t type, const RECORD* record)
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
    observer.OnLine(event);
    if (record != nullptr && record->dwCount != 0)
        observer.OnRecord(event, {record->dwAddress, record->dwCount, record->pDigits});
}

template <typename TObserver>
KZM_ALWAYS_INLINE uint32_t CImageReader::NextRecordReported(TObserver& observer, RECORD* record)
{
    record->dwCount = 0;
    record->dwAddress = 0;
    record->pDigits = nullptr;
    for (;;) {
        const char* line = nullptr;
        uint32_t length = 0;
        if constexpr (requires { observer.TakeDataLine(line, length, m_dwLineNumber, m_dwExtension, record); }) {
            if (m_bShortcut) {
                // The line's characters as its byte count tells them, for the
                // observer to vouch for: then it is a whole record line.
                size_t count = 0;
                line = m_Lines.PeekBuffered(&count);
                length = static_cast<uint32_t>(CRecordLine::CountedLength(line, count));
                if (length != 0 && observer.TakeDataLine(line, length, m_dwLineNumber + 1, m_dwExtension, record)) {
                    m_Lines.TakeLine(length, false);
                    ++m_dwLineNumber;
                    return RECORD_OK;
                }
            }
        }
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
                observer.OnLine(event);
            }
            return RECORD_MALFORMED;
        }
        ++m_dwLineNumber;
        const char first = length != 0 ? line[0] : '\0';
        uint32_t status;
        uint32_t type;
        if (first == ':') {
            type = length >= 9 ? CRecordLine::HexPair(line[7], line[8]) : 0;
            status = CRecordLine::ParseHex(line, length, &m_dwExtension, record);
        } else if (first == 'S' || first == 's') {
            type = CRecordLine::HexPair('0', length >= 2 ? line[1] : '\0');
            status = CRecordLine::ParseS(line, length, record);
        } else {
            Notify(observer, IImageObserver::LINE_SKIPPED, line, length, 0, nullptr);
            continue;
        }
        const uint32_t kind = status == RECORD_OK    ? IImageObserver::LINE_RECORD
                              : status == RECORD_END ? IImageObserver::LINE_END
                                                     : IImageObserver::LINE_MALFORMED;
        Notify(observer, kind, line, length, type, status == RECORD_OK ? record : nullptr);
        if (status != RECORD_OK)
            return status;
        if (record->dwCount != 0)
            return RECORD_OK;
    }
}
