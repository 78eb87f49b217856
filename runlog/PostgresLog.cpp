// The log on a PostgreSQL server (libpq), shared by the stations of a line.
// Counter values come from one UPDATE ... RETURNING, which the server runs
// under the counter row's lock: no two stations get the same value.
#include <dlfcn.h>
#include <libpq-fe.h>

#include <mutex>

#include "RunLog.h"

namespace kzlog {

namespace {

// libpq is loaded when a PostgreSQL log is first opened, not when the host
// starts: with the libraries it needs in turn (Kerberos, LDAP, TLS) it costs
// every command some milliseconds of dynamic linking, and most stations log
// elsewhere.
struct LibPq {
    decltype(&::PQconnectdb) connectdb = nullptr;
    decltype(&::PQstatus) status = nullptr;
    decltype(&::PQerrorMessage) errorMessage = nullptr;
    decltype(&::PQfinish) finish = nullptr;
    decltype(&::PQsetNoticeProcessor) setNoticeProcessor = nullptr;
    decltype(&::PQexecParams) execParams = nullptr;
    decltype(&::PQresultStatus) resultStatus = nullptr;
    decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
    decltype(&::PQclear) clear = nullptr;
    decltype(&::PQntuples) ntuples = nullptr;
    decltype(&::PQnfields) nfields = nullptr;
    decltype(&::PQgetisnull) getisnull = nullptr;
    decltype(&::PQgetvalue) getvalue = nullptr;
    decltype(&::PQhost) host = nullptr;
    decltype(&::PQdb) db = nullptr;
    decltype(&::PQport) port = nullptr;
};

template <typename FN>
bool Bind(void* library, const char* name, FN& fn)
{
    fn = reinterpret_cast<FN>(dlsym(library, name));
    return fn != nullptr;
}

// The library's functions, loaded once; null with the reason when it
// cannot be loaded.
const LibPq* LoadLibPq(std::string& error)
{
    static LibPq s_Lib;
    static std::string s_Failure;
    static std::once_flag s_Once;
    std::call_once(s_Once, [] {
        void* library = dlopen(KAZMIR_LIBPQ_SONAME, RTLD_NOW | RTLD_LOCAL);
        if (library == nullptr) {
            const char* why = dlerror();
            s_Failure =
                std::string("the PostgreSQL client library cannot be loaded: ") + (why ? why : KAZMIR_LIBPQ_SONAME);
            return;
        }
        LibPq& l = s_Lib;
        const bool all =
            Bind(library, "PQconnectdb", l.connectdb) && Bind(library, "PQstatus", l.status) &&
            Bind(library, "PQerrorMessage", l.errorMessage) && Bind(library, "PQfinish", l.finish) &&
            Bind(library, "PQsetNoticeProcessor", l.setNoticeProcessor) &&
            Bind(library, "PQexecParams", l.execParams) && Bind(library, "PQresultStatus", l.resultStatus) &&
            Bind(library, "PQresultErrorMessage", l.resultErrorMessage) && Bind(library, "PQclear", l.clear) &&
            Bind(library, "PQntuples", l.ntuples) && Bind(library, "PQnfields", l.nfields) &&
            Bind(library, "PQgetisnull", l.getisnull) && Bind(library, "PQgetvalue", l.getvalue) &&
            Bind(library, "PQhost", l.host) && Bind(library, "PQdb", l.db) && Bind(library, "PQport", l.port);
        if (!all)
            s_Failure = std::string("the PostgreSQL client library ") + KAZMIR_LIBPQ_SONAME + " lacks a function";
    });
    if (!s_Failure.empty()) {
        error = s_Failure;
        return nullptr;
    }
    return &s_Lib;
}

// The advisory lock that serialises creating the tables across stations.
constexpr long long SCHEMA_LOCK = 0x6B617A6D69726C67LL;

std::string Trimmed(const char* text)
{
    std::string s = text ? text : "";
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    for (char& c : s)
        if (c == '\n')
            c = ' ';
    return s;
}

// '?' placeholders to libpq's $1, $2, ... (none stands inside a quoted text
// in this log's statements).
std::string Numbered(const std::string& sql)
{
    std::string out;
    int n = 0;
    bool quoted = false;
    for (char c : sql) {
        if (c == '\'')
            quoted = !quoted;
        if (c == '?' && !quoted) {
            out += '$';
            out += std::to_string(++n);
        } else
            out += c;
    }
    return out;
}

class CPostgresConnection : public CSqlConnection {
public:
    CPostgresConnection(const LibPq& pq, PGconn* conn) : m_Pq(pq), m_pConn(conn) {}
    ~CPostgresConnection() override { m_Pq.finish(m_pConn); }
    CPostgresConnection(const CPostgresConnection&) = delete;
    CPostgresConnection& operator=(const CPostgresConnection&) = delete;

    std::optional<std::string> Execute(const std::string& sql, const std::vector<SqlValue>& params,
                                       std::vector<SqlRow>* rows) override
    {
        std::vector<const char*> values;
        for (const SqlValue& p : params)
            values.push_back(p ? p->c_str() : nullptr);
        PGresult* result = m_Pq.execParams(m_pConn, Numbered(sql).c_str(), static_cast<int>(values.size()), nullptr,
                                           values.data(), nullptr, nullptr, 0);
        const ExecStatusType status = m_Pq.resultStatus(result);
        if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
            std::string error = Trimmed(result ? m_Pq.resultErrorMessage(result) : m_Pq.errorMessage(m_pConn));
            m_Pq.clear(result);
            return error.empty() ? "the server gave no result" : error;
        }
        if (rows != nullptr) {
            for (int r = 0; r < m_Pq.ntuples(result); ++r) {
                SqlRow row;
                for (int c = 0; c < m_Pq.nfields(result); ++c)
                    row.push_back(m_Pq.getisnull(result, r, c) ? SqlValue() : SqlValue(m_Pq.getvalue(result, r, c)));
                rows->push_back(std::move(row));
            }
        }
        m_Pq.clear(result);
        return std::nullopt;
    }

    std::optional<std::string> ExecuteLocked(const std::string& sql, const std::vector<SqlValue>& params,
                                             std::vector<SqlRow>* rows) override
    {
        if (auto error = Execute("BEGIN", {}, nullptr))
            return error;
        if (auto error = Execute(sql, params, rows)) {
            Execute("ROLLBACK", {}, nullptr);
            return error;
        }
        if (auto error = Execute("COMMIT", {}, nullptr)) {
            if (rows != nullptr)
                rows->clear();
            return error;
        }
        return std::nullopt;
    }

    std::optional<std::string> CreateSchema(const std::vector<std::string>& statements) override
    {
        std::vector<SqlRow> found;
        if (auto error = Execute("SELECT to_regclass('kazmir_runs') IS NOT NULL AND to_regclass('kazmir_counters') "
                                 "IS NOT NULL",
                                 {}, &found))
            return error;
        if (!found.empty() && found[0].size() == 1 && found[0][0] == std::string("t"))
            return std::nullopt;
        // CREATE ... IF NOT EXISTS is not safe against another session doing
        // the same at once: the sessions take turns under an advisory lock.
        if (auto error = Execute("BEGIN", {}, nullptr))
            return error;
        std::vector<std::string> all = {"SELECT pg_advisory_xact_lock(" + std::to_string(SCHEMA_LOCK) + ")"};
        all.insert(all.end(), statements.begin(), statements.end());
        for (const std::string& sql : all) {
            if (auto error = Execute(sql, {}, nullptr)) {
                Execute("ROLLBACK", {}, nullptr);
                return error;
            }
        }
        return Execute("COMMIT", {}, nullptr);
    }

    const char* RowIdType() const override { return "BIGINT GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"; }

    std::string Describe() const override
    {
        const std::string host = Trimmed(m_Pq.host(m_pConn));
        // Appended piece by piece: g++ -O3 misreads a literal + a temporary
        // string as a copy that may overlap.
        std::string text = "PostgreSQL database ";
        text += Trimmed(m_Pq.db(m_pConn));
        text += " on ";
        text += host.empty() ? "localhost" : host;
        if (host.rfind('/', 0) != 0) {
            text += ':';
            text += Trimmed(m_Pq.port(m_pConn));
        }
        return text;
    }

private:
    const LibPq& m_Pq;
    PGconn* m_pConn;
};

} // namespace

std::unique_ptr<CSqlConnection> OpenPostgres(const std::string& uri, std::string& error)
{
    std::string why;
    const LibPq* pq = LoadLibPq(why);
    if (pq == nullptr) {
        error = "cannot connect to the PostgreSQL server: " + why;
        return nullptr;
    }
    PGconn* conn = pq->connectdb(uri.c_str());
    if (conn == nullptr || pq->status(conn) != CONNECTION_OK) {
        error = "cannot connect to the PostgreSQL server: " + Trimmed(conn ? pq->errorMessage(conn) : "out of memory");
        pq->finish(conn);
        return nullptr;
    }
    // The server's notices ("relation already exists, skipping") are no
    // concern of the user's.
    pq->setNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return std::make_unique<CPostgresConnection>(*pq, conn);
}

} // namespace kzlog
