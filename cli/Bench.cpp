#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

int BenchShow(CSession& s)
{
#if KAZMIR_CLI_BENCH
    if (auto failed = s.PrepareBench("bench show", true))
        return *failed;
    s.Out().Event({{"event", "bench"}, {"bench", Json::parse(kazsim::BenchJson(s.Bench()))}});
    for (const auto& line : kazsim::DescribeBench(s.Bench()))
        s.Out().Print(line);
    return s.SummariseExit("bench show", EXIT_OK, "");
#else
    return s.SummariseExit("bench show", EXIT_USAGE, "this build of kazmir has no virtual bench");
#endif
}

int BenchReset(CSession& s)
{
#if KAZMIR_CLI_BENCH
    if (auto failed = s.PrepareBench("bench reset"))
        return *failed;
    if (auto stop = s.BeginCall("bench reset", "erasing the bench's flash", true, Json::object()))
        return *stop;
    std::string error;
    bool inUse = false;
    const auto done = kazsim::EraseBenchFlash(s.Bench(), error, inUse);
    if (auto stop = s.StopIfInterrupted("bench reset", Json::object()))
        return *stop;
    for (const auto& line : done)
        s.Out().Say(line);
    if (inUse)
        return s.SummariseExit("bench reset", EXIT_BUSY, error);
    if (!error.empty())
        return s.SummariseExit("bench reset", EXIT_FAILURE_, "cannot reset the bench: " + error);
    return s.SummariseExit("bench reset", EXIT_OK, "The bench is as new.");
#else
    return s.SummariseExit("bench reset", EXIT_USAGE, "this build of kazmir has no virtual bench");
#endif
}

const Command BENCH_SHOW_COMMAND = {"bench show", "list the bench's boards",
                                    nullptr,      [](CSession& s, const CommandLine&) { return BenchShow(s); },
                                    false,        nullptr};
const Command BENCH_RESET_COMMAND = {"bench reset", "restore the bench: erase the flash it keeps",
                                     nullptr,       [](CSession& s, const CommandLine&) { return BenchReset(s); },
                                     false,         nullptr};

} // namespace kzcli
