// The run log on the command line: kazmir log and kazmir counter, and the
// line record's ties to the command's output.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "LineRecord.h"
#include "Output.h"

namespace kzcli {

class CSession;

// Adds both commands to the app; the one chosen sets run. json, serials and
// settings (--log) are global options, read when the command runs.
void AddLogCommands(CLI::App& app, std::function<int(CSession&)>& run, const bool& json,
                    const std::vector<std::string>& serials, const kzlog::LogSettings& settings);

// The line record's host: the state folder (on the virtual bench) and the
// command's output.
kzlog::LineHost LineHostOf(COutput& out);

} // namespace kzcli
