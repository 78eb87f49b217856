#include "Stamp.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>

#include <fmt/format.h>

#include "RunLog.h"

namespace kzlog {

namespace {

const char* const USAGE = "give ADDRESS=FORMAT:SOURCE, e.g. 0x7F00=u32le:counter:units or 0x7F10=text16:csv:macs.csv";
constexpr uint32_t MAX_TEXT = 256;

struct FormatInfo {
    const char* name;
    StampFormat format;
    uint32_t size;
};
constexpr FormatInfo FORMATS[] = {
    {"u16le", StampFormat::U16LE, 2}, {"u16be", StampFormat::U16BE, 2}, {"u32le", StampFormat::U32LE, 4},
    {"u32be", StampFormat::U32BE, 4}, {"u64le", StampFormat::U64LE, 8}, {"u64be", StampFormat::U64BE, 8},
};

std::string Trim(const std::string& text)
{
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// The fields of each record of a CSV text (RFC 4180 quoting), with the line
// each record starts on. False with the line in badLine when a quote is
// left open.
bool SplitCsv(const std::string& text, std::vector<std::pair<uint32_t, std::vector<std::string>>>& records,
              uint32_t& badLine)
{
    std::vector<std::string> fields(1);
    uint32_t line = 1, start = 1;
    bool quoted = false, any = false;
    auto finish = [&] {
        if (any || fields.size() > 1 || !Trim(fields[0]).empty())
            records.emplace_back(start, fields);
        fields.assign(1, std::string());
        any = false;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                line += c == '\n';
                fields.back() += c;
            }
        } else if (c == '"') {
            quoted = any = true;
        } else if (c == ',') {
            fields.emplace_back();
        } else if (c == '\n') {
            finish();
            start = ++line;
        } else if (c != '\r') {
            fields.back() += c;
        }
    }
    if (quoted) {
        badLine = start;
        return false;
    }
    finish();
    return true;
}

} // namespace

std::string StampRule::FormatName() const
{
    for (const FormatInfo& f : FORMATS)
        if (f.format == format)
            return f.name;
    return "text" + std::to_string(size);
}

std::string StampRule::SourceText() const
{
    return (source == StampSource::Counter ? "counter:" : "csv:") + name;
}

std::optional<StampRule> ParseStamp(const std::string& text, std::string& error)
{
    const std::string where = "--stamp " + text + ": ";
    const size_t equals = text.find('=');
    const size_t colon = text.find(':', equals == std::string::npos ? 0 : equals);
    if (equals == std::string::npos || colon == std::string::npos) {
        error = where + USAGE;
        return std::nullopt;
    }
    StampRule stamp;
    const std::string addressText = text.substr(0, equals);
    const auto address = ParseUnsigned(addressText);
    if (!address || *address > 0xFFFFFFFFull) {
        error = where + "\"" + addressText + "\" is no address: give a number below 4 GiB (decimal, or hexadecimal " +
                "with 0x)";
        return std::nullopt;
    }
    stamp.address = static_cast<uint32_t>(*address);

    const std::string format = text.substr(equals + 1, colon - equals - 1);
    bool known = false;
    for (const FormatInfo& f : FORMATS) {
        if (format == f.name) {
            stamp.format = f.format;
            stamp.size = f.size;
            known = true;
        }
    }
    if (!known && format.rfind("text", 0) == 0 && format.size() > 4 && format[4] != '0') {
        const auto n = ParseUnsigned(format.substr(4));
        if (n && *n >= 1 && *n <= MAX_TEXT && format.find_first_not_of("0123456789", 4) == std::string::npos) {
            stamp.format = StampFormat::Text;
            stamp.size = static_cast<uint32_t>(*n);
            known = true;
        }
    }
    if (!known) {
        error = where + "unknown format \"" + format +
                "\": use u16le, u16be, u32le, u32be, u64le, u64be or textN (N bytes of text, N from 1 to " +
                std::to_string(MAX_TEXT) + ")";
        return std::nullopt;
    }
    if (uint64_t{stamp.address} + stamp.size > 0x100000000ull) {
        error = where + "its " + std::to_string(stamp.size) + " bytes run past the end of the 32-bit address space";
        return std::nullopt;
    }

    const std::string source = text.substr(colon + 1);
    const size_t sourceColon = source.find(':');
    const std::string kind = source.substr(0, sourceColon);
    stamp.name = sourceColon == std::string::npos ? "" : source.substr(sourceColon + 1);
    if (kind == "counter") {
        stamp.source = StampSource::Counter;
        if (auto bad = CheckCounterName(stamp.name)) {
            error = where + *bad;
            return std::nullopt;
        }
    } else if (kind == "csv") {
        stamp.source = StampSource::Csv;
        if (stamp.name.empty()) {
            error = where + "csv: needs a file, e.g. csv:serials.csv";
            return std::nullopt;
        }
    } else {
        error = where + "unknown source \"" + source + "\": use counter:NAME or csv:FILE";
        return std::nullopt;
    }
    return stamp;
}

std::optional<std::string> CheckStampSet(const std::vector<StampRule>& stamps)
{
    for (size_t i = 0; i < stamps.size(); ++i) {
        for (size_t j = i + 1; j < stamps.size(); ++j) {
            const StampRule& a = stamps[i];
            const StampRule& b = stamps[j];
            if (uint64_t{a.address} < uint64_t{b.address} + b.size &&
                uint64_t{b.address} < uint64_t{a.address} + a.size)
                return fmt::format("the stamps at {} ({} bytes) and {} ({} bytes) write the same bytes",
                                   AddressText(a.address), a.size, AddressText(b.address), b.size);
        }
    }
    return std::nullopt;
}

std::optional<std::vector<uint8_t>> EncodeStamp(const StampRule& stamp, const std::string& value, std::string& error)
{
    std::vector<uint8_t> bytes(stamp.size, 0);
    if (stamp.format == StampFormat::Text) {
        if (value.size() > stamp.size) {
            error = fmt::format("the value \"{}\" has {} bytes; {} holds {}", value, value.size(), stamp.FormatName(),
                                stamp.size);
            return std::nullopt;
        }
        std::copy(value.begin(), value.end(), bytes.begin());
        return bytes;
    }
    const auto number = ParseUnsigned(value);
    if (!number) {
        error = "the value \"" + value + "\" is no whole number (decimal, or hexadecimal with 0x) for " +
                stamp.FormatName();
        return std::nullopt;
    }
    if (stamp.size < 8 && *number >> (8 * stamp.size) != 0) {
        error = fmt::format("the value {} does not fit {} (at most {})", value, stamp.FormatName(),
                            (uint64_t{1} << (8 * stamp.size)) - 1);
        return std::nullopt;
    }
    const bool little =
        stamp.format == StampFormat::U16LE || stamp.format == StampFormat::U32LE || stamp.format == StampFormat::U64LE;
    for (uint32_t i = 0; i < stamp.size; ++i) {
        const auto byte = static_cast<uint8_t>(*number >> (8 * i));
        bytes[little ? i : stamp.size - 1 - i] = byte;
    }
    return bytes;
}

std::optional<std::string> CStampTable::Load(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return "cannot read the stamp values in " + path;
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    if (text.rfind("\xEF\xBB\xBF", 0) == 0)
        text.erase(0, 3);
    std::vector<std::pair<uint32_t, std::vector<std::string>>> records;
    uint32_t badLine = 0;
    if (!SplitCsv(text, records, badLine))
        return fmt::format("{} line {}: a quoted field is never closed", path, badLine);
    m_Values.clear();
    for (size_t i = 0; i < records.size(); ++i) {
        const auto& [line, fields] = records[i];
        if (fields.size() != 2)
            return fmt::format("{} line {}: expected two columns, serial and value; found {}", path, line,
                               fields.size());
        const std::string serial = Trim(fields[0]);
        std::string lower = serial;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
        if (i == 0 && lower == "serial")
            continue; // the header line
        if (serial.empty())
            return fmt::format("{} line {}: the serial is empty", path, line);
        if (!m_Values.emplace(serial, Trim(fields[1])).second)
            return fmt::format("{} line {}: serial {} has a row already", path, line, serial);
    }
    return std::nullopt;
}

std::optional<std::string> CStampTable::Find(const std::string& serial) const
{
    const auto it = m_Values.find(serial);
    if (it == m_Values.end())
        return std::nullopt;
    return it->second;
}

std::optional<std::vector<StampValue>> ResolveStamps(const std::vector<StampRule>& stamps, const std::string& serial,
                                                     CRunLog* log, std::string& error)
{
    std::vector<StampValue> values(stamps.size());
    std::map<std::string, CStampTable> tables;
    auto fill = [&](size_t i, const std::string& value) {
        const StampRule& s = stamps[i];
        values[i] = {s.address, s.FormatName(), s.SourceText(), value, {}};
        auto bytes = EncodeStamp(s, value, error);
        if (!bytes) {
            error = "stamp " + AddressText(s.address) + " (" + s.SourceText() + ") for board " + serial + ": " + error;
            return false;
        }
        values[i].bytes = std::move(*bytes);
        return true;
    };
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i].source != StampSource::Csv)
            continue;
        auto [table, added] = tables.try_emplace(stamps[i].name);
        if (added) {
            if (auto failed = table->second.Load(stamps[i].name)) {
                error = *failed;
                return std::nullopt;
            }
        }
        const auto value = table->second.Find(serial);
        if (!value) {
            error = stamps[i].name + " has no row for board " + serial;
            return std::nullopt;
        }
        if (!fill(i, *value))
            return std::nullopt;
    }
    for (size_t i = 0; i < stamps.size(); ++i) {
        if (stamps[i].source != StampSource::Counter)
            continue;
        if (log == nullptr) {
            error = "counter stamps need the log database; they cannot be used with --no-log";
            return std::nullopt;
        }
        uint64_t next = 0;
        if (auto failed = log->NextValue(stamps[i].name, next)) {
            error = *failed;
            return std::nullopt;
        }
        if (!fill(i, std::to_string(next)))
            return std::nullopt;
    }
    return values;
}

} // namespace kzlog
