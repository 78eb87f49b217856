// One board's run of one command, as the run log keeps it and the reports
// show it: the host fills one RunRecord per board.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace kzlog {

using Json = nlohmann::ordered_json;

// A value written into the board's image at an address (see Stamp.h).
struct StampValue {
    uint32_t address = 0;
    std::string format;         // "u32le", "text16", ...
    std::string source;         // "counter:units", "csv:serials.csv"
    std::string value;          // the value as text ("1000", "KZ-00042")
    std::vector<uint8_t> bytes; // what lands at the address
};

struct RunRecord {
    int64_t id = 0;       // the log's row number (0 before the row is written)
    std::string started;  // UTC, ISO 8601 with milliseconds: "2024-05-07T09:15:02.125Z"
    std::string ended;    // the same, when the board's run ended
    std::string station;  // "" takes the log's station (host name or --station)
    std::string serial;   // the board's serial number
    std::string deviceId; // "0x0000000000000101"; "" when no board was opened
    bool bench = false;   // a board of the virtual bench, not a real one
    std::string command;  // "program", "verify", "erase"
    std::string image;    // the image file as an absolute path ("" for erase)
    uint64_t imageSize = 0;
    std::string imageSha256; // lower-case hexadecimal
    std::string fwName;      // from the image's firmware-information record
    std::string fwVersion;
    uint32_t result = 0;  // the library's result code (0: success)
    int exitCode = 0;     // the kazmir command's exit code for this board
    std::string exitName; // "ok", "verify", ...
    std::string message;  // the result in words
    uint64_t bytesWritten = 0;
    double seconds = 0;
    std::vector<StampValue> stamps;

    bool Failed() const { return exitCode != 0; }
};

// A time as the log writes it: UTC, ISO 8601, milliseconds.
std::string UtcTime(std::chrono::system_clock::time_point time);
std::string UtcNow();
// This machine's name: the default station.
std::string HostName();
// An absolute, normalised form of a path, as the log stores image paths.
std::string AbsolutePath(const std::string& path);

// The JSON form of a row (`kazmir log --json`) and back. FromJson gives
// nullopt with the reason in error when the object is no row.
Json ToJson(const RunRecord& row);
std::optional<RunRecord> FromJson(const Json& object, std::string& error);

// Whether a command's runs are rows of the log: program, verify and erase.
bool IsLoggedCommand(const std::string& command);
// A board's row from the summary event that ends a host's command (command,
// device_id, result {code, text}, exit, exit_name, seconds, bytes, skipped);
// what the summary does not tell (serial, start, image, stamps) comes from
// base. station "" is this machine's name.
RunRecord RowFromSummary(const RunRecord& base, const Json& summary, const std::string& station);
// The rows of a batch's summary, one per entry of its "boards": the child's
// own row ("run") when it gave one, else what the parent saw of it. The
// parent's exit code wins: a child can end worse than it said. bench: the
// boards are the virtual bench's.
std::vector<RunRecord> RowsFromBatch(const Json& summary, bool bench);

// The stamps column: a JSON array of {address, format, source, value, bytes}.
Json StampsToJson(const std::vector<StampValue>& stamps);
std::optional<std::vector<StampValue>> StampsFromJson(const Json& array, std::string& error);

// "0x00007F00"
std::string AddressText(uint32_t address);
// A whole number in decimal or with 0x; nullopt for anything else.
std::optional<uint64_t> ParseUnsigned(const std::string& text);
// Lower-case hexadecimal of the bytes: "e8030000".
std::string HexBytes(const std::vector<uint8_t>& bytes);

} // namespace kzlog
