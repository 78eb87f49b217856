#include "device/MyKazDevice.h"
#include "kazmir.h"

#include <cstring>

namespace {

constexpr uint64_t NO_DEVICE = 0xFFFFFFFFFFFFFFFFull;

// Byte-wise: the record's class sits unaligned in the packed record.
bool SameGuid(const void* a, const void* b)
{
    return std::memcmp(a, b, sizeof(GUID)) == 0;
}

// Byte by byte up to and including the terminator; a record serial without a
// terminator inside the record matches nothing.
bool SameSerial(const KAZ_DEVICE_RECORD& record, const char* serial)
{
    for (size_t i = 0; i < sizeof(record.Serial); ++i) {
        if (record.Serial[i] != serial[i])
            return false;
        if (serial[i] == '\0')
            return true;
    }
    return false;
}

} // namespace

CMyKazDevice::CMyKazDevice()
    : m_ChangeEvent(nullptr), m_DeviceManager(nullptr), m_DeviceEnum(nullptr), m_SelectedId(NO_DEVICE), m_DeviceCount(0)
{
    std::memset(m_DeviceTable, 0, sizeof(m_DeviceTable));
    CMyKazDevice::Open();
}

CMyKazDevice::~CMyKazDevice()
{
    CMyKazDevice::Close();
}

// Attaches to the device server: manager, enumerator, change event and the
// first snapshot. On a failure what was obtained stays held until Close. An
// earlier attachment is given back first so that nothing is held twice.
KZMRESULT CMyKazDevice::Open()
{
    Close();
    IKazDeviceManager* manager = nullptr;
    KZMRESULT result = ::GetDeviceManager(&manager);
    if (result == 0 && !manager)
        result = KZM_E_FAIL;
    if (result != 0) {
        DeselectDevice();
        return result;
    }
    m_DeviceManager = manager;

    IKazDeviceEnum* deviceEnum = nullptr;
    result = m_DeviceManager->EnumDevices(&deviceEnum);
    if (result == 0 && !deviceEnum)
        result = KZM_E_FAIL;
    if (result != 0) {
        DeselectDevice();
        return result;
    }
    m_DeviceEnum = deviceEnum;

    m_ChangeEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    result = m_DeviceEnum->AssignEvent(m_ChangeEvent);
    if (result != 0) {
        DeselectDevice();
        return result;
    }
    RefreshDeviceList(1, nullptr);
    return 0;
}

// The enumerator goes before its change event is closed: until it is
// released the server may signal the event.
KZMRESULT CMyKazDevice::Close()
{
    if (m_DeviceEnum) {
        m_DeviceEnum->Release();
        m_DeviceEnum = nullptr;
    }
    if (m_ChangeEvent) {
        CloseHandle(m_ChangeEvent);
        m_ChangeEvent = nullptr;
    }
    if (m_DeviceManager) {
        m_DeviceManager->Release();
        m_DeviceManager = nullptr;
    }
    return 0;
}

// Checks that the server can open the device, then remembers only its id.
KZMRESULT CMyKazDevice::SelectDevice(uint64_t deviceId)
{
    if (!m_DeviceManager || deviceId == NO_DEVICE)
        return KZM_E_FAIL;
    const uint64_t id = deviceId;
    IKazDevice* device = nullptr;
    KZMRESULT result = m_DeviceManager->OpenDevice(&id, &device);
    if (result != 0)
        return result;
    m_SelectedId = deviceId;
    if (device)
        device->Release();
    return 0;
}

KZMRESULT CMyKazDevice::DeselectDevice()
{
    m_SelectedId = NO_DEVICE;
    return 0;
}

KZMRESULT CMyKazDevice::GetSelectedDevice(uint64_t* deviceId)
{
    if (deviceId)
        *deviceId = m_SelectedId;
    return 0;
}

// Waits until the list has gained a device or changed its content; a change
// that only removed devices becomes the new snapshot and the wait goes on,
// each time with the full time-out.
KZMRESULT CMyKazDevice::WaitForArrival(uint32_t timeout)
{
    for (;;) {
        DWORD wait = WaitForSingleObject(m_ChangeEvent, timeout);
        if (wait == WAIT_OBJECT_0) {
            uint8_t change = LIST_UNCHANGED;
            RefreshDeviceList(0, &change);
            if (change & LIST_MORE)
                return 0;
            continue;
        }
        if (wait == WAIT_TIMEOUT)
            return KZM_E_TIMEOUT;
        DWORD error = GetLastError();
        return error != 0 ? error : KZM_E_FAIL;
    }
}

// Walks the server's list one record at a time for the first board of the
// class that fits the key. The restart's result is not looked at: the fetch
// that follows tells whether the server can deliver.
KZMRESULT CMyKazDevice::FindDevice(const GUID* boardClass, uint8_t mode, void* key, uint64_t* result)
{
    if (!m_DeviceEnum)
        return KZM_E_FAIL;
    if (!boardClass || !key || !result || (mode != FIND_BY_SERIAL && mode != FIND_FIRST_OF_CLASS))
        return KZM_E_FAIL;
    m_DeviceEnum->ResetEnum();
    for (;;) {
        KAZ_DEVICE_RECORD record;
        uint32_t fetched = 0;
        const KZMRESULT status = m_DeviceEnum->Next(1, &record, &fetched);
        if (status != 0)
            return status;
        if (fetched == 0)
            return 0;
        if (!SameGuid(&record.BoardClass, boardClass))
            continue;
        if (mode == FIND_BY_SERIAL) {
            if (SameSerial(record, static_cast<const char*>(key))) {
                *result = record.DeviceId;
                return 0;
            }
        } else {
            uint64_t id = record.DeviceId;
            std::memcpy(key, &id, sizeof(id));
            if (id != 0) {
                *result = id;
                return 0;
            }
        }
    }
}

// Reads the whole list (at most MAX_DEVICES records) in one request and
// compares it with the snapshot. A server that claims more records than were
// asked for is taken at the first MAX_DEVICES: the buffer holds no more, and
// devices beyond them are not seen, as with a longer list. A failing fetch
// leaves the snapshot as it was and reports no change; the restart's result
// is not looked at.
KZMRESULT CMyKazDevice::RefreshDeviceList(uint32_t first, uint8_t* change)
{
    uint8_t kind = LIST_UNCHANGED;
    if (m_DeviceEnum) {
        m_DeviceEnum->ResetEnum();
        KAZ_DEVICE_RECORD records[MAX_DEVICES];
        uint32_t fetched = 0;
        if (m_DeviceEnum->Next(MAX_DEVICES, records, &fetched) == 0) {
            const uint32_t count = fetched < MAX_DEVICES ? fetched : MAX_DEVICES;
            const size_t bytes = sizeof(KAZ_DEVICE_RECORD) * count;
            if (first != 0) {
                kind = LIST_UNCHANGED;
            } else if (count == m_DeviceCount) {
                kind = std::memcmp(records, m_DeviceTable, bytes) == 0 ? LIST_UNCHANGED : LIST_CONTENT_CHANGED;
            } else if (count < m_DeviceCount) {
                std::memset(m_DeviceTable, 0, sizeof(m_DeviceTable));
                kind = LIST_FEWER;
            } else {
                kind = LIST_MORE;
            }
            if (first != 0 || kind != LIST_UNCHANGED) {
                m_DeviceCount = count;
                std::memcpy(m_DeviceTable, records, bytes);
            }
        }
    }
    if (change)
        *change = kind;
    return 0;
}
