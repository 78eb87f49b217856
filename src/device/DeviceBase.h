// CDeviceBase: the discovery state and the open file of the kernel-driver
// channel (device list, device path, handle).
#pragma once

#include "device/KazApi.h"

class CDeviceBase {
public:
    explicit CDeviceBase(const GUID& interfaceClass);
    virtual ~CDeviceBase();
    CDeviceBase(const CDeviceBase&) = delete;
    CDeviceBase& operator=(const CDeviceBase&) = delete;

    virtual KZMRESULT CreateDeviceList();
    virtual KZMRESULT DestroyDeviceList();
    virtual KZMRESULT SelectDevice(uint32_t index);
    virtual KZMRESULT ReleaseDevicePath();
    virtual KZMRESULT Open();
    virtual KZMRESULT Close();
    virtual const char* GetAuxText();

    const char* GetDevicePath() const { return m_DevicePath; }
    HANDLE GetHandle() const { return m_Handle; }
    bool HasDeviceList() const { return m_DeviceList != INVALID_HANDLE_VALUE; }

protected:
    GUID m_InterfaceClass;
    HDEVINFO m_DeviceList;
    char* m_DevicePath;
    char* m_AuxText;
    HANDLE m_Handle;

private:
    char* LookUpPath(uint32_t index);
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A QueryDetail(SP_DEVICE_INTERFACE_DATA* interfaceData, DWORD* detailSize);
};
