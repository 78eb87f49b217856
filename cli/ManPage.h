// kazmir's manual page (roff), made from the command line's own tree: every
// command with its options, the exit codes from the host kit's table, and
// the environment variables kazmir reads, and the notes of its --help.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace kzcli {

std::string ManPage(const CLI::App& app, const std::string& version,
                    const std::vector<std::pair<std::string, std::string>>& environment, const std::string& notes);

} // namespace kzcli
