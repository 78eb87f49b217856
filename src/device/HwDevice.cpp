#include "device/HwDevice.h"
#include "kazmir.h"

#include <chrono>
#include <cstring>

namespace {

// Byte offsets of GetInfo's record.
constexpr size_t INFO_STATE_OFFSET = 0;
constexpr size_t INFO_ID_OFFSET = 4;
constexpr size_t INFO_SERIAL_OFFSET = 12;
constexpr size_t INFO_SERIAL_SIZE = 128;
constexpr size_t INFO_SIZE = 140;

// The driver's refusal as a result code; never 0, even if the platform left
// no reason.
KZMRESULT LastFailure()
{
    DWORD error = GetLastError();
    return error != 0 ? error : KZM_E_FAIL;
}

bool MatchId(const DEVICE_INFO_RECORD& info, const void* key)
{
    return info.DeviceId == *static_cast<const uint64_t*>(key);
}

// Byte by byte up to and including the terminator. A serial field without a
// terminator within its 128 bytes is no serial and matches nothing.
bool MatchSerial(const DEVICE_INFO_RECORD& info, const void* key)
{
    const char* serial = static_cast<const char*>(key);
    for (size_t i = 0; i < INFO_SERIAL_SIZE; ++i) {
        if (info.Serial[i] != serial[i])
            return false;
        if (serial[i] == '\0')
            return true;
    }
    return false;
}

} // namespace

CHwDevice::CHwDevice() : CDeviceBase(KAZ_DRIVER_INTERFACE_CLASS) {}

// Closes whatever is open and forgets the selection; always succeeds.
KZMRESULT CHwDevice::Close()
{
    CloseBoard();
    ReleaseDevicePath();
    return 0;
}

void CHwDevice::CloseBoard()
{
    if (m_Handle) {
        CloseHandle(m_Handle);
        m_Handle = nullptr;
    }
}

KZMRESULT CHwDevice::GetInfo(DEVICE_INFO_RECORD* info)
{
    if (!m_Handle)
        return KZM_E_INVALIDARG;
    if (!info)
        return KZM_E_FAIL;
    uint8_t in = 0;
    uint8_t out[INFO_SIZE] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(m_Handle, IOCTL_KAZ_GET_INFO, &in, sizeof(in), out, sizeof(out), &returned, nullptr))
        return LastFailure();
    // The record is packed: the id sits unaligned at offset 4.
    std::memcpy(&info->State, out + INFO_STATE_OFFSET, sizeof(info->State));
    std::memcpy(&info->DeviceId, out + INFO_ID_OFFSET, sizeof(info->DeviceId));
    std::memcpy(info->Serial, out + INFO_SERIAL_OFFSET, INFO_SERIAL_SIZE);
    return 0;
}

KZMRESULT CHwDevice::Reset(uint8_t selector)
{
    if (!m_Handle)
        return KZM_E_INVALIDARG;
    uint8_t in = selector;
    uint8_t out = 0;
    DWORD returned = 0;
    if (!DeviceIoControl(m_Handle, IOCTL_KAZ_RESET, &in, sizeof(in), &out, sizeof(out), &returned, nullptr))
        return LastFailure();
    return 0;
}

KZMRESULT CHwDevice::LoadFw()
{
    if (!m_Handle)
        return KZM_E_INVALIDARG;
    uint8_t in[LOAD_FW_INPUT_SIZE] = {};
    DWORD returned = 0;
    if (!DeviceIoControl(m_Handle, IOCTL_KAZ_LOAD_FW, in, sizeof(in), nullptr, 0, &returned, nullptr))
        return LastFailure();
    return 0;
}

KZMRESULT CHwDevice::FindById(uint64_t deviceId)
{
    return Find(MatchId, &deviceId);
}

KZMRESULT CHwDevice::FindBySerial(const char* serial)
{
    if (!serial)
        return KZM_E_FAIL;
    return Find(MatchSerial, serial);
}

// Walks the list in order: each board is opened and asked for its record
// until one matches. A board that cannot be opened or asked ends the walk.
// On success the matching board stays open and selected; otherwise nothing
// is left open, and the list is gone either way.
KZMRESULT CHwDevice::Find(MatchTest match, const void* key)
{
    if (CreateDeviceList() != 0)
        return KZM_E_FAIL;
    KZMRESULT result = KZM_E_FAIL;
    for (uint32_t index = 0;; ++index) {
        result = SelectDevice(index);
        if (result != 0)
            break;
        result = Open();
        if (result != 0) {
            ReleaseDevicePath();
            break;
        }
        DEVICE_INFO_RECORD info;
        result = GetInfo(&info);
        if (result != 0) {
            CloseBoard();
            ReleaseDevicePath();
            break;
        }
        if (match(info, key))
            break;
        CloseBoard();
        ReleaseDevicePath();
    }
    DestroyDeviceList();
    return result;
}

// Polls the first board of the list (taken once) until it reports its flash
// loader. The poll is bounded: after m_dwFlashLoaderWaitMs it gives up with
// KZM_E_NO_FLASH_LOADER, nothing open or selected; between polls it pauses
// FLASH_LOADER_POLL_MS on a private event that nobody signals.
KZMRESULT CHwDevice::WaitForFlashLoader()
{
    if (CreateDeviceList() != 0)
        return KZM_E_FAIL;
    if (SelectDevice(0) != 0) {
        DestroyDeviceList();
        return 0; // no board listed: nothing to wait for
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(m_dwFlashLoaderWaitMs);
    HANDLE pause = nullptr;
    KZMRESULT result = 0;
    for (;;) {
        result = Open();
        if (result != 0) {
            // The board stays selected, not open.
            ReleaseDevicePath();
            SelectDevice(0);
            break;
        }
        DEVICE_INFO_RECORD info;
        result = GetInfo(&info);
        if (result == 0 && info.State == DEV_STATE_FLD)
            break;
        CloseBoard();
        ReleaseDevicePath();
        if (std::chrono::steady_clock::now() >= deadline) {
            result = KZM_E_NO_FLASH_LOADER;
            break;
        }
        if (SelectDevice(0) != 0)
            break;
        // Without an event the poll goes on unpaused; the time limit still holds.
        if (!pause)
            pause = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (pause)
            WaitForSingleObject(pause, FLASH_LOADER_POLL_MS);
    }
    if (pause)
        CloseHandle(pause);
    DestroyDeviceList();
    return result;
}
