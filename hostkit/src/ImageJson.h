// The JSON forms of what the kit says about an image, as kazmir's --json
// events carry them (cli/README.md), keys in the order written. For C++
// hosts only: the kit's static form holds them where nlohmann-json is at
// hand; the C interface has none.
#pragma once

#include <vector>

#include <nlohmann/json.hpp>

#include "ImageCheck.h"

namespace kzhost {

nlohmann::ordered_json FindingJson(const Finding& f);
nlohmann::ordered_json FindingsJson(const std::vector<Finding>& findings);
// null when there is no record; a record from an image has its block and
// address in the image ("block", "at"), one read from a flash its reserved
// words instead.
nlohmann::ordered_json FwInfoJson(const FwInfoView& fw);
nlohmann::ordered_json PlanJson(const PlacementPlan& plan);
// Where a flash first differs from the image (with the flash base).
nlohmann::ordered_json MismatchJson(const FlashMismatch& m, uint32_t base);
// What kazmir info's event says about the image; its blocks only when asked
// (an image of many blocks makes a large event).
nlohmann::ordered_json ImageJson(const ImageAnalysis& image, bool withBlocks);

} // namespace kzhost
