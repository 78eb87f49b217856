#include "Commands.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <future>

#include "Format.h"
#include "kazmir.h"

namespace kzcli {

// The info event; its blocks only when they are shown (an image of many
// blocks makes a large event).
namespace {

Json InfoEvent(const std::string& file, const ImageAnalysis& image, bool withBlocks)
{
    Json blocks = Json::array();
    for (size_t i = 0; withBlocks && i < image.blocks.size(); ++i)
        blocks.push_back({{"start", Hex32(image.blocks[i].start)},
                          {"end", Hex32(image.blocks[i].end - 1)},
                          {"size", image.blocks[i].Size()}});
    return {{"event", "info"},
            {"file", file},
            {"format", image.FormatName()},
            {"lines", image.lines},
            {"data_records", image.dataRecords},
            {"data_bytes", image.dataBytes},
            {"blocks", blocks},
            {"lowest", Hex32(image.Lowest())},
            {"highest", Hex32(image.blocks.empty() ? 0 : image.Highest() - 1)},
            {"fw_info", FwInfoJson(image.fwInfo)},
            {"accepted", image.Accepted()},
            {"library_stop_line", image.libraryStopLine},
            {"library_stop_reason", image.stopReason},
            {"records_not_read", image.recordsNotRead},
            {"split_lines", image.splitLines},
            {"findings", FindingsJson(image.findings)}};
}

// The info report in words, line by line.
void InfoLines(const std::string& file, const ImageAnalysis& image, const std::function<void(const std::string&)>& out)
{
    out(file + ": " + image.FormatName() + ", " + Plural(image.lines, "line", "lines") + ", " +
        Plural(image.dataRecords, "data record", "data records") + ", " + Plural(image.dataBytes, "byte", "bytes"));
    out("Blocks, in the library's order:");
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const auto& b = image.blocks[i];
        char line[128];
        std::snprintf(line, sizeof(line), "  %3zu  %s to %s  %s", i, Hex32(b.start).c_str(), Hex32(b.end - 1).c_str(),
                      Plural(b.Size(), "byte", "bytes").c_str());
        out(line);
    }
    if (!image.blocks.empty())
        out("Lowest address " + Hex32(image.Lowest()) + ", highest " + Hex32(image.Highest() - 1) +
            " (the image spans " + Plural(image.Highest() - image.Lowest(), "byte", "bytes") + ")");
    if (image.fwInfo.found) {
        out("Firmware information (block " + std::to_string(image.fwInfo.block) + ", at " +
            Hex32(image.fwInfo.address) + "):");
        out("  name \"" + image.fwInfo.Name() + "\", version " + image.fwInfo.Version() + ", " +
            image.fwInfo.KindText() + ", address " + Hex32(image.fwInfo.record.Address) + ", device \"" +
            image.fwInfo.Device() + "\" " + image.fwInfo.DeviceVersion());
    } else {
        out("No firmware-information record: the library takes the image's addresses as flash offsets.");
    }
    if (image.Accepted()) {
        out("Check: accepted" + std::string(image.findings.empty() ? "." : ", with warnings:"));
    } else {
        out("Check: refused, " + Plural(image.Errors(), "problem", "problems") + ":");
    }
    for (const auto& line : FindingLines(image.findings, false, "  "))
        out(line);
    if (image.libraryStopLine != 0 && (image.recordsNotRead != 0 || image.stopReason != "an end record"))
        out("The library stops reading at line " + std::to_string(image.libraryStopLine) + " of " +
            std::to_string(image.lines) + ", at " + image.stopReason + "; " +
            Plural(image.recordsNotRead, "record", "records") + " after it " +
            (image.recordsNotRead == 1 ? "is" : "are") + " not read.");
}

#if KAZMIR_CLI_BENCH
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
        if (plan.Accepted() && plan.result == 0 && plan.endSector > plan.firstSector)
            out("  " + SectorRangeText(plan) + ": " + Plural(plan.bytesWritten, "byte", "bytes") + " from the image, " +
                Plural(plan.bytesKept, "byte", "bytes") + " of the range left untouched");
        if (!plan.Accepted() && !plan.explanation.empty())
            out("  " + plan.explanation + ";");
        for (const auto& line : FindingLines(plan.findings, false, "  "))
            out(line);
    }
    event["placements"] = placements;
    return fitsOne || !anyBoard;
}
#endif

} // namespace

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
    Json event = InfoEvent(file, image, s.Out().IsJson());
    auto out = [&](const std::string& line) { s.Out().Print(line); };
    InfoLines(file, image, out);
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
