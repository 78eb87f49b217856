// Per-board data written into the image before it is programmed:
// --stamp ADDRESS=FORMAT:SOURCE.
//   FORMAT  u16le u16be u32le u32be u64le u64be, or textN (N bytes of text,
//           NUL-padded, N from 1 to 256)
//   SOURCE  counter:NAME  the next value of a counter of the log database
//           csv:FILE      the value in the board's row of FILE (serial,value)
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "RunRecord.h"

namespace kzlog {

class CRunLog;

enum class StampFormat { U16LE, U16BE, U32LE, U32BE, U64LE, U64BE, Text };
enum class StampSource { Counter, Csv };

struct StampRule {
    uint32_t address = 0;
    StampFormat format = StampFormat::U32LE;
    uint32_t size = 4; // bytes written
    StampSource source = StampSource::Counter;
    std::string name; // the counter's name or the CSV file

    std::string FormatName() const; // "u32le", "text16"
    std::string SourceText() const; // "counter:units", "csv:serials.csv"
};

// One --stamp argument; nullopt with the sentence in error.
std::optional<StampRule> ParseStamp(const std::string& text, std::string& error);
// All of a run's stamps: nullopt when no two of them write the same byte.
std::optional<std::string> CheckStampSet(const std::vector<StampRule>& stamps);

// The bytes of a value in the stamp's format: integers in decimal or with
// 0x, text as it is. nullopt with the sentence in error when the value does
// not fit.
std::optional<std::vector<uint8_t>> EncodeStamp(const StampRule& stamp, const std::string& value, std::string& error);

// A CSV file of serials and values: two columns, an optional header line
// "serial,value", fields quoted as CSV quotes them.
class CStampTable {
public:
    std::optional<std::string> Load(const std::string& path);
    // The value of the serial's row; nullopt when it has none.
    std::optional<std::string> Find(const std::string& serial) const;

private:
    std::map<std::string, std::string> m_Values;
};

// The stamps' values for one board: CSV values first (a missing row takes
// no counter value), then one counter value per counter stamp. log may be
// null when no stamp uses a counter. nullopt with the sentence in error.
std::optional<std::vector<StampValue>> ResolveStamps(const std::vector<StampRule>& stamps, const std::string& serial,
                                                     CRunLog* log, std::string& error);

} // namespace kzlog
