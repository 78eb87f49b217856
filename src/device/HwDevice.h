// CHwDevice: the kernel-driver channel: the driver requests and the finds
// that open a board by id, by serial or as the first board in its flash loader.
#pragma once

#include "device/DeviceBase.h"
#include "device/KazDriver.h"

class CHwDevice : public CDeviceBase {
public:
    // WaitForFlashLoader gives up after this long (polling with a short pause).
    static constexpr uint32_t FLASH_LOADER_WAIT_MS = 10000;
    static constexpr uint32_t FLASH_LOADER_POLL_MS = 5;

    CHwDevice();

    KZMRESULT Close() override;

    KZMRESULT GetInfo(DEVICE_INFO_RECORD* info);
    KZMRESULT Reset(uint8_t selector);
    KZMRESULT LoadFw();
    KZMRESULT FindById(uint64_t deviceId);
    KZMRESULT FindBySerial(const char* serial);
    KZMRESULT WaitForFlashLoader();

protected:
    // The time limit WaitForFlashLoader applies (FLASH_LOADER_WAIT_MS).
    uint32_t m_dwFlashLoaderWaitMs = FLASH_LOADER_WAIT_MS;

private:
    // The match test of a find: does the board's record fit the key?
    typedef bool (*MatchTest)(const DEVICE_INFO_RECORD& info, const void* key);
    KZMRESULT Find(MatchTest match, const void* key);
    void CloseBoard();
};
