#include "Format.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace kzcli {

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

Json FindingJson(const Finding& f)
{
    Json j = {{"severity", f.severity == Severity::Error ? "error" : "warning"},
              {"issue", IssueName(f.issue)},
              {"text", f.text}};
    if (f.line != 0)
        j["line"] = f.line;
    if (f.block >= 0)
        j["block"] = f.block;
    return j;
}

Json FindingsJson(const std::vector<Finding>& findings)
{
    Json list = Json::array();
    for (const auto& f : findings)
        list.push_back(FindingJson(f));
    return list;
}

Json FwInfoJson(const FwInfoView& fw)
{
    if (!fw.found)
        return nullptr;
    return {{"name", fw.Name()},
            {"version", fw.Version()},
            {"kind", static_cast<uint32_t>(fw.record.Kind)}, // a copy: the record is packed
            {"kind_text", fw.KindText()},
            {"address", Hex32(fw.record.Address)},
            {"device", fw.Device()},
            {"device_version", fw.DeviceVersion()},
            {"block", fw.block},
            {"at", Hex32(fw.address)}};
}

Json PlanJson(const PlacementPlan& plan)
{
    Json j = {{"accepted", plan.Accepted()},
              {"library_result", Hex32(plan.result)},
              {"findings", FindingsJson(plan.findings)}};
    if (plan.result == 0 && plan.endSector > plan.firstSector) {
        j["first_sector"] = plan.firstSector;
        j["last_sector"] = plan.endSector - 1;
        j["range_start"] = Hex32(plan.rangeStart);
        j["range_size"] = plan.rangeSize;
        j["bytes_written"] = plan.bytesWritten;
        j["bytes_kept"] = plan.bytesKept;
    }
    return j;
}

// The findings as lines, at most three of one kind (then how many more of
// that kind), errors only or all.
std::vector<std::string> FindingLines(const std::vector<Finding>& all, bool errorsOnly, const std::string& indent)
{
    std::vector<Finding> findings = all;
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return !a.minor && b.minor; });
    std::vector<std::string> lines;
    std::map<Issue, size_t> seen, total;
    for (const auto& f : findings)
        if (!errorsOnly || f.severity == Severity::Error)
            ++total[f.issue];
    for (const auto& f : findings) {
        if (errorsOnly && f.severity != Severity::Error)
            continue;
        const size_t n = ++seen[f.issue];
        const std::string prefix = errorsOnly ? "" : (f.severity == Severity::Error ? "error: " : "warning: ");
        if (n <= 3)
            lines.push_back(indent + prefix + f.text);
        if (n == 3 && total[f.issue] > 3)
            lines.push_back(indent + "... and " + std::to_string(total[f.issue] - 3) + " more of this kind (" +
                            IssueName(f.issue) + ")");
    }
    return lines;
}

std::string SectorRangeText(const PlacementPlan& plan)
{
    const unsigned last = plan.endSector - 1u;
    std::string text = plan.firstSector == last
                           ? "sector " + std::to_string(plan.firstSector)
                           : "sectors " + std::to_string(plan.firstSector) + ".." + std::to_string(last);
    return text + " (flash " + Hex32(plan.rangeStart) + " to " + Hex32(plan.rangeStart + plan.rangeSize - 1) + ", " +
           HumanBytes(plan.rangeSize) + ")";
}

std::string FwInfoLine(const FwInfoView& fw)
{
    return "firmware \"" + fw.Name() + "\" " + fw.Version() + ", " + fw.KindText() + " at " + Hex32(fw.record.Address) +
           ", for \"" + fw.Device() + "\" " + fw.DeviceVersion();
}

// Text of a received message up to its first NUL, with other bytes escaped.
std::string MessageText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size && data[i] != 0; ++i) {
        const uint8_t c = data[i];
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            text += static_cast<char>(c);
        } else {
            char buf[8];
            std::snprintf(buf, sizeof(buf), "\\x%02X", c);
            text += buf;
        }
    }
    return text;
}

std::string HexText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        char buf[4];
        std::snprintf(buf, sizeof(buf), "%02X", data[i]);
        text += buf;
    }
    return text;
}

std::optional<std::vector<uint8_t>> ParseHexBytes(const std::string& text)
{
    std::vector<uint8_t> bytes;
    std::string digits;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-')
            digits += c;
    if (digits.empty() || digits.size() % 2 != 0)
        return std::nullopt;
    for (size_t i = 0; i < digits.size(); i += 2) {
        unsigned value = 0;
        if (std::sscanf(digits.substr(i, 2).c_str(), "%2x", &value) != 1 ||
            !std::isxdigit(static_cast<unsigned char>(digits[i])) ||
            !std::isxdigit(static_cast<unsigned char>(digits[i + 1])))
            return std::nullopt;
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

std::optional<uint64_t> ParseNumber(const std::string& text)
{
    if (text.empty())
        return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (text[0] == '-' || text[0] == '+')
        return std::nullopt;
    const unsigned long long value = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
    if (errno != 0 || end == nullptr || *end != '\0')
        return std::nullopt;
    return static_cast<uint64_t>(value);
}

} // namespace kzcli
