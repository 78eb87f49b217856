#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

int Mode(CSession& s, const std::string& mode)
{
    const bool bal = mode == "bal";
    const std::string name = bal ? "BAL" : "CCL";
    CBoardSession board(s);
    uint64_t handle = 0;
    if (auto failed = s.OpenBoard("mode", board, bal ? BoardMode::Bal : BoardMode::Ccl, handle))
        return *failed;
    board.Close();
    s.Out().Event({{"event", "mode"}, {"mode", mode}, {"device_id", HandleText(handle)}});
    s.Out().Print(HandleText(handle));
    return s.Summarise("mode", 0, Operation::Open, "Board " + HandleText(handle) + " runs its " + name + " firmware.",
                       {{"mode", mode}, {"device_id", HandleText(handle)}});
}

const Command MODE_COMMAND = {
    "mode",
    "bring the board into its BAL or CCL firmware and print its device id",
    [](CLI::App& sub, CommandLine& c) {
        sub.add_option("MODE", c.modeName, "bal or ccl")->required()->check(OneOf({"bal", "ccl"}));
    },
    [](CSession& s, const CommandLine& c) { return Mode(s, c.modeName); },
    false,
    nullptr};

} // namespace kzcli
