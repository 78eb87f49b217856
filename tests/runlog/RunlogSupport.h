// Helpers of the run-log tests: a private folder, and children that run a
// function in processes of their own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
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

} // namespace runlogtest
