#include "RunRecord.h"

#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <filesystem>

#include <unistd.h>

#include <fmt/format.h>

namespace kzlog {

std::string UtcTime(std::chrono::system_clock::time_point time)
{
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    const std::time_t seconds = static_cast<std::time_t>(ms / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    return fmt::format("{:04}-{:02}-{:02}T{:02}:{:02}:{:02}.{:03}Z", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                       utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(ms % 1000));
}

std::string UtcNow()
{
    return UtcTime(std::chrono::system_clock::now());
}

std::string HostName()
{
    char name[256] = {};
    if (gethostname(name, sizeof(name) - 1) != 0 || name[0] == '\0')
        return "localhost";
    return name;
}

std::string AbsolutePath(const std::string& path)
{
    if (path.empty())
        return path;
    std::error_code ec;
    const std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

std::string AddressText(uint32_t address)
{
    return fmt::format("0x{:08X}", address);
}

std::optional<uint64_t> ParseUnsigned(const std::string& text)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char* first = text.data() + (hex ? 2 : 0);
    const char* last = text.data() + text.size();
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(first, last, value, hex ? 16 : 10);
    if (first == last || ec != std::errc() || end != last)
        return std::nullopt;
    return value;
}

std::string HexBytes(const std::vector<uint8_t>& bytes)
{
    std::string text;
    for (uint8_t b : bytes)
        text += fmt::format("{:02x}", b);
    return text;
}

Json StampsToJson(const std::vector<StampValue>& stamps)
{
    Json array = Json::array();
    for (const StampValue& s : stamps)
        array.push_back({{"address", AddressText(s.address)},
                         {"format", s.format},
                         {"source", s.source},
                         {"value", s.value},
                         {"bytes", HexBytes(s.bytes)}});
    return array;
}

namespace {

std::optional<std::vector<uint8_t>> BytesFromHex(const std::string& hex)
{
    if (hex.size() % 2 != 0)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i < hex.size(); i += 2) {
        unsigned value = 0;
        for (char c : {hex[i], hex[i + 1]}) {
            const int digit = std::isdigit(static_cast<unsigned char>(c)) ? c - '0'
                              : (c >= 'a' && c <= 'f')                    ? c - 'a' + 10
                              : (c >= 'A' && c <= 'F')                    ? c - 'A' + 10
                                                                          : -1;
            if (digit < 0)
                return std::nullopt;
            value = value * 16 + static_cast<unsigned>(digit);
        }
        bytes.push_back(static_cast<uint8_t>(value));
    }
    return bytes;
}

} // namespace

std::optional<std::vector<StampValue>> StampsFromJson(const Json& array, std::string& error)
{
    std::vector<StampValue> stamps;
    if (array.is_null())
        return stamps;
    if (!array.is_array()) {
        error = "the stamps are no JSON array";
        return std::nullopt;
    }
    for (const Json& item : array) {
        StampValue s;
        try {
            const std::string address = item.at("address").get<std::string>();
            size_t used = 0;
            const unsigned long long value = std::stoull(address, &used, 0);
            if (used != address.size() || value > 0xFFFFFFFFull)
                throw std::invalid_argument(address);
            s.address = static_cast<uint32_t>(value);
            s.format = item.at("format").get<std::string>();
            s.source = item.at("source").get<std::string>();
            s.value = item.at("value").get<std::string>();
            const auto bytes = BytesFromHex(item.value("bytes", std::string()));
            if (!bytes)
                throw std::invalid_argument("bytes");
            s.bytes = *bytes;
        } catch (const std::exception&) {
            error = "a stamp is not {address, format, source, value, bytes}: " + item.dump();
            return std::nullopt;
        }
        stamps.push_back(std::move(s));
    }
    return stamps;
}

Json ToJson(const RunRecord& row)
{
    return {{"id", row.id},
            {"time", row.started},
            {"ended", row.ended},
            {"station", row.station},
            {"serial", row.serial},
            {"device_id", row.deviceId},
            {"bench", row.bench},
            {"command", row.command},
            {"image", row.image},
            {"image_size", row.imageSize},
            {"image_sha256", row.imageSha256},
            {"fw_name", row.fwName},
            {"fw_version", row.fwVersion},
            {"result", row.result},
            {"exit", row.exitCode},
            {"exit_name", row.exitName},
            {"message", row.message},
            {"bytes_written", row.bytesWritten},
            {"seconds", row.seconds},
            {"stamps", StampsToJson(row.stamps)}};
}

std::optional<RunRecord> FromJson(const Json& o, std::string& error)
{
    if (!o.is_object()) {
        error = "a run is a JSON object";
        return std::nullopt;
    }
    RunRecord row;
    try {
        row.id = o.value("id", int64_t{0});
        row.started = o.at("time").get<std::string>();
        row.ended = o.value("ended", row.started);
        row.station = o.value("station", std::string());
        row.serial = o.value("serial", std::string());
        row.deviceId = o.value("device_id", std::string());
        row.bench = o.value("bench", false);
        row.command = o.at("command").get<std::string>();
        row.image = o.value("image", std::string());
        row.imageSize = o.value("image_size", uint64_t{0});
        row.imageSha256 = o.value("image_sha256", std::string());
        row.fwName = o.value("fw_name", std::string());
        row.fwVersion = o.value("fw_version", std::string());
        row.result = o.at("result").get<uint32_t>();
        row.exitCode = o.value("exit", 0);
        row.exitName = o.value("exit_name", std::string());
        row.message = o.value("message", std::string());
        row.bytesWritten = o.value("bytes_written", uint64_t{0});
        row.seconds = o.value("seconds", 0.0);
    } catch (const std::exception& e) {
        error = std::string("a run lacks a field or has one of the wrong type: ") + e.what();
        return std::nullopt;
    }
    auto stamps = StampsFromJson(o.value("stamps", Json()), error);
    if (!stamps)
        return std::nullopt;
    row.stamps = std::move(*stamps);
    return row;
}

bool IsLoggedCommand(const std::string& command)
{
    return command == "program" || command == "verify" || command == "erase";
}

RunRecord RowFromSummary(const RunRecord& base, const Json& summary, const std::string& station)
{
    RunRecord row = base;
    row.command = summary.value("command", std::string());
    row.station = station.empty() ? HostName() : station;
    row.ended = UtcNow();
    row.deviceId = summary.value("device_id", std::string());
    if (row.serial.empty())
        row.serial = summary.value("serial", std::string());
    const Json result = summary.value("result", Json::object());
    if (result.is_object()) {
        row.message = result.value("text", std::string());
        // "0x80070057"
        const std::string code = result.value("code", std::string());
        uint32_t value = 0;
        if (code.size() > 2 && code[0] == '0' && (code[1] == 'x' || code[1] == 'X')) {
            const auto [end, ec] = std::from_chars(code.data() + 2, code.data() + code.size(), value, 16);
            if (ec == std::errc() && end == code.data() + code.size())
                row.result = value;
        }
    }
    row.exitCode = summary.value("exit", 0);
    row.exitName = summary.value("exit_name", std::string());
    row.seconds = summary.value("seconds", 0.0);
    // The range the library wrote: a program that ran, or an erase.
    const bool wrote = row.command == "erase" || (row.command == "program" && !summary.value("skipped", true));
    if (row.exitCode == 0 && wrote)
        row.bytesWritten = summary.value("bytes", uint64_t{0});
    return row;
}

std::vector<RunRecord> RowsFromBatch(const Json& summary, bool bench)
{
    const std::string command = summary.value("command", std::string());
    std::vector<RunRecord> rows;
    for (const Json& board : summary.value("boards", Json::array())) {
        std::string error;
        std::optional<RunRecord> row;
        if (board.contains("run"))
            row = FromJson(board["run"], error);
        if (!row) {
            row = RunRecord{};
            row->serial = board.value("serial", std::string());
            row->deviceId = board.value("device_id", std::string());
            row->command = command;
            row->exitName = board.value("exit_name", std::string());
            row->message = board.value("result", Json::object()).value("text", std::string());
            row->seconds = board.value("seconds", 0.0);
            row->bench = bench;
        }
        row->exitCode = board.value("exit", row->exitCode);
        row->exitName = board.value("exit_name", row->exitName);
        rows.push_back(*row);
    }
    return rows;
}

} // namespace kzlog
