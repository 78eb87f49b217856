// kazmir: the command-line host of the Kazmir library.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>

#include "Batch.h"
#include "Commands.h"
#include "Format.h"
#include "Heap.h"
#include "ManPage.h"
#if KAZMIR_CLI_RUNLOG
#include "LineRecord.h"
#include "LogCommand.h"
#endif

#ifndef KAZMIR_VERSION
#define KAZMIR_VERSION "unknown"
#endif

using namespace kzcli;

namespace {

// What --help says after the exit codes (those come from the host kit's table).
const char* const HELP_NOTES = R"(
A stop (129, 130, 141, 143) lets a library call that erases or writes the
flash finish, then kazmir stops; a second signal stops at once. Its summary
tells what the flash holds.

Before program and verify the whole file is read strictly; a file with a bad
checksum, lower-case digits, a malformed line, records the library would not
read, or blocks it would not write where they belong is refused (--no-check
skips this). Run on the virtual bench, the default bench keeps its flash in
$KAZMIR_STATE_DIR, else $XDG_STATE_HOME/kazmir, else ~/.local/state/kazmir.)";

// A command line kazmir refuses still ends with a summary when --json was
// asked for; returns the usage exit code.
int JsonUsageSummary(int argc, char** argv, const std::string& message)
{
    bool json = false;
    for (int i = 1; i < argc && !json; ++i)
        json = std::string(argv[i]) == "--json";
    if (json) {
        COutput out(COutput::Mode::Json, COutput::Detail::Quiet);
        CSession(GlobalOptions{}, out).UsageError(message);
    }
    return EXIT_USAGE;
}

// A whole number from 1 to 4294967295, or the sentence that says what was
// wanted instead.
CLI::Validator FromOne(const std::string& refusal)
{
    return CLI::Validator(
        [refusal](std::string& text) -> std::string {
            const auto value = ParseNumber(text);
            return !value || *value == 0 || *value > 0xFFFFFFFFull ? "\"" + text + "\" " + refusal : "";
        },
        "");
}
const std::string NO_TIME = "is no time: give milliseconds, a whole number from 1 to 4294967295";
const std::string NO_COUNT = "is no number of boards: give a whole number from 1 on";

std::string CommandList(CLI::App& app)
{
    std::string list;
    for (const CLI::App* sub : app.get_subcommands({}))
        list += (list.empty() ? "" : ", ") + sub->get_name();
    return list;
}

// "Global options (before or after the command): ..." for each subcommand's help.
std::string GlobalOptionsText(CLI::App& app)
{
    std::string text = "Global options (before or after the command):\n";
    for (const CLI::Option* opt : app.get_options()) {
        const std::string name = opt->get_name(false, true);
        if (name.find("--help") != std::string::npos || name.find("--version") != std::string::npos)
            continue;
        std::string head =
            "  " + name +
            (opt->get_type_name().empty() || opt->get_expected_min() == 0 ? "" : " " + opt->get_type_name());
        head.resize(std::max<size_t>(head.size() + 1, 22), ' ');
        text += head + opt->get_description() + "\n";
    }
    return text + "Exit codes: see kazmir --help.";
}

void AddGlobalOptions(CommandLine& c)
{
    CLI::App& app = c.app;
    app.require_subcommand(1, 1);
    app.set_version_flag("--version", KAZMIR_VERSION);
    app.footer("Exit codes:\n" + ExitCodeHelp() + HELP_NOTES);
    auto* deviceOpt = app.add_option("--device", c.device,
                                     "the board with this device id, as `bench show` lists it; ids change with "
                                     "every restart of a board, so the id an earlier run printed is gone: "
                                     "--serial is the steady choice; default: the first board found")
                          ->type_name("ID");
    auto* serialOpt = app.add_option("--serial", c.serials,
                                     "the board with this serial number (exact); program, verify and erase take "
                                     "it more than once, one process per board")
                          ->type_name("TEXT")
                          ->expected(1)
                          ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    deviceOpt->excludes(serialOpt);
    app.add_option("--timeout", c.options.timeout,
                   "how long to wait for the board to come back from each restart, in ms (default 5000)")
        ->type_name("MS")
        ->check(FromOne(NO_TIME));
    app.add_option("--wait", c.options.wait, "BGI: how long to wait for a message or for room, in ms (default 1000)")
        ->type_name("MS")
        ->check(FromOne(NO_TIME));
    c.benchOpt = app.add_option("--bench", c.options.bench, "virtual bench: a JSON bench description, or \"default\"")
                     ->type_name("FILE");
    app.add_flag("--json", c.json, "print one JSON object per event on stdout, ending with a summary");
    auto* quietOpt = app.add_flag("-q,--quiet", c.quiet, "print only the result");
    app.add_flag("-v,--verbose", c.verbose, "also print the library's messages and trace lines")->excludes(quietOpt);
    app.add_flag("--plain", c.plain, "plain lines instead of progress bars, also on a terminal");
#if KAZMIR_CLI_RUNLOG
    auto* noLog = app.add_flag("--no-log", c.line.log.off, "program, verify, erase: add no row to the run log");
    app.add_option("--log", c.line.log.target,
                   "the run log: an SQLite file, or postgresql://... (default: runs.sqlite in the state folder)")
        ->type_name("FILE|URI")
        ->excludes(noLog);
    app.add_option("--station", c.line.log.station, "the station the log's rows name (default: the host name)")
        ->type_name("NAME");
    app.add_flag("--require-log", c.line.log.required, "a run whose row cannot be logged fails (exit 1)")
        ->excludes(noLog);
#endif
}

// The table's commands, each under its group ("bgi send"); many boards for
// the batch commands: one child process per board, at most --jobs at once.
void AddCommands(CommandLine& c)
{
    std::map<std::string, CLI::App*> groups;
    for (const Command& command : Commands()) {
        const std::string name = command.name, group = GroupOf(name);
        CLI::App* parent = &c.app;
        if (!group.empty()) {
            CLI::App*& made = groups[group];
            if (made == nullptr) {
                made = c.app.add_subcommand(group, GroupHelp(group));
                made->require_subcommand(1, 1);
            }
            parent = made;
        }
        CLI::App* sub = parent->add_subcommand(group.empty() ? name : name.substr(group.size() + 1), command.help);
        if (command.addOptions != nullptr)
            command.addOptions(*sub, c);
        sub->callback([&c, &command] {
            c.chosen = &command;
            c.run = [&c, &command](CSession& s) { return command.run(s, c); };
        });
        if (!command.batch)
            continue;
        // erase --all is every sector of one flash; every board is --all-boards there.
        sub->add_flag(name == "erase" ? "--all-boards" : "--all", c.allBoards,
                      "every board of the virtual bench (bench only: the library offers no listing of real boards)");
        sub->add_option("--jobs", c.jobs, "with several boards: at most N at once (default: all of them)")
            ->type_name("N")
            ->check(FromOne(NO_COUNT));
#if KAZMIR_CLI_RUNLOG
        sub->add_option("--junit", c.line.junit, "write a JUnit XML report: one test case per board")
            ->type_name("FILE");
        sub->add_option("--csv", c.line.csv, "write a CSV report: one row per board, the log's columns")
            ->type_name("FILE");
#endif
    }
}

// Global options go before or after the command; each command's help lists
// them in brief, the exit codes only in kazmir --help.
void ShareGlobalOptions(CommandLine& c)
{
    const std::string footer = GlobalOptionsText(c.app);
    for (CLI::App* sub : c.app.get_subcommands({})) {
        sub->fallthrough();
        sub->footer(footer);
        for (CLI::App* inner : sub->get_subcommands({})) {
            inner->fallthrough();
            inner->footer(footer);
        }
    }
}

// Says why the command line is refused; the usage exit code.
int Refuse(int argc, char** argv, const std::string& message)
{
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return JsonUsageSummary(argc, argv, message);
}

// The command named on the line: "program", "bgi send"; "" before one is.
std::string CommandName(CLI::App& app)
{
    std::string name;
    for (const CLI::App* sub = &app; !sub->get_subcommands().empty();) {
        sub = sub->get_subcommands().front();
        name += (name.empty() ? "" : " ") + sub->get_name();
    }
    return name;
}

// What the parser found wrong, in kazmir's words.
std::string ParseErrorText(CommandLine& c, const CLI::ParseError& e)
{
    const std::string what = e.what();
    // The kind by its exit code: the name is the command's for some kinds.
    auto is = [&](CLI::ExitCodes kind) { return e.get_exit_code() == static_cast<int>(kind); };
    const std::string command = CommandName(c.app);
    const std::string help = command.empty() ? " (see kazmir --help)" : " (see kazmir " + command + " --help)";
    if (is(CLI::ExitCodes::ArgumentMismatch) || is(CLI::ExitCodes::RequiredError)) {
        // "--timeout: 1 required MS missing", "FILE is required"
        const std::string option = what.substr(0, what.find_first_of(": "));
        if (!option.empty() && option[0] == '-')
            return option + " needs a value" + help;
        if (option == "FILE")
            return command + " needs an image file" + help;
        if (option == "TEXT" || option == "MODE")
            return command + " needs its " + option + help;
    }
    if (is(CLI::ExitCodes::ExtrasError)) {
        // "The following argument was not expected: X" (or arguments, and more words)
        std::string first;
        std::istringstream(what.substr(what.find(':') + 1)) >> first;
        if (!first.empty() && first[0] == '-')
            return "unknown option " + first + help;
        if (command == "program" || command == "verify" || command == "info")
            return command + " takes one image file; \"" + first + "\" is one too many" + help;
        return "\"" + first + "\" is not expected" + (command.empty() ? "" : " after " + command) + help;
    }
    if (is(CLI::ExitCodes::ExcludesError)) {
        // "--quiet excludes --verbose"
        const size_t at = what.find(" excludes ");
        if (at != std::string::npos)
            return what.substr(0, at) + " and " + what.substr(at + 10) + " cannot be given together";
    }
    if (is(CLI::ExitCodes::ValidationError) || is(CLI::ExitCodes::ConversionError))
        return what; // the validators' own words, after the option's name
    return what + help;
}

// Parses the command line into c; the exit code when the run ends here (help,
// version, a refused command line).
std::optional<int> Parse(CommandLine& c, int argc, char** argv)
{
    try {
        c.app.parse(argc, argv);
    } catch (const CLI::Success& e) {
        return c.app.exit(e);
    } catch (const CLI::ParseError& e) {
        // A word where a command belongs is named, rather than "a subcommand is required".
        if (c.app.get_subcommands().empty()) {
            for (const std::string& word : c.app.remaining()) {
                if (word.empty() || word[0] == '-')
                    continue;
                return Refuse(argc, argv,
                              "unknown command \"" + word + "\"; the commands are " + CommandList(c.app) +
                                  " (see kazmir --help)");
            }
            return Refuse(argc, argv,
                          "no command given; the commands are " + CommandList(c.app) + " (see kazmir --help)");
        }
        return Refuse(argc, argv, ParseErrorText(c, e));
    }
    if (!c.device.empty()) {
        c.options.deviceId = ParseNumber(c.device);
        if (!c.options.deviceId)
            return Refuse(argc, argv,
                          "--device " + c.device + ": a device id is a number (decimal, or hexadecimal with 0x)");
    }
    if (!c.baseText.empty()) {
        const auto base = ParseNumber(c.baseText);
        if (!base || *base > 0xFFFFFFFFu)
            return Refuse(argc, argv,
                          "--base " + c.baseText +
                              ": an address is a number below 4 GiB (decimal, or hexadecimal with 0x)");
        c.options.base = static_cast<uint32_t>(*base);
    }
    c.options.benchGiven = c.benchOpt->count() > 0;
    if (c.serials.size() == 1)
        c.options.serial = c.serials.front();
    if (c.serials.size() > 1 && !(c.chosen != nullptr && c.chosen->batch))
        return Refuse(argc, argv, "--serial more than once works with program, verify and erase only");
    if (c.allBoards && (!c.serials.empty() || !c.device.empty()))
        return Refuse(argc, argv, "--all takes every board; give no --serial or --device with it");
    return std::nullopt;
}

// Bars on a terminal that can show them, plain lines elsewhere, or JSON.
COutput::Mode OutputMode(const CommandLine& c)
{
    if (c.json)
        return COutput::Mode::Json;
    const bool terminal = isatty(fileno(stderr)) != 0;
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string(term) == "dumb";
    return terminal && !c.plain && !dumb ? COutput::Mode::Bars : COutput::Mode::Plain;
}

// Several boards: kazmir runs itself once per board.
int RunOnBoards(const CommandLine& c, int argc, char** argv, COutput& out)
{
    BatchRequest request;
    request.command = c.chosen->name;
    request.done = c.chosen->done;
    request.file = request.command == "erase" ? "" : c.file;
    request.serials = c.serials;
    request.jobs = c.jobs;
    request.self = SelfPath(argv[0]);
    request.childArgs = ChildArguments(argc, argv, request.command == "erase" ? "--all-boards" : "--all");
#if KAZMIR_CLI_RUNLOG
    request.childArgs = kzlog::WithoutReports(request.childArgs);
#endif
    request.bench = BenchFile(c.options.bench);
    std::string error;
    if (c.allBoards && !BenchSerials(c.options.bench, request.serials, error))
        return Refuse(argc, argv, "--all: " + error);
    return RunBatch(request, OutputMode(c), out.GetDetail(), out);
}

// What kazmir reads from its environment, for the manual page.
const std::vector<std::pair<std::string, std::string>> ENVIRONMENT = {
    {"KAZSIM_BENCH", "the virtual bench's description (a JSON file) when --bench is not given"},
    {"KAZMIR_STATE_DIR", "the state folder: the default bench's flash and the run log (runs.sqlite)"},
    {"XDG_STATE_HOME, HOME", "without KAZMIR_STATE_DIR the state folder is $XDG_STATE_HOME/kazmir, else "
                             "~/.local/state/kazmir; without HOME a private kazmir-state-UID in the temporary folder"},
    {"TMPDIR", "where converted, stamped and erase images are made, each in a private folder of its own"},
    {"KAZSIM_TRACE", "1: the virtual bench prints every call into the driver, Setup API and device server to "
                     "standard error, with its board, result and detail"},
    {"TERM, COLUMNS", "TERM=dumb gives plain lines instead of bars; COLUMNS the width of the bars when the "
                      "terminal does not tell"},
    {"LC_ALL, LC_CTYPE, LANG", "a UTF-8 locale draws the bars with block characters, any other with # and -"},
    {"PGHOST, PGPASSWORD, ...", "a postgresql:// run log reads libpq's variables"},
};

} // namespace

int main(int argc, char** argv)
{
    kzsupport::PrepareHeap();
    CommandLine c;
    AddGlobalOptions(c);
    AddCommands(c);
#if KAZMIR_CLI_RUNLOG
    AddLogCommands(c.app, c.run, c.json, c.serials, c.line.log);
#endif
    ShareGlobalOptions(c);
    // The manual page, made at build time from this same command line.
    if (argc == 2 && std::string(argv[1]) == "--man-page") {
        std::vector<kzsupport::ManItem> exits;
        for (uint32_t i = 0; const Kind* kind = KindAt(i); ++i)
            exits.push_back({std::to_string(kind->exitCode) + " (" + kind->name + ")", kind->meaning});
        std::fputs(kzsupport::ManPage(c.app, KAZMIR_VERSION, exits, ENVIRONMENT, HELP_NOTES).c_str(), stdout);
        return 0;
    }
    if (std::optional<int> refused = Parse(c, argc, argv))
        return *refused;

    const COutput::Detail detail = c.quiet     ? COutput::Detail::Quiet
                                   : c.verbose ? COutput::Detail::Verbose
                                               : COutput::Detail::Normal;
    COutput out(OutputMode(c), detail, stdout, stderr, Utf8Locale());
#if KAZMIR_CLI_RUNLOG
    kzlog::CLineRecord line(c.line, LineHostOf(out));
    if (auto refused = line.Configure())
        return Refuse(argc, argv, *refused);
    const bool boardCommand = c.chosen != nullptr && c.chosen->batch;
    if (c.allBoards || c.serials.size() > 1) {
        out.SetSummaryHook([&line](Json& summary) { line.OnBatchSummary(summary); });
        return RunOnBoards(c, argc, argv, out);
    }
    if (boardCommand) {
        line.Begin(c.options.serial);
        out.SetSummaryHook([&line](Json& summary) { line.OnSummary(summary); });
    }
#else
    if (c.allBoards || c.serials.size() > 1)
        return RunOnBoards(c, argc, argv, out);
#endif
    CSession host(c.options, out);
    host.CatchSignals();
#if KAZMIR_CLI_RUNLOG
    host.SetImageHook([&line](const std::string& command, const std::string& file, const std::string& libraryPath,
                              std::string& usePath) { return line.PrepareImage(command, file, libraryPath, usePath); },
                      [&line](const ImageAnalysis& image) { line.ImageChecked(image); });
#endif
    try {
#if KAZMIR_CLI_RUNLOG
        return line.ExitCode(c.run(host));
#else
        return c.run(host);
#endif
    } catch (const std::exception& e) {
        return host.InternalError(std::string("internal error: ") + e.what());
    }
}
