// kazmir verify: compare the flash with an image.
#include "Commands.h"

namespace kzcli {

const Command VERIFY_COMMAND = {"verify",
                                "compare the flash with an image file",
                                [](CLI::App& sub, CommandLine& c) {
                                    AddImageArguments(sub, c);
                                    sub.add_flag("--no-check", c.flash.noCheck,
                                                 "hand the file to the library without the strict check");
                                },
                                [](CSession& s, const CommandLine& c) {
                                    FlashOptions flash;
                                    flash.verify = true;
                                    flash.noCheck = c.flash.noCheck;
                                    return RunFlashImage(s, "verify", c.file, flash);
                                },
                                true,
                                "verified"};

} // namespace kzcli
