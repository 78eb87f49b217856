#include "Report.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include <fmt/format.h>

namespace kzlog {

namespace {

std::string CsvField(const std::string& text)
{
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

// "0x00007F00=1000 0x00007F10=KZ-7"
std::string StampsText(const std::vector<StampValue>& stamps, const char* separator)
{
    std::string text;
    for (const StampValue& s : stamps)
        text += (text.empty() ? "" : separator) + AddressText(s.address) + "=" + s.value;
    return text;
}

std::string ResultText(const RunRecord& row)
{
    std::string text = row.exitName.empty() ? std::to_string(row.exitCode) : row.exitName;
    if (row.result != 0)
        text += fmt::format(" 0x{:08X}", row.result);
    return text;
}

// Text for XML content and attribute values. Characters XML 1.0 forbids
// (control characters other than tab and line ends) become '?'.
std::string Xml(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&apos;";
            break;
        default:
            out += static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r' ? '?' : c;
        }
    }
    return out;
}

} // namespace

std::string CsvText(const std::vector<RunRecord>& rows)
{
    std::string text = "time,ended,station,serial,device_id,bench,command,image,image_size,image_sha256,fw_name,"
                       "fw_version,result,exit,exit_name,message,bytes_written,seconds,stamps\r\n";
    for (const RunRecord& r : rows) {
        const std::vector<std::string> fields = {r.started,
                                                 r.ended,
                                                 r.station,
                                                 r.serial,
                                                 r.deviceId,
                                                 r.bench ? "bench" : "board",
                                                 r.command,
                                                 r.image,
                                                 std::to_string(r.imageSize),
                                                 r.imageSha256,
                                                 r.fwName,
                                                 r.fwVersion,
                                                 fmt::format("0x{:08X}", r.result),
                                                 std::to_string(r.exitCode),
                                                 r.exitName,
                                                 r.message,
                                                 std::to_string(r.bytesWritten),
                                                 fmt::format("{:.3f}", r.seconds),
                                                 StampsText(r.stamps, " ")};
        for (size_t i = 0; i < fields.size(); ++i) {
            text += i == 0 ? "" : ",";
            text += CsvField(fields[i]);
        }
        text += "\r\n";
    }
    return text;
}

std::string JsonLines(const std::vector<RunRecord>& rows)
{
    std::string text;
    for (const RunRecord& r : rows)
        text += ToJson(r).dump() + "\n";
    return text;
}

std::string TableText(const std::vector<RunRecord>& rows)
{
    std::vector<std::vector<std::string>> cells = {
        {"Time (UTC)", "Station", "Serial", "Command", "Result", "Image", "SHA-256", "Stamps"}};
    for (const RunRecord& r : rows) {
        std::string time = r.started.substr(0, 19);
        std::replace(time.begin(), time.end(), 'T', ' ');
        cells.push_back({time, r.station, r.serial, r.command, ResultText(r),
                         r.image.empty() ? "-" : std::filesystem::path(r.image).filename().string(),
                         r.imageSha256.empty() ? "-" : r.imageSha256.substr(0, 12), StampsText(r.stamps, " ")});
    }
    std::vector<size_t> width(cells[0].size(), 0);
    for (const auto& row : cells)
        for (size_t c = 0; c < row.size(); ++c)
            width[c] = std::max(width[c], row[c].size());
    std::string text;
    for (const auto& row : cells) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c)
            line += row[c] + (c + 1 < row.size() ? std::string(width[c] - row[c].size() + 2, ' ') : "");
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        text += line + "\n";
    }
    return text;
}

std::string JUnitText(const std::vector<RunRecord>& rows, const std::string& suiteName)
{
    size_t failures = 0;
    double seconds = 0;
    for (const RunRecord& r : rows) {
        failures += r.Failed() ? 1 : 0;
        seconds += r.seconds;
    }
    const std::string counts = fmt::format("tests=\"{}\" failures=\"{}\" errors=\"0\"", rows.size(), failures);
    std::string text = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    text += fmt::format("<testsuites name=\"kazmir\" {} time=\"{:.3f}\">\n", counts, seconds);
    // JUnit's timestamp has no time zone: the log's UTC time without its Z.
    const std::string timestamp = rows.empty() ? UtcNow().substr(0, 19) : rows.front().started.substr(0, 19);
    const std::string host = rows.empty() || rows.front().station.empty() ? HostName() : rows.front().station;
    text += fmt::format("  <testsuite name=\"{}\" {} skipped=\"0\" time=\"{:.3f}\" timestamp=\"{}\" hostname=\"{}\">\n",
                        Xml(suiteName), counts, seconds, Xml(timestamp), Xml(host));
    for (const RunRecord& r : rows) {
        const std::string name = !r.serial.empty() ? r.serial : !r.deviceId.empty() ? r.deviceId : "board";
        text += fmt::format("    <testcase name=\"{}\" classname=\"kazmir.{}\" time=\"{:.3f}\">\n", Xml(name),
                            Xml(r.command), r.seconds);
        if (r.Failed())
            text +=
                fmt::format("      <failure type=\"{}\" message=\"{}\">exit {} ({}), result 0x{:08X}: {}</failure>\n",
                            Xml(r.exitName), Xml(r.message), r.exitCode, Xml(r.exitName), r.result, Xml(r.message));
        std::string out = fmt::format("station {}, {} {}", r.station, r.bench ? "bench board" : "board",
                                      r.deviceId.empty() ? "-" : r.deviceId);
        if (!r.image.empty())
            out += fmt::format("\nimage {} ({} bytes, SHA-256 {})", r.image, r.imageSize, r.imageSha256);
        if (!r.fwName.empty())
            out += fmt::format("\nfirmware {} {}", r.fwName, r.fwVersion);
        out += fmt::format("\n{} bytes written in {:.3f} s", r.bytesWritten, r.seconds);
        if (!r.stamps.empty())
            out += "\nstamps " + StampsText(r.stamps, ", ");
        text += "      <system-out>" + Xml(out) + "</system-out>\n    </testcase>\n";
    }
    return text + "  </testsuite>\n</testsuites>\n";
}

std::optional<std::string> WriteReport(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out)
        return "cannot write the report " + path;
    return std::nullopt;
}

std::vector<std::string> WriteReports(const std::vector<RunRecord>& rows, const std::string& suiteName,
                                      const std::string& junitPath, const std::string& csvPath)
{
    std::vector<std::string> failed;
    if (!junitPath.empty())
        if (auto why = WriteReport(junitPath, JUnitText(rows, suiteName)))
            failed.push_back(*why);
    if (!csvPath.empty())
        if (auto why = WriteReport(csvPath, CsvText(rows)))
            failed.push_back(*why);
    return failed;
}

std::string ListText(const std::vector<RunRecord>& rows, ListForm form)
{
    switch (form) {
    case ListForm::JsonLines:
        return JsonLines(rows);
    case ListForm::Csv:
        return CsvText(rows);
    case ListForm::Table:
        break;
    }
    return TableText(rows);
}

std::string CounterText(const std::string& name, std::optional<uint64_t> next, bool json)
{
    if (json)
        return Json({{"counter", name}, {"next", next ? Json(*next) : Json(nullptr)}}).dump() + "\n";
    return next ? fmt::format("{}: next value {}\n", name, *next) : std::string();
}

} // namespace kzlog
