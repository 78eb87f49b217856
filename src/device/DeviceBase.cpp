#include "device/DeviceBase.h"
#include "kazmir.h"

#include "device/SetupApiTable.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// Present devices that expose the interface class.
constexpr DWORD LIST_FLAGS = DIGCF_PRESENT | DIGCF_DEVICEINTERFACE;

// Size fields the Setup API expects from a 64-bit caller.
constexpr DWORD DEVINFO_RECORD_SIZE = 32;
constexpr DWORD INTERFACE_RECORD_SIZE = 32;
constexpr DWORD DETAIL_RECORD_SIZE = 8;

// Where the path starts in a detail record.
constexpr size_t DETAIL_PATH_OFFSET = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath);

} // namespace

CDeviceBase::CDeviceBase(const GUID& interfaceClass)
    : m_InterfaceClass(interfaceClass), m_DeviceList(INVALID_HANDLE_VALUE), m_DevicePath(nullptr), m_AuxText(nullptr),
      m_Handle(nullptr)
{
}

// The owner closes the board and every find destroys its list, so only the
// strings are ours to free here.
CDeviceBase::~CDeviceBase()
{
    free(m_DevicePath);
    free(m_AuxText);
}

KZMRESULT CDeviceBase::CreateDeviceList()
{
    if (g_SetupApi.SetupDiGetClassDevsA)
        m_DeviceList = g_SetupApi.SetupDiGetClassDevsA(&m_InterfaceClass, nullptr, nullptr, LIST_FLAGS);
    return m_DeviceList != INVALID_HANDLE_VALUE ? 0 : KZM_E_FAIL;
}

KZMRESULT CDeviceBase::DestroyDeviceList()
{
    if (m_DeviceList == INVALID_HANDLE_VALUE)
        return KZM_E_FAIL;
    if (g_SetupApi.SetupDiDestroyDeviceInfoList)
        g_SetupApi.SetupDiDestroyDeviceInfoList(m_DeviceList);
    m_DeviceList = INVALID_HANDLE_VALUE;
    return 0;
}

KZMRESULT CDeviceBase::SelectDevice(uint32_t index)
{
    if (m_DeviceList == INVALID_HANDLE_VALUE || !g_SetupApi.SetupDiEnumDeviceInfo)
        return KZM_E_FAIL;
    SP_DEVINFO_DATA info;
    std::memset(&info, 0, sizeof(info));
    info.cbSize = DEVINFO_RECORD_SIZE;
    if (!g_SetupApi.SetupDiEnumDeviceInfo(m_DeviceList, index, &info))
        return KZM_E_FAIL;
    char* path = LookUpPath(index);
    if (!path)
        return KZM_E_FAIL;
    // A path still held from an earlier selection would otherwise be lost.
    free(m_DevicePath);
    m_DevicePath = path;
    return 0;
}

KZMRESULT CDeviceBase::ReleaseDevicePath()
{
    free(m_DevicePath);
    m_DevicePath = nullptr;
    return 0;
}

KZMRESULT CDeviceBase::Open()
{
    if (!m_DevicePath)
        return KZM_E_INVALIDARG;
    HANDLE handle = CreateFileA(m_DevicePath, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE || handle == nullptr) {
        DWORD error = GetLastError();
        return error != 0 ? error : KZM_E_FAIL; // a failure never reads as success
    }
    m_Handle = handle;
    return 0;
}

KZMRESULT CDeviceBase::Close()
{
    if (!m_Handle)
        return KZM_E_INVALIDARG;
    CloseHandle(m_Handle);
    m_Handle = nullptr;
    return 0;
}

const char* CDeviceBase::GetAuxText()
{
    return m_AuxText;
}

// The interface path at the same position as the device: a string of exactly
// the path's length, owned by the caller, or null.
char* CDeviceBase::LookUpPath(uint32_t index)
{
    if (m_DeviceList == INVALID_HANDLE_VALUE || !g_SetupApi.SetupDiEnumDeviceInterfaces)
        return nullptr;
    SP_DEVICE_INTERFACE_DATA interfaceData;
    std::memset(&interfaceData, 0, sizeof(interfaceData));
    interfaceData.cbSize = INTERFACE_RECORD_SIZE;
    if (!g_SetupApi.SetupDiEnumDeviceInterfaces(m_DeviceList, nullptr, &m_InterfaceClass, index, &interfaceData))
        return nullptr;

    DWORD detailSize = 0;
    PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail = QueryDetail(&interfaceData, &detailSize);
    if (!detail)
        return nullptr;
    // The path ends at its terminator, or at the end of the block if the
    // platform left none.
    const char* source = detail->DevicePath;
    size_t room = detailSize - DETAIL_PATH_OFFSET;
    const void* end = std::memchr(source, '\0', room);
    size_t length = end ? static_cast<size_t>(static_cast<const char*>(end) - source) : room;
    char* path = static_cast<char*>(malloc(length + 1));
    if (path) {
        std::memcpy(path, source, length);
        path[length] = '\0';
    }
    free(detail);
    return path;
}

// Asks once without a buffer for the size, then once more with a block of
// exactly that size. The block is the caller's to free.
PSP_DEVICE_INTERFACE_DETAIL_DATA_A CDeviceBase::QueryDetail(SP_DEVICE_INTERFACE_DATA* interfaceData, DWORD* detailSize)
{
    if (!g_SetupApi.SetupDiGetDeviceInterfaceDetailA)
        return nullptr;
    DWORD required = 0;
    if (g_SetupApi.SetupDiGetDeviceInterfaceDetailA(m_DeviceList, interfaceData, nullptr, 0, &required, nullptr))
        return nullptr;
    if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return nullptr;
    // A size that cannot even hold the size field and one character is no answer.
    if (required <= DETAIL_PATH_OFFSET)
        return nullptr;
    auto detail = static_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(malloc(required));
    if (!detail)
        return nullptr;
    detail->cbSize = DETAIL_RECORD_SIZE;
    DWORD size = required;
    if (!g_SetupApi.SetupDiGetDeviceInterfaceDetailA(m_DeviceList, interfaceData, detail, size, &required, nullptr)) {
        free(detail);
        return nullptr;
    }
    *detailSize = size;
    return detail;
}
