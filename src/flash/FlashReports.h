// The flash loader's report lines that hosts read back: CFlashProg prints
// them with these formats, and the host kit's report decoder reads them with
// the same ones (it prints each candidate again and compares), so a text
// changes here or not at all.
#pragma once

// The flash information, once read (REPORT_TRACE): the first FLASH_INFO
// words in this order: Word4, Word6, SectorCount, Word10, BaseAddress.
constexpr char FLASH_INFO_TRACE_FORMAT[] = "%04x, %04x, %04x, %04x, %08x";

// A sector operation: its start and its success (REPORT_PROGRESS), its
// failure (REPORT_MESSAGE). The sector, and the end of the range after the
// slash.
constexpr char ERASE_SECTOR_FORMAT[] = "erase sector %02i/%02i ";
constexpr char ERASE_SECTOR_OK_FORMAT[] = "erase sector %02i/%02i OK";
constexpr char ERASE_SECTOR_FAILED_FORMAT[] = "erase sector %02i/%02i FAILED";
// Reads and writes: the word, the sector, the end of the range, the sector's
// flash offset.
constexpr char TRANSFER_SECTOR_FORMAT[] = "%s sector %02i/%02i (address: 0x%08x)";
constexpr char TRANSFER_SECTOR_OK_FORMAT[] = "%s sector %02i/%02i (address: 0x%08x) OK";
constexpr char TRANSFER_SECTOR_FAILED_FORMAT[] = "%s sector %02i/%02i (address: 0x%08x) failed";
constexpr char READ_SECTOR_WORD[] = "read";
constexpr char WRITE_SECTOR_WORD[] = "write";
