// program and verify: the image read and checked, its place on the board's
// flash, the library's program and verify, and what the flash holds after.
#include "Commands.h"

#include <cstdio>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

namespace {

bool CheckPlacement(CSession& s, const ImageAnalysis& image, const std::optional<FlashLayout>& layout, bool noCheck,
                    PlacementPlan& plan)
{
    if (!layout) {
        if (noCheck)
            return true;
        s.Out().Warn("The board's flash layout is unknown, so where the image would go cannot be checked.");
        return false;
    }
    if (noCheck)
        return true;
    plan = PreviewPlacement(image, *layout);
    s.Out().Event({{"event", "placement"}, {"file", image.path}, {"plan", PlanJson(plan)}});
    for (const auto& line : PlacementCheckLines(image.path, plan))
        plan.Accepted() ? s.Out().Say(line) : s.Out().Warn(line);
    if (!plan.Accepted()) {
        // Offered only where the library would write some of the image.
        if (plan.result == 0 && plan.bytesWritten > 0)
            s.Out().Warn("Give --no-check to hand it to the library all the same.");
        return false;
    }
    if (plan.Placed())
        s.Out().SetRange(plan.firstSector, plan.endSector);
    return true;
}

void SayFlashLoader(CSession& s, uint64_t handle, const std::optional<FlashLayout>& layout)
{
    if (layout && layout->SizesKnown())
        s.Out().Say("Board " + HandleText(handle) + " is in its flash loader: flash of " + HumanBytes(layout->Size()) +
                    " in " + Plural(layout->sectorSizes.size(), "sector", "sectors") + " at base " +
                    Hex32(layout->base) + ".");
    else
        s.Out().Say("Board " + HandleText(handle) + " is in its flash loader.");
}

uint32_t VerifyImage(CSession& s)
{
    s.Out().SetVerifying(true);
    const uint32_t code = kzmFLDverify(s.LibraryImage().c_str());
    s.Out().SetVerifying(false);
    s.AfterVerify(code);
    return code;
}

// plan: the image's placement on this layout (PreviewPlacement).
Ended CheckCoverage(CSession& s, const std::string& command, const ImageAnalysis& image,
                    const std::optional<FlashLayout>& layout, const PlacementPlan& plan, Json& extra)
{
    if (!image.readable || image.blocks.empty() || !layout || !layout->SizesKnown())
        return std::nullopt;
    if (!plan.Placed())
        return std::nullopt;
    const uint64_t total = image.LoadedBytes(), inside = plan.bytesWritten;
    extra["image_bytes"] = total;
    extra["image_bytes_in_range"] = inside;
    const std::string text = CoverageText(image, plan, command == "program");
    if (inside == 0)
        return s.SummariseExit(command, EXIT_NO_FIT, text, extra);
    if (inside < total)
        s.Out().Warn(text);
    else
        s.Out().Say(text);
    return std::nullopt;
}

Ended CompareFirst(CSession& s, const std::string& command, CBoardSession& board, const ImageAnalysis& image,
                   const std::optional<FlashLayout>& layout, const PlacementPlan& plan, Json& extra)
{
    s.Out().Say("Comparing the flash with " + image.path + " ...");
    if (auto stop =
            s.BeginCall(command, "comparing the flash with " + image.path + " (nothing is written yet)", false, extra))
        return stop;
    const size_t phasesBefore = s.Out().PhaseCount();
    const uint32_t result = VerifyImage(s);
    if (auto stop = s.StopIfInterrupted(command, extra))
        return *stop;
    if (result == 0) {
        if (auto stop = CheckCoverage(s, command, image, layout, plan, extra))
            return *stop;
        board.Close();
        extra["skipped"] = true;
        return s.Summarise(command, 0, Operation::Verify,
                           "The flash already holds " + image.path + ": nothing was erased or written.", extra);
    }
    if (result != KZM_E_VERIFY) {
        board.Close();
        return s.Summarise(command, result, s.CauseOf(Operation::Verify, phasesBefore),
                           "could not compare the flash with the image", extra);
    }
    s.Out().Say("The flash differs from the image: programming it.");
    s.Out().ClearPhases();
    return std::nullopt;
}

void ExplainMismatch(CSession& s, uint64_t handle, const ImageAnalysis& image, const std::optional<FlashLayout>& layout)
{
    std::optional<std::vector<uint8_t>> flash;
#if KAZMIR_CLI_BENCH
    flash = kazsim::BenchFlash(handle);
#else
    (void)handle;
#endif
    if (!flash) {
        s.Out().Warn(
            "The library reports only that the flash differs somewhere in the image's sector range, not where.");
        return;
    }
    if (!layout)
        return;
    const auto m = FindMismatch(s.LibraryImage(), image, *layout, *flash);
    if (!m)
        return;
    Json event = {{"event", "mismatch"}};
    event.update(MismatchJson(*m, layout->base));
    s.Out().Event(event);
    s.Out().Warn(MismatchText(*m, layout->base));
}

} // namespace

int RunFlashImage(CSession& s, const std::string& command, const std::string& file, const FlashOptions& flash)
{
    const bool programming = command == "program";
    Json extra = {{"file", file}};
    ImageAnalysis image;
    if (auto refused = s.ReadFlashImage(command, file, flash.noCheck, image, extra))
        return *refused;

    CBoardSession board(s);
    uint64_t handle = 0;
    if (auto failed = s.OpenBoard(command, board, BoardMode::Fld, handle, extra))
        return *failed;
    extra["device_id"] = HandleText(handle);
    const std::optional<FlashLayout> layout = s.BoardLayout(handle);
    SayFlashLoader(s, handle, layout);
    if (layout && layout->sectorCount == 0 && !layout->SizesKnown()) {
        board.Close();
        return s.SummariseExit(command, EXIT_DEVICE,
                               "the board reports a flash of no sectors: there is nothing to " +
                                   std::string(programming ? "program" : "compare"),
                               extra);
    }
    PlacementPlan plan;
    if (!CheckPlacement(s, image, layout, flash.noCheck, plan)) {
        board.Close();
        return s.SummariseExit(
            command, layout ? EXIT_NO_FIT : EXIT_DEVICE,
            layout ? file + " does not fit this board's flash" : "the board's flash layout is unknown", extra);
    }
    // Placed once, also with --no-check: what the flash holds afterwards is told from it.
    if (flash.noCheck && layout && layout->SizesKnown() && image.readable && !image.blocks.empty())
        plan = PreviewPlacement(image, *layout);
    if (plan.result == 0 && plan.rangeSize > 0)
        extra["bytes"] = plan.rangeSize;
    if (programming && flash.skipUnchanged)
        if (auto ended = CompareFirst(s, command, board, image, layout, plan, extra))
            return *ended;
    extra["skipped"] = false;
    if (programming) {
        if (auto stop = s.BeginCall(command, "programming " + file, true, extra))
            return *stop;
        const size_t phasesBefore = s.Out().PhaseCount();
        const uint32_t result = kzmFLDprogram(s.LibraryImage().c_str());
        s.AfterWrite(result, "image");
        if (auto stop = s.StopIfInterrupted(command, extra))
            return *stop;
        if (result != 0) {
            board.Close();
            return s.Summarise(command, result, s.CauseOf(Operation::Program, phasesBefore),
                               "programming " + file + " failed", extra);
        }
    }
    if (!programming || flash.verify) {
        if (programming)
            s.Out().Say("Verifying ...");
        if (auto stop = s.BeginCall(command, "verifying " + file + " (nothing is written)", false, extra))
            return *stop;
        const size_t phasesBefore = s.Out().PhaseCount();
        const uint32_t result = VerifyImage(s);
        if (auto stop = s.StopIfInterrupted(command, extra))
            return *stop;
        if (result == KZM_E_VERIFY)
            ExplainMismatch(s, handle, image, layout);
        if (result != 0) {
            board.Close();
            return s.Summarise(command, result, s.CauseOf(Operation::Verify, phasesBefore),
                               programming ? "programmed " + file + ", but verifying it failed"
                                           : "verifying " + file + " failed",
                               extra);
        }
    }
    board.Close();
    if (auto stop = CheckCoverage(s, command, image, layout, plan, extra))
        return *stop;
    char seconds[32];
    std::snprintf(seconds, sizeof(seconds), "%.2f s", s.Elapsed());
    const std::string done =
        programming ? "Programmed " + file + (flash.verify ? " and verified it" : "") + " in " + seconds + "."
                    : "The flash holds " + file + " (verified in " + seconds + ").";
    return s.Summarise(command, 0, programming ? Operation::Program : Operation::Verify, done, extra);
}

void AddImageArguments(CLI::App& sub, CommandLine& c)
{
    sub.add_option("FILE", c.file, "the image file: Intel HEX, S-records, ELF, or a raw binary with --base")
        ->required();
    sub.add_option("--base", c.baseText, "the file is a raw binary whose first byte goes to this address")
        ->type_name("ADDR");
}

} // namespace kzcli
