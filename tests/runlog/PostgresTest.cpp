// The run log on a PostgreSQL server: a private server in a temporary
// folder (Unix socket only; as an unprivileged user when the test runs as
// root, since the server refuses root), and processes that share it as the
// stations of a line do.
#include <gtest/gtest.h>

#include <algorithm>
#include <pwd.h>
#include <set>

#include "ChildProcess.h"
#include "RunLog.h"
#include "RunlogSupport.h"

#ifndef KAZMIR_REQUIRE_POSTGRES
#define KAZMIR_REQUIRE_POSTGRES 0
#endif

using namespace kzlog;

namespace {

// The newest installed server's program folder; "" when none has both programs.
std::string ServerPrograms()
{
    std::vector<std::filesystem::path> found;
    std::error_code ec;
    for (const auto& version : std::filesystem::directory_iterator("/usr/lib/postgresql", ec)) {
        const auto bin = version.path() / "bin";
        if (std::filesystem::exists(bin / "initdb") && std::filesystem::exists(bin / "pg_ctl"))
            found.push_back(bin);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) {
        return std::stoi(a.parent_path().filename().string()) < std::stoi(b.parent_path().filename().string());
    });
    return found.empty() ? "" : found.back().string();
}

class PrivateServer {
public:
    explicit PrivateServer(std::string bin) : m_Bin(std::move(bin))
    {
        if (geteuid() == 0) {
            const passwd* nobody = getpwnam("nobody");
            if (nobody == nullptr) {
                m_Error = "running as root, and there is no user nobody to run the server as";
                return;
            }
            m_Uid = nobody->pw_uid;
            m_Gid = nobody->pw_gid;
            if (chown(m_Dir.path.c_str(), m_Uid, m_Gid) != 0) {
                m_Error = "cannot give the server's folder to nobody";
                return;
            }
        }
        if (Run({m_Bin + "/initdb", "-D", Data(), "-U", "kazmir", "-A", "trust", "-E", "UTF8", "--no-locale",
                 "--no-sync"},
                "initdb.log") != 0) {
            m_Error = "initdb failed: " + Log("initdb.log");
            return;
        }
        const std::string options = "-k " + m_Dir.path + " -c listen_addresses='' -p 5432 -c fsync=off";
        if (Run({m_Bin + "/pg_ctl", "-D", Data(), "-l", m_Dir.path + "/server.log", "-w", "-t", "60", "-o", options,
                 "start"},
                "pg_ctl.log") != 0) {
            m_Error = "the server did not start: " + Log("server.log");
            return;
        }
        m_bStarted = true;
    }
    ~PrivateServer()
    {
        if (m_bStarted)
            Run({m_Bin + "/pg_ctl", "-D", Data(), "-m", "immediate", "-w", "stop"}, "stop.log");
    }

    const std::string& Error() const { return m_Error; }
    std::string Uri() const { return "postgresql:///postgres?host=" + m_Dir.path + "&port=5432&user=kazmir"; }

private:
    std::string Data() const { return m_Dir.path + "/data"; }
    std::string Log(const std::string& name) const
    {
        std::ifstream in(m_Dir.path + "/" + name);
        return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    // Runs a server program as the server's user, in the server's folder; its
    // exit code. Its streams go to the log.
    int Run(std::vector<std::string> args, const std::string& log) const
    {
        if (geteuid() == 0)
            args.insert(args.begin(), {"setpriv", "--reuid=" + std::to_string(m_Uid),
                                       "--regid=" + std::to_string(m_Gid), "--clear-groups"});
        kzsupport::ChildSetup setup;
        setup.folder = m_Dir.path;
        const kzsupport::RunResult r = kzsupport::RunToEnd(args[0], {args.begin() + 1, args.end()}, setup);
        std::ofstream(m_Dir.path + "/" + log) << r.error << r.out << r.err;
        return r.exit;
    }

    std::string m_Bin;
    runlogtest::TempDir m_Dir;
    uid_t m_Uid = 0;
    gid_t m_Gid = 0;
    std::string m_Error;
    bool m_bStarted = false;
};

TEST(PostgresLog, TwoStationsShareOneLogAndNeverTakeTheSameValue)
{
    const std::string bin = ServerPrograms();
    if (bin.empty()) {
        const char* reason = "no PostgreSQL server programs (initdb, pg_ctl) under /usr/lib/postgresql/*/bin "
                             "(Debian: postgresql)";
        if (KAZMIR_REQUIRE_POSTGRES)
            FAIL() << reason << " (KAZMIR_REQUIRE_POSTGRES=ON)";
        GTEST_SKIP() << reason;
    }
    PrivateServer server(bin);
    ASSERT_EQ(server.Error(), "");
    constexpr int STATIONS = 2, EACH = 100;

    // Stations that find no tables yet create them at once.
    ASSERT_TRUE(runlogtest::RunChildren(STATIONS, [&](int) {
        std::string error;
        auto log = CRunLog::Open(server.Uri(), error);
        return log && !log->Append(runlogtest::Row("KZ", UtcNow()));
    }));
    std::string error;
    auto log = CRunLog::Open(server.Uri(), error);
    ASSERT_TRUE(log) << error;
    EXPECT_NE(log->Describe().find("PostgreSQL database postgres"), std::string::npos) << log->Describe();
    ASSERT_TRUE(runlogtest::TakeValuesAtOnce(server.Uri(), STATIONS, EACH, [](int station, int i) {
        RunRecord row = runlogtest::Row("KZ" + std::to_string(i), UtcNow(), i % 10 == 0 ? 6 : 0);
        row.station = "station-" + std::to_string(station);
        return row;
    }));
    std::vector<RunRecord> rows;
    LogFilter programs;
    programs.since = "2000-01-01";
    ASSERT_FALSE(log->Query(programs, rows));
    ASSERT_EQ(rows.size(), size_t{STATIONS * EACH + STATIONS});
    runlogtest::ExpectValuesOnce(rows, STATIONS * EACH);

    LogFilter failed;
    failed.failed = true;
    failed.serial = "KZ10";
    ASSERT_FALSE(log->Query(failed, rows));
    EXPECT_EQ(rows.size(), size_t{STATIONS});
    EXPECT_TRUE(CRunLog::Open("postgresql:///postgres?host=/nonexistent&user=kazmir", error) == nullptr);
    EXPECT_NE(error.find("cannot connect to the PostgreSQL server"), std::string::npos) << error;
}

} // namespace
