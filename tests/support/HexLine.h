// Image text for tests that write images: Intel HEX and S-record lines with
// their checksums, and whole images.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

inline const char* HEX_END = ":00000001FF\n";

// The fields in digits after the lead-in, and the checksum that sums them
// (Intel HEX) or completes them (S-records) to 0xFF.
inline std::string RecordLine(std::string line, std::vector<uint8_t> fields, const std::vector<uint8_t>& data,
                              bool intel)
{
    fields.insert(fields.end(), data.begin(), data.end());
    unsigned sum = 0;
    for (uint8_t b : fields)
        sum += b;
    fields.push_back(static_cast<uint8_t>(intel ? 0x100 - (sum & 0xFF) : ~sum));
    char buf[3];
    for (uint8_t b : fields) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
    }
    return line + "\n";
}

inline std::string HexLine(uint32_t address, uint8_t type, const std::vector<uint8_t>& data)
{
    return RecordLine(
        ":",
        {static_cast<uint8_t>(data.size()), static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), type},
        data, true);
}

// An S3 record line (32-bit address).
inline std::string SRecord(uint32_t address, const std::vector<uint8_t>& data)
{
    return RecordLine("S3",
                      {static_cast<uint8_t>(data.size() + 5), static_cast<uint8_t>(address >> 24),
                       static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                       static_cast<uint8_t>(address)},
                      data, false);
}

// Intel HEX of bytes at an address, 16 a line, with a type-04 record first
// and where the upper 16 address bits change, and the end record.
inline std::string HexImage(uint32_t address, const std::vector<uint8_t>& bytes)
{
    std::string text;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t i = 0; i < bytes.size(); i += 16) {
        const uint32_t a = address + static_cast<uint32_t>(i);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            text += HexLine(0, 4, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)});
        }
        const size_t n = std::min<size_t>(16, bytes.size() - i);
        text += HexLine(a, 0, std::vector<uint8_t>(bytes.begin() + i, bytes.begin() + i + n));
    }
    return text + HEX_END;
}
