// kazmir log and kazmir counter: the run log's rows and its counters.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "RunLog.h"

namespace kzcli {

class CSession;

// Adds both commands to the app; the one chosen sets run. json, serials and
// settings (--log) are global options, read when the command runs.
void AddLogCommands(CLI::App& app, std::function<int(CSession&)>& run, const bool& json,
                    const std::vector<std::string>& serials, const kzlog::LogSettings& settings);

} // namespace kzcli
