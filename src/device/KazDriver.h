// The board's kernel driver as the library sees it: its device-interface
// class, its three control codes and the GetInfo record.
#pragma once

#include "platform/Platform.h"

#include <cstdint>

// Device-interface class of the boards' driver.
constexpr GUID KAZ_DRIVER_INTERFACE_CLASS = {
    0x48E20102, 0xD37D, 0x42C8, {0xBE, 0x32, 0xF8, 0x6F, 0x4F, 0xCB, 0x2B, 0x4C}};

constexpr DWORD IOCTL_KAZ_GET_INFO = 0xA0003000; // in 1 byte, out DEVICE_INFO_RECORD
constexpr DWORD IOCTL_KAZ_LOAD_FW = 0xA0003005;  // in 6 zero bytes, no output
constexpr DWORD IOCTL_KAZ_RESET = 0xA000300C;    // in 1-byte selector, out 1 byte

constexpr DWORD LOAD_FW_INPUT_SIZE = 6;

// Board states as GetInfo reports them.
constexpr uint32_t DEV_STATE_FLD = 1;
constexpr uint32_t DEV_STATE_BAL = 2;
constexpr uint32_t DEV_STATE_CCL = 3;
constexpr uint32_t DEV_STATE_ROM = 16;

// Reset selectors.
constexpr uint8_t RESET_TO_BOOT_ROM = 0;
constexpr uint8_t RESET_TO_FIRMWARE = 1;

#pragma pack(push, 1)
// GetInfo's answer (140 bytes); DeviceId sits unaligned at offset 4.
struct DEVICE_INFO_RECORD {
    uint32_t State;
    uint64_t DeviceId;
    char Serial[128];
};
#pragma pack(pop)
static_assert(sizeof(DEVICE_INFO_RECORD) == 140, "GetInfo record is 140 bytes");
