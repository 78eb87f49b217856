#include "ImageCheck.h"

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

namespace kzcli {

namespace {

constexpr char MARKER[] = "$FW-INFO$";
constexpr size_t MARKER_LEN = 9;
constexpr size_t FWINFO_LEN = 50;
constexpr size_t LIBRARY_LINE_MAX = 4095; // the library reads lines into 4096 bytes

// Checked as the C library's printf is (mingw-w64 names its C99 one).
#ifdef __MINGW_PRINTF_FORMAT
#define KZCLI_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KZCLI_PRINTF_FORMAT printf
#endif
std::string Fmt(const char* format, ...) __attribute__((format(KZCLI_PRINTF_FORMAT, 1, 2)));
std::string Fmt(const char* format, ...) {
    char buf[512];
    va_list args;
    va_start(args, format);
    vsnprintf(buf, sizeof(buf), format, args);
    va_end(args);
    return buf;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// The library's digit decoding: no check, upper-case arithmetic for everything
// from 'A' on.
int LibraryNibble(char c) {
    const int x = static_cast<unsigned char>(c);
    return x < 'A' ? x - '0' : x - 55;
}
unsigned LibraryByte(char hi, char lo) {
    return static_cast<unsigned>((LibraryNibble(hi) << 4) | LibraryNibble(lo)) & 0xFFu;
}

enum class LibraryLine { Skipped, Record, End, Malformed };

// The library's reader, line by line: which lines it skips, where it stops.
// Only what decides the stop is modelled (line length, record type, address
// extension and the 32-bit end of a record), with the library's own digit
// decoding.
class CLibraryModel {
public:
    // `line` is the text without its line feed; `hadLineFeed` whether one followed.
    LibraryLine Classify(std::string_view line, bool hadLineFeed) {
        // Text-mode reading drops a carriage return in front of the line feed.
        if (hadLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        const size_t fullLength = line.size() + (hadLineFeed ? 1 : 0);
        // The C string ends at the first NUL byte; the line feed is then out of sight.
        size_t length = fullLength;
        const size_t nul = line.find('\0');
        if (nul != std::string_view::npos) length = nul;
        if (length == 0 || (line[0] != ':' && line[0] != 'S' && line[0] != 's')) return LibraryLine::Skipped;
        if (fullLength > LIBRARY_LINE_MAX) return LibraryLine::Malformed; // skipped whole, taken as malformed
        auto at = [&](size_t i) -> char { return i < length ? line[i] : '\0'; };
        if (line[0] == ':') {
            const unsigned n = LibraryByte(at(1), at(2));
            if (length != 12 + 2 * n) {
                if (length == 11 && line.substr(0, 11) == ":00000001FF") return LibraryLine::End;
                return LibraryLine::Malformed;
            }
            switch (LibraryByte(at(7), at(8))) {
            case 0: {
                const uint32_t address = ((LibraryByte(at(3), at(4)) << 8) | LibraryByte(at(5), at(6))) + m_Extension;
                if (n != 0 && static_cast<uint64_t>(address) + n > 0xFFFFFFFFull) return LibraryLine::Malformed;
                return LibraryLine::Record;
            }
            case 1: return LibraryLine::End;
            case 2:
            case 4: {
                const uint32_t value = LibraryByte(at(9), at(10)) * 256u + LibraryByte(at(11), at(12));
                m_Extension = LibraryByte(at(7), at(8)) == 2 ? value * 16u : value * 65536u;
                return LibraryLine::Record;
            }
            default: return LibraryLine::Record;
            }
        }
        const unsigned n = LibraryByte(at(2), at(3));
        if (length != 2 * n + 5) return LibraryLine::Malformed;
        const unsigned type = LibraryByte('0', at(1));
        if (type == 7 || type == 8 || type == 9) return LibraryLine::End;
        if (type < 1 || type > 3) return LibraryLine::Record;
        const unsigned addressBytes = type + 1;
        if (n < addressBytes + 1) return LibraryLine::Malformed;
        uint32_t address = 0;
        for (unsigned i = 0; i < addressBytes; ++i) address = (address << 8) | LibraryByte(at(4 + 2 * i), at(5 + 2 * i));
        const unsigned count = n - addressBytes - 1;
        if (count != 0 && static_cast<uint64_t>(address) + count > 0xFFFFFFFFull) return LibraryLine::Malformed;
        return LibraryLine::Record;
    }

private:
    uint32_t m_Extension = 0;
};

struct DataRecord {
    uint64_t address;
    std::vector<uint8_t> bytes;
    uint32_t line;
};

// Builds the blocks as the library's first pass and merge do, so that the
// list order (which decides the firmware-information record) is the library's.
// The pass extends the first block a record touches or appends a new one, and
// the merge joins touching blocks, the later one keeping its place. So a
// record creates a block exactly when it touches no earlier record, the final
// blocks are the groups of touching records, and each group stands where its
// last-created block stood.
void BuildBlocks(const std::vector<DataRecord>& records, ImageAnalysis& out) {
    std::map<uint64_t, uint64_t> merged; // start -> end of the records so far, touching ones joined
    std::vector<size_t> creators;
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& r = records[i];
        if (r.bytes.empty()) continue;
        uint64_t start = r.address, end = r.address + r.bytes.size();
        bool touched = false;
        auto it = merged.upper_bound(end);
        while (it != merged.begin()) {
            auto prev = std::prev(it);
            if (prev->second < start) break;
            touched = true;
            start = std::min(start, prev->first);
            end = std::max(end, prev->second);
            it = merged.erase(prev);
        }
        merged[start] = end;
        if (!touched) creators.push_back(i);
    }
    struct Placed {
        uint64_t start, end;
        size_t lastCreator;
    };
    std::vector<Placed> ranges;
    std::map<uint64_t, size_t> byStart;
    for (const auto& [start, end] : merged) {
        byStart[start] = ranges.size();
        ranges.push_back({start, end, 0});
    }
    for (size_t c : creators) {
        auto it = std::prev(byStart.upper_bound(records[c].address));
        ranges[it->second].lastCreator = std::max(ranges[it->second].lastCreator, c);
    }
    std::stable_sort(ranges.begin(), ranges.end(),
                     [](const Placed& a, const Placed& b) { return a.lastCreator < b.lastCreator; });

    out.blocks.clear();
    std::vector<std::vector<uint32_t>> writer(ranges.size()); // line that wrote each byte
    for (size_t i = 0; i < ranges.size(); ++i) {
        ImageBlock block;
        block.start = static_cast<uint32_t>(ranges[i].start);
        block.end = ranges[i].end;
        block.data.assign(block.Size(), 0xFF);
        writer[i].assign(block.Size(), 0);
        out.blocks.push_back(std::move(block));
    }
    std::map<uint64_t, size_t> blockByStart;
    for (size_t i = 0; i < out.blocks.size(); ++i) blockByStart[out.blocks[i].start] = i;
    for (const auto& r : records) {
        if (r.bytes.empty()) continue;
        {
            const size_t i = std::prev(blockByStart.upper_bound(r.address))->second;
            ImageBlock& b = out.blocks[i];
            const size_t offset = static_cast<size_t>(r.address - b.start);
            uint32_t clashLine = 0;
            bool same = true;
            for (size_t k = 0; k < r.bytes.size(); ++k) {
                uint32_t& w = writer[i][offset + k];
                if (w != 0) {
                    if (clashLine == 0) clashLine = w;
                    if (b.data[offset + k] != r.bytes[k]) same = false;
                }
                b.data[offset + k] = r.bytes[k];
                w = r.line;
            }
            if (clashLine != 0) {
                if (same)
                    out.findings.push_back({Severity::Warning, Issue::Overlap, r.line, -1,
                                            Fmt("line %u writes addresses that line %u already wrote, with the "
                                                "same bytes",
                                                r.line, clashLine)});
                else
                    out.findings.push_back({Severity::Error, Issue::Overlap, r.line, -1,
                                            Fmt("line %u overwrites data of line %u at %s with different bytes; "
                                                "which value is meant is unclear",
                                                r.line, clashLine, Hex32(r.address).c_str())});
            }
        }
    }
}

void LookUpFwInfo(ImageAnalysis& out) {
    for (size_t i = 0; i < out.blocks.size(); ++i) {
        const auto& data = out.blocks[i].data;
        auto it = std::search(data.begin(), data.end(), MARKER, MARKER + MARKER_LEN);
        if (it == data.end()) continue;
        const size_t pos = static_cast<size_t>(it - data.begin());
        if (pos < FWINFO_LEN) continue;
        const uint8_t* rec = data.data() + pos - FWINFO_LEN;
        out.fwInfo.found = true;
        out.fwInfo.block = static_cast<int>(i);
        out.fwInfo.address = out.blocks[i].start + static_cast<uint32_t>(pos - FWINFO_LEN);
        FW_INFO raw;
        std::memcpy(&raw, rec, FWINFO_LEN);
        const std::string device(raw.Device, strnlen(raw.Device, sizeof(raw.Device)));
        out.fwInfo.record = DecodeFwInfo(rec, device.find("eMB-K 740") != std::string::npos);
    }
}

// Splits "text" into lines: each with its text (without line feed) and whether
// a line feed ended it.
struct RawLine {
    std::string_view text;
    bool hadLineFeed;
};
std::vector<RawLine> SplitLines(std::string_view text) {
    std::vector<RawLine> lines;
    size_t pos = 0;
    while (pos < text.size()) {
        const size_t lf = text.find('\n', pos);
        if (lf == std::string_view::npos) {
            lines.push_back({text.substr(pos), false});
            break;
        }
        lines.push_back({text.substr(pos, lf - pos), true});
        pos = lf + 1;
    }
    return lines;
}

std::string Printable(char c) {
    const auto u = static_cast<unsigned char>(c);
    if (c == ' ') return "a blank";
    if (c == '\t') return "a tab";
    if (c == '\r') return "a carriage return";
    if (u < 0x20 || u >= 0x7F) return Fmt("byte 0x%02X", u);
    return Fmt("'%c'", c);
}

class CStrictReader {
public:
    explicit CStrictReader(ImageAnalysis& out) : m_Out(out) {}

    void Read(std::string_view text) {
        // The library reads in text mode, where Ctrl-Z ends the file. One at
        // the very end (old DOS tools) is harmless; anywhere else it cuts the
        // image short.
        const size_t ctrlZ = text.find('\x1A');
        std::string_view libraryText = text;
        if (ctrlZ != std::string_view::npos) {
            libraryText = text.substr(0, ctrlZ);
            if (text.find_first_not_of("\x1A\r\n \t", ctrlZ) == std::string_view::npos) text = libraryText;
        }
        const auto lines = SplitLines(text);
        const auto libraryLines = SplitLines(libraryText);
        m_Out.lines = static_cast<uint32_t>(lines.size());
        uint32_t recordsAfterStop = 0, firstAfterStop = 0;
        enum class Stop { None, End, Malformed, CtrlZ } stop = Stop::None;
        CLibraryModel library;
        for (size_t i = 0; i < lines.size(); ++i) {
            const uint32_t lineNo = static_cast<uint32_t>(i + 1);
            const RawLine& raw = lines[i];
            const size_t errorsBefore = m_Out.Errors();
            const bool isRecord = !raw.text.empty() && (raw.text[0] == ':' || raw.text[0] == 'S' || raw.text[0] == 's');

            if (stop != Stop::None && isRecord) {
                ++recordsAfterStop;
                if (firstAfterStop == 0) firstAfterStop = lineNo;
            }
            const bool afterEnd = m_Out.endLine != 0;
            const bool carriesData = CheckLine(raw, lineNo, afterEnd);
            if (stop != Stop::None) continue;

            if (i >= libraryLines.size()) {
                stop = Stop::CtrlZ;
                m_Out.libraryStopLine = lineNo;
                continue;
            }
            const RawLine& seen = libraryLines[i];
            const LibraryLine lib = library.Classify(seen.text, seen.hadLineFeed);
            if (lib == LibraryLine::Malformed) {
                stop = Stop::Malformed;
                m_Out.libraryStopLine = lineNo;
                if (m_Out.Errors() > errorsBefore) {
                    // Say so on the line's own finding when the cause is not plain.
                    Finding& last = m_Out.findings.back();
                    if (last.issue == Issue::LowerCase || last.issue == Issue::BadChecksum ||
                        last.issue == Issue::AddressWrap || last.issue == Issue::BadRecordField)
                        last.text += "; the library even takes this line as malformed and stops reading here";
                } else {
                    if (!raw.hadLineFeed && carriesData)
                        Error(Issue::MissingLineEnd, lineNo,
                              Fmt("line %u, the last line, has no line end: the library would not read its data",
                                  lineNo));
                    else if (raw.hadLineFeed || carriesData)
                        Error(Issue::BadLength, lineNo,
                              Fmt("line %u: the library would take this line as malformed and stop reading", lineNo));
                }
            } else if (lib == LibraryLine::End) {
                stop = Stop::End;
                m_Out.libraryStopLine = lineNo;
            } else if (!seen.hadLineFeed && i + 1 == libraryLines.size() && libraryLines.size() < lines.size()) {
                stop = Stop::CtrlZ; // the file ends here for the library
                m_Out.libraryStopLine = lineNo;
            }
        }
        if (recordsAfterStop > 0) {
            const char* plural = recordsAfterStop == 1 ? "" : "s";
            if (stop == Stop::Malformed)
                Error(Issue::AfterStop, firstAfterStop,
                      Fmt("the library stops reading at the malformed line %u, so the %u record%s after it (from "
                          "line %u on) would be left out without a word",
                          m_Out.libraryStopLine, recordsAfterStop, plural, firstAfterStop));
            else if (stop == Stop::CtrlZ)
                Error(Issue::AfterStop, firstAfterStop,
                      Fmt("the library reads in text mode, where the Ctrl-Z character on line %u ends the file, so "
                          "the %u record%s after it (from line %u on) would be left out without a word",
                          m_Out.libraryStopLine, recordsAfterStop, plural, firstAfterStop));
            else
                Error(Issue::AfterStop, firstAfterStop,
                      Fmt("%u record%s after the end record of line %u (from line %u on): the library stops at "
                          "the end record and ignores them",
                          recordsAfterStop, plural, m_Out.libraryStopLine, firstAfterStop));
        }
        if (m_Out.hasIntel && m_Out.hasSRecords)
            Warning(Issue::MixedFormats, 0, "the file mixes Intel HEX records and S-records");
        if (m_Out.endLine == 0 && !m_Records.empty())
            Warning(Issue::NoEndRecord, 0, "the file has no end record; the library reads it to its end");
        if (m_Records.empty())
            Error(Issue::NoData, 0, "the file holds no data record: there is nothing to program");

        BuildBlocks(m_Records, m_Out);
        LookUpFwInfo(m_Out);
    }

private:
    void Error(Issue issue, uint32_t line, std::string text) {
        m_Out.findings.push_back({Severity::Error, issue, line, -1, std::move(text)});
    }
    void Warning(Issue issue, uint32_t line, std::string text) {
        m_Out.findings.push_back({Severity::Warning, issue, line, -1, std::move(text)});
    }

    // Checks the characters after the record mark and decodes them. Returns
    // false (after reporting) when the line cannot be decoded.
    bool Decode(std::string_view digits, size_t column0, uint32_t lineNo, std::vector<uint8_t>& bytes) {
        bool lower = false;
        for (size_t i = 0; i < digits.size(); ++i) {
            const char c = digits[i];
            if (HexValue(c) < 0) {
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
            if (c >= 'a' && c <= 'f') lower = true;
        }
        if (lower) {
            // How many of the line's bytes the library's decoding gets wrong.
            unsigned wrong = 0, pairs = 0;
            for (size_t i = 0; i + 1 < digits.size(); i += 2, ++pairs)
                if (LibraryByte(digits[i], digits[i + 1]) !=
                    static_cast<unsigned>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1])))
                    ++wrong;
            if (wrong > 0)
                Error(Issue::LowerCase, lineNo,
                      Fmt("line %u has lower-case hexadecimal digits: the library decodes %u of its %u bytes to "
                          "wrong values",
                          lineNo, wrong, pairs));
            else {
                Error(Issue::LowerCase, lineNo,
                      Fmt("line %u has lower-case hexadecimal digits: the library happens to decode these right, "
                          "but does not read such digits reliably",
                          lineNo));
                m_Out.findings.back().minor = true;
            }
        }
        if (digits.size() % 2 != 0) {
            Error(Issue::BadLength, lineNo, Fmt("line %u has an odd number of digits", lineNo));
            return false;
        }
        bytes.clear();
        for (size_t i = 0; i < digits.size(); i += 2)
            bytes.push_back(static_cast<uint8_t>(HexValue(digits[i]) * 16 + HexValue(digits[i + 1])));
        return true;
    }

    // Returns whether the line is a data record.
    bool CheckLine(const RawLine& raw, uint32_t lineNo, bool afterEnd) {
        std::string_view line = raw.text;
        if (raw.hadLineFeed && !line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) return false;
        const char mark = line[0];
        if (mark != ':' && mark != 'S' && mark != 's') {
            if (line.find_first_not_of(" \t") == std::string_view::npos)
                Error(Issue::NotARecord, lineNo, Fmt("line %u holds only blanks", lineNo));
            else
                Error(Issue::NotARecord, lineNo,
                      Fmt("line %u is not a record (it begins with %s); the library skips it silently", lineNo,
                          Printable(mark).c_str()));
            return false;
        }
        if (mark == ':') return CheckIntel(line, lineNo, afterEnd);
        return CheckSRecord(line, lineNo, afterEnd);
    }

    bool CheckIntel(std::string_view line, uint32_t lineNo, bool afterEnd) {
        m_Out.hasIntel = true;
        std::vector<uint8_t> b;
        if (!Decode(line.substr(1), 1, lineNo, b)) return false;
        if (b.size() < 5) {
            Error(Issue::BadLength, lineNo, Fmt("line %u is too short for an Intel HEX record", lineNo));
            return false;
        }
        const unsigned n = b[0];
        if (b.size() != n + 5u) {
            Error(Issue::BadLength, lineNo,
                  Fmt("line %u: the byte count says %u data bytes, but the line holds %zu", lineNo, n,
                      b.size() >= 5 ? b.size() - 5 : 0));
            return false;
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); ++i) sum += b[i];
        const unsigned expected = (0x100u - (sum & 0xFFu)) & 0xFFu;
        if (b.back() != expected)
            Error(Issue::BadChecksum, lineNo,
                  Fmt("line %u: checksum %02X is wrong, the record's bytes give %02X", lineNo, b.back(), expected));
        const unsigned offset = b[1] * 256u + b[2];
        const unsigned type = b[3];
        if (afterEnd) return type == 0;
        switch (type) {
        case 0: {
            if (n == 0) return false;
            const uint64_t address = m_Extension + offset;
            if (m_SegmentMode && offset + n > 0x10000u)
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of its 64 KiB segment; readers disagree on "
                          "where its last bytes go",
                          lineNo));
            if (address + n > 0xFFFFFFFFull) {
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of the 32-bit address space", lineNo));
                return true;
            }
            ++m_Out.dataRecords;
            m_Out.dataBytes += n;
            m_Records.push_back({address, std::vector<uint8_t>(b.begin() + 4, b.end() - 1), lineNo});
            return true;
        }
        case 1:
            if (n != 0) Error(Issue::BadRecordField, lineNo, Fmt("line %u: an end record carries data", lineNo));
            m_Out.endLine = lineNo;
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

    bool CheckSRecord(std::string_view line, uint32_t lineNo, bool afterEnd) {
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
        std::vector<uint8_t> b;
        if (!Decode(line.substr(2), 2, lineNo, b)) return false;
        if (b.size() < 2) {
            Error(Issue::BadLength, lineNo, Fmt("line %u is too short for an S-record", lineNo));
            return false;
        }
        const unsigned n = b[0];
        if (b.size() != n + 1u) {
            Error(Issue::BadLength, lineNo,
                  Fmt("line %u: the byte count says %u bytes follow, but the line holds %zu", lineNo, n,
                      b.size() - 1));
            return false;
        }
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < b.size(); ++i) sum += b[i];
        const unsigned expected = ~sum & 0xFFu;
        if (b.back() != expected)
            Error(Issue::BadChecksum, lineNo,
                  Fmt("line %u: checksum %02X is wrong, the record's bytes give %02X", lineNo, b.back(), expected));
        if (afterEnd) return type >= 1 && type <= 3;
        auto addressOf = [&](unsigned size) {
            uint64_t a = 0;
            for (unsigned i = 0; i < size; ++i) a = (a << 8) | b[1 + i];
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
            if (count == 0) return false;
            const uint64_t address = addressOf(addressSize);
            if (address + count > 0xFFFFFFFFull) {
                Error(Issue::AddressWrap, lineNo,
                      Fmt("line %u: the record runs past the end of the 32-bit address space", lineNo));
                return true;
            }
            ++m_Out.dataRecords;
            m_Out.dataBytes += count;
            m_Records.push_back(
                {address, std::vector<uint8_t>(b.begin() + 1 + addressSize, b.end() - 1), lineNo});
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
            m_Out.endLine = lineNo;
            return false;
        }
        default:
            Error(Issue::BadRecordType, lineNo,
                  Fmt("line %u: S%u is a reserved record type (the library would ignore it)", lineNo, type));
            return false;
        }
    }

    ImageAnalysis& m_Out;
    std::vector<DataRecord> m_Records;
    uint64_t m_Extension = 0;
    bool m_SegmentMode = false;
    unsigned m_SDataRecords = 0;
};

std::string FieldText(const char* p, size_t width) { return std::string(p, strnlen(p, width)); }

} // namespace

const char* IssueName(Issue issue) {
    switch (issue) {
    case Issue::Unreadable: return "unreadable";
    case Issue::NoData: return "no-data";
    case Issue::NotARecord: return "not-a-record";
    case Issue::BadCharacter: return "bad-character";
    case Issue::LowerCase: return "lower-case";
    case Issue::BadLength: return "bad-length";
    case Issue::BadChecksum: return "bad-checksum";
    case Issue::BadRecordType: return "bad-record-type";
    case Issue::BadRecordField: return "bad-record-field";
    case Issue::MissingLineEnd: return "missing-line-end";
    case Issue::AfterStop: return "after-stop";
    case Issue::AddressWrap: return "address-wrap";
    case Issue::Overlap: return "overlap";
    case Issue::CountMismatch: return "count-mismatch";
    case Issue::NoEndRecord: return "no-end-record";
    case Issue::MixedFormats: return "mixed-formats";
    case Issue::BeyondFlash: return "beyond-flash";
    case Issue::StartOutside: return "start-outside-flash";
    case Issue::NotWritten: return "not-written";
    case Issue::RamFirmware: return "ram-firmware";
    case Issue::LayoutUnknown: return "layout-unknown";
    }
    return "unknown";
}

std::string Hex32(uint64_t value) {
    if (value > 0xFFFFFFFFull) return Fmt("0x%llX", static_cast<unsigned long long>(value));
    return Fmt("0x%08X", static_cast<unsigned>(value));
}

FW_INFO DecodeFwInfo(const uint8_t* bytes50, bool convertByteOrder) {
    FW_INFO info;
    std::memcpy(&info, bytes50, sizeof(info));
    if (convertByteOrder) {
        auto swap = [](uint32_t v) {
            return ((v & 0xFFu) << 24) | ((v & 0xFF00u) << 8) | ((v >> 8) & 0xFF00u) | (v >> 24);
        };
        info.Kind = swap(info.Kind);
        info.Address = swap(info.Address);
        info.Reserved12 = swap(info.Reserved12);
        info.Reserved16 = swap(info.Reserved16);
    }
    return info;
}

std::string FwInfoView::Name() const { return FieldText(record.Name, sizeof(record.Name)); }
std::string FwInfoView::Device() const { return FieldText(record.Device, sizeof(record.Device)); }
std::string FwInfoView::Version() const {
    return Fmt("%02x.%02x.%02x.%02x", record.Version[0], record.Version[1], record.Version[2], record.Version[3]);
}
std::string FwInfoView::DeviceVersion() const {
    return Fmt("%02x.%02x.%02x.%02x", record.DeviceVersion[0], record.DeviceVersion[1], record.DeviceVersion[2],
               record.DeviceVersion[3]);
}
std::string FwInfoView::KindText() const {
    const uint32_t kind = record.Kind & ~0x80u;
    std::string text = kind == 0 ? "FLASH" : kind == 1 ? "RAM" : Fmt("kind %u", kind);
    if (record.Kind & 0x80u) text += " (BOOT)";
    return text;
}

uint32_t ImageAnalysis::Lowest() const {
    if (blocks.empty()) return 0;
    uint32_t low = 0xFFFFFFFFu;
    for (const auto& b : blocks) low = std::min(low, b.start);
    return low;
}

uint64_t ImageAnalysis::Highest() const {
    uint64_t high = 0;
    for (const auto& b : blocks) high = std::max(high, b.end);
    return high;
}

size_t ImageAnalysis::Errors() const {
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(),
                                             [](const Finding& f) { return f.severity == Severity::Error; }));
}

std::string ImageAnalysis::FormatName() const {
    if (hasIntel && hasSRecords) return "Intel HEX and S-records";
    if (hasSRecords) return "S-records";
    if (hasIntel) return "Intel HEX";
    return "no records";
}

ImageAnalysis AnalyseImageText(std::string_view text) {
    ImageAnalysis out;
    out.readable = true;
    CStrictReader reader(out);
    reader.Read(text);
    std::stable_sort(out.findings.begin(), out.findings.end(), [](const Finding& a, const Finding& b) {
        const uint32_t la = a.line == 0 ? UINT32_MAX : a.line, lb = b.line == 0 ? UINT32_MAX : b.line;
        return la < lb;
    });
    return out;
}

ImageAnalysis AnalyseImageFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string text;
    if (in) {
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!in && !in.eof()) {
        ImageAnalysis out;
        out.path = path;
        out.findings.push_back({Severity::Error, Issue::Unreadable, 0, -1,
                                Fmt("cannot read %s: %s", path.c_str(), std::strerror(errno))});
        return out;
    }
    ImageAnalysis out = AnalyseImageText(text);
    out.path = path;
    return out;
}

uint64_t FlashLayout::Size() const {
    uint64_t size = 0;
    for (uint32_t s : sectorSizes) size += s;
    return size;
}

uint64_t FlashLayout::SectorOffset(uint16_t sector) const {
    uint64_t offset = 0;
    for (uint16_t i = 0; i < sector && i < sectorSizes.size(); ++i) offset += sectorSizes[i];
    return offset;
}

std::optional<FlashLayout> FlashLayout::FromTraceLine(std::string_view line) {
    std::string text(line);
    unsigned w0, w1, count, w3, base;
    char tail;
    if (std::sscanf(text.c_str(), " %4x, %4x, %4x, %4x, %8x %c", &w0, &w1, &count, &w3, &base, &tail) != 5)
        return std::nullopt;
    // The words are printed as exactly four and eight digits.
    const size_t first = text.find_first_not_of(' ');
    std::string_view body(text.c_str() + first);
    while (!body.empty() && (body.back() == '\n' || body.back() == '\r' || body.back() == ' ')) body.remove_suffix(1);
    if (body.size() != 4 * 4 + 8 + 4 * 2) return std::nullopt;
    FlashLayout layout;
    layout.base = base;
    layout.sectorCount = static_cast<uint16_t>(count);
    return layout;
}

size_t PlacementPlan::Errors() const {
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(),
                                             [](const Finding& f) { return f.severity == Severity::Error; }));
}

PlacementPlan PlaceImage(const ImageAnalysis& image, const FlashLayout& layout) {
    PlacementPlan plan;
    auto error = [&](Issue issue, int block, std::string text) {
        plan.findings.push_back({Severity::Error, issue, 0, block, std::move(text)});
    };
    if (image.blocks.empty()) {
        plan.result = KZM_E_FAIL;
        return plan;
    }
    const bool haveRecord = image.fwInfo.found;
    const uint32_t address = haveRecord ? image.fwInfo.record.Address : 0;
    const uint32_t kind = haveRecord ? (image.fwInfo.record.Kind & 0xFFu) : 0xFFu;
    const uint32_t length = static_cast<uint32_t>(image.Highest() - image.Lowest());
    const uint32_t base = layout.base;
    const bool sectorsKnown = layout.SizesKnown();

    if (haveRecord && (kind & 0x7Fu) == 1)
        plan.findings.push_back({Severity::Warning, Issue::RamFirmware, 0, image.fwInfo.block,
                                 "the firmware-information record marks this as RAM firmware; the library writes "
                                 "it into the flash all the same"});

    // How the library decides where the image goes.
    std::string why;
    if (base != 0 && kind == 0) {
        plan.useBase = true;
        plan.startOffset = address - base;
        plan.base = base;
        why = Fmt("its FLASH record's address %s minus the flash base %s", Hex32(address).c_str(),
                  Hex32(base).c_str());
        if (address < base) {
            error(Issue::StartOutside, image.fwInfo.block,
                  Fmt("the firmware-information record gives the address %s, below the flash base %s: the "
                      "image would start outside the flash",
                      Hex32(address).c_str(), Hex32(base).c_str()));
            plan.result = KZM_E_BEYOND_FLASH;
            return plan;
        }
    } else if (base == 0 && address != 0) {
        // The library takes the image's addresses as absolute here too: the
        // byte at the record's address goes to that flash offset.
        plan.useBase = true;
        plan.startOffset = address;
        plan.base = 0;
        why = Fmt("its record's address %s, the flash starting at address 0", Hex32(address).c_str());
    } else if (!sectorsKnown && layout.sectorCount == 0) {
        plan.result = KZM_E_FAIL;
        error(Issue::LayoutUnknown, -1, "the flash reports no sectors: the library cannot place the image");
        return plan;
    } else {
        why = haveRecord ? std::string(base != 0 ? "its record is not plain FLASH firmware, so its addresses are "
                                                   "taken as flash offsets"
                                                 : "its record's address is 0, so its addresses are flash offsets")
                         : std::string("it has no firmware-information record, so its addresses are taken as "
                                       "flash offsets");
    }

    if (!sectorsKnown) {
        // Only the base and the sector count are known: check what does not
        // depend on the sector sizes, and treat the range as ending where the
        // image's length does (the real range may be larger, never smaller).
        plan.findings.push_back({Severity::Warning, Issue::LayoutUnknown, 0, -1,
                                 "the flash's sector sizes are unknown: the placement is checked only in part"});
        const uint64_t rangeEnd = static_cast<uint64_t>(plan.startOffset) + length;
        plan.explanation = Fmt("the library puts the image at flash offset %s (%s)", Hex32(plan.startOffset).c_str(),
                               why.c_str());
        plan.rangeStart = plan.startOffset;
        plan.rangeSize = length;
        for (size_t i = 0; i < image.blocks.size(); ++i) {
            const auto& b = image.blocks[i];
            const uint64_t at = plan.useBase ? static_cast<uint64_t>(b.start) - base
                                             : static_cast<uint64_t>(plan.startOffset) + b.start;
            BlockPlacement bp{at, 0};
            if (plan.useBase && b.start < base) {
                error(Issue::NotWritten, static_cast<int>(i),
                      Fmt("block %zu [%s, %s): none of its bytes would be written: it lies below the flash base %s",
                          i, Hex32(b.start).c_str(), Hex32(b.end).c_str(), Hex32(base).c_str()));
                plan.blocks.push_back(bp);
                continue;
            }
            const uint64_t end = at + b.Size();
            bp.written = at >= rangeEnd ? 0 : std::min<uint64_t>(b.Size(), rangeEnd - at);
            if (end > rangeEnd)
                error(Issue::NotWritten, static_cast<int>(i),
                      Fmt("block %zu [%s, %s) cannot be shown to be written: it belongs at flash offset %s, and "
                          "without the sector sizes the range is known only to reach %s",
                          i, Hex32(b.start).c_str(), Hex32(b.end).c_str(), Hex32(at).c_str(),
                          Hex32(rangeEnd).c_str()));
            plan.bytesWritten += bp.written;
            plan.blocks.push_back(bp);
        }
        return plan;
    }

    // SetRange, on the sector walk of the library.
    const uint32_t flashSize = static_cast<uint32_t>(layout.Size());
    const uint32_t start = plan.startOffset;
    const uint32_t end = start + length;
    const uint16_t count = static_cast<uint16_t>(layout.sectorSizes.size());
    if (end > flashSize || end < start) {
        plan.result = KZM_E_BEYOND_FLASH;
        std::string blockList;
        for (size_t i = 0; i < image.blocks.size(); ++i) {
            const auto& b = image.blocks[i];
            const uint64_t at = plan.useBase ? static_cast<uint64_t>(b.start) - base
                                             : static_cast<uint64_t>(plan.startOffset) + b.start;
            if (at + b.Size() > flashSize) blockList += Fmt("%s%zu", blockList.empty() ? "" : ", ", i);
        }
        error(Issue::BeyondFlash, -1,
              Fmt("the image ends beyond the flash: placed at flash offset %s (%s) its %s bytes reach %s, but "
                  "the flash holds only %s bytes%s%s",
                  Hex32(start).c_str(), why.c_str(), Hex32(length).c_str(),
                  Hex32(static_cast<uint64_t>(start) + length).c_str(), Hex32(flashSize).c_str(),
                  blockList.empty() ? "" : "; blocks beyond it: ", blockList.c_str()));
        return plan;
    }
    auto walk = [&](uint32_t offset, uint16_t& index, uint32_t& lo) {
        uint64_t l = 0;
        for (uint32_t i = 0; i <= count; ++i) {
            const uint64_t size = i < count ? std::max<uint32_t>(layout.sectorSizes[i], 1) : 1;
            if (offset >= l && offset < l + size) {
                index = static_cast<uint16_t>(i);
                lo = static_cast<uint32_t>(l);
                return true;
            }
            l += size;
        }
        return false;
    };
    uint32_t lo = 0;
    if (walk(start, plan.firstSector, lo)) {
        plan.firstOffset = start - lo;
    } else {
        plan.firstSector = 0; // the library keeps its earlier value: 0 in a fresh process
        plan.firstOffset = 0;
        error(Issue::StartOutside, -1, Fmt("the image would start at flash offset %s, in no sector of the flash",
                                           Hex32(start).c_str()));
    }
    uint16_t endIndex = 0;
    if (!walk(end, endIndex, lo)) {
        plan.result = KZM_E_RANGE_END;
        error(Issue::BeyondFlash, -1, "the image's end lies in no sector of the flash");
        return plan;
    }
    plan.endSector = static_cast<uint16_t>(endIndex + (end > lo ? 1 : 0));
    if (plan.firstSector >= plan.endSector) {
        plan.result = KZM_E_ALLOC_RANGE;
        error(Issue::NotWritten, -1, "the image covers no flash sector");
        return plan;
    }
    for (uint16_t s = plan.firstSector; s < plan.endSector && s < count; ++s) plan.rangeSize += layout.sectorSizes[s];
    plan.rangeStart = layout.SectorOffset(plan.firstSector);

    const std::string sectors =
        plan.endSector - plan.firstSector == 1 ? Fmt("sector %u", plan.firstSector)
                                               : Fmt("sectors %u..%u", plan.firstSector, plan.endSector - 1u);
    plan.explanation = Fmt("the library puts the image at flash offset %s (%s) and programs %s (flash %s to %s)",
                           Hex32(start).c_str(), why.c_str(), sectors.c_str(), Hex32(plan.rangeStart).c_str(),
                           Hex32(plan.rangeStart + plan.rangeSize - 1).c_str());

    // CopyToRange for every block, in u32 arithmetic as the library does it.
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const auto& b = image.blocks[i];
        const uint32_t offset = plan.useBase ? plan.firstOffset + b.start - base - plan.startOffset
                                             : plan.firstOffset + b.start;
        // Where the block belongs on the flash by the same rule, before the u32
        // arithmetic wraps.
        const int64_t target = plan.useBase ? static_cast<int64_t>(b.start) - base
                                            : static_cast<int64_t>(start) + b.start;
        BlockPlacement bp;
        bp.flashOffset = plan.rangeStart + offset;
        bp.written = offset >= plan.rangeSize ? 0 : std::min<uint64_t>(b.Size(), plan.rangeSize - offset);
        plan.bytesWritten += bp.written;
        if (bp.written < b.Size()) {
            const std::string head = Fmt("block %zu [%s, %s)", i, Hex32(b.start).c_str(), Hex32(b.end).c_str());
            std::string text;
            if (target < 0)
                text = Fmt("%s: none of its %llu bytes would be written: it lies below %s", head.c_str(),
                           static_cast<unsigned long long>(b.Size()),
                           base != 0 ? Fmt("the flash base %s", Hex32(base).c_str()).c_str()
                                     : Fmt("the firmware's address %s", Hex32(plan.startOffset).c_str()).c_str());
            else if (bp.written == 0)
                text = Fmt("%s: none of its %llu bytes would be written: it belongs at flash offset %s, outside "
                           "%s, the range the library programs",
                           head.c_str(), static_cast<unsigned long long>(b.Size()), Hex32(target).c_str(),
                           sectors.c_str());
            else
                text = Fmt("%s: its last %llu of %llu bytes would not be written: they run past the end of %s, "
                           "the range the library programs",
                           head.c_str(), static_cast<unsigned long long>(b.Size() - bp.written),
                           static_cast<unsigned long long>(b.Size()), sectors.c_str());
            error(Issue::NotWritten, static_cast<int>(i), std::move(text));
        }
        plan.blocks.push_back(bp);
    }
    plan.bytesKept = plan.rangeSize - plan.bytesWritten;
    return plan;
}

} // namespace kzcli
