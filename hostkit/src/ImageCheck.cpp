#include "ImageCheck.h"
#include "ImageOverlap.h"

#include "flash/FlashPlacement.h"
#include "flash/FwInfo.h"
#include "flash/HexDigits.h"
#include "flash/ImageFile.h"
#include "flash/ImageReader.h"
#include "flash/LineReader.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

// The check's steps for a line go inline into its hot path; what reports a
// finding stays out of it.
#if defined(__GNUC__)
#define KZH_INLINE inline __attribute__((always_inline))
#define KZH_COLD __attribute__((noinline, cold))
#else
#define KZH_INLINE inline
#define KZH_COLD
#endif

namespace kzhost {

std::string Fmt(const char* format, ...)
{
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

namespace {

// What each character is as a hexadecimal digit: bits that stay set over a
// line of good digits.
constexpr uint8_t DIGIT_UPPER = 1; // '0' to '9', 'A' to 'F'
constexpr uint8_t DIGIT_LOWER = 2; // 'a' to 'f'
constexpr auto MakeDigitClass()
{
    std::array<uint8_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c)
        table[c] = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') ? DIGIT_UPPER
                   : c >= 'a' && c <= 'f'                           ? DIGIT_LOWER
                                                                    : 0;
    return table;
}
constexpr std::array<uint8_t, 256> g_DigitClass = MakeDigitClass();

// The bytes of one line: at most half of its characters.
struct Bytes {
    uint8_t data[CLineReader::MAX_LINE / 2];
    size_t size = 0;
    uint32_t sum = 0; // of all of them
    uint8_t operator[](size_t i) const { return data[i]; }
    uint8_t back() const { return data[size - 1]; }
};
KZH_INLINE bool IsRecordMark(char c)
{
    return c == ':' || c == 'S' || c == 's';
}
// The line after its first from characters, which it has (substr's range
// check stays out of the line's steps).
KZH_INLINE std::string_view Rest(std::string_view line, size_t from)
{
    return {line.data() + from, line.size() - from};
}

std::string Printable(char c)
{
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ')
        return "a blank";
    if (c == '\t')
        return "a tab";
    if (c == '\r')
        return "a carriage return";
    if (u < 0x20 || u >= 0x7F)
        return Fmt("byte 0x%02X", u);
    return Fmt("'%c'", c);
}

std::string FieldText(const char* p, size_t width)
{
    return std::string(p, strnlen(p, width));
}

// The blocks and the firmware-information record as the library's load
// would find them, worked out while the records stream by, so that the file
// is read once and no image is held. Exact while every record starts at or
// above the end of all before it: then each run of touching records is one
// of the library's blocks, in its list order, and each block's bytes arrive
// in address order. Otherwise the caller loads the image instead.
class CLayoutScan {
public:
    // Room for as many blocks as a text of this size can hold (within
    // reason), so that a list of many blocks is not copied as it grows.
    void Reserve(uint64_t textSize)
    {
        m_Blocks.reserve(static_cast<size_t>(std::min<uint64_t>(textSize / SHORTEST_DATA_LINE, 1u << 20)));
    }

    // A data record as the library's reader gives it: its digits, decoded
    // here as the library decodes them. mayHoldDollar false: none of its
    // bytes is a '$', with which a marker begins.
    void Add(uint32_t address, const char* digits, uint32_t count, bool mayHoldDollar)
    {
        Add(address, count, mayHoldDollar, nullptr, digits);
    }
    // The same with the record's bytes as the library decodes them, in a
    // line's bytes (which hold 32 bytes from there on, whatever the count).
    KZH_INLINE void Add(uint32_t address, const uint8_t* bytes, uint32_t count)
    {
        Add(address, count, !CHexDigits::Lacks(reinterpret_cast<const char*>(bytes), count, '$'), bytes, nullptr);
    }

private:
    // The record's bytes are copied from bytes, or else decoded from digits,
    // when they are needed.
    KZH_INLINE void Add(uint32_t address, uint32_t count, bool mayHoldDollar, const uint8_t* bytes, const char* digits)
    {
        // A record that touches the block before it extends it; any other
        // starts a block of its own, after all earlier ones in list order.
        if (m_Blocks.empty() || address != m_Blocks.back().end) {
            m_Blocks.push_back({address, address});
            m_Held = 0;
            m_bMarkerSeen = false;
        }
        ImageBlock& block = m_Blocks.back();
        const uint64_t seen = block.Size(); // bytes of the block before this record
        block.end = static_cast<uint64_t>(address) + count;
        if (m_bMarkerSeen)
            return; // only a block's first marker counts
        // The block's last bytes, then the record's: a marker may begin in
        // the bytes before, and its record lies within the 50 bytes before
        // it. The window is moved up only when full.
        if (m_Held + count > WINDOW) {
            std::memmove(m_Window, m_Window + m_Held - TAIL, TAIL);
            m_Held = TAIL;
        }
        uint8_t* to = m_Window + m_Held;
        if (bytes == nullptr)
            CImageReader::DecodeData(digits, count, to);
        else if (count <= SLACK)
            std::memcpy(to, bytes, SLACK); // a record's usual size in two moves, without a call
        else
            std::memcpy(to, bytes, count);
        const size_t held = m_Held;
        m_Held += count;
        // A marker not found before ends in this record, with its last '$'.
        if (!mayHoldDollar)
            return;
        const size_t from = held > MARKER_REACH ? held - MARKER_REACH : 0;
        const ptrdiff_t at = CFwInfo::FindMarker(m_Window + from, m_Held - from);
        if (at < 0)
            return;
        m_bMarkerSeen = true;
        const size_t marker = from + static_cast<size_t>(at);
        const uint64_t inBlock = seen - held + marker;
        if (inBlock >= CFwInfo::RECORD_SIZE) {
            m_FwBlock = static_cast<int>(m_Blocks.size() - 1);
            m_FwAddress = block.start + static_cast<uint32_t>(inBlock - CFwInfo::RECORD_SIZE);
            std::memcpy(m_FwRecord, m_Window + marker - CFwInfo::RECORD_SIZE, CFwInfo::RECORD_SIZE);
        }
    }

public:
    // The blocks in list order and the record; false when the library would
    // load nothing.
    bool Take(ImageAnalysis& out)
    {
        if (m_Blocks.empty())
            return false;
        out.blocks = std::move(m_Blocks);
        out.fwInfo.found = m_FwBlock >= 0;
        if (out.fwInfo.found) {
            out.fwInfo.block = m_FwBlock;
            out.fwInfo.address = m_FwAddress;
            out.fwInfo.record = DecodeFwInfo(m_FwRecord);
        }
        return true;
    }

private:
    static constexpr uint64_t SHORTEST_DATA_LINE = 13; // "S1" count, address, one byte, checksum, line feed
    static constexpr size_t MARKER_REACH = CFwInfo::MARKER_SIZE - 1;
    static constexpr size_t TAIL = CFwInfo::RECORD_SIZE + MARKER_REACH;
    std::vector<ImageBlock> m_Blocks;
    bool m_bMarkerSeen = false;
    size_t m_Held = 0; // bytes of the block's end in the window
    static constexpr size_t WINDOW = 4096;
    static constexpr uint32_t SLACK = 32; // room after the window for a short record's whole copy
    uint8_t m_Window[WINDOW + SLACK] = {};
    int m_FwBlock = -1;
    uint32_t m_FwAddress = 0;
    uint8_t m_FwRecord[CFwInfo::RECORD_SIZE] = {};
};

// The strict rules, applied to each line as the library's reader takes it.
class CStrictCheck final : public IImageObserver {
public:
    CStrictCheck(ImageAnalysis& out, uint64_t textSize) : m_Out(out) { m_Layout.Reserve(textSize); }

    bool WantsUnreadLines() const override { return true; }
    bool Overlapping() const { return m_bOverlap; }
    uint32_t SRecordsSeen() const { return m_SDataRecords; }

    KZH_INLINE void OnLine(const LINE& line) override
    {
        m_bPlainData = false;
        m_Out.lines = std::max(m_Out.lines, line.dwNumber);
        std::string_view text(line.pText, line.dwLength);
        const bool hadLineFeed = !text.empty() && text.back() == '\n';
        if (hadLineFeed)
            text.remove_suffix(1);
        if (line.bSplit) {
            m_Out.splitLines.push_back(line.dwNumber);
            Warning(Issue::SplitLine, line.dwNumber,
                    Fmt("line %u is longer than the library reads at once: it reads the characters from the "
                        "4,096th on as line %u",
                        line.dwNumber, line.dwNumber + 1));
        }
        switch (line.dwKind) {
        case LINE_TEXT_STOP:
            Stop(line.dwNumber, "a Ctrl-Z character, where text mode ends the file");
            m_bTextStop = true;
            return;
        case LINE_UNREAD:
            if (m_bTextStop && text.find_first_not_of("\x1A\r\n \t") == std::string_view::npos)
                return;
            if (!text.empty() && IsRecordMark(text[0])) {
                ++m_Out.recordsNotRead;
                if (m_FirstUnread == 0)
                    m_FirstUnread = line.dwNumber;
            }
            CheckLine(text, line.dwNumber, true);
            return;
        default:
            break;
        }
        m_LastLine = line.dwNumber;
        m_LastHadLineFeed = hadLineFeed;
        const size_t errorsBefore = m_Errors;
        const bool data = CheckLine(text, line.dwNumber, m_Out.endLine != 0);
        if (line.dwKind == LINE_END) {
            Stop(line.dwNumber, "an end record");
            if (m_Out.endLine == 0)
                m_Out.endLine = line.dwNumber;
        } else if (line.dwKind == LINE_MALFORMED) {
            Stop(line.dwNumber, "a line it takes as malformed");
            m_MalformedData = data;
            if (m_Errors > errorsBefore) {
                // Say so on the line's own finding when the cause is not plain.
                Finding& last = m_Out.findings.back();
                if (last.issue == Issue::LowerCase || last.issue == Issue::BadChecksum ||
                    last.issue == Issue::AddressWrap || last.issue == Issue::BadRecordField)
                    last.text += "; the library even takes this line as malformed and stops reading here";
            } else {
                m_NeedsStopFinding = true;
                m_StopHadLineFeed = hadLineFeed;
            }
        }
    }

    KZH_INLINE void OnRecord(const LINE&, const RECORD_DATA& r) override
    {
        // From upper-case digits the line's bytes, as decoded for the check,
        // are those the library loads: they are not decoded again.
        Data(r.dwAddress, r.dwCount, m_bPlainData && r.dwCount == m_DataCount ? m_Line.data + m_DataAt : nullptr,
             r.pDigits);
    }

    // The usual line of an image, taken whole by the reader: a data record
    // of upper-case digits with nothing to report. Its digits are decoded
    // once, for the reader's record and the check alike, and all that OnLine
    // and OnRecord would do for it is done here. Any other line (a finding, a
    // record of another type, no data) is left to them, with nothing changed.
    KZH_INLINE bool TakeDataLine(const char* text, uint32_t length, uint32_t number, uint32_t extension,
                                 CImageReader::RECORD* record)
    {
        const bool intel = text[0] == ':';
        if ((!intel && (text[0] != 'S' || text[1] < '1' || text[1] > '3')) || m_Out.endLine != 0)
            return false;
        // A whole line ends in its line feed, and its byte count (the first
        // byte) gives its length: an even number of digits, as many as it says.
        const char* digits = text + (intel ? 1 : 2);
        const uint32_t size = (length - (intel ? 2 : 3)) / 2;
        Bytes& b = m_Line;
        if (!CHexDigits::DecodeSumUpper(digits, size, b.data, &b.sum))
            return false;
        b.size = size;
        const unsigned n = b[0];
        uint32_t at = 0, count = 0, address = 0;
        if (intel) {
            if (b.sum % 256u != 0 || b[3] != 0 || n == 0) // the checksum makes the sum 0
                return false;
            const unsigned offset = b[1] * 256u + b[2];
            if ((m_SegmentMode && offset + n > 0x10000u) || m_Extension + offset + n > 0xFFFFFFFFull)
                return false;
            at = 4;
            count = n;
            address = extension + offset;
        } else {
            const unsigned addressSize = static_cast<unsigned>(text[1] - '0') + 1;
            if ((~(b.sum - b.back()) & 0xFFu) != b.back() || n < addressSize + 2)
                return false;
            // Two to four address bytes, big-endian, from the four after the
            // count (the line holds them: a data byte and the checksum follow).
            address =
                (uint32_t{b[1]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[3]} << 8 | b[4]) >> (8 * (4 - addressSize));
            at = 1 + addressSize;
            count = n - addressSize - 1;
            if (static_cast<uint64_t>(address) + count > 0xFFFFFFFFull)
                return false;
            ++m_SDataRecords;
        }
        record->dwCount = count;
        record->dwAddress = address;
        record->pDigits = digits + 2 * at;
        // As OnLine and OnRecord would see it.
        (intel ? m_Out.hasIntel : m_Out.hasSRecords) = true;
        m_Out.lines = std::max(m_Out.lines, number);
        m_LastLine = number;
        m_LastHadLineFeed = true;
        m_bPlainData = true;
        m_DataAt = at;
        m_DataCount = count;
        Data(address, count, b.data + at);
        return true;
    }

    // The blocks and record the library would load; false when it would
    // load nothing or the records overlap (then only a load tells).
    bool TakeLayout() { return !m_bOverlap && m_Layout.Take(m_Out); }

    // What only the whole file tells.
    void Finish()
    {
        if (m_NeedsStopFinding) {
            const uint32_t n = m_Out.libraryStopLine;
            if (!m_StopHadLineFeed && m_Out.recordsNotRead == 0 && m_MalformedData)
                Error(Issue::MissingLineEnd, n,
                      Fmt("line %u, the last line, has no line end: the library would not read its data", n));
            else if (!m_StopHadLineFeed && m_Out.recordsNotRead == 0)
                // The library stops there, but the line holds no data and
                // nothing follows it: nothing is lost.
                Warning(Issue::MissingLineEnd, n,
                        Fmt("line %u, the last line, has no line end: the library takes it as malformed, but it "
                            "holds no data and nothing follows it",
                            n));
            else
                Error(Issue::BadLength, n,
                      Fmt("line %u: the library would take this line as malformed and stop reading", n));
        }
        const uint32_t n = m_Out.recordsNotRead;
        if (n > 0) {
            const char* plural = n == 1 ? "" : "s";
            const uint32_t stop = m_Out.libraryStopLine;
            if (m_bTextStop)
                Error(Issue::AfterStop, m_FirstUnread,
                      Fmt("the library reads in text mode, where the Ctrl-Z character on line %u ends the file, so "
                          "the %u record%s after it (from line %u on) would be left out without a word",
                          stop, n, plural, m_FirstUnread));
            else if (m_Out.endLine == stop)
                Error(Issue::AfterStop, m_FirstUnread,
                      Fmt("%u record%s after the end record of line %u (from line %u on): the library stops at "
                          "the end record and ignores them",
                          n, plural, stop, m_FirstUnread));
            else
                Error(Issue::AfterStop, m_FirstUnread,
                      Fmt("the library stops reading at the malformed line %u, so the %u record%s after it (from "
                          "line %u on) would be left out without a word",
                          stop, n, plural, m_FirstUnread));
        }
        if (m_Out.hasIntel && m_Out.hasSRecords)
            Warning(Issue::MixedFormats, 0, "the file mixes Intel HEX records and S-records");
        if (m_Out.endLine == 0 && m_Out.libraryStopLine == 0 && m_Out.dataRecords != 0)
            Warning(Issue::NoEndRecord, 0, "the file has no end record; the library reads it to its end");
        if (m_Out.dataRecords == 0)
            Error(Issue::NoData, 0, "the file holds no data record: there is nothing to program");
    }

private:
    // A data record the library loads: its bytes, or null and its digits.
    KZH_INLINE void Data(uint32_t address, uint32_t count, const uint8_t* bytes, const char* digits = nullptr)
    {
        ++m_Out.dataRecords;
        m_Out.dataBytes += count;
        // Records that only go up cannot overlap; anything else is looked at
        // closely once the file is read.
        if (address < m_MaxEnd)
            m_bOverlap = true;
        m_MaxEnd = std::max<uint64_t>(m_MaxEnd, static_cast<uint64_t>(address) + count);
        if (m_bOverlap)
            return;
        if (bytes != nullptr)
            m_Layout.Add(address, bytes, count);
        else
            m_Layout.Add(address, digits, count, true);
    }

    void Error(Issue issue, uint32_t line, std::string text)
    {
        m_Out.findings.push_back({Severity::Error, issue, line, -1, std::move(text)});
        ++m_Errors;
    }
    void Warning(Issue issue, uint32_t line, std::string text)
    {
        m_Out.findings.push_back({Severity::Warning, issue, line, -1, std::move(text)});
    }
    void Stop(uint32_t line, const char* reason)
    {
        if (m_Out.libraryStopLine != 0)
            return;
        m_Out.libraryStopLine = line;
        m_Out.stopReason = reason;
    }

    // Checks the digits after the record mark and decodes them with the
    // library's own decoding (upper-case digits only reach it). False (after
    // reporting) when the line cannot be decoded.
    KZH_INLINE bool Decode(std::string_view digits, size_t column0, uint32_t lineNo, Bytes& bytes)
    {
        // The common line: an even number of upper-case digits.
        bytes.size = digits.size() / 2;
        if (digits.size() % 2 == 0 &&
            CHexDigits::DecodeSumUpper(digits.data(), static_cast<uint32_t>(bytes.size), bytes.data, &bytes.sum)) {
            m_bPlain = true;
            return true;
        }
        return DecodeOther(digits, column0, lineNo, bytes);
    }

    // Decode for any other line.
    KZH_COLD bool DecodeOther(std::string_view digits, size_t column0, uint32_t lineNo, Bytes& bytes)
    {
        const bool plain = CHexDigits::UpperDigits(digits.data(), digits.size());
        m_bPlain = plain;
        bool lower = false;
        if (!plain) {
            for (size_t i = 0; i < digits.size(); ++i) {
                const char c = digits[i];
                const uint8_t cls = g_DigitClass[static_cast<uint8_t>(c)];
                if (cls == 0) {
                    const std::string_view rest = digits.substr(i);
                    if (rest.find_first_not_of(" \t") == std::string_view::npos)
                        Error(Issue::BadCharacter, lineNo,
                              Fmt("line %u ends in blanks; the library would take the line as malformed", lineNo));
                    else if (c == '\r')
                        Error(Issue::BadCharacter, lineNo,
                              Fmt("line %u holds a carriage return that ends no line", lineNo));
                    else
                        Error(Issue::BadCharacter, lineNo,
                              Fmt("line %u, column %zu: %s is not a hexadecimal digit", lineNo, column0 + i + 1,
                                  Printable(c).c_str()));
                    return false;
                }
                lower = lower || cls == DIGIT_LOWER;
            }
        }
        if (digits.size() % 2 != 0) {
            if (lower)
                LowerCase(digits, lineNo);
            Error(Issue::BadLength, lineNo, Fmt("line %u has an odd number of digits", lineNo));
            return false;
        }
        // Lower-case digits, decoded as the upper-case ones they stand for.
        char upper[CLineReader::MAX_LINE] = {};
        for (size_t i = 0; i < digits.size(); ++i)
            upper[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i])));
        bytes.sum = CHexDigits::DecodeSum(upper, static_cast<uint32_t>(bytes.size), bytes.data);
        if (lower)
            LowerCase(digits, lineNo);
        return true;
    }

    void LowerCase(std::string_view digits, uint32_t lineNo)
    {
        // How many of the line's bytes the library's decoding gets wrong.
        unsigned wrong = 0, pairs = 0;
        for (size_t i = 0; i + 1 < digits.size(); i += 2, ++pairs) {
            const char up[2] = {static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i]))),
                                static_cast<char>(std::toupper(static_cast<unsigned char>(digits[i + 1])))};
            if (CImageReader::HexByte(digits[i], digits[i + 1]) != CImageReader::HexByte(up[0], up[1]))
                ++wrong;
        }
        if (wrong > 0) {
            Error(Issue::LowerCase, lineNo,
                  Fmt("line %u has lower-case hexadecimal digits: the library decodes %u of its %u bytes to wrong "
                      "values",
                      lineNo, wrong, pairs));
        } else {
            Error(Issue::LowerCase, lineNo,
                  Fmt("line %u has lower-case hexadecimal digits: the library happens to decode these right, but "
                      "does not read such digits reliably",
                      lineNo));
            m_Out.findings.back().minor = true;
        }
    }

    // Returns whether the line is a data record.
    KZH_INLINE bool CheckLine(std::string_view line, uint32_t lineNo, bool afterEnd)
    {
        if (line.empty())
            return false;
        const char mark = line[0];
        if (!IsRecordMark(mark)) {
            if (line.find_first_not_of(" \t") == std::string_view::npos)
                Error(Issue::NotARecord, lineNo, Fmt("line %u holds only blanks", lineNo));
            else
                Error(Issue::NotARecord, lineNo,
                      Fmt("line %u is not a record (it begins with %s); the library skips it silently", lineNo,
                          Printable(mark).c_str()));
            return false;
        }
        return mark == ':' ? CheckIntel(line, lineNo, afterEnd) : CheckSRecord(line, lineNo, afterEnd);
    }

    KZH_INLINE bool CheckIntel(std::string_view line, uint32_t lineNo, bool afterEnd)
    {
        m_Out.hasIntel = true;
        Bytes& b = m_Line;
        if (!Decode(Rest(line, 1), 1, lineNo, b))
            return false;
        if (b.size < 5) {
            Error(Issue::BadLength, lineNo, Fmt("line %u is too short for an Intel HEX record", lineNo));
            return false;
        }
        const unsigned n = b[0];
        if (b.size != n + 5u) {
            Error(Issue::BadLength, lineNo,
                  Fmt("line %u: the byte count says %u data bytes, but the line holds %zu", lineNo, n, b.size - 5));
            return false;
        }
        const unsigned expected = (0x100u - ((b.sum - b.back()) & 0xFFu)) & 0xFFu;
        if (b.back() != expected)
            Error(Issue::BadChecksum, lineNo,
                  Fmt("line %u: checksum %02X is wrong, the record's bytes give %02X", lineNo, b.back(), expected));
        const unsigned offset = b[1] * 256u + b[2];
        const unsigned type = b[3];
        if (afterEnd)
            return type == 0;
        switch (type) {
        case 0:
            if (n == 0)
                return false;
            m_bPlainData = m_bPlain;
            m_DataAt = 4;
            m_DataCount = n;
            if (m_SegmentMode && offset + n > 0x10000u)
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of its 64 KiB segment; readers disagree on where "
                          "its last bytes go",
                          lineNo));
            if (m_Extension + offset + n > 0xFFFFFFFFull)
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of the 32-bit address space", lineNo));
            return true;
        case 1:
            if (n != 0)
                Error(Issue::BadRecordField, lineNo, Fmt("line %u: an end record carries data", lineNo));
            return false;
        case 2:
        case 4:
            if (n != 2) {
                Error(Issue::BadRecordField, lineNo,
                      Fmt("line %u: an address record of type %02X must hold 2 bytes, not %u", lineNo, type, n));
                return false;
            }
            m_Extension = (b[4] * 256ull + b[5]) << (type == 2 ? 4 : 16);
            m_SegmentMode = type == 2;
            return false;
        case 3:
        case 5:
            if (n != 4)
                Error(Issue::BadRecordField, lineNo,
                      Fmt("line %u: a start-address record of type %02X must hold 4 bytes, not %u", lineNo, type, n));
            return false;
        default:
            Error(Issue::BadRecordType, lineNo,
                  Fmt("line %u: unknown Intel HEX record type %02X (the library would ignore it)", lineNo, type));
            return false;
        }
    }

    KZH_INLINE bool CheckSRecord(std::string_view line, uint32_t lineNo, bool afterEnd)
    {
        m_Out.hasSRecords = true;
        if (line[0] == 's')
            Error(Issue::LowerCase, lineNo, Fmt("line %u begins with a lower-case 's'", lineNo));
        if (line.size() < 2 || line[1] < '0' || line[1] > '9') {
            Error(Issue::BadRecordType, lineNo,
                  Fmt("line %u: %s is no S-record type", lineNo,
                      line.size() < 2 ? "nothing" : Printable(line[1]).c_str()));
            return false;
        }
        const unsigned type = static_cast<unsigned>(line[1] - '0');
        Bytes& b = m_Line;
        if (!Decode(Rest(line, 2), 2, lineNo, b))
            return false;
        if (b.size < 2) {
            Error(Issue::BadLength, lineNo, Fmt("line %u is too short for an S-record", lineNo));
            return false;
        }
        const unsigned n = b[0];
        if (b.size != n + 1u) {
            Error(Issue::BadLength, lineNo,
                  Fmt("line %u: the byte count says %u bytes follow, but the line holds %zu", lineNo, n, b.size - 1));
            return false;
        }
        const unsigned expected = ~(b.sum - b.back()) & 0xFFu;
        if (b.back() != expected)
            Error(Issue::BadChecksum, lineNo,
                  Fmt("line %u: checksum %02X is wrong, the record's bytes give %02X", lineNo, b.back(), expected));
        if (afterEnd)
            return type >= 1 && type <= 3;
        auto addressOf = [&](unsigned size) {
            uint64_t a = 0;
            for (unsigned i = 0; i < size; ++i)
                a = (a << 8) | b[1 + i];
            return a;
        };
        switch (type) {
        case 0:
            return false;
        case 1:
        case 2:
        case 3: {
            const unsigned addressSize = type + 1;
            if (n < addressSize + 1) {
                Error(Issue::BadRecordField, lineNo,
                      Fmt("line %u: an S%u record needs at least %u bytes for its address and checksum", lineNo, type,
                          addressSize + 1));
                return false;
            }
            const unsigned count = n - addressSize - 1;
            ++m_SDataRecords;
            m_bPlainData = m_bPlain;
            m_DataAt = 1 + addressSize;
            m_DataCount = count;
            if (count == 0)
                return false;
            if (addressOf(addressSize) + count > 0xFFFFFFFFull)
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of the 32-bit address space", lineNo));
            return true;
        }
        case 5:
        case 6: {
            const unsigned size = type == 5 ? 2 : 3;
            if (n != size + 1) {
                Error(Issue::BadRecordField, lineNo,
                      Fmt("line %u: an S%u count record must hold %u bytes", lineNo, type, size + 1));
                return false;
            }
            const uint64_t said = addressOf(size);
            if (said != m_SDataRecords)
                Error(Issue::CountMismatch, lineNo,
                      Fmt("line %u: the count record says %llu data records, the file has %u before it", lineNo,
                          static_cast<unsigned long long>(said), m_SDataRecords));
            return false;
        }
        case 7:
        case 8:
        case 9: {
            const unsigned addressSize = 11 - type; // S7: 4, S8: 3, S9: 2
            if (n < addressSize + 1)
                Error(Issue::BadRecordField, lineNo,
                      Fmt("line %u: an S%u record needs at least %u bytes", lineNo, type, addressSize + 1));
            return false;
        }
        default:
            Error(Issue::BadRecordType, lineNo,
                  Fmt("line %u: S%u is a reserved record type (the library would ignore it)", lineNo, type));
            return false;
        }
    }

    ImageAnalysis& m_Out;
    CLayoutScan m_Layout;
    Bytes m_Line;              // the last line's bytes as decoded
    bool m_bPlain = false;     // ... from upper-case digits only
    bool m_bPlainData = false; // the last line is a data record of upper-case digits only
    size_t m_DataAt = 0;       // ... whose data bytes begin at this byte of the line
    uint32_t m_DataCount = 0;  // ... and are this many
    uint64_t m_Extension = 0;
    bool m_SegmentMode = false;
    unsigned m_SDataRecords = 0;
    uint64_t m_MaxEnd = 0;
    bool m_bOverlap = false;
    bool m_bTextStop = false;
    bool m_NeedsStopFinding = false;
    bool m_StopHadLineFeed = true;
    bool m_MalformedData = false;
    bool m_LastHadLineFeed = true;
    uint32_t m_LastLine = 0;
    uint32_t m_FirstUnread = 0;
    size_t m_Errors = 0; // the errors found so far (counted, not looked for on every line)
};

// The reader's records up to its stop, each line checked as it goes by: one
// loop with the reader's and the line's steps inline in it (no call a record).
void CheckRecords(CImageReader& reader, CStrictCheck& check)
{
    CImageReader::RECORD record;
    while (reader.NextRecordReported(check, &record) == CImageReader::RECORD_OK) {
    }
}

// Reads the file once through the library's reader with the strict check
// watching; only when records overlap is the image loaded as the library
// loads it (and read once more to compare the overlapping records).
template <typename LoadFn, typename OpenFn>
ImageAnalysis Analyse(uint64_t textSize, LoadFn load, OpenFn openReader)
{
    ImageAnalysis out;
    out.readable = true;
    CStrictCheck check(out, textSize);
    {
        CImageReader reader;
        if (openReader(reader) == 0) {
            reader.SetObserver(&check); // for the lines after the stop
            CheckRecords(reader, check);
            reader.ReportUnreadLines();
        }
    }
    out.loaded = check.TakeLayout();
    check.Finish();
    if (check.Overlapping()) {
        CImageFile image;
        CImageReader reader;
        out.loaded = load(image) == 0;
        JudgeOverlaps(out.loaded ? &image : nullptr, openReader(reader) == 0 ? &reader : nullptr, out);
    }
    std::stable_sort(out.findings.begin(), out.findings.end(), [](const Finding& a, const Finding& b) {
        const uint32_t la = a.line == 0 ? UINT32_MAX : a.line, lb = b.line == 0 ? UINT32_MAX : b.line;
        return la < lb;
    });
    return out;
}

} // namespace

ImageAnalysis LoadedImage(const std::string& path)
{
    ImageAnalysis out;
    out.path = path;
    CImageReader reader;
    if (reader.Open(path.c_str()) != 0)
        return out;
    out.readable = true;
    // Records that only go up make the blocks as they come, as the check
    // does; others only the library's load tells.
    CLayoutScan layout;
    struct stat st {};
    layout.Reserve(::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0);
    uint64_t maxEnd = 0;
    CImageReader::RECORD record;
    while (reader.NextRecord(&record) == CImageReader::RECORD_OK) {
        if (record.dwAddress < maxEnd) {
            CImageFile image;
            out.loaded = image.Load(path.c_str()) == 0;
            if (out.loaded)
                JudgeOverlaps(&image, nullptr, out);
            return out;
        }
        maxEnd = static_cast<uint64_t>(record.dwAddress) + record.dwCount;
        // From upper-case digits only "24" decodes to a '$' (0x24).
        const bool dollar = !CHexDigits::UpperDigits(record.pDigits, 2 * size_t{record.dwCount}) ||
                            !CHexDigits::LacksPair(record.pDigits, record.dwCount, '2', '4');
        layout.Add(record.dwAddress, record.pDigits, record.dwCount, dollar);
    }
    out.loaded = layout.Take(out);
    return out;
}

const char* IssueName(Issue issue)
{
    switch (issue) {
    case Issue::Unreadable:
        return "unreadable";
    case Issue::NoData:
        return "no-data";
    case Issue::NotARecord:
        return "not-a-record";
    case Issue::BadCharacter:
        return "bad-character";
    case Issue::LowerCase:
        return "lower-case";
    case Issue::BadLength:
        return "bad-length";
    case Issue::BadChecksum:
        return "bad-checksum";
    case Issue::BadRecordType:
        return "bad-record-type";
    case Issue::BadRecordField:
        return "bad-record-field";
    case Issue::MissingLineEnd:
        return "missing-line-end";
    case Issue::AfterStop:
        return "after-stop";
    case Issue::AddressWrap:
        return "address-wrap";
    case Issue::Overlap:
        return "overlap";
    case Issue::CountMismatch:
        return "count-mismatch";
    case Issue::NoEndRecord:
        return "no-end-record";
    case Issue::MixedFormats:
        return "mixed-formats";
    case Issue::BeyondFlash:
        return "beyond-flash";
    case Issue::StartOutside:
        return "start-outside-flash";
    case Issue::NotWritten:
        return "not-written";
    case Issue::RamFirmware:
        return "ram-firmware";
    case Issue::LayoutUnknown:
        return "layout-unknown";
    case Issue::SplitLine:
        return "split-line";
    }
    return "unknown";
}

FW_INFO DecodeFwInfo(const uint8_t* bytes50)
{
    FW_INFO info;
    std::memcpy(&info, bytes50, sizeof(info));
    CFwInfo::ToHostOrder(&info);
    return info;
}

FwInfoView FlashFwInfo(const FW_INFO& stored)
{
    FwInfoView view;
    view.found = true;
    view.record = DecodeFwInfo(reinterpret_cast<const uint8_t*>(&stored));
    return view;
}

std::string FwInfoView::Name() const
{
    return FieldText(record.Name, sizeof(record.Name));
}
std::string FwInfoView::Device() const
{
    return FieldText(record.Device, sizeof(record.Device));
}
std::string FwInfoView::Version() const
{
    return Fmt("%02x.%02x.%02x.%02x", record.Version[0], record.Version[1], record.Version[2], record.Version[3]);
}
std::string FwInfoView::DeviceVersion() const
{
    return Fmt("%02x.%02x.%02x.%02x", record.DeviceVersion[0], record.DeviceVersion[1], record.DeviceVersion[2],
               record.DeviceVersion[3]);
}
std::string FwInfoView::KindText() const
{
    const uint32_t kind = record.Kind & ~0x80u;
    // The library's words for the kinds it knows; the number for any other.
    std::string text = kind <= 1 ? CFwInfo::KindText(kind) : Fmt("kind %u", kind);
    if (record.Kind & 0x80u)
        text += " (BOOT)";
    return text;
}

uint32_t ImageAnalysis::Lowest() const
{
    if (blocks.empty())
        return 0;
    uint32_t low = 0xFFFFFFFFu;
    for (const auto& b : blocks)
        low = std::min(low, b.start);
    return low;
}

uint64_t ImageAnalysis::Highest() const
{
    uint64_t high = 0;
    for (const auto& b : blocks)
        high = std::max(high, b.end);
    return high;
}

uint64_t ImageAnalysis::LoadedBytes() const
{
    uint64_t bytes = 0;
    for (const auto& b : blocks)
        bytes += b.Size();
    return bytes;
}

size_t ImageAnalysis::Errors() const
{
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(),
                                             [](const Finding& f) { return f.severity == Severity::Error; }));
}

const char* ImageAnalysis::FormatName() const
{
    if (hasIntel && hasSRecords)
        return "Intel HEX and S-records";
    if (hasSRecords)
        return "S-records";
    if (hasIntel)
        return "Intel HEX";
    return "no records";
}

ImageAnalysis AnalyseImageText(std::string_view text)
{
    return Analyse(
        text.size(), [&](CImageFile& image) { return image.LoadMemory(text.data(), text.size()); },
        [&](CImageReader& reader) { return reader.OpenMemory(text.data(), text.size()); });
}

std::optional<std::string> UnreadableReason(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Fmt("cannot read %s: %s", path.c_str(), std::strerror(errno));
    const char* what = S_ISDIR(st.st_mode)                          ? "a folder"
                       : S_ISFIFO(st.st_mode)                       ? "a pipe"
                       : S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) ? "a device"
                       : !S_ISREG(st.st_mode)                       ? "no regular file"
                                                                    : nullptr;
    if (what != nullptr)
        return Fmt("cannot read %s: it is %s, not an image file", path.c_str(), what);
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr)
        return Fmt("cannot read %s: %s", path.c_str(), std::strerror(errno));
    std::fclose(file);
    return std::nullopt;
}

ImageAnalysis AnalyseImageFile(const std::string& path)
{
    if (auto reason = UnreadableReason(path)) {
        ImageAnalysis out;
        out.path = path;
        out.findings.push_back({Severity::Error, Issue::Unreadable, 0, -1, *reason});
        return out;
    }
    struct stat st {};
    const uint64_t size = ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
    ImageAnalysis out = Analyse(
        size, [&](CImageFile& image) { return image.Load(path.c_str()); },
        [&](CImageReader& reader) { return reader.Open(path.c_str()); });
    out.path = path;
    return out;
}

} // namespace kzhost
