#include "LogCommand.h"

#include <cstdio>
#include <memory>

#include "LogQuery.h"
#include "Session.h"

namespace kzcli {

namespace {

struct LogOptions {
    kzlog::RunQuery runs;
    std::string counter, setText; // counter NAME [--set VALUE]
};

// The default log is the state folder's on the virtual bench; a real
// line's host names its log.
std::string LogStateDir()
{
#if KAZMIR_CLI_BENCH
    return kazsim::StateDir();
#else
    return std::string();
#endif
}

} // namespace

void AddLogCommands(CLI::App& app, std::function<int(CSession&)>& run, const bool& json,
                    const std::vector<std::string>& serials, const kzlog::LogSettings& settings)
{
    auto o = std::make_shared<LogOptions>();
    auto access = [&json, &settings] { return kzlog::LogAccess{settings.target, LogStateDir(), json}; };

    auto* log = app.add_subcommand("log", "list the runs of the log, newest first (--serial: one board's)");
    log->add_option("--since", o->runs.since, "runs from this UTC time on: 2024-05-07, 2024-05-07T09:15, or 7d, 12h")
        ->type_name("TIME");
    log->add_option("--image", o->runs.image, "runs of this image: its file (path or content) or its SHA-256")
        ->type_name("FILE|SHA256");
    log->add_flag("--failed", o->runs.failed, "only runs that failed");
    log->add_option("--limit", o->runs.limit, "at most N runs")->type_name("N");
    log->add_flag("--csv", o->runs.csv, "CSV instead of a table (--json: one JSON object per run)");
    log->callback([&run, o, access, &serials] {
        run = [o, access, &serials](CSession&) {
            o->runs.serial = serials.empty() ? "" : serials.front();
            return kzlog::ListRuns(access(), o->runs, stdout, stderr);
        };
    });

    auto* counter = app.add_subcommand("counter", "show the log's counters, or one counter; set it with --set");
    counter->add_option("NAME", o->counter, "the counter (stamps take values with counter:NAME)");
    counter->add_option("--set", o->setText, "the value the counter gives next")->type_name("VALUE");
    counter->callback([&run, o, access] {
        run = [o, access](CSession&) { return kzlog::ShowCounters(access(), o->counter, o->setText, stdout, stderr); };
    });
}

kzlog::LineHost LineHostOf(COutput& out)
{
    return {LogStateDir(), KAZMIR_CLI_BENCH != 0, [&out](const std::string& text) { out.Say(text); },
            [&out](const std::string& text) { out.Warn(text); }, [&out](Json event) { out.Event(std::move(event)); }};
}

} // namespace kzcli
