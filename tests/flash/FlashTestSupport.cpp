#include "FlashTestSupport.h"

#include <atomic>
#include <cstdio>
#include <fstream>
#include <ostream>
#include <random>

namespace flashtest {

std::ostream& operator<<(std::ostream& os, const ReportLine& line)
{
    return os << "{" << int(line.Kind) << ", \"" << line.Text << "\"}";
}

CTempDir::CTempDir()
{
    // Unique per process (each test case runs in a process of its own) and
    // per folder within it.
    static const unsigned s_Process = std::random_device{}();
    static std::atomic<int> counter{0};
    m_Path = std::filesystem::temp_directory_path() /
             ("kzm_flash_" + std::to_string(s_Process) + "_" + std::to_string(counter++));
    std::filesystem::create_directories(m_Path);
}

CTempDir::~CTempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(m_Path, ec);
}

std::string CTempDir::Write(const std::string& name, const std::string& bytes) const
{
    const std::filesystem::path path = m_Path / name;
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return path.string();
}

std::string HexRecord(uint8_t type, uint16_t address, const std::vector<uint8_t>& data)
{
    char buf[16];
    unsigned sum = static_cast<unsigned>(data.size()) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof(buf), ":%02X%04X%02X", static_cast<unsigned>(data.size()), address, type);
    std::string line = buf;
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof(buf), "%02X\n", (0x100 - (sum & 0xFF)) & 0xFF);
    return line + buf;
}

std::string HexData(uint16_t address, const std::vector<uint8_t>& data)
{
    return HexRecord(0, address, data);
}

std::string HexExtLinear(uint16_t upper)
{
    return HexRecord(4, 0, {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper & 0xFF)});
}

std::string SRecord(int type, uint32_t address, const std::vector<uint8_t>& data)
{
    const int addressBytes = type == 2 || type == 8 ? 3 : type == 3 || type == 7 ? 4 : 2;
    const unsigned count = static_cast<unsigned>(addressBytes + data.size() + 1);
    char buf[16];
    std::snprintf(buf, sizeof(buf), "S%d%02X", type, count);
    std::string line = buf;
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        const unsigned b = (address >> (8 * i)) & 0xFF;
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
        sum += b;
    }
    for (uint8_t b : data) {
        std::snprintf(buf, sizeof(buf), "%02X", b);
        line += buf;
        sum += b;
    }
    std::snprintf(buf, sizeof(buf), "%02X\n", ~sum & 0xFF);
    return line + buf;
}

std::vector<uint8_t> FwInfoBytes(const char* name, uint32_t kind, uint32_t address, const char* device,
                                 bool bigEndian)
{
    std::vector<uint8_t> bytes(50 + 9, 0); // the record, then its marker
    bytes[0] = 1;
    bytes[1] = 2;
    bytes[2] = 3;
    bytes[3] = 4;
    auto put = [&](size_t offset, uint32_t value) {
        for (int i = 0; i < 4; ++i)
            bytes[offset + i] = static_cast<uint8_t>(bigEndian ? value >> (24 - 8 * i) : value >> (8 * i));
    };
    put(4, kind);
    put(8, address);
    put(12, 0x11223344);
    put(16, 0x55667788);
    std::memcpy(bytes.data() + 20, name, std::min<size_t>(std::strlen(name), 10));
    std::memcpy(bytes.data() + 30, device, std::min<size_t>(std::strlen(device), 16));
    bytes[46] = 9;
    bytes[47] = 8;
    bytes[48] = 7;
    bytes[49] = 6;
    std::memcpy(bytes.data() + 50, "$FW-INFO$", 9);
    return bytes;
}

std::string HexImage(uint32_t base, const std::vector<uint8_t>& bytes)
{
    std::string text;
    uint32_t upper = 0xFFFFFFFF;
    for (size_t i = 0; i < bytes.size(); i += 16) {
        const uint32_t address = base + static_cast<uint32_t>(i);
        if ((address >> 16) != upper) {
            upper = address >> 16;
            text += HexExtLinear(static_cast<uint16_t>(upper));
        }
        const size_t n = std::min<size_t>(16, bytes.size() - i);
        text += HexData(static_cast<uint16_t>(address & 0xFFFF),
                        std::vector<uint8_t>(bytes.begin() + static_cast<long>(i), bytes.begin() + static_cast<long>(i + n)));
    }
    return text + HEX_END;
}

} // namespace flashtest
