// CFwInfo: the firmware-information record (50 bytes before "$FW-INFO$"):
// finding its marker, putting its fields into host order, and its texts.
#pragma once

#include "kazmir.h"

#include <cstddef>
#include <cstdint>

class CFwInfo {
public:
    static constexpr size_t MARKER_SIZE = 9;
    static constexpr size_t RECORD_SIZE = sizeof(FW_INFO);
    static constexpr uint32_t NOT_FOUND = 0xA0FE0001u;

    // Offset of the first "$FW-INFO$" lying wholly inside [data, data + size),
    // or -1.
    static ptrdiff_t FindMarker(const uint8_t* data, size_t size);
    // Whether the record's Device text names the model that stores the u32
    // fields big-endian ("eMB-K 740"); the text is not read past its field.
    static bool IsBigEndianModel(const FW_INFO& info);
    // Puts the u32 fields at offsets 4, 8, 12 and 16 into host order: from
    // big-endian for that model, from little-endian otherwise.
    static void ToHostOrder(FW_INFO* info);
    // "FLASH", "RAM", or "UNKNOWN" for the kind without its BOOT bit.
    static const char* KindText(uint32_t kindWithoutBoot);
};
