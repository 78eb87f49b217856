#include "ImageJson.h"

#include "ImageWords.h"

namespace kzhost {

using Json = nlohmann::ordered_json;

Json FindingJson(const Finding& f)
{
    Json j = {{"severity", f.severity == Severity::Error ? "error" : "warning"},
              {"issue", IssueName(f.issue)},
              {"text", f.text}};
    if (f.line != 0)
        j["line"] = f.line;
    if (f.block >= 0)
        j["block"] = f.block;
    return j;
}

Json FindingsJson(const std::vector<Finding>& findings)
{
    Json list = Json::array();
    for (const auto& f : findings)
        list.push_back(FindingJson(f));
    return list;
}

Json FwInfoJson(const FwInfoView& fw)
{
    if (!fw.found)
        return nullptr;
    Json j = {{"name", fw.Name()},
              {"version", fw.Version()},
              {"kind", static_cast<uint32_t>(fw.record.Kind)}, // a copy: the record is packed
              {"kind_text", fw.KindText()},
              {"address", Hex32(fw.record.Address)}};
    if (fw.block < 0) {
        j["reserved12"] = Hex32(fw.record.Reserved12);
        j["reserved16"] = Hex32(fw.record.Reserved16);
    }
    j["device"] = fw.Device();
    j["device_version"] = fw.DeviceVersion();
    if (fw.block >= 0) {
        j["block"] = fw.block;
        j["at"] = Hex32(fw.address);
    }
    return j;
}

Json PlanJson(const PlacementPlan& plan)
{
    Json j = {{"accepted", plan.Accepted()},
              {"library_result", Hex32(plan.result)},
              {"findings", FindingsJson(plan.findings)}};
    if (plan.Placed()) {
        j["first_sector"] = plan.firstSector;
        j["last_sector"] = plan.endSector - 1;
        j["range_start"] = Hex32(plan.rangeStart);
        j["range_size"] = plan.rangeSize;
        j["bytes_written"] = plan.bytesWritten;
        j["bytes_kept"] = plan.bytesKept;
    }
    return j;
}

Json MismatchJson(const FlashMismatch& m, uint32_t base)
{
    return {{"flash_offset", Hex32(m.flashOffset)},
            {"address", Hex32(m.flashOffset + base)},
            {"sector", m.sector},
            {"flash_bytes", HexText(m.flashBytes.data(), m.flashBytes.size())},
            {"image_bytes", HexText(m.imageBytes.data(), m.imageBytes.size())},
            {"bytes_differing", m.bytesDiffering}};
}

Json ImageJson(const ImageAnalysis& image, bool withBlocks)
{
    Json blocks = Json::array();
    for (size_t i = 0; withBlocks && i < image.blocks.size(); ++i)
        blocks.push_back({{"start", Hex32(image.blocks[i].start)},
                          {"end", Hex32(image.blocks[i].end - 1)},
                          {"size", image.blocks[i].Size()}});
    return {{"format", image.FormatName()},
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

} // namespace kzhost
