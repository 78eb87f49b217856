// Helpers of the run-log tests: a private folder, children that run a
// function in processes of their own, and children that share a counter.
#pragma once

#include <gtest/gtest.h>

#include "RunLog.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <sys/wait.h>
#include <unistd.h>

namespace runlogtest {

struct TempDir {
    std::string path;
    TempDir()
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "kazmir-runlog-XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr)
            path = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string File(const std::string& name, const std::string& text = "") const
    {
        const std::string file = path + "/" + name;
        if (!text.empty())
            std::ofstream(file, std::ios::binary) << text;
        return file;
    }
};

// The row of a run of `kazmir program` on a bench board.
inline kzlog::RunRecord Row(const std::string& serial, const std::string& started, int exitCode = 0)
{
    kzlog::RunRecord row;
    row.started = started;
    row.ended = started;
    row.station = "station-1";
    row.serial = serial;
    row.deviceId = "0x0000000000000101";
    row.bench = true;
    row.command = "program";
    row.image = "/line/app.hex";
    row.imageSize = 4096;
    row.imageSha256 = std::string(64, 'a');
    row.result = exitCode == 0 ? 0 : 0xE0FE0004;
    row.exitCode = exitCode;
    row.exitName = exitCode == 0 ? "ok" : "verify";
    row.message = exitCode == 0 ? "programmed" : "the flash differs";
    row.bytesWritten = 4096;
    row.seconds = 1.25;
    return row;
}

// Runs body(i) in n child processes at once; true when every child exited 0.
inline bool RunChildren(int n, const std::function<bool(int)>& body)
{
    std::vector<pid_t> children;
    for (int i = 0; i < n; ++i) {
        const pid_t pid = fork();
        if (pid == 0)
            _exit(body(i) ? 0 : 1);
        children.push_back(pid);
    }
    bool ok = true;
    for (pid_t pid : children) {
        int status = 0;
        ok = waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0 && ok;
    }
    return ok;
}

// Children that open the log at once and each take `each` values of the
// counter "units" (set to 1000 before), a row a value; true when all did.
inline bool TakeValuesAtOnce(const std::string& where, int children, int each,
                             const std::function<kzlog::RunRecord(int, int)>& row)
{
    std::string error;
    auto log = kzlog::CRunLog::Open(where, error);
    if (!log || log->SetCounter("units", 1000))
        return false;
    return RunChildren(children, [&](int child) {
        std::string error;
        auto log = kzlog::CRunLog::Open(where, error);
        for (int i = 0; log && i < each; ++i) {
            uint64_t value = 0;
            if (log->NextValue("units", value))
                return false;
            kzlog::RunRecord r = row(child, i);
            r.stamps = {{0x7F00, "u32le", "counter:units", std::to_string(value), {}}};
            if (log->Append(r))
                return false;
        }
        return log != nullptr;
    });
}

// The stamped rows took count values, each once, from 1000 on without a gap.
inline void ExpectValuesOnce(const std::vector<kzlog::RunRecord>& rows, uint64_t count)
{
    std::set<uint64_t> values;
    for (const kzlog::RunRecord& r : rows)
        if (!r.stamps.empty())
            values.insert(std::stoull(r.stamps[0].value));
    ASSERT_EQ(values.size(), count);
    EXPECT_EQ(*values.begin(), 1000u);
    EXPECT_EQ(*values.rbegin(), 1000u + count - 1);
}

} // namespace runlogtest
