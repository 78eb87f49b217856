// Strict checks of firmware image files, and where the library would put
// them on a flash (the C interface over it: kazmir_host.h).
//
// The library reads images leniently: it ignores checksums, decodes lower-case
// digits wrongly, stops without a word at the first malformed line, skips lines
// it does not know, and places an image by its firmware-information record
// rather than by its addresses. The check watches the library's own reader
// line by line and holds each line to the strict rules, takes blocks and the
// firmware-information record from what the library loaded, and places them
// with the library's own placement, so that the host can refuse a file before
// any of it reaches the board.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "FlashLayout.h"
#include "ResultText.h"
#include "kazmir.h"

namespace kzhost {

// An error costs data or makes it ambiguous, and refuses the file; a warning
// loses nothing. Values as KZH_SEVERITY_*.
enum class Severity { Error, Warning };

// What a finding is about. The names (IssueName) appear in --json output.
// Values as KZH_ISSUE_*.
enum class Issue {
    Unreadable,     // the file cannot be opened or read
    NoData,         // no data record: the library refuses to load it
    NotARecord,     // a non-empty line that is no record: the library skips it
    BadCharacter,   // a character that is not a hexadecimal digit
    LowerCase,      // lower-case hexadecimal digits: the library decodes them wrongly
    BadLength,      // the byte count does not match the line's length
    BadChecksum,    // the record's checksum is wrong
    BadRecordType,  // unknown or reserved record type
    BadRecordField, // a record whose count or address does not suit its type
    MissingLineEnd, // last data line without line feed: the library drops it
    AfterStop,      // records after the point where the library stops reading
    AddressWrap,    // a record that runs past the end of the 32-bit address space
    Overlap,        // data written twice with different values
    CountMismatch,  // an S5/S6 count record that does not match the data records
    NoEndRecord,    // no end record (harmless: the library reads to the end)
    MixedFormats,   // Intel HEX and S-records in one file
    // Placement on a flash layout.
    BeyondFlash,   // the image's range ends beyond the flash
    StartOutside,  // the image would start outside the flash
    NotWritten,    // a block the library would not (fully) write
    RamFirmware,   // a RAM firmware that would still be written into the flash
    LayoutUnknown, // sector sizes unknown: the placement is checked only in part
    SplitLine,     // a line longer than the library reads at once: its rest is read as a line of its own
};

const char* IssueName(Issue issue);

struct Finding {
    Severity severity;
    Issue issue;
    uint32_t line = 0;  // 1-based line of the file; 0 when it concerns no single line
    int block = -1;     // block index for placement findings, -1 otherwise
    std::string text;   // one sentence for the user
    bool minor = false; // shown after the others of its kind when a list is cut short
};

// A block as the library loaded it, [start, end).
struct ImageBlock {
    uint32_t start = 0;
    uint64_t end = 0;
    uint64_t Size() const { return end - start; }
};

// The image's firmware-information record, as the library's lookup gives it
// (u32 fields in host order).
struct FwInfoView {
    bool found = false;
    FW_INFO record{};
    int block = -1;       // block that holds it
    uint32_t address = 0; // image address of the record's first byte

    std::string Name() const;
    std::string Device() const;
    std::string Version() const;       // "01.02.03.04"
    std::string DeviceVersion() const; // "01.00.00.00"
    std::string KindText() const;      // "FLASH", "RAM (BOOT)", ...
};

// A 50-byte record as the library's image lookup gives it (fields in host
// order; big-endian ones for "eMB-K 740" boards).
FW_INFO DecodeFwInfo(const uint8_t* bytes50);
// A record as the library reads it from the flash (kzmFLDscanFwInfo): in no
// block of an image.
FwInfoView FlashFwInfo(const FW_INFO& stored);

struct ImageAnalysis {
    std::string path;
    bool readable = false;
    uint32_t lines = 0;
    uint32_t dataRecords = 0;
    uint64_t dataBytes = 0;
    bool hasIntel = false;
    bool hasSRecords = false;
    uint32_t endLine = 0;             // line of the first end record; 0 when none
    uint32_t libraryStopLine = 0;     // line at which the library's reading stops; 0: end of file
    std::string stopReason;           // why it stops there ("an end record", "a malformed line", ...)
    uint32_t recordsNotRead = 0;      // record lines after the stop
    std::vector<uint32_t> splitLines; // lines the library splits after 4,095 characters
    bool loaded = false;              // the library loaded the file
    std::vector<ImageBlock> blocks;   // in the library's list order
    FwInfoView fwInfo;
    std::vector<Finding> findings;

    uint32_t Lowest() const;      // smallest block start; 0 without blocks
    uint64_t Highest() const;     // largest block end; 0 without blocks
    uint64_t LoadedBytes() const; // bytes of all blocks
    size_t Errors() const;
    bool Accepted() const { return readable && Errors() == 0; }
    const char* FormatName() const; // "Intel HEX", "S-records", "Intel HEX and S-records", "no records"
};

ImageAnalysis AnalyseImageText(std::string_view text);
ImageAnalysis AnalyseImageFile(const std::string& path);
// Only what the library would load from the file: its blocks and firmware
// record (loaded false when it loads nothing), without the strict rules; the
// lines, records and findings stay empty.
ImageAnalysis LoadedImage(const std::string& path);
// Whether the path names a regular file that can be read; otherwise the one
// sentence that says why not.
std::optional<std::string> UnreadableReason(const std::string& path);

struct BlockPlacement {
    uint64_t flashOffset = 0; // flash offset the block's first byte goes to
    uint64_t written = 0;     // bytes of the block that land in the range
};

struct PlacementPlan {
    uint32_t result = 0; // the code the library's placement would give (0 = placed)
    bool useBase = false;
    uint32_t startOffset = 0;
    uint32_t base = 0;
    uint16_t firstSector = 0;
    uint16_t endSector = 0; // one after the last sector of the range
    uint32_t firstOffset = 0;
    uint64_t rangeStart = 0; // flash offset of the range
    uint64_t rangeSize = 0;
    uint64_t bytesWritten = 0; // image bytes inside the range
    uint64_t bytesKept = 0;    // bytes of the range the image leaves as they are
    std::vector<BlockPlacement> blocks;
    std::vector<Finding> findings;
    std::string explanation; // how the library places the image, for the user

    size_t Errors() const;
    bool Accepted() const { return Errors() == 0; }
    bool Placed() const { return result == 0 && endSector > firstSector; } // a sector range was worked out
};

// Replays the library's placement of the image on the layout.
PlacementPlan PreviewPlacement(const ImageAnalysis& image, const FlashLayout& layout);

// Where a flash differs from what a verify of the image compares: the range
// as it is, with the image (the file the library read) laid over it.
struct FlashMismatch {
    uint64_t flashOffset = 0; // of the first differing byte
    uint16_t sector = 0;
    std::vector<uint8_t> flashBytes, imageBytes; // up to 8 bytes from there on
    uint64_t bytesDiffering = 0;                 // in the whole range
};
// nullopt when the flash holds what the image asks for, or the image cannot
// be placed on the layout or read.
std::optional<FlashMismatch> FindMismatch(const std::string& libraryPath, const ImageAnalysis& image,
                                          const FlashLayout& layout, const std::vector<uint8_t>& flash);

// printf-style text, as the findings word it (checked as the C library's
// printf is; mingw-w64 names its C99 one).
#ifdef __MINGW_PRINTF_FORMAT
#define KZH_PRINTF_FORMAT __MINGW_PRINTF_FORMAT
#else
#define KZH_PRINTF_FORMAT printf
#endif
std::string Fmt(const char* format, ...) __attribute__((format(KZH_PRINTF_FORMAT, 1, 2)));

} // namespace kzhost
