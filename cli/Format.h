// The words and JSON objects several commands share: counts, findings,
// firmware records, placements, message bytes.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "Output.h"

namespace kzcli {

// Sectors the library's sector table holds.
constexpr size_t MAX_SECTORS = 32;

std::string Plural(uint64_t n, const char* one, const char* many); // "1 byte", "2 bytes"
Json FindingJson(const Finding& f);
Json FindingsJson(const std::vector<Finding>& findings);
Json FwInfoJson(const FwInfoView& fw); // null when the image has no record
Json PlanJson(const PlacementPlan& plan);
// One line per finding ("line 12: error: ..."), errors only when asked.
std::vector<std::string> FindingLines(const std::vector<Finding>& all, bool errorsOnly, const std::string& indent);
// "sector 0 (flash 0x00000000 to 0x00003FFF, 16.0 KiB)", "sectors 2 to 5 (...)"
std::string SectorRangeText(const PlacementPlan& plan);
std::string FwInfoLine(const FwInfoView& fw); // firmware "DEMO" 01.02.00.00, ...
// A received message as text: up to its first NUL, other bytes escaped.
std::string MessageText(const uint8_t* data, size_t size);
std::string HexText(const uint8_t* data, size_t size); // "48656C"
// "48656C", "48 65 6c", "48:65": the bytes; nullopt when it is no run of hex bytes.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
// "257", "0x101"; nullopt when it is no number.
std::optional<uint64_t> ParseNumber(const std::string& text);

} // namespace kzcli
