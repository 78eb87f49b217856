#include "StampImage.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include <fmt/format.h>

#include "flash/ImageFile.h"
#include "flash/ImageReader.h"
#include "TempFolder.h"

namespace kzlog {

namespace {

// Where each data record the library reads stands in the text.
class CRecordMap : public IImageObserver {
public:
    struct DataLine {
        uint64_t digits; // text offset of the first data digit; the checksum follows the data digits
        uint32_t address;
        uint32_t count;
        bool sRecord;
        uint64_t lineEnd; // text offset after the line feed (CR LF counted)
    };

    explicit CRecordMap(std::string_view text) : m_Text(text) {}

    void OnLine(const LINE&) override {}
    void OnRecord(const LINE& line, const RECORD_DATA& record) override
    {
        uint64_t end = line.qwOffset + line.dwLength;
        // The reader sees CR LF as LF: the text has one character more.
        if (end >= 1 && end < m_Text.size() && m_Text[end - 1] == '\r' && m_Text[end] == '\n')
            ++end;
        m_Lines.push_back({line.qwOffset + static_cast<uint64_t>(record.pDigits - line.pText), record.dwAddress,
                           record.dwCount, line.pText[0] != ':', end});
    }

    const std::vector<DataLine>& Lines() const { return m_Lines; }

private:
    std::string_view m_Text;
    std::vector<DataLine> m_Lines;
};

int HexValue(char c)
{
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                  : -1;
}

void PutHex(std::string& text, uint64_t at, uint8_t byte)
{
    static const char DIGITS[] = "0123456789ABCDEF";
    text[at] = DIGITS[byte >> 4];
    text[at + 1] = DIGITS[byte & 15];
}

// One record line with its checksum: Intel HEX sums to 0, an S-record's
// checksum is the complement of its sum.
std::string RecordLine(const char* head, const std::vector<uint8_t>& fields, bool sRecord, const std::string& eol)
{
    std::string line = head;
    unsigned sum = 0;
    for (uint8_t b : fields) {
        line += fmt::format("{:02X}", b);
        sum += b;
    }
    const auto checksum = static_cast<uint8_t>(sRecord ? ~sum : 0u - sum);
    return line + fmt::format("{:02X}", checksum) + eol;
}

// New records for runs of bytes no record of the image holds.
std::string NewRecords(const std::map<uint32_t, uint8_t>& bytes, bool sRecord, const std::string& eol)
{
    constexpr uint32_t PER_LINE = 16;
    std::string out;
    uint32_t upper = 0;
    bool upperSet = false;
    for (auto it = bytes.begin(); it != bytes.end();) {
        const uint32_t address = it->first;
        std::vector<uint8_t> data;
        // Consecutive bytes, within one line and one 64 KiB Intel segment.
        while (it != bytes.end() && it->first == address + data.size() && data.size() < PER_LINE &&
               (data.empty() || ((address + data.size()) & 0xFFFF) != 0)) {
            data.push_back(it->second);
            ++it;
        }
        const auto n = static_cast<uint8_t>(data.size());
        if (sRecord) {
            std::vector<uint8_t> fields = {static_cast<uint8_t>(n + 5), static_cast<uint8_t>(address >> 24),
                                           static_cast<uint8_t>(address >> 16), static_cast<uint8_t>(address >> 8),
                                           static_cast<uint8_t>(address)};
            fields.insert(fields.end(), data.begin(), data.end());
            out += RecordLine("S3", fields, true, eol);
            continue;
        }
        if (!upperSet || upper != address >> 16) {
            upper = address >> 16;
            upperSet = true;
            out += RecordLine(":", {2, 0, 0, 4, static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)}, false,
                              eol);
        }
        std::vector<uint8_t> fields = {n, static_cast<uint8_t>(address >> 8), static_cast<uint8_t>(address), 0};
        fields.insert(fields.end(), data.begin(), data.end());
        out += RecordLine(":", fields, false, eol);
    }
    return out;
}

// The byte the loaded image holds at the address, if any.
std::optional<uint8_t> LoadedByte(CImageFile& image, uint32_t address)
{
    for (uint32_t i = 0; i < image.GetBlockCount(); ++i) {
        uint32_t start = 0, end = 0;
        const uint8_t* data = nullptr;
        if (image.GetBlock(i, &start, &end, &data) == 0 && data != nullptr && address >= start && address < end)
            return data[address - start];
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> StampImageText(std::string_view text, const std::vector<StampValue>& stamps,
                                          std::string& error, StampLanding* landing)
{
    std::map<uint32_t, uint8_t> wanted;
    for (const StampValue& s : stamps) {
        for (size_t i = 0; i < s.bytes.size(); ++i) {
            if (uint64_t{s.address} + i > 0xFFFFFFFFull || !wanted.emplace(s.address + i, s.bytes[i]).second) {
                error = "the stamp at " + AddressText(s.address) +
                        (uint64_t{s.address} + i > 0xFFFFFFFFull ? " runs past the end of the address space"
                                                                 : " writes bytes another stamp writes");
                return std::nullopt;
            }
        }
    }

    CRecordMap map(text);
    CImageReader reader;
    if (reader.OpenMemory(text.data(), text.size()) != 0) {
        error = "the image cannot be read";
        return std::nullopt;
    }
    reader.SetObserver(&map);
    CImageReader::RECORD record;
    while (reader.NextRecord(&record) == CImageReader::RECORD_OK) {
    }
    reader.Close();
    if (map.Lines().empty()) {
        error = "the image holds no data record the library reads";
        return std::nullopt;
    }

    std::string out(text);
    std::set<uint32_t> held;
    for (const CRecordMap::DataLine& line : map.Lines()) {
        auto it = wanted.lower_bound(line.address);
        if (it == wanted.end() || it->first - line.address >= line.count)
            continue;
        int delta = 0;
        bool checksumKnown = true;
        for (; it != wanted.end() && it->first - line.address < line.count; ++it) {
            const uint64_t at = line.digits + 2 * uint64_t{it->first - line.address};
            const int high = HexValue(out[at]), low = HexValue(out[at + 1]);
            checksumKnown = checksumKnown && high >= 0 && low >= 0;
            delta += it->second - (high * 16 + low);
            PutHex(out, at, it->second);
            held.insert(it->first);
        }
        const uint64_t checksum = line.digits + 2 * uint64_t{line.count};
        if (checksum + 1 < out.size()) {
            const int high = HexValue(out[checksum]), low = HexValue(out[checksum + 1]);
            if (checksumKnown && high >= 0 && low >= 0)
                PutHex(out, checksum, static_cast<uint8_t>(high * 16 + low - delta));
        }
    }

    std::map<uint32_t, uint8_t> loose;
    for (const auto& [address, byte] : wanted)
        if (held.count(address) == 0)
            loose.emplace(address, byte);
    if (!loose.empty()) {
        const CRecordMap::DataLine& last = map.Lines().back();
        const bool crlf = last.lineEnd >= 2 && text[last.lineEnd - 2] == '\r';
        out.insert(last.lineEnd, NewRecords(loose, last.sRecord, crlf ? "\r\n" : "\n"));
    }

    CImageFile check;
    if (check.LoadMemory(out.data(), out.size()) != 0) {
        error = "the stamped image cannot be loaded";
        return std::nullopt;
    }
    for (const auto& [address, byte] : wanted) {
        if (LoadedByte(check, address) != byte) {
            error = "the stamp byte at " + AddressText(address) + " does not read back from the stamped image";
            return std::nullopt;
        }
    }
    if (landing != nullptr)
        *landing = {static_cast<uint32_t>(held.size()), static_cast<uint32_t>(loose.size())};
    return out;
}

CStampedImage::CStampedImage() = default;
CStampedImage::~CStampedImage() = default;

std::optional<std::string> CStampedImage::Make(const std::string& image, const std::vector<StampValue>& stamps)
{
    std::ifstream in(image, std::ios::binary);
    std::stringstream text;
    if (!in || !(text << in.rdbuf()))
        return "cannot read the image " + image;
    std::string error;
    auto stamped = StampImageText(text.str(), stamps, error, &m_Landing);
    if (!stamped)
        return image + ": " + error;
    if (!m_Folder)
        m_Folder = std::make_unique<kzhost::CTempFolder>("stamp");
    if (m_Folder->Path().empty())
        return "cannot make a temporary folder for the stamped image: " + m_Folder->Error();
    const std::filesystem::path name = std::filesystem::path(image).filename();
    m_File = (std::filesystem::path(m_Folder->Path()) / (name.stem().string() + "-stamped" + name.extension().string()))
                 .string();
    std::ofstream out(m_File, std::ios::binary | std::ios::trunc);
    out << *stamped;
    out.close();
    if (!out)
        return "cannot write the stamped image " + m_File;
    return std::nullopt;
}

} // namespace kzlog
