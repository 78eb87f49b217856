#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "Format.h"
#include "ImageInput.h"
#include "TempFolder.h"
#include "kazmir.h"

namespace kzcli {

namespace {

// The library erases sector 0 alone; the whole flash is erased by programming
// an image of 0xFF bytes over all of it, handed over as a temporary S-record
// file in a folder of its own.
int EraseAll(CSession& s, uint64_t handle, const std::optional<FlashLayout>& layout)
{
    Json extra = {{"device_id", HandleText(handle)}, {"all", true}};
    if (!layout || !layout->SizesKnown())
        return s.SummariseExit(
            "erase", EXIT_DEVICE,
            "the flash's sector sizes are unknown, so no image can cover it all: erase --all cannot run", extra);
    const uint64_t size = layout->Size();
    if (size > 0xFFFFFFFFull)
        return s.SummariseExit("erase", EXIT_NO_FIT, "the flash is larger than 4 GiB", extra);
    const CTempFolder folder; // removed on the way out, or by a stop
    if (folder.Path().empty())
        return s.SummariseExit("erase", EXIT_FAILURE_, folder.Error(), extra);
    const std::string image = (std::filesystem::path(folder.Path()) / "erase.s37").string();
    if (auto why = WriteFilledImage(image, 0, size, 0xFF))
        return s.SummariseExit("erase", EXIT_FAILURE_, *why, extra);
    s.Out().SetRange(0, static_cast<unsigned>(layout->sectorSizes.size()));
    s.Out().Say("Erasing all " + Plural(layout->sectorSizes.size(), "sector", "sectors") + " (" + HumanBytes(size) +
                ") by programming 0xFF bytes over the whole flash ...");
    if (auto stop = s.BeginCall("erase", "erasing the whole flash", true, extra))
        return *stop;
    const size_t phasesBefore = s.Out().PhaseCount();
    const uint32_t result = kzmFLDprogram(image.c_str());
    s.AfterWrite(result, "erased");
    if (auto stop = s.StopIfInterrupted("erase", extra))
        return *stop;
    return s.Summarise("erase", result, s.CauseOf(Operation::Program, phasesBefore),
                       result == 0 ? "Erased all " + Plural(layout->sectorSizes.size(), "sector", "sectors") +
                                         " of board " + HandleText(handle) + "."
                                   : "erasing the whole flash failed",
                       extra);
}

} // namespace

int Erase(CSession& s, bool all)
{
    CBoardSession board(s);
    uint64_t handle = 0;
    if (auto failed = s.OpenBoard("erase", board, BoardMode::Fld, handle))
        return *failed;
    const std::optional<FlashLayout> layout = s.BoardLayout(handle);
    if (all)
        return EraseAll(s, handle, layout);
    s.Out().SetRange(0, 1);
    const Json extra = {{"device_id", HandleText(handle)}};
    if (auto stop = s.BeginCall("erase", "erasing flash sector 0", true, extra))
        return *stop;
    const uint32_t result = kzmFLDerase();
    s.AfterWrite(result, "erased");
    if (auto stop = s.StopIfInterrupted("erase", extra))
        return *stop;
    board.Close();
    return s.Summarise("erase", result, Operation::Erase,
                       result == 0 ? "Erased flash sector 0 of board " + HandleText(handle) + "." : "erasing failed",
                       {{"device_id", HandleText(handle)}});
}

const Command ERASE_COMMAND = {
    "erase",
    "erase flash sector 0 (the library erases no other on its own)",
    [](CLI::App& sub, CommandLine& c) {
        sub.add_flag("--all", c.eraseAll,
                     "erase every sector: programs an image of 0xFF bytes over the whole flash through the same "
                     "exports (each sector is read, erased and written)");
    },
    [](CSession& s, const CommandLine& c) { return Erase(s, c.eraseAll); },
    true,
    "erased"};

} // namespace kzcli
