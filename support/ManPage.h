// A program's manual page (roff), made from its CLI11 command line: every
// command with its options, then the exit codes, the environment variables
// and the notes (paragraphs apart by a blank line) the program gives.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

namespace kzsupport {

// A term and its text: an exit code, an environment variable.
using ManItem = std::pair<std::string, std::string>;

std::string ManPage(const CLI::App& app, const std::string& version, const std::vector<ManItem>& exitStatus,
                    const std::vector<ManItem>& environment, const std::string& notes);

} // namespace kzsupport
