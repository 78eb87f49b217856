// The log in an SQLite file. WAL mode lets readers go on while one process
// writes, and a long busy timeout lets the processes of a batch queue for the
// write lock instead of failing.
#include <chrono>
#include <filesystem>
#include <thread>

#include <sqlite3.h>

#include "RunLog.h"

namespace kzlog {

namespace {

// How long a writer waits for the others before its statement fails.
constexpr int BUSY_TIMEOUT_MS = 60000;
// The schema version kept in the file's user_version.
constexpr int SCHEMA_VERSION = 1;

class CSqliteConnection : public CSqlConnection {
public:
    CSqliteConnection(sqlite3* db, std::string path) : m_pDb(db), m_Path(std::move(path)) {}
    ~CSqliteConnection() override { sqlite3_close_v2(m_pDb); }
    CSqliteConnection(const CSqliteConnection&) = delete;
    CSqliteConnection& operator=(const CSqliteConnection&) = delete;

    std::optional<std::string> Execute(const std::string& sql, const std::vector<SqlValue>& params,
                                       std::vector<SqlRow>* rows) override
    {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(m_pDb, sql.c_str(), static_cast<int>(sql.size()), &stmt, nullptr) != SQLITE_OK)
            return Error();
        for (size_t i = 0; i < params.size(); ++i) {
            const int index = static_cast<int>(i + 1);
            const int bound = params[i] ? sqlite3_bind_text(stmt, index, params[i]->data(),
                                                            static_cast<int>(params[i]->size()), SQLITE_TRANSIENT)
                                        : sqlite3_bind_null(stmt, index);
            if (bound != SQLITE_OK) {
                sqlite3_finalize(stmt);
                return Error();
            }
        }
        int step = 0;
        while ((step = sqlite3_step(stmt)) == SQLITE_ROW) {
            if (rows == nullptr)
                continue;
            SqlRow row;
            for (int c = 0; c < sqlite3_column_count(stmt); ++c) {
                const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, c));
                row.push_back(text ? SqlValue(std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt, c))))
                                   : SqlValue());
            }
            rows->push_back(std::move(row));
        }
        std::optional<std::string> error;
        if (step != SQLITE_DONE)
            error = Error();
        sqlite3_finalize(stmt);
        return error;
    }

    std::optional<std::string> ExecuteLocked(const std::string& sql, const std::vector<SqlValue>& params,
                                             std::vector<SqlRow>* rows) override
    {
        // IMMEDIATE takes the write lock at BEGIN (waiting up to the busy
        // timeout), so the statement never meets a writer that came between.
        if (auto error = Execute("BEGIN IMMEDIATE", {}, nullptr))
            return error;
        if (auto error = Execute(sql, params, rows)) {
            Execute("ROLLBACK", {}, nullptr);
            return error;
        }
        if (auto error = Execute("COMMIT", {}, nullptr)) {
            Execute("ROLLBACK", {}, nullptr);
            if (rows != nullptr)
                rows->clear();
            return error;
        }
        return std::nullopt;
    }

    std::optional<std::string> CreateSchema(const std::vector<std::string>& statements) override
    {
        std::vector<SqlRow> version;
        if (auto error = Execute("PRAGMA user_version", {}, &version))
            return error;
        if (!version.empty() && version[0].size() == 1 && version[0][0] == std::to_string(SCHEMA_VERSION))
            return std::nullopt;
        if (auto error = Execute("BEGIN IMMEDIATE", {}, nullptr))
            return error;
        for (const std::string& sql : statements) {
            if (auto error = Execute(sql, {}, nullptr)) {
                Execute("ROLLBACK", {}, nullptr);
                return error;
            }
        }
        Execute("PRAGMA user_version = " + std::to_string(SCHEMA_VERSION), {}, nullptr);
        if (auto error = Execute("COMMIT", {}, nullptr)) {
            Execute("ROLLBACK", {}, nullptr);
            return error;
        }
        return std::nullopt;
    }

    const char* RowIdType() const override { return "INTEGER PRIMARY KEY"; }
    std::string Describe() const override { return "SQLite database " + m_Path; }

private:
    std::string Error() const { return sqlite3_errmsg(m_pDb); }

    sqlite3* m_pDb;
    std::string m_Path;
};

} // namespace

std::unique_ptr<CSqlConnection> OpenSqlite(const std::string& path, std::string& error)
{
    if (path.empty()) {
        error = "no log file given";
        return nullptr;
    }
    std::error_code ec;
    const std::filesystem::path parent = std::filesystem::path(path).parent_path();
    if (!parent.empty())
        std::filesystem::create_directories(parent, ec);
    sqlite3* db = nullptr;
    const int opened = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (opened != SQLITE_OK) {
        error = "cannot open the SQLite database " + path + ": " + (db ? sqlite3_errmsg(db) : sqlite3_errstr(opened));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, BUSY_TIMEOUT_MS);
    auto connection = std::make_unique<CSqliteConnection>(db, path);
    // Switching to WAL needs the file to itself for a moment; processes that
    // open a new log together may find it busy without the busy handler.
    std::optional<std::string> failed;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BUSY_TIMEOUT_MS);
    do {
        failed = connection->Execute("PRAGMA journal_mode = WAL", {}, nullptr);
        if (!failed || sqlite3_errcode(db) != SQLITE_BUSY)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    } while (std::chrono::steady_clock::now() < deadline);
    if (!failed)
        failed = connection->Execute("PRAGMA synchronous = FULL", {}, nullptr);
    if (failed) {
        error = "cannot use the SQLite database " + path + ": " + *failed;
        return nullptr;
    }
    return connection;
}

} // namespace kzlog
