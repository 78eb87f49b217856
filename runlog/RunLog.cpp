#include "RunLog.h"

#include <cctype>
#include <charconv>
#include <cstdio>
#include <ctime>
#include <filesystem>

#include <fmt/format.h>

#include "Digest.h"

namespace kzlog {

namespace {

// The columns of kazmir_runs after id, in the order of every statement here.
const char* const RUN_COLUMNS = "started, ended, station, serial, device_id, bench, command, image, image_size, "
                                "image_sha256, fw_name, fw_version, result, exit_code, exit_name, message, "
                                "bytes_written, seconds, stamps";
constexpr size_t RUN_COLUMN_COUNT = 19;

std::string Text(const SqlValue& value)
{
    return value.value_or(std::string());
}

template <class T>
T Number(const SqlValue& value)
{
    T number{};
    if (value)
        std::from_chars(value->data(), value->data() + value->size(), number);
    return number;
}

RunRecord RowFrom(const SqlRow& r)
{
    RunRecord row;
    row.id = Number<int64_t>(r[0]);
    row.started = Text(r[1]);
    row.ended = Text(r[2]);
    row.station = Text(r[3]);
    row.serial = Text(r[4]);
    row.deviceId = Text(r[5]);
    row.bench = Number<int>(r[6]) != 0;
    row.command = Text(r[7]);
    row.image = Text(r[8]);
    row.imageSize = Number<uint64_t>(r[9]);
    row.imageSha256 = Text(r[10]);
    row.fwName = Text(r[11]);
    row.fwVersion = Text(r[12]);
    row.result = static_cast<uint32_t>(Number<int64_t>(r[13]));
    row.exitCode = Number<int>(r[14]);
    row.exitName = Text(r[15]);
    row.message = Text(r[16]);
    row.bytesWritten = Number<uint64_t>(r[17]);
    row.seconds = Number<double>(r[18]);
    std::string error;
    try {
        if (auto stamps = StampsFromJson(Json::parse(Text(r[19])), error))
            row.stamps = std::move(*stamps);
    } catch (const Json::exception&) {
        // A stamps cell that is no JSON shows as no stamps.
    }
    return row;
}

bool IsHexDigest(const std::string& text)
{
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

// Reads "NN" of the given width at text[pos]; false when they are no digits.
bool Digits(const std::string& text, size_t pos, size_t width, int& value)
{
    if (pos + width > text.size())
        return false;
    value = 0;
    for (size_t i = pos; i < pos + width; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])))
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

} // namespace

std::optional<std::string> CheckCounterName(const std::string& name)
{
    bool good = !name.empty() && name.size() <= 64;
    for (char c : name)
        good = good && (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.');
    if (good)
        return std::nullopt;
    return "\"" + name + "\" is no counter name: use up to 64 letters, digits, '_', '-' and '.'";
}

std::optional<std::string> ParseSince(const std::string& text, std::string& error)
{
    using namespace std::chrono;
    const std::string forms = "give a date and time in UTC (2024-05-07, 2024-05-07T09:15 or 2024-05-07T09:15:02) or a "
                              "span back from now (30m, 12h, 7d, 2w)";
    if (text.size() >= 2 && std::isdigit(static_cast<unsigned char>(text[0])) && text.find('-') == std::string::npos) {
        uint64_t count = 0;
        const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size() - 1, count);
        const char unit = text.back();
        const int64_t unitSeconds = unit == 'm'   ? 60
                                    : unit == 'h' ? 3600
                                    : unit == 'd' ? 86400
                                    : unit == 'w' ? 604800
                                                  : 0;
        if (ec != std::errc() || end != text.data() + text.size() - 1 || unitSeconds == 0 || count > 100000000) {
            error = "--since " + text + ": " + forms;
            return std::nullopt;
        }
        return UtcTime(system_clock::now() - seconds(static_cast<int64_t>(count) * unitSeconds));
    }
    std::string t = text;
    if (!t.empty() && (t.back() == 'Z' || t.back() == 'z'))
        t.pop_back();
    std::tm tm{};
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    bool ok = Digits(t, 0, 4, year) && t.size() >= 10 && t[4] == '-' && Digits(t, 5, 2, month) && t[7] == '-' &&
              Digits(t, 8, 2, day);
    if (ok && t.size() > 10)
        ok = (t[10] == 'T' || t[10] == 't' || t[10] == ' ') && t.size() >= 16 && Digits(t, 11, 2, hour) &&
             t[13] == ':' && Digits(t, 14, 2, minute) &&
             (t.size() == 16 || (t.size() == 19 && t[16] == ':' && Digits(t, 17, 2, second)));
    if (ok) {
        tm.tm_year = year - 1900;
        tm.tm_mon = month - 1;
        tm.tm_mday = day;
        tm.tm_hour = hour;
        tm.tm_min = minute;
        tm.tm_sec = second;
        std::tm check = tm;
        const std::time_t when = timegm(&check);
        // timegm rolls 2024-02-30 over into March: such a date is no date.
        ok = check.tm_mday == day && check.tm_mon == month - 1 && hour < 24 && minute < 60 && second < 60;
        if (ok)
            return UtcTime(system_clock::from_time_t(when));
    }
    error = "--since " + text + ": " + forms;
    return std::nullopt;
}

std::optional<std::string> SetImageFilter(const std::string& text, LogFilter& filter)
{
    if (text.empty())
        return "--image needs an image file or its SHA-256 digest";
    if (IsHexDigest(text)) {
        filter.imageSha256.clear();
        for (char c : text)
            filter.imageSha256 += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return std::nullopt;
    }
    filter.imagePath = AbsolutePath(text);
    std::string error;
    if (auto digest = DigestFile(text, error))
        filter.imageSha256 = digest->sha256;
    return std::nullopt;
}

std::vector<std::string> CRunLog::CreateStatements(const CSqlConnection& db)
{
    return {
        fmt::format("CREATE TABLE IF NOT EXISTS kazmir_runs (id {}, started TEXT NOT NULL, ended TEXT NOT NULL, "
                    "station TEXT NOT NULL, serial TEXT NOT NULL, device_id TEXT NOT NULL, bench INTEGER NOT NULL, "
                    "command TEXT NOT NULL, image TEXT NOT NULL, image_size BIGINT NOT NULL, image_sha256 TEXT NOT "
                    "NULL, fw_name TEXT NOT NULL, fw_version TEXT NOT NULL, result BIGINT NOT NULL, exit_code INTEGER "
                    "NOT NULL, exit_name TEXT NOT NULL, message TEXT NOT NULL, bytes_written BIGINT NOT NULL, seconds "
                    "DOUBLE PRECISION NOT NULL, stamps TEXT NOT NULL)",
                    db.RowIdType()),
        "CREATE INDEX IF NOT EXISTS kazmir_runs_serial ON kazmir_runs (serial)",
        "CREATE INDEX IF NOT EXISTS kazmir_runs_started ON kazmir_runs (started)",
        "CREATE INDEX IF NOT EXISTS kazmir_runs_image_sha256 ON kazmir_runs (image_sha256)",
        "CREATE TABLE IF NOT EXISTS kazmir_counters (name TEXT PRIMARY KEY, next_value BIGINT NOT NULL, "
        "updated TEXT NOT NULL)",
    };
}

std::unique_ptr<CRunLog> CRunLog::Open(const std::string& target, std::string& error)
{
    std::unique_ptr<CSqlConnection> db =
        IsPostgresUri(target) ? OpenPostgres(target, error) : OpenSqlite(target, error);
    if (!db)
        return nullptr;
    auto log = std::make_unique<CRunLog>(std::move(db));
    if (auto failed = log->Prepare()) {
        error = "cannot create the log's tables in the " + log->Describe() + ": " + *failed;
        return nullptr;
    }
    return log;
}

std::optional<std::string> CRunLog::Append(const RunRecord& row)
{
    std::string marks;
    for (size_t i = 0; i < RUN_COLUMN_COUNT; ++i)
        marks += i == 0 ? "?" : ", ?";
    const std::vector<SqlValue> values = {row.started,
                                          row.ended.empty() ? row.started : row.ended,
                                          row.station.empty() ? HostName() : row.station,
                                          row.serial,
                                          row.deviceId,
                                          std::string(row.bench ? "1" : "0"),
                                          row.command,
                                          row.image,
                                          std::to_string(row.imageSize),
                                          row.imageSha256,
                                          row.fwName,
                                          row.fwVersion,
                                          std::to_string(row.result),
                                          std::to_string(row.exitCode),
                                          row.exitName,
                                          row.message,
                                          std::to_string(row.bytesWritten),
                                          fmt::format("{}", row.seconds),
                                          StampsToJson(row.stamps).dump()};
    return m_pDb->Execute(fmt::format("INSERT INTO kazmir_runs ({}) VALUES ({})", RUN_COLUMNS, marks), values);
}

std::optional<std::string> CRunLog::Query(const LogFilter& filter, std::vector<RunRecord>& rows)
{
    std::string where;
    std::vector<SqlValue> params;
    auto add = [&where](const char* condition) {
        where += (where.empty() ? " WHERE " : " AND ") + std::string(condition);
    };
    if (!filter.serial.empty()) {
        add("serial = ?");
        params.push_back(filter.serial);
    }
    if (!filter.since.empty()) {
        add("started >= ?");
        params.push_back(filter.since);
    }
    if (!filter.imagePath.empty() && !filter.imageSha256.empty()) {
        add("(image = ? OR image_sha256 = ?)");
        params.push_back(filter.imagePath);
        params.push_back(filter.imageSha256);
    } else if (!filter.imagePath.empty()) {
        add("image = ?");
        params.push_back(filter.imagePath);
    } else if (!filter.imageSha256.empty()) {
        add("image_sha256 = ?");
        params.push_back(filter.imageSha256);
    }
    if (filter.failed)
        add("exit_code <> 0");
    std::string sql =
        fmt::format("SELECT id, {} FROM kazmir_runs{} ORDER BY started DESC, id DESC", RUN_COLUMNS, where);
    if (filter.limit != 0)
        sql += fmt::format(" LIMIT {}", filter.limit);
    std::vector<SqlRow> result;
    if (auto error = m_pDb->Execute(sql, params, &result))
        return error;
    rows.clear();
    for (const SqlRow& r : result)
        if (r.size() == RUN_COLUMN_COUNT + 1)
            rows.push_back(RowFrom(r));
    return std::nullopt;
}

std::optional<std::string> CRunLog::NextValue(const std::string& name, uint64_t& value)
{
    if (auto bad = CheckCounterName(name))
        return bad;
    std::vector<SqlRow> rows;
    if (auto error = m_pDb->ExecuteLocked(
            fmt::format("UPDATE kazmir_counters SET next_value = next_value + 1, updated = ? WHERE name = ? AND "
                        "next_value < {} RETURNING next_value - 1",
                        COUNTER_MAX),
            {UtcNow(), name}, &rows))
        return error;
    if (rows.size() == 1 && !rows[0].empty() && rows[0][0]) {
        value = Number<uint64_t>(rows[0][0]);
        return std::nullopt;
    }
    std::optional<uint64_t> next;
    if (auto error = GetCounter(name, next))
        return error;
    if (!next)
        return CounterNotSet(name);
    return "counter " + name + " has given its last value (" + std::to_string(COUNTER_MAX - 1) + ")";
}

std::string CounterNotSet(const std::string& name)
{
    return "counter " + name + " is not set: start it with `kazmir counter " + name + " --set VALUE`";
}

std::optional<std::string> CRunLog::SetCounter(const std::string& name, uint64_t next)
{
    if (auto bad = CheckCounterName(name))
        return bad;
    if (next > COUNTER_MAX)
        return fmt::format("{} is too large for a counter: the largest value is {}", next, COUNTER_MAX);
    return m_pDb->Execute("INSERT INTO kazmir_counters (name, next_value, updated) VALUES (?, ?, ?) ON CONFLICT "
                          "(name) DO UPDATE SET next_value = excluded.next_value, updated = excluded.updated",
                          {name, std::to_string(next), UtcNow()});
}

std::optional<std::string> CRunLog::GetCounter(const std::string& name, std::optional<uint64_t>& next)
{
    if (auto bad = CheckCounterName(name))
        return bad;
    std::vector<SqlRow> rows;
    if (auto error = m_pDb->Execute("SELECT next_value FROM kazmir_counters WHERE name = ?", {name}, &rows))
        return error;
    next.reset();
    if (!rows.empty() && !rows[0].empty() && rows[0][0])
        next = Number<uint64_t>(rows[0][0]);
    return std::nullopt;
}

std::optional<std::string> CRunLog::ListCounters(std::vector<std::pair<std::string, uint64_t>>& counters)
{
    std::vector<SqlRow> rows;
    if (auto error = m_pDb->Execute("SELECT name, next_value FROM kazmir_counters ORDER BY name", {}, &rows))
        return error;
    counters.clear();
    for (const SqlRow& r : rows)
        if (r.size() == 2)
            counters.emplace_back(Text(r[0]), Number<uint64_t>(r[1]));
    return std::nullopt;
}

#if !KAZMIR_RUNLOG_POSTGRES
std::unique_ptr<CSqlConnection> OpenPostgres(const std::string&, std::string& error)
{
    error = "this build of kazmir has no PostgreSQL client (libpq)";
    return nullptr;
}
#endif

bool IsPostgresUri(const std::string& target)
{
    return target.rfind("postgresql://", 0) == 0 || target.rfind("postgres://", 0) == 0;
}

std::string DefaultLogPath(const std::string& stateDir)
{
    return (std::filesystem::path(stateDir) / "runs.sqlite").string();
}

std::optional<std::string> RecordRun(const LogSettings& settings, const std::string& stateDir, RunRecord row)
{
    if (settings.off)
        return std::nullopt;
    if (row.station.empty())
        row.station = settings.station.empty() ? HostName() : settings.station;
    std::string error;
    auto log = CRunLog::Open(settings.target.empty() ? DefaultLogPath(stateDir) : settings.target, error);
    if (!log)
        return "the run of board " + row.serial + " is not logged: " + error;
    if (auto failed = log->Append(row))
        return "the run of board " + row.serial + " is not logged in the " + log->Describe() + ": " + *failed;
    return std::nullopt;
}

} // namespace kzlog
