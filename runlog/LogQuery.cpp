#include "LogQuery.h"

#include <memory>

#include "Report.h"
#include "ResultText.h"
#include "RunLog.h"

namespace kzlog {

namespace {

using kzhost::EXIT_FAILURE_;
using kzhost::EXIT_OK;
using kzhost::EXIT_USAGE;

int Fail(FILE* err, const std::string& message, int code)
{
    std::fprintf(err, "error: %s\n", message.c_str());
    return code;
}

std::unique_ptr<CRunLog> OpenLog(const LogAccess& access, FILE* err)
{
    std::string target = access.target;
    if (target.empty() && !access.stateDir.empty())
        target = DefaultLogPath(access.stateDir);
    if (target.empty()) {
        Fail(err, "give the log with --log FILE or --log postgresql://...", EXIT_FAILURE_);
        return nullptr;
    }
    std::string error;
    auto log = CRunLog::Open(target, error);
    if (!log)
        Fail(err, error, EXIT_FAILURE_);
    return log;
}

} // namespace

int ListRuns(const LogAccess& access, const RunQuery& query, FILE* out, FILE* err)
{
    LogFilter filter;
    filter.serial = query.serial;
    filter.failed = query.failed;
    filter.limit = query.limit;
    std::string error;
    if (!query.since.empty()) {
        const auto since = ParseSince(query.since, error);
        if (!since)
            return Fail(err, error, EXIT_USAGE);
        filter.since = *since;
    }
    if (!query.image.empty())
        if (auto bad = SetImageFilter(query.image, filter))
            return Fail(err, *bad, EXIT_USAGE);
    auto log = OpenLog(access, err);
    if (!log)
        return EXIT_FAILURE_;
    std::vector<RunRecord> rows;
    if (auto failed = log->Query(filter, rows))
        return Fail(err, "cannot read the " + log->Describe() + ": " + *failed, EXIT_FAILURE_);
    const auto form = access.json ? ListForm::JsonLines : query.csv ? ListForm::Csv : ListForm::Table;
    std::fputs(ListText(rows, form).c_str(), out);
    return EXIT_OK;
}

int ShowCounters(const LogAccess& access, const std::string& name, const std::string& setText, FILE* out, FILE* err)
{
    auto log = OpenLog(access, err);
    if (!log)
        return EXIT_FAILURE_;
    std::vector<std::pair<std::string, uint64_t>> counters;
    if (name.empty()) {
        if (auto failed = log->ListCounters(counters))
            return Fail(err, *failed, EXIT_FAILURE_);
    } else {
        if (!setText.empty()) {
            const auto value = ParseUnsigned(setText);
            if (!value)
                return Fail(
                    err, "--set " + setText + ": a counter value is a whole number (decimal, or hexadecimal with 0x)",
                    EXIT_USAGE);
            if (auto failed = log->SetCounter(name, *value))
                return Fail(err, *failed, EXIT_USAGE);
        }
        std::optional<uint64_t> next;
        if (auto failed = log->GetCounter(name, next))
            return Fail(err, *failed, EXIT_USAGE);
        if (!next) {
            std::fputs(CounterText(name, next, access.json).c_str(), out);
            return Fail(err, CounterNotSet(name), EXIT_FAILURE_);
        }
        counters.emplace_back(name, *next);
    }
    for (const auto& [counter, next] : counters)
        std::fputs(CounterText(counter, next, access.json).c_str(), out);
    return EXIT_OK;
}

} // namespace kzlog
