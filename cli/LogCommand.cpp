#include "LogCommand.h"

#include <cstdio>
#include <memory>

#include "Format.h"
#include "Session.h"
#include "Report.h"
#include "RunLog.h"

namespace kzcli {

namespace {

struct LogOptions {
    std::string since, image;
    bool failed = false, csv = false;
    uint64_t limit = 0;
    std::string counter, setText; // counter NAME [--set VALUE]
};

// The log the command reads: --log, else the one in the state folder.
std::unique_ptr<kzlog::CRunLog> OpenLog(const std::string& target)
{
    std::string path = target;
#if KAZMIR_CLI_BENCH
    if (path.empty())
        path = kzlog::DefaultLogPath(kazsim::StateDir());
#endif
    if (path.empty()) {
        std::fprintf(stderr, "error: give the log with --log FILE or --log postgresql://...\n");
        return nullptr;
    }
    std::string error;
    auto log = kzlog::CRunLog::Open(path, error);
    if (!log)
        std::fprintf(stderr, "error: %s\n", error.c_str());
    return log;
}

int Fail(const std::string& message, int code)
{
    std::fprintf(stderr, "error: %s\n", message.c_str());
    return code;
}

int ListRuns(const LogOptions& o, const std::string& target, bool json, const std::vector<std::string>& serials)
{
    kzlog::LogFilter filter;
    filter.serial = serials.empty() ? "" : serials.front();
    filter.failed = o.failed;
    filter.limit = o.limit;
    std::string error;
    if (!o.since.empty()) {
        const auto since = kzlog::ParseSince(o.since, error);
        if (!since)
            return Fail(error, EXIT_USAGE);
        filter.since = *since;
    }
    if (!o.image.empty()) {
        if (auto bad = kzlog::SetImageFilter(o.image, filter))
            return Fail(*bad, EXIT_USAGE);
    }
    auto log = OpenLog(target);
    if (!log)
        return EXIT_FAILURE_;
    std::vector<kzlog::RunRecord> rows;
    if (auto failed = log->Query(filter, rows))
        return Fail("cannot read the " + log->Describe() + ": " + *failed, EXIT_FAILURE_);
    const auto form = json ? kzlog::ListForm::JsonLines : o.csv ? kzlog::ListForm::Csv : kzlog::ListForm::Table;
    std::fputs(kzlog::ListText(rows, form).c_str(), stdout);
    return EXIT_OK;
}

int Counter(const LogOptions& o, const std::string& target, bool json)
{
    auto log = OpenLog(target);
    if (!log)
        return EXIT_FAILURE_;
    std::vector<std::pair<std::string, uint64_t>> counters;
    if (o.counter.empty()) {
        if (auto failed = log->ListCounters(counters))
            return Fail(*failed, EXIT_FAILURE_);
    } else {
        if (!o.setText.empty()) {
            const auto value = ParseNumber(o.setText);
            if (!value)
                return Fail("--set " + o.setText + ": a counter value is a whole number (decimal, or hexadecimal " +
                                "with 0x)",
                            EXIT_USAGE);
            if (auto failed = log->SetCounter(o.counter, *value))
                return Fail(*failed, EXIT_USAGE);
        }
        std::optional<uint64_t> next;
        if (auto failed = log->GetCounter(o.counter, next))
            return Fail(*failed, EXIT_USAGE);
        if (!next) {
            std::fputs(kzlog::CounterText(o.counter, next, json).c_str(), stdout);
            return Fail("counter " + o.counter + " is not set: start it with `kazmir counter " + o.counter +
                            " --set VALUE`",
                        EXIT_FAILURE_);
        }
        counters.emplace_back(o.counter, *next);
    }
    for (const auto& [name, next] : counters)
        std::fputs(kzlog::CounterText(name, next, json).c_str(), stdout);
    return EXIT_OK;
}

} // namespace

void AddLogCommands(CLI::App& app, std::function<int(CSession&)>& run, const bool& json,
                    const std::vector<std::string>& serials, const kzlog::LogSettings& settings)
{
    auto o = std::make_shared<LogOptions>();

    auto* log = app.add_subcommand("log", "list the runs of the log, newest first (--serial: one board's)");
    log->add_option("--since", o->since, "runs from this UTC time on: 2024-05-07, 2024-05-07T09:15, or 7d, 12h")
        ->type_name("TIME");
    log->add_option("--image", o->image, "runs of this image: its file (path or content) or its SHA-256")
        ->type_name("FILE|SHA256");
    log->add_flag("--failed", o->failed, "only runs that failed");
    log->add_option("--limit", o->limit, "at most N runs")->type_name("N");
    log->add_flag("--csv", o->csv, "CSV instead of a table (--json: one JSON object per run)");
    log->callback([&run, o, &json, &serials, &settings] {
        run = [o, &json, &serials, &settings](CSession&) { return ListRuns(*o, settings.target, json, serials); };
    });

    auto* counter = app.add_subcommand("counter", "show the log's counters, or one counter; set it with --set");
    counter->add_option("NAME", o->counter, "the counter (stamps take values with counter:NAME)");
    counter->add_option("--set", o->setText, "the value the counter gives next")->type_name("VALUE");
    counter->callback([&run, o, &json, &settings] {
        run = [o, &json, &settings](CSession&) { return Counter(*o, settings.target, json); };
    });
}

} // namespace kzcli
