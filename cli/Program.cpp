// kazmir program: write an image into the flash.
#include "Commands.h"

namespace kzcli {

const Command PROGRAM_COMMAND = {
    "program",
    "write an image file (Intel HEX, S-records, ELF or raw binary) into the flash",
    [](CLI::App& sub, CommandLine& c) {
        AddImageArguments(sub, c);
        sub.add_flag("--verify", c.flash.verify, "verify the flash afterwards");
        sub.add_flag("--skip-unchanged", c.flash.skipUnchanged,
                     "compare first; erase and write nothing when the flash already holds the image");
        sub.add_flag("--no-check", c.flash.noCheck, "hand the file to the library without the strict check");
#if KAZMIR_CLI_RUNLOG
        sub.add_option("--stamp", c.line.stamps,
                       "write a per-board value into the image: ADDRESS=FORMAT:SOURCE, FORMAT u16le u16be "
                       "u32le u32be u64le u64be textN, SOURCE counter:NAME or csv:FILE (repeatable)")
            ->type_name("ADDRESS=FORMAT:SOURCE");
#endif
    },
    [](CSession& s, const CommandLine& c) { return RunFlashImage(s, "program", c.file, c.flash); },
    true,
    "programmed"};

} // namespace kzcli
