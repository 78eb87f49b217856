// The run log in SQLite: processes that write and take counter values at
// once, the filters of `kazmir log`, counters, what a host is told when the
// log cannot be written, and a host's line record and log commands.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>
#include <sys/stat.h>

#include "Digest.h"
#include "ImageCheck.h"
#include "LineRecord.h"
#include "LogQuery.h"
#include "RunLog.h"
#include "RunlogSupport.h"

using namespace kzlog;
using runlogtest::Row;
using runlogtest::TempDir;

namespace {

// Batch children open one new log at once (each creating the tables and
// switching to WAL), take counter values and write a row per value: no row
// is lost and no value is given twice.
TEST(SqliteLog, ConcurrentProcessesLoseNoRowAndShareNoCounterValue)
{
    TempDir dir;
    const std::string path = dir.File("runs.sqlite");
    constexpr int CHILDREN = 6, EACH = 25;
    ASSERT_TRUE(runlogtest::TakeValuesAtOnce(
        path, CHILDREN, EACH, [](int child, int) { return Row("KZ" + std::to_string(child), UtcNow()); }));
    std::string error;
    auto log = CRunLog::Open(path, error);
    ASSERT_TRUE(log) << error;
    std::vector<RunRecord> rows;
    ASSERT_FALSE(log->Query({}, rows));
    ASSERT_EQ(rows.size(), size_t{CHILDREN * EACH});
    runlogtest::ExpectValuesOnce(rows, CHILDREN * EACH);
    std::optional<uint64_t> next;
    ASSERT_FALSE(log->GetCounter("units", next));
    EXPECT_EQ(next, 1000u + CHILDREN * EACH);

    // Children that find no log yet all create it at once.
    const std::string fresh = dir.File("fresh.sqlite");
    ASSERT_TRUE(runlogtest::RunChildren(CHILDREN, [&](int child) {
        std::string error;
        auto log = CRunLog::Open(fresh, error);
        return log && !log->Append(Row("KZ" + std::to_string(child), UtcNow()));
    }));
    log = CRunLog::Open(fresh, error);
    ASSERT_TRUE(log) << error;
    ASSERT_FALSE(log->Query({}, rows));
    EXPECT_EQ(rows.size(), size_t{CHILDREN});
}

TEST(SqliteLog, FiltersRowsNewestFirst)
{
    TempDir dir;
    const std::string image = dir.File("app.hex", ":00000001FF\n");
    std::string error;
    const std::string digest = DigestFile(image, error)->sha256;
    auto log = CRunLog::Open(dir.File("runs.sqlite"), error);
    ASSERT_TRUE(log) << error;

    std::vector<RunRecord> rows = {Row("KZ1", "2024-05-01T08:00:00.000Z"), Row("KZ2", "2024-05-02T08:00:00.000Z", 6),
                                   Row("KZ1", "2024-05-03T08:00:00.000Z"), Row("KZ3", "2024-05-03T08:00:00.000Z", 3),
                                   Row("KZ2", "2024-05-04T08:00:00.000Z")};
    rows[2].image = AbsolutePath(image);
    rows[2].imageSha256 = "0000";
    rows[4].image = "/elsewhere/copy.hex";
    rows[4].imageSha256 = digest;
    rows[4].stamps = {{0x7F00, "text4", "csv:/x.csv", "A,\"B", {'A', ',', '"', 'B'}}};
    for (const RunRecord& r : rows)
        ASSERT_FALSE(log->Append(r));

    auto filter = [](auto set) {
        LogFilter f;
        set(f);
        return f;
    };
    struct Case {
        const char* name;
        LogFilter filter;
        std::vector<int> rows; // indexes into rows, in the order expected
    };
    const Case cases[] = {
        {"all, newest first (same time: later row first)", {}, {4, 3, 2, 1, 0}},
        {"serial", filter([](LogFilter& f) { f.serial = "KZ1"; }), {2, 0}},
        {"since", filter([](LogFilter& f) { f.since = "2024-05-03T08:00:00.000Z"; }), {4, 3, 2}},
        {"failed", filter([](LogFilter& f) { f.failed = true; }), {3, 1}},
        {"image by path or by content", filter([&](LogFilter& f) { SetImageFilter(image, f); }), {4, 2}},
        {"image by digest", filter([&](LogFilter& f) { SetImageFilter(std::string(64, 'A'), f); }), {3, 1, 0}},
        {"all conditions",
         filter([](LogFilter& f) {
             f.serial = "KZ2";
             f.failed = true;
             f.since = "2024-05-03";
         }),
         {}},
        {"limit", filter([](LogFilter& f) { f.limit = 2; }), {4, 3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<RunRecord> got;
        ASSERT_FALSE(log->Query(c.filter, got));
        std::vector<std::string> want, seen;
        for (int i : c.rows)
            want.push_back(rows[i].serial + "@" + rows[i].started);
        for (const RunRecord& r : got)
            seen.push_back(r.serial + "@" + r.started);
        EXPECT_EQ(seen, want);
    }

    // Every column comes back as it went in.
    std::vector<RunRecord> got;
    ASSERT_FALSE(log->Query({}, got));
    RunRecord back = got.at(0);
    EXPECT_GT(back.id, 0);
    back.id = 0;
    EXPECT_EQ(ToJson(back), ToJson(rows[4]));
}

TEST(SqliteLog, CountersAreSetBeforeUseAndNeverPassTheirLastValue)
{
    TempDir dir;
    std::string error;
    auto log = CRunLog::Open(dir.File("runs.sqlite"), error);
    ASSERT_TRUE(log) << error;
    uint64_t value = 0;
    auto refusal = log->NextValue("units", value);
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find("kazmir counter units --set VALUE"), std::string::npos) << *refusal;
    EXPECT_TRUE(log->SetCounter("bad name", 1));
    EXPECT_TRUE(log->SetCounter("units", COUNTER_MAX + 1));

    ASSERT_FALSE(log->SetCounter("units", 7));
    ASSERT_FALSE(log->SetCounter("other", 1));
    ASSERT_FALSE(log->NextValue("units", value));
    EXPECT_EQ(value, 7u);
    ASSERT_FALSE(log->NextValue("units", value));
    EXPECT_EQ(value, 8u);
    std::vector<std::pair<std::string, uint64_t>> all;
    ASSERT_FALSE(log->ListCounters(all));
    EXPECT_EQ(all, (std::vector<std::pair<std::string, uint64_t>>{{"other", 1}, {"units", 9}}));

    ASSERT_FALSE(log->SetCounter("units", COUNTER_MAX - 1));
    ASSERT_FALSE(log->NextValue("units", value));
    EXPECT_EQ(value, COUNTER_MAX - 1);
    refusal = log->NextValue("units", value);
    ASSERT_TRUE(refusal);
    EXPECT_NE(refusal->find("has given its last value"), std::string::npos) << *refusal;
}

TEST(SqliteLog, ParsesSinceInEveryFormAndRefusesTheRest)
{
    // Each text and the time it stands for; "~" for a time relative to now.
    const char* const accepted[][2] = {{"2024-05-07", "2024-05-07T00:00:00.000Z"},
                                       {"2024-05-07T09:15", "2024-05-07T09:15:00.000Z"},
                                       {"2024-05-07 09:15:02", "2024-05-07T09:15:02.000Z"},
                                       {"2024-05-07T09:15:02Z", "2024-05-07T09:15:02.000Z"},
                                       {"2024-02-29", "2024-02-29T00:00:00.000Z"},
                                       {"7d", "~"},
                                       {"12h", "~"}};
    for (const auto& [text, want] : accepted) {
        std::string error;
        const auto since = ParseSince(text, error);
        ASSERT_TRUE(since) << text << ": " << error;
        EXPECT_TRUE(*want != '~' ? *since == want : *since < UtcNow() && since->size() == 24u)
            << text << ": " << *since;
    }
    for (const char* text :
         {"2024-02-30", "2023-02-29", "2024-05-07T24:00", "2024-5-7", "2024-05-07T09", "yesterday", "7y", "d", ""}) {
        std::string error;
        EXPECT_FALSE(ParseSince(text, error)) << text;
        EXPECT_NE(error.find("2024-05-07T09:15"), std::string::npos) << error;
    }
    std::string error;
    EXPECT_LT(*ParseSince("8d", error), *ParseSince("7d", error));
}

TEST(SqliteLog, RecordRunWarnsWhenTheLogCannotBeWritten)
{
    TempDir dir;
    LogSettings settings;
    ASSERT_FALSE(RecordRun(settings, dir.path + "/state", Row("KZ1", UtcNow())));
    std::string error;
    auto log = CRunLog::Open(DefaultLogPath(dir.path + "/state"), error);
    ASSERT_TRUE(log) << error;
    std::vector<RunRecord> rows;
    ASSERT_FALSE(log->Query({}, rows));
    ASSERT_EQ(rows.size(), 1u);

    // A station of the log's own when the row names none.
    settings.station = "line-3";
    RunRecord unnamed = Row("KZ2", UtcNow());
    unnamed.station.clear();
    ASSERT_FALSE(RecordRun(settings, dir.path + "/state", unnamed));
    ASSERT_FALSE(log->Query({}, rows));
    EXPECT_EQ(rows.at(0).station, "line-3");

    settings.off = true;
    settings.target = dir.path; // a folder: no database could be opened there
    EXPECT_FALSE(RecordRun(settings, dir.path, Row("KZ3", UtcNow())));
    settings.off = false;
    auto warning = RecordRun(settings, dir.path, Row("KZ3", UtcNow()));
    ASSERT_TRUE(warning);
    EXPECT_NE(warning->find("the run of board KZ3 is not logged"), std::string::npos) << *warning;

    settings.target = dir.File("not-a-database", std::string(4096, 'x'));
    warning = RecordRun(settings, dir.path, Row("KZ3", UtcNow()));
    ASSERT_TRUE(warning);
    EXPECT_NE(warning->find("not-a-database"), std::string::npos) << *warning;
}

// A log command's exit code, output and errors.
struct Printed {
    int code;
    std::string out, err;
};
Printed Capture(const std::function<int(FILE*, FILE*)>& command)
{
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    auto text = [](FILE* f) {
        std::string s;
        std::rewind(f);
        for (int c; (c = std::fgetc(f)) != EOF;)
            s += static_cast<char>(c);
        std::fclose(f);
        return s;
    };
    const int code = command(out, err);
    return {code, text(out), text(err)};
}

TEST(LogQuery, ListsTheRunsAskedForAndSaysWhyNot)
{
    TempDir dir;
    const std::string path = dir.File("runs.sqlite");
    std::string error;
    auto log = CRunLog::Open(path, error);
    ASSERT_TRUE(log) << error;
    for (const RunRecord& r : {Row("KZ1", "2024-05-01T08:00:00.000Z"), Row("KZ2", "2024-05-02T08:00:00.000Z", 6),
                               Row("KZ3", "2024-05-03T08:00:00.000Z")})
        ASSERT_FALSE(log->Append(r));
    const LogAccess json{path, "", true}, table{path, "", false};
    auto query = [](auto set) {
        RunQuery q;
        set(q);
        return q;
    };
    const struct {
        const char* name;
        LogAccess access;
        RunQuery query;
        int code;
        const char* out; // the serials of the JSON lines, or the output's start
        const char* err;
    } cases[] = {
        {"all", json, {}, 0, "KZ3 KZ2 KZ1 ", ""},
        {"serial", json, query([](RunQuery& q) { q.serial = "KZ2"; }), 0, "KZ2 ", ""},
        {"failed", json, query([](RunQuery& q) { q.failed = true; }), 0, "KZ2 ", ""},
        {"limit", json, query([](RunQuery& q) { q.limit = 2; }), 0, "KZ3 KZ2 ", ""},
        {"since", json, query([](RunQuery& q) { q.since = "2024-05-02"; }), 0, "KZ3 KZ2 ", ""},
        {"another image", json, query([](RunQuery& q) { q.image = std::string(64, 'b'); }), 0, "", ""},
        {"csv", table, query([](RunQuery& q) { q.csv = true; }), 0, "time,ended,station,serial", ""},
        {"table", table, {}, 0, "Time (UTC) ", ""},
        {"a time it cannot read", json, query([](RunQuery& q) { q.since = "soon"; }), 2, "", "error: "},
        {"no log given", {"", "", false}, {}, 1, "", "error: give the log with --log"},
        {"the default log", {"", dir.path + "/state", true}, {}, 0, "", ""},
        {"a log that cannot be opened", {dir.path, "", true}, {}, 1, "", "error: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Printed p = Capture([&](FILE* out, FILE* err) { return ListRuns(c.access, c.query, out, err); });
        EXPECT_EQ(p.code, c.code) << p.err;
        std::string out = p.out;
        if (c.access.json && c.code == 0) {
            out.clear();
            std::istringstream lines(p.out);
            for (std::string line; std::getline(lines, line);)
                out += Json::parse(line).value("serial", "?") + " ";
        }
        EXPECT_EQ(out.substr(0, std::string(c.out).size()), c.out) << p.out;
        EXPECT_EQ(p.err.rfind(c.err, 0), 0u) << p.err;
    }
}

TEST(LogQuery, ShowsAndSetsCountersInTurn)
{
    TempDir dir;
    const struct {
        const char* name;
        const char* set;
        bool json;
        int code;
        const char* out;
        const char* err;
    } steps[] = {
        {"units", "", true, 1, "{\"counter\":\"units\",\"next\":null}\n",
         "error: counter units is not set: start it with `kazmir counter units --set VALUE`\n"},
        {"units", "abc", false, 2, "",
         "error: --set abc: a counter value is a whole number (decimal, or hexadecimal with 0x)\n"},
        {"units", "0x10", false, 0, "units: next value 16\n", ""},
        {"bad name", "1", false, 2, "", "error: \"bad name\" is no counter name"},
        {"serial", "7", true, 0, "{\"counter\":\"serial\",\"next\":7}\n", ""},
        {"", "", false, 0, "serial: next value 7\nunits: next value 16\n", ""},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(std::string(s.name) + " " + s.set);
        const LogAccess access{"", dir.path, s.json};
        const Printed p = Capture([&](FILE* out, FILE* err) { return ShowCounters(access, s.name, s.set, out, err); });
        EXPECT_EQ(p.code, s.code);
        EXPECT_EQ(p.out, s.out);
        EXPECT_EQ(p.err.substr(0, std::string(s.err).size()), s.err);
    }
}

// A host's summary becomes the board's row: in the log, in the summary and
// in the reports. A row that --require-log needs and the log does not take
// fails a run that went well, and only such a run.
TEST(LineRecord, TheSummaryGivesTheRowTheLogAndTheReportsTake)
{
    TempDir dir;
    std::vector<std::string> warnings;
    LineSettings settings;
    settings.log.station = "line-9";
    settings.junit = dir.path + "/r.xml";
    settings.csv = dir.path + "/r.csv";
    const LineHost host{dir.path, false, [](const std::string&) {},
                        [&warnings](const std::string& w) { warnings.push_back(w); }, [](Json) {}};
    const Json summary = {{"command", "program"},
                          {"device_id", "0x0000000000000101"},
                          {"result", {{"code", "0x00000000"}, {"text", "success"}}},
                          {"exit", 0},
                          {"exit_name", "ok"},
                          {"bytes", 4096},
                          {"skipped", false}};
    CLineRecord line(settings, host);
    ASSERT_FALSE(line.Configure());
    line.Begin("KZ7");
    Json told = summary;
    line.OnSummary(told);
    EXPECT_TRUE(warnings.empty());
    EXPECT_EQ(told["run"]["serial"], "KZ7");
    EXPECT_EQ(told["run"]["station"], "line-9");
    EXPECT_EQ(told["run"]["bytes_written"], 4096);
    EXPECT_EQ(line.ExitCode(0), 0);
    std::string error;
    auto log = CRunLog::Open(DefaultLogPath(dir.path), error);
    ASSERT_TRUE(log) << error;
    std::vector<RunRecord> rows;
    ASSERT_FALSE(log->Query({}, rows));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].serial, "KZ7");
    std::ifstream xml(settings.junit), csv(settings.csv);
    std::string text((std::istreambuf_iterator<char>(xml)), {}), csvText((std::istreambuf_iterator<char>(csv)), {});
    EXPECT_NE(text.find("testcase name=\"KZ7\" classname=\"kazmir.program\""), std::string::npos) << text;
    EXPECT_NE(csvText.find(",line-9,KZ7,0x0000000000000101,"), std::string::npos) << csvText;

    settings.log.target = dir.path; // a folder: no database opens there
    settings.log.required = true;
    for (const int exit : {0, 6}) {
        CLineRecord strict(settings, host);
        strict.Begin("KZ8");
        told = summary;
        told["exit"] = exit;
        strict.OnSummary(told);
        EXPECT_EQ(told["exit"], exit == 0 ? 1 : exit);
        EXPECT_TRUE(told.contains("log_error"));
        EXPECT_EQ(strict.ExitCode(exit), exit == 0 ? 1 : exit);
        ASSERT_FALSE(warnings.empty());
        EXPECT_NE(warnings.back().find("(--require-log)"), std::string::npos) << warnings.back();
    }
    // A batch logs the boards whose own process gave no summary, and only those.
    settings.log = LogSettings{};
    CLineRecord batch(settings, host);
    const Json logged = {{"serial", "KZ9"}, {"exit", 0}, {"run", ToJson(rows[0])}};
    const Json killed = {{"serial", "KZ10"}, {"exit", 143}, {"exit_name", "terminated"}, {"result", {{"text", "x"}}}};
    batch.OnBatchSummary({{"command", "program"}, {"boards", {logged, killed}}});
    rows.clear();
    ASSERT_FALSE(log->Query({}, rows));
    ASSERT_EQ(rows.size(), 2u);
    const RunRecord& added = rows[0].serial == "KZ7" ? rows[1] : rows[0];
    EXPECT_EQ(added.serial, "KZ10");
    EXPECT_EQ(added.exitCode, 143);
    // Commands that are no rows of the log leave the summary as it was.
    Json other = {{"command", "fwinfo"}, {"exit", 0}};
    line.OnSummary(other);
    EXPECT_FALSE(other.contains("run"));
}

// The image's part of a row: the digest, taken beside the host's check, and
// the firmware record, taken from the check. A stop request's summary can
// come while the check still reads: the row then has the digest but no
// second pass over the file is made for the record. An image refused before
// its check gets the record by a look of its own.
TEST(LineRecord, TheImagePartOfTheRowComesWithTheCheck)
{
    TempDir dir;
    const std::string demo = std::string(KAZMIR_SAMPLES_DIR) + "/demo-firmware.hex";
    struct Case {
        const char* Name;
        const char* Command;
        std::vector<std::string> Stamps;
        bool Checked; // the host's check ends before the summary
        bool Refused; // PrepareImage refuses the image
        const char* FwName;
    };
    const Case CASES[] = {
        {"the check ended", "program", {}, true, false, "DEMO"},
        {"a stop while the check reads", "program", {}, false, false, ""},
        {"stamps on verify, refused before the check", "verify", {"0x10=u16le:csv:values.csv"}, false, true, "DEMO"},
    };
    std::string digest;
    for (const Case& c : CASES) {
        SCOPED_TRACE(c.Name);
        LineSettings settings;
        settings.log.off = true;
        settings.stamps = c.Stamps;
        const LineHost host{dir.path, false, [](const std::string&) {}, [](const std::string&) {}, [](Json) {}};
        CLineRecord line(settings, host);
        ASSERT_FALSE(line.Configure());
        line.Begin("KZ5");
        std::string usePath;
        EXPECT_EQ(line.PrepareImage(c.Command, demo, demo, usePath).has_value(), c.Refused);
        if (c.Checked)
            line.ImageChecked(kzhost::AnalyseImageFile(demo));
        Json summary = {{"command", c.Command}, {"exit", 1}, {"exit_name", "failure"}, {"result", {{"text", "x"}}}};
        line.OnSummary(summary);
        EXPECT_EQ(summary["run"]["fw_name"], c.FwName);
        const std::string sha = summary["run"]["image_sha256"];
        EXPECT_EQ(sha.size(), 64u);
        EXPECT_TRUE(digest.empty() || sha == digest);
        digest = sha;
        // A check that ends after the stop's summary changes nothing more.
        if (!c.Checked && !c.Refused)
            line.ImageChecked(kzhost::AnalyseImageFile(demo));
    }
}

} // namespace
