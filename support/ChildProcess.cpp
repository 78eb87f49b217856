#include "ChildProcess.h"

#include <cstring>

namespace kzsupport {

void ChangeEnvironment(std::vector<std::string>& env, const std::string& change)
{
    // A name may begin with "=" (Windows keeps the drives' folders so).
    const std::string name = change.substr(0, change.find('=', 1));
    std::erase_if(env, [&](const std::string& var) {
        if (var.size() <= name.size() || var[name.size()] != '=')
            return false;
#ifdef _WIN32
        return _strnicmp(var.c_str(), name.c_str(), name.size()) == 0; // names in any case
#else
        return var.compare(0, name.size(), name) == 0;
#endif
    });
    if (name.size() < change.size())
        env.push_back(change);
}

RunResult RunToEnd(const std::string& program, const std::vector<std::string>& args, const ChildSetup& setup,
                   const std::function<bool(long, const std::string&)>& onLine)
{
    RunResult r;
    CChildren children;
    if (!children.Start(0, program, args, r.error, setup))
        return r;
    bool ended[2] = {false, false}, closed = false;
    std::string partial; // the output's unfinished line while watching
    // A line to the watcher; false from it closes the output.
    auto hand = [&](const std::string& line) {
        r.out += line;
        if (!onLine(children.ProcessId(0), line)) {
            children.Close(0, 0);
            ended[0] = closed = true;
        }
    };
    while (!ended[0] || !ended[1]) {
        for (const ChildOutput& o : children.Wait(std::chrono::seconds(1))) {
            if (o.child != 0 || (o.stream == 0 && closed))
                continue; // no stop requests are noted here
            ended[o.stream] = ended[o.stream] || o.data.empty();
            if (o.stream == 1 || !onLine) {
                (o.stream == 1 ? r.err : r.out) += o.data;
                continue;
            }
            partial += o.data;
            size_t from = 0;
            for (size_t nl; !closed && (nl = partial.find('\n', from)) != std::string::npos; from = nl + 1)
                hand(partial.substr(from, nl + 1 - from));
            partial.erase(0, from);
            if (!closed && o.data.empty() && !partial.empty())
                hand(partial); // the last line, without its newline
        }
    }
    std::string how;
    int signal = 0;
    r.exit = children.Reap(0, how, &signal);
    if (signal != 0)
        r.exit = 128 + signal;
    else if (!how.empty())
        r.error = how;
    return r;
}

} // namespace kzsupport
