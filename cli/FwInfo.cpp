#include "Commands.h"

#include <cstring>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

int FwInfo(CSession& s)
{
    CBoardSession board(s);
    uint64_t handle = 0;
    if (auto failed = s.OpenBoard("fwinfo", board, BoardMode::Fld, handle))
        return *failed;
    s.BoardLayout(handle);
    FW_INFO untouched;
    std::memset(&untouched, 0xA5, sizeof(untouched));
    FW_INFO info = untouched;
    if (auto stop =
            s.BeginCall("fwinfo", "reading the firmware information", false, {{"device_id", HandleText(handle)}}))
        return *stop;
    const uint32_t result = kzmFLDscanFwInfo(&info);
    if (auto stop = s.StopIfInterrupted("fwinfo", {{"device_id", HandleText(handle)}}))
        return *stop;
    board.Close();
    if (result != 0)
        return s.Summarise("fwinfo", result, Operation::ScanFwInfo, "reading the firmware information failed",
                           {{"device_id", HandleText(handle)}});
    const bool found = std::memcmp(&info, &untouched, sizeof(info)) != 0;
    Json extra = {{"device_id", HandleText(handle)}, {"found", found}};
    if (!found) {
        s.Out().Event({{"event", "fwinfo"}, {"device_id", HandleText(handle)}, {"found", false}});
        s.Out().Print("No firmware-information record in the flash of board " + HandleText(handle) + ".");
        return s.Summarise("fwinfo", 0, Operation::ScanFwInfo, "", extra);
    }
    const FwInfoView view = FlashFwInfo(info);
    Json event = {{"event", "fwinfo"}, {"device_id", HandleText(handle)}, {"found", true}};
    event.update(FwInfoJson(view));
    s.Out().Event(event);
    s.Out().Print("Firmware information in the flash of board " + HandleText(handle) + ":");
    for (const auto& line : FwInfoFields(view, "  "))
        s.Out().Print(line);
    return s.Summarise("fwinfo", 0, Operation::ScanFwInfo, "", extra);
}

const Command FWINFO_COMMAND = {"fwinfo", "show the firmware-information record in the board's flash",
                                nullptr,  [](CSession& s, const CommandLine&) { return FwInfo(s); },
                                false,    nullptr};

} // namespace kzcli
