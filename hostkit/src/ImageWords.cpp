#include "ImageWords.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace kzhost {

std::string Plural(uint64_t n, const char* one, const char* many)
{
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

std::string HumanBytes(uint64_t bytes)
{
    char buf[32];
    if (bytes < 1024)
        std::snprintf(buf, sizeof(buf), "%llu bytes", static_cast<unsigned long long>(bytes));
    else if (bytes < 1024 * 1024)
        std::snprintf(buf, sizeof(buf), "%.1f KiB", static_cast<double>(bytes) / 1024);
    else
        std::snprintf(buf, sizeof(buf), "%.1f MiB", static_cast<double>(bytes) / (1024 * 1024));
    return buf;
}

std::vector<std::string> FindingLines(const std::vector<Finding>& all, bool errorsOnly, const std::string& indent)
{
    std::vector<Finding> findings = all;
    std::stable_sort(findings.begin(), findings.end(),
                     [](const Finding& a, const Finding& b) { return !a.minor && b.minor; });
    std::vector<std::string> lines;
    std::map<Issue, size_t> seen, total;
    for (const auto& f : findings)
        if (!errorsOnly || f.severity == Severity::Error)
            ++total[f.issue];
    for (const auto& f : findings) {
        if (errorsOnly && f.severity != Severity::Error)
            continue;
        const size_t n = ++seen[f.issue];
        const std::string prefix = errorsOnly ? "" : (f.severity == Severity::Error ? "error: " : "warning: ");
        if (n <= 3)
            lines.push_back(indent + prefix + f.text);
        if (n == 3 && total[f.issue] > 3)
            lines.push_back(indent + "... and " + std::to_string(total[f.issue] - 3) + " more of this kind (" +
                            IssueName(f.issue) + ")");
    }
    return lines;
}

std::string FwInfoLine(const FwInfoView& fw)
{
    if (!fw.found)
        return "no firmware-information record";
    return "firmware \"" + fw.Name() + "\" " + fw.Version() + ", " + fw.KindText() + " at " + Hex32(fw.record.Address) +
           ", for \"" + fw.Device() + "\" " + fw.DeviceVersion();
}

std::vector<std::string> FwInfoFields(const FwInfoView& fw, const std::string& indent)
{
    const FW_INFO& r = fw.record;
    return {indent + "Name            " + fw.Name(),
            indent + "Version         " + fw.Version(),
            indent + "Kind            " + fw.KindText() + " (" + Hex32(r.Kind) + ")",
            indent + "Address         " + Hex32(r.Address),
            indent + "Reserved        " + Hex32(r.Reserved12) + " " + Hex32(r.Reserved16),
            indent + "Device          " + fw.Device(),
            indent + "Device version  " + fw.DeviceVersion()};
}

std::string SectorRangeText(const PlacementPlan& plan)
{
    const unsigned last = plan.endSector - 1u;
    std::string text = plan.firstSector == last
                           ? "sector " + std::to_string(plan.firstSector)
                           : "sectors " + std::to_string(plan.firstSector) + ".." + std::to_string(last);
    return text + " (flash " + Hex32(plan.rangeStart) + " to " + Hex32(plan.rangeStart + plan.rangeSize - 1) + ", " +
           HumanBytes(plan.rangeSize) + ")";
}

std::vector<std::string> PlacementCheckLines(const std::string& file, const PlacementPlan& plan)
{
    std::vector<std::string> lines;
    if (!plan.Accepted()) {
        lines.push_back(file + " does not fit this board's flash (nothing was written):");
        if (!plan.explanation.empty())
            lines.push_back("  " + plan.explanation + ";");
    }
    for (auto& line : FindingLines(plan.findings, !plan.Accepted(), "  "))
        lines.push_back(std::move(line));
    if (plan.Accepted() && plan.Placed())
        lines.push_back("The image goes into " + SectorRangeText(plan) + ": " +
                        Plural(plan.bytesWritten, "byte", "bytes") + " from the image, " +
                        Plural(plan.bytesKept, "byte", "bytes") + " kept as they are.");
    return lines;
}

std::string CoverageText(const ImageAnalysis& image, const PlacementPlan& plan, bool wrote)
{
    const uint64_t total = image.LoadedBytes(), inside = plan.bytesWritten;
    const std::string range = SectorRangeText(plan), did = wrote ? "wrote" : "compared";
    if (inside == 0)
        return "the library reported success, but none of the image's " + Plural(total, "byte", "bytes") + " lie in " +
               range + ", the range it " + did + ": the flash does not hold the image";
    if (inside < total)
        return "warning: only " + std::to_string(inside) + " of the image's " + Plural(total, "byte", "bytes") +
               " lie in " + range + ", the range the library " + did + "; the other " +
               Plural(total - inside, "byte", "bytes") + (wrote ? " were not written" : " were not compared");
    return "All " + Plural(total, "byte", "bytes") + " of the image lie in " + range + ", the range the library " +
           did + ".";
}

std::string HexText(const uint8_t* data, size_t size)
{
    std::string text;
    for (size_t i = 0; i < size; ++i)
        text += Fmt("%02X", data[i]);
    return text;
}

std::string MismatchText(const FlashMismatch& m, uint32_t base)
{
    return "The flash differs first at flash offset " + Hex32(m.flashOffset) + " (address " +
           Hex32(m.flashOffset + base) + ", sector " + std::to_string(m.sector) + "): it holds " +
           HexText(m.flashBytes.data(), m.flashBytes.size()) + " where the image has " +
           HexText(m.imageBytes.data(), m.imageBytes.size()) + "; " +
           Plural(m.bytesDiffering, "byte differs", "bytes differ") + " in the range.";
}

std::vector<std::string> PlacementLines(const PlacementPlan& plan, const std::string& indent)
{
    std::vector<std::string> lines;
    if (plan.Accepted() && plan.Placed())
        lines.push_back(indent + SectorRangeText(plan) + ": " + Plural(plan.bytesWritten, "byte", "bytes") +
                        " from the image, " + Plural(plan.bytesKept, "byte", "bytes") + " of the range left untouched");
    if (!plan.Accepted() && !plan.explanation.empty())
        lines.push_back(indent + plan.explanation + ";");
    for (auto& line : FindingLines(plan.findings, false, indent))
        lines.push_back(std::move(line));
    return lines;
}

std::vector<std::string> ImageReport(const std::string& file, const ImageAnalysis& image)
{
    std::vector<std::string> lines;
    lines.push_back(file + ": " + image.FormatName() + ", " + Plural(image.lines, "line", "lines") + ", " +
                    Plural(image.dataRecords, "data record", "data records") + ", " +
                    Plural(image.dataBytes, "byte", "bytes"));
    lines.push_back("Blocks, in the library's order:");
    for (size_t i = 0; i < image.blocks.size(); ++i) {
        const auto& b = image.blocks[i];
        lines.push_back(Fmt("  %3zu  %s to %s  %s", i, Hex32(b.start).c_str(), Hex32(b.end - 1).c_str(),
                            Plural(b.Size(), "byte", "bytes").c_str()));
    }
    if (!image.blocks.empty())
        lines.push_back("Lowest address " + Hex32(image.Lowest()) + ", highest " + Hex32(image.Highest() - 1) +
                        " (the image spans " + Plural(image.Highest() - image.Lowest(), "byte", "bytes") + ")");
    const FwInfoView& fw = image.fwInfo;
    if (fw.found) {
        lines.push_back("Firmware information (block " + std::to_string(fw.block) + ", at " + Hex32(fw.address) + "):");
        lines.push_back("  name \"" + fw.Name() + "\", version " + fw.Version() + ", " + fw.KindText() + ", address " +
                        Hex32(fw.record.Address) + ", device \"" + fw.Device() + "\" " + fw.DeviceVersion());
    } else {
        lines.push_back("No firmware-information record: the library takes the image's addresses as flash offsets.");
    }
    if (image.Accepted())
        lines.push_back("Check: accepted" + std::string(image.findings.empty() ? "." : ", with warnings:"));
    else
        lines.push_back("Check: refused, " + Plural(image.Errors(), "problem", "problems") + ":");
    for (auto& line : FindingLines(image.findings, false, "  "))
        lines.push_back(std::move(line));
    if (image.libraryStopLine != 0 && (image.recordsNotRead != 0 || image.stopReason != "an end record"))
        lines.push_back("The library stops reading at line " + std::to_string(image.libraryStopLine) + " of " +
                        std::to_string(image.lines) + ", at " + image.stopReason + "; " +
                        Plural(image.recordsNotRead, "record", "records") + " after it " +
                        (image.recordsNotRead == 1 ? "is" : "are") + " not read.");
    return lines;
}

} // namespace kzhost
