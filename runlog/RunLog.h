// The run log: one row per board and command, and named counters, in one
// database. A file path is an SQLite database (the embedded default; WAL
// mode, so that the processes of a batch write at once); a postgresql:// or
// postgres:// URI is a PostgreSQL server that many stations share. Both keep
// the same tables and take counter values atomically in the database.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "RunRecord.h"

namespace kzlog {

// Which rows `kazmir log` lists: all conditions given must hold.
struct LogFilter {
    std::string serial;      // exact serial
    std::string since;       // rows that started at or after this time (see ParseSince)
    std::string imagePath;   // the image's absolute path...
    std::string imageSha256; // ...or its digest (either one matches when both are given)
    bool failed = false;     // only runs whose exit code is not 0
    uint64_t limit = 0;      // at most this many rows; 0: all
};

// --since: "2024-05-07", "2024-05-07T09:15", "2024-05-07 09:15:02" (UTC, a
// trailing Z allowed) or a span back from now: "30m", "12h", "7d", "2w".
// Gives the time in the log's form, or nullopt with the sentence in error.
std::optional<std::string> ParseSince(const std::string& text, std::string& error);

// --image: 64 hexadecimal digits are a digest; anything else is a path, which
// also matches by its content's digest when the file can be read.
std::optional<std::string> SetImageFilter(const std::string& text, LogFilter& filter);

// A database connection below the log: runs one statement with '?'
// placeholders and gives its rows as text (nullopt for NULL).
using SqlValue = std::optional<std::string>;
using SqlRow = std::vector<SqlValue>;
class CSqlConnection {
public:
    virtual ~CSqlConnection() = default;
    // nullopt when the statement ran; the database's sentence otherwise.
    virtual std::optional<std::string> Execute(const std::string& sql, const std::vector<SqlValue>& params,
                                               std::vector<SqlRow>* rows = nullptr) = 0;
    // Creates the tables and indexes (the statements of CreateStatements),
    // safely while other processes do the same.
    virtual std::optional<std::string> CreateSchema(const std::vector<std::string>& statements) = 0;
    // Runs the statement inside a transaction that holds the write lock from
    // its start, so that a read-then-write in it cannot interleave with
    // another writer.
    virtual std::optional<std::string> ExecuteLocked(const std::string& sql, const std::vector<SqlValue>& params,
                                                     std::vector<SqlRow>* rows) = 0;
    // The type of the row-number column: an integer key the database counts up.
    virtual const char* RowIdType() const = 0;
    // "SQLite database /path" / "PostgreSQL database kazmir on host line-server"
    virtual std::string Describe() const = 0;
};

class CRunLog {
public:
    // Opens (and creates when missing) the log at target: a file path or a
    // postgresql:// URI. nullptr with the sentence in error.
    static std::unique_ptr<CRunLog> Open(const std::string& target, std::string& error);
    explicit CRunLog(std::unique_ptr<CSqlConnection> connection) : m_pDb(std::move(connection)) {}

    // Adds one row; its station, when empty, becomes the host name.
    std::optional<std::string> Append(const RunRecord& row);
    // Rows newest first.
    std::optional<std::string> Query(const LogFilter& filter, std::vector<RunRecord>& rows);

    // Counters: the next value is the one the next NextValue call gives. A
    // value is taken in one transaction of the database: no two callers, in
    // any process or on any station of the database, get the same one.
    // A counter must be set before its first value is taken.
    std::optional<std::string> NextValue(const std::string& name, uint64_t& value);
    std::optional<std::string> SetCounter(const std::string& name, uint64_t next);
    // The counter's next value; nullopt in next when it was never set.
    std::optional<std::string> GetCounter(const std::string& name, std::optional<uint64_t>& next);
    std::optional<std::string> ListCounters(std::vector<std::pair<std::string, uint64_t>>& counters);

    std::string Describe() const { return m_pDb->Describe(); }
    // The statements that create the log's tables, for a connection of this kind.
    static std::vector<std::string> CreateStatements(const CSqlConnection& db);
    std::optional<std::string> Prepare() { return m_pDb->CreateSchema(CreateStatements(*m_pDb)); }

private:
    std::unique_ptr<CSqlConnection> m_pDb;
};

// nullopt for a good counter name (up to 64 letters, digits, '_', '-', '.');
// otherwise the sentence why not.
std::optional<std::string> CheckCounterName(const std::string& name);

// Why a counter gives no value before it is set, and how to set it.
std::string CounterNotSet(const std::string& name);

// Counter values fit a signed 64-bit integer in both databases.
constexpr uint64_t COUNTER_MAX = 0x7FFFFFFFFFFFFFFFull;

// What a host's options say about the log of its runs.
struct LogSettings {
    std::string target;    // --log; "" for the default file in the state folder
    std::string station;   // --station; "" for the host name
    bool off = false;      // --no-log
    bool required = false; // --require-log: a row that cannot be written fails the run
};

// The default log: runs.sqlite in the state folder.
std::string DefaultLogPath(const std::string& stateDir);

// Writes the board's row (nothing when the log is off). nullopt when written
// or off; otherwise the sentence for a warning (settings.required: an error,
// exit 1).
std::optional<std::string> RecordRun(const LogSettings& settings, const std::string& stateDir, RunRecord row);

std::unique_ptr<CSqlConnection> OpenSqlite(const std::string& path, std::string& error);
std::unique_ptr<CSqlConnection> OpenPostgres(const std::string& uri, std::string& error);
bool IsPostgresUri(const std::string& target);

} // namespace kzlog
