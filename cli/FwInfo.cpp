#include "Commands.h"

#include <algorithm>
#include <cstdio>
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
    FwInfoView view;
    view.found = true;
    view.record = DecodeFwInfo(reinterpret_cast<const uint8_t*>(&info));
    Json event = {{"event", "fwinfo"},
                  {"device_id", HandleText(handle)},
                  {"found", true},
                  {"name", view.Name()},
                  {"version", view.Version()},
                  {"kind", static_cast<uint32_t>(view.record.Kind)}, // a copy: the record is packed
                  {"kind_text", view.KindText()},
                  {"address", Hex32(view.record.Address)},
                  {"reserved12", Hex32(view.record.Reserved12)},
                  {"reserved16", Hex32(view.record.Reserved16)},
                  {"device", view.Device()},
                  {"device_version", view.DeviceVersion()}};
    s.Out().Event(event);
    for (const std::string& line :
         {"Firmware information in the flash of board " + HandleText(handle) + ":", "  Name            " + view.Name(),
          "  Version         " + view.Version(),
          "  Kind            " + view.KindText() + " (" + Hex32(view.record.Kind) + ")",
          "  Address         " + Hex32(view.record.Address),
          "  Reserved        " + Hex32(view.record.Reserved12) + " " + Hex32(view.record.Reserved16),
          "  Device          " + view.Device(), "  Device version  " + view.DeviceVersion()})
        s.Out().Print(line);
    return s.Summarise("fwinfo", 0, Operation::ScanFwInfo, "", extra);
}

const Command FWINFO_COMMAND = {"fwinfo", "show the firmware-information record in the board's flash",
                                nullptr,  [](CSession& s, const CommandLine&) { return FwInfo(s); },
                                false,    nullptr};

} // namespace kzcli
