// The trace line CFlashProg reports once it has read the flash information:
// the first FLASH_INFO words in this order, each as printed by the format.
//   Word4, Word6, SectorCount, Word10, BaseAddress
// Hosts learn the flash layout from this line (the kazmir command's
// FlashLayout::FromTraceLine parses it with the same format), so the text and
// the order of its words change here or not at all.
#pragma once

constexpr char FLASH_INFO_TRACE_FORMAT[] = "%04x, %04x, %04x, %04x, %08x";
