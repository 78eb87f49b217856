// Images whose records overlap: judged from the library's own load and a
// second reading of the records.
#pragma once

#include "ImageCheck.h"

class CImageFile;
class CImageReader;

namespace kzhost {

// For images whose records overlap, after the strict reading: the blocks and
// record of the image as the library loaded it (null when it did not), and a
// finding for each record that writes bytes another one wrote (reader: the
// file opened again; null when it cannot be).
void JudgeOverlaps(CImageFile* image, CImageReader* reader, ImageAnalysis& out);

} // namespace kzhost
