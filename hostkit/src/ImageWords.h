// The words every host prints about an image: counts, findings, the
// firmware-information record, where the image goes on a flash, and the
// report of an analysed image. The C interface hands out the same texts
// (kzhAnalysisText and its neighbours in kazmir_host.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ImageCheck.h"

namespace kzhost {

std::string Plural(uint64_t n, const char* one, const char* many); // "1 byte", "2 bytes"
std::string HumanBytes(uint64_t bytes);                            // "212 bytes", "16.0 KiB", "1.5 MiB"

// One line per finding ("line 12: ..."), at most three of one kind (then how
// many more of it), minor ones after the others; all with "error: " or
// "warning: " before them, or only the errors without it.
std::vector<std::string> FindingLines(const std::vector<Finding>& all, bool errorsOnly, const std::string& indent);

// firmware "DEMO" 01.02.00.00, FLASH at 0x00000000, for "KZ-DEMO" 01.00.00.00
// ("no firmware-information record" when there is none).
std::string FwInfoLine(const FwInfoView& fw);
// The record field by field, one line each ("Name            DEMO").
std::vector<std::string> FwInfoFields(const FwInfoView& fw, const std::string& indent);

// The range of a placed plan: "sector 0 (flash 0x00000000 to 0x00003FFF,
// 16.0 KiB)", "sectors 2..5 (...)".
std::string SectorRangeText(const PlacementPlan& plan);

// A placement as program and verify report it before the library gets the
// image: when refused, that the file does not fit (nothing was written),
// how the library places it and the errors; else its findings and the range
// the image goes into.
std::vector<std::string> PlacementCheckLines(const std::string& file, const PlacementPlan& plan);

// How much of the image lies in the range of a placed plan once the library
// wrote it (else compared it): all of it, only part (a warning), or none (the
// flash does not hold the image).
std::string CoverageText(const ImageAnalysis& image, const PlacementPlan& plan, bool wrote);

// Where a flash first differs from the image, in one sentence (base: the
// flash's base address, for the address beside the offset).
std::string MismatchText(const FlashMismatch& m, uint32_t base);
std::string HexText(const uint8_t* data, size_t size); // "48656C"

// A placement in the words of kazmir info: the range and the bytes it writes
// and leaves, or how the library places the image when it is refused; then
// its findings.
std::vector<std::string> PlacementLines(const PlacementPlan& plan, const std::string& indent);

// The report of an analysed image (kazmir info): counts, blocks, the record,
// the check's verdict and findings, where the library stops reading.
std::vector<std::string> ImageReport(const std::string& file, const ImageAnalysis& image);

} // namespace kzhost
