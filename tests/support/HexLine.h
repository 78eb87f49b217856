// One Intel HEX record line with its checksum, for tests that write images.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline std::string HexLine(uint32_t address, uint8_t type, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> raw = {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8),
                                static_cast<uint8_t>(address), type};
    raw.insert(raw.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : raw)
        sum += b;
    raw.push_back(static_cast<uint8_t>(0x100 - (sum & 0xFF)));
    std::string line = ":";
    char buf[3];
    for (uint8_t b : raw) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
    }
    return line + "\n";
}
