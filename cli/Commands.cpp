#include "Commands.h"

#include <algorithm>

namespace kzcli {

const std::vector<Command>& Commands()
{
    static const std::vector<Command> TABLE = {PROGRAM_COMMAND,  VERIFY_COMMAND,      ERASE_COMMAND,
                                               FWINFO_COMMAND,   VERSION_COMMAND,     MODE_COMMAND,
                                               BGI_SEND_COMMAND, BGI_RECEIVE_COMMAND, BGI_ECHO_COMMAND,
                                               INFO_COMMAND,     BENCH_SHOW_COMMAND,  BENCH_RESET_COMMAND};
    return TABLE;
}

const Command* FindCommand(const std::string& name)
{
    for (const Command& command : Commands())
        if (name == command.name)
            return &command;
    return nullptr;
}

std::string GroupOf(const std::string& name)
{
    const size_t space = name.find(' ');
    return space == std::string::npos ? "" : name.substr(0, space);
}

const char* GroupHelp(const std::string& group)
{
    return group == "bgi" ? "exchange messages over the board's BGI channels (CCL firmware)" : "the virtual bench";
}

CLI::Validator OneOf(const std::vector<std::string>& words)
{
    return CLI::Validator(
        [words](std::string& text) -> std::string {
            if (std::find(words.begin(), words.end(), text) != words.end())
                return "";
            std::string list;
            for (size_t i = 0; i < words.size(); ++i)
                list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
            return "\"" + text + "\" is not one of " + list;
        },
        "");
}

} // namespace kzcli
