#include "Commands.h"

#include <future>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

#if KAZMIR_CLI_BENCH
namespace {

// Where the image would go on each board of the bench it may go to; whether
// it fits one.
bool InfoOnBench(CSession& s, const ImageAnalysis& image, Json& event,
                 const std::function<void(const std::string&)>& out)
{
    Json placements = Json::array();
    bool fitsOne = false, anyBoard = false;
    for (const auto& board : s.Bench().boards) {
        if (!s.Options().serial.empty() && board.serial != s.Options().serial)
            continue;
        if (board.flash.sectorSizes.empty())
            continue;
        anyBoard = true;
        const PlacementPlan plan = PreviewPlacement(image, LayoutOf(board.flash));
        // The library's sector table holds 32 sectors: it cannot open a larger flash.
        const bool tooMany = board.flash.sectorSizes.size() > MAX_SECTORS;
        const bool fits = plan.Accepted() && !tooMany && plan.result == 0;
        fitsOne = fitsOne || fits;
        Json p = PlanJson(plan);
        p["board"] = board.index;
        p["serial"] = board.serial;
        p["sector_count"] = board.flash.sectorSizes.size();
        p["fits"] = fits;
        placements.push_back(p);
        out("On bench board " + std::to_string(board.index) + " (" + board.serial + ", flash " +
            HumanBytes(board.flash.Size()) + " at base " + Hex32(board.flash.base) + ", " +
            Plural(board.flash.sectorSizes.size(), "sector", "sectors") + "): " + (fits ? "fits" : "does not fit"));
        if (tooMany)
            out("  the library handles at most " + std::to_string(MAX_SECTORS) + " flash sectors, this flash has " +
                std::to_string(board.flash.sectorSizes.size()) + ": kazmir cannot program this board");
        for (const auto& line : PlacementLines(plan, "  "))
            out(line);
    }
    event["placements"] = placements;
    return fitsOne || !anyBoard;
}

} // namespace
#endif

int Info(CSession& s, const std::string& file)
{
    if (auto stop = s.BeginCall("info", "reading " + file, false, {{"file", file}}))
        return *stop;
    if (auto reason = s.OpenInput(file))
        return s.SummariseExit("info", s.Input().FailureExit(), *reason, {{"file", file}});
#if KAZMIR_CLI_RUNLOG
    // The digest is a pass of its own over the file: beside the check.
    auto digest = std::async(std::launch::async, [&file] { return ImageSha256(file); });
#endif
    ImageAnalysis image = AnalyseImageFile(s.Input().LibraryPath());
    image.path = file;
    if (!image.readable)
        return s.SummariseExit("info", EXIT_IMAGE, image.findings.front().text, {{"file", file}});
    Json event = {{"event", "info"}, {"file", file}};
    event.update(ImageJson(image, s.Out().IsJson()));
    auto out = [&](const std::string& line) { s.Out().Print(line); };
    for (const auto& line : ImageReport(file, image))
        out(line);
#if KAZMIR_CLI_RUNLOG
    event["sha256"] = digest.get();
    out("SHA-256: " + event["sha256"].get<std::string>());
#endif
    int exitCode = image.Accepted() ? EXIT_OK : EXIT_IMAGE;
#if KAZMIR_CLI_BENCH
    if (s.Options().benchGiven) {
        if (auto failed = s.PrepareBench("info", true, {{"file", file}}))
            return *failed;
        // The image fits when it fits one of the boards it may go to.
        if (!InfoOnBench(s, image, event, out) && exitCode == EXIT_OK)
            exitCode = EXIT_NO_FIT;
    }
#endif
    s.Out().Event(event);
    return s.SummariseExit("info", exitCode,
                           exitCode == EXIT_OK      ? ""
                           : exitCode == EXIT_IMAGE ? file + " would be refused"
                                                    : file + " fits no board of the bench",
                           {{"file", file}});
}

const Command INFO_COMMAND = {"info",
                              "inspect an image file without a board (with --bench: where it would go)",
                              AddImageArguments,
                              [](CSession& s, const CommandLine& c) { return Info(s, c.file); },
                              false,
                              nullptr};

} // namespace kzcli
