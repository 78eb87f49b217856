// kazmir log and kazmir counter: the run log's rows and its counters.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

namespace kzcli {

class CHost;

// Adds both commands to the app; the one chosen sets run. json and serials
// are the global --json and --serial, read when the command runs.
void AddLogCommands(CLI::App& app, std::function<int(CHost&)>& run, const bool& json,
                    const std::vector<std::string>& serials);

} // namespace kzcli
