// CMyKazDevice: the controller's link to the device server: its device
// manager and enumerator, a snapshot of its device list, the change event and
// the selected device.
#pragma once

#include "device/KazApi.h"

// How the device list changed since the snapshot.
enum ListChange : uint8_t {
    LIST_UNCHANGED = 0,
    LIST_FEWER = 1,
    LIST_MORE = 2,
    LIST_CONTENT_CHANGED = 3,
};

// FindDevice modes.
constexpr uint8_t FIND_BY_SERIAL = 0;
constexpr uint8_t FIND_FIRST_OF_CLASS = 1;

class CMyKazDevice {
public:
    static constexpr uint32_t MAX_DEVICES = 64;

    CMyKazDevice(); // attaches at once (Open)
    virtual ~CMyKazDevice();
    CMyKazDevice(const CMyKazDevice&) = delete;
    CMyKazDevice& operator=(const CMyKazDevice&) = delete;

    virtual KZMRESULT Open();
    virtual KZMRESULT Close();
    virtual KZMRESULT SelectDevice(uint64_t deviceId);
    virtual KZMRESULT DeselectDevice();
    virtual KZMRESULT GetSelectedDevice(uint64_t* deviceId);
    virtual KZMRESULT WaitForArrival(uint32_t timeout);

    // Mode FIND_BY_SERIAL: key is a serial string; FIND_FIRST_OF_CLASS: key is
    // a uint64_t that receives each id met (the controller passes result).
    KZMRESULT FindDevice(const GUID* boardClass, uint8_t mode, void* key, uint64_t* result);
    KZMRESULT RefreshDeviceList(uint32_t first, uint8_t* change);

    IKazDeviceManager* GetDeviceManager() const { return m_DeviceManager; }
    uint64_t GetSelectedId() const { return m_SelectedId; }
    uint32_t GetDeviceCount() const { return m_DeviceCount; }
    const KAZ_DEVICE_RECORD* GetDeviceTable() const { return m_DeviceTable; }

protected:
    HANDLE m_ChangeEvent;
    IKazDeviceManager* m_DeviceManager;
    IKazDeviceEnum* m_DeviceEnum;
    uint64_t m_SelectedId;
    uint32_t m_DeviceCount;
    KAZ_DEVICE_RECORD m_DeviceTable[MAX_DEVICES];
};
