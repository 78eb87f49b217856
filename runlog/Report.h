// The text forms of runs: the log's listing (table, JSON lines, CSV) and the
// reports a line's software reads after a batch or single run (JUnit XML
// and the same CSV).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "RunRecord.h"

namespace kzlog {

// Columns of the CSV form, in order: time, ended, station, serial, device_id,
// bench, command, image, image_size, image_sha256, fw_name, fw_version,
// result, exit, exit_name, message, bytes_written, seconds, stamps.
std::string CsvText(const std::vector<RunRecord>& rows);
// One JSON object per line.
std::string JsonLines(const std::vector<RunRecord>& rows);
// Aligned columns for a terminal: time, station, serial, command, result,
// image and digest, stamps.
std::string TableText(const std::vector<RunRecord>& rows);

// JUnit XML: one test suite for the command, one test case per board (named
// by its serial); a board whose exit code is not 0 has a failure whose type
// is its exit name and whose message is its result in words.
std::string JUnitText(const std::vector<RunRecord>& rows, const std::string& suiteName);

// Writes text to the file; nullopt, or the sentence why not.
std::optional<std::string> WriteReport(const std::string& path, const std::string& text);

// Writes the JUnit report (one suite named suiteName) to junitPath and the
// CSV report to csvPath, each when given (not ""); the sentence for each one
// that could not be written.
std::vector<std::string> WriteReports(const std::vector<RunRecord>& rows, const std::string& suiteName,
                                      const std::string& junitPath, const std::string& csvPath);

// The log's listing in one of its forms.
enum class ListForm { Table, Csv, JsonLines };
std::string ListText(const std::vector<RunRecord>& rows, ListForm form);

// A counter's line: "units: next value 1000", or with json the object
// {"counter": "units", "next": 1000}. A counter that is not set (no next)
// is null in JSON and has no line otherwise.
std::string CounterText(const std::string& name, std::optional<uint64_t> next, bool json);

} // namespace kzlog
