#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

int Version(CSession& s)
{
    if (auto failed = s.PrepareBench("version"))
        return *failed;
    uint32_t major = 0, minor = 0, third = 0, fourth = 0;
    const uint32_t result = kzmGetVersion(&major, &minor, &third, &fourth);
    const std::string server = std::to_string(major) + "." + std::to_string(minor);
    Json event = {{"event", "version"}, {"kazmir", KAZMIR_VERSION}};
    if (result == 0)
        event["device_server"] = server;
    s.Out().Event(event);
    s.Out().Print(std::string("kazmir ") + KAZMIR_VERSION);
    if (result == 0)
        s.Out().Print("device server " + server);
    return s.Summarise("version", result, Operation::Initialize,
                       result == 0 ? "" : "the device server gave no version");
}

const Command VERSION_COMMAND = {"version", "show the versions of kazmir and of the device server",
                                 nullptr,   [](CSession& s, const CommandLine&) { return Version(s); },
                                 false,     nullptr};

} // namespace kzcli
