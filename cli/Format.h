// The words several commands share: message bytes and numbers; the words
// about an image come from the host kit (ImageWords.h, ImageJson.h).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "ImageJson.h"
#include "ImageWords.h"
#include "Output.h"

namespace kzcli {

// Sectors the library's sector table holds.
constexpr size_t MAX_SECTORS = 32;

// A received message as text: up to its first NUL, other bytes escaped.
std::string MessageText(const uint8_t* data, size_t size);
// "48656C", "48 65 6c", "48:65": the bytes; nullopt when it is no run of hex bytes.
std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text);
// "257", "0x101"; nullopt when it is no number.
std::optional<uint64_t> ParseNumber(const std::string& text);

} // namespace kzcli
