// A board's copy of an image with its stamps in it. The copy is the image's
// own text with two kinds of change, so that everything else the host checks
// (records, order of blocks, the firmware-information record) stays as it was:
// - a stamped byte that records of the image hold is changed in those
//   records, and their checksums are changed by the same amount (a wrong
//   checksum stays wrong, for the check to find);
// - the other stamped bytes go into new records (Intel HEX or S3, as the
//   image's last data record is) right after the last data record the
//   library reads, so that reading still stops where it did.
// The copy is read back with the library's own image reader before it is
// handed out: a stamp that would not read back is refused.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "RunRecord.h"

namespace kzhost {
class CTempFolder;
}

namespace kzlog {

struct StampLanding {
    uint32_t replaced = 0; // stamped bytes the image's records held
    uint32_t added = 0;    // stamped bytes in new records
};

// The stamped text; nullopt with the sentence in error.
std::optional<std::string> StampImageText(std::string_view text, const std::vector<StampValue>& stamps,
                                          std::string& error, StampLanding* landing = nullptr);

// The stamped copy of an image file, in a private temporary folder that goes
// with the object.
class CStampedImage {
public:
    CStampedImage();
    ~CStampedImage();
    CStampedImage(const CStampedImage&) = delete;
    CStampedImage& operator=(const CStampedImage&) = delete;

    // nullopt when the copy is written (Path()); the sentence otherwise.
    std::optional<std::string> Make(const std::string& image, const std::vector<StampValue>& stamps);
    const std::string& Path() const { return m_File; }
    const StampLanding& Landing() const { return m_Landing; }

private:
    std::unique_ptr<kzhost::CTempFolder> m_Folder;
    std::string m_File;
    StampLanding m_Landing;
};

} // namespace kzlog
