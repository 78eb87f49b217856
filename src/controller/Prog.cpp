#include "controller/Prog.h"

#include "frame/Reporter.h"

#include <cstring>

namespace {

// Board classes a search accepts, in search order, ended by the all-zero id.
constexpr GUID BOARD_CLASSES[CProg::CLASS_COUNT] = {
    {0x2219F6A0, 0x732A, 0x4750, {0xB6, 0x6F, 0x0A, 0xE7, 0x31, 0xFB, 0x40, 0xE1}},
    {0xB9AAAF39, 0xB9B9, 0x4850, {0x94, 0x02, 0x7D, 0x82, 0x50, 0xC7, 0xB8, 0x8F}},
    {0x0F254982, 0xBCEE, 0x40AC, {0x8E, 0xB8, 0x90, 0x6F, 0x77, 0x3D, 0x00, 0xFA}},
    {0xEDCCFFED, 0xC78C, 0x4242, {0xB6, 0x17, 0x56, 0x32, 0x0E, 0x33, 0xA3, 0x61}},
    {0xD55C1655, 0x3F48, 0x463F, {0x9B, 0x91, 0xC7, 0x44, 0x8B, 0xDC, 0x7C, 0x22}},
    {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}},
};

constexpr uint64_t NO_DEVICE = DEVICE_ID_ANY;

bool IsEndOfList(const GUID& id)
{
    static const GUID ZERO = {};
    return std::memcmp(&id, &ZERO, sizeof(GUID)) == 0;
}

} // namespace

CProg::CProg() : m_pReporter(CReporter::Get()), m_szSerial{}, m_DeviceId(NO_DEVICE)
{
    std::memcpy(m_ClassIds, BOARD_CLASSES, sizeof(m_ClassIds));
}

CProg::~CProg() = default;

KZMRESULT CProg::SetCallback(void* context, ReportCallback callback)
{
    if (!m_pReporter)
        return KZM_E_FAIL;
    return m_pReporter->SetCallback(context, callback);
}

KZMRESULT CProg::OpenById(uint64_t deviceId)
{
    if (deviceId != NO_DEVICE) {
        // An explicit id opens a board of any class.
        m_DeviceId = deviceId;
    } else {
        KZMRESULT result = KZM_E_FAIL;
        bool found = false;
        for (unsigned i = 0; !found && !IsEndOfList(m_ClassIds[i]); ++i) {
            result = m_ServerDevice.FindDevice(&m_ClassIds[i], FIND_FIRST_OF_CLASS, &m_DeviceId, &m_DeviceId);
            found = result == 0;
        }
        if (!found) {
            Close();
            return result;
        }
    }
    return FindAndSelect();
}

KZMRESULT CProg::OpenBySerial(const char* serial)
{
    if (serial) {
        // A serial that cannot be stored cannot match a listed board either.
        if (std::strlen(serial) >= SERIAL_SIZE) {
            Close();
            return KZM_E_FAIL;
        }
        KZMRESULT result = KZM_E_FAIL;
        bool found = false;
        for (unsigned i = 0; !found && !IsEndOfList(m_ClassIds[i]); ++i) {
            result = m_ServerDevice.FindDevice(&m_ClassIds[i], FIND_BY_SERIAL, const_cast<char*>(serial), &m_DeviceId);
            found = result == 0;
        }
        if (!found) {
            Close();
            return result;
        }
    }
    KZMRESULT result = FindAndSelect();
    // Kept only once the board is open, so a failed open leaves the last serial.
    if (result == 0 && serial)
        std::strcpy(m_szSerial, serial);
    return result;
}

// Opens the board m_DeviceId through its driver and selects it in the server.
// A board still open from an init without its reset is closed first: the
// find would overwrite its handle, which then could never be closed.
KZMRESULT CProg::FindAndSelect()
{
    m_HwDevice.Close();
    KZMRESULT result = m_HwDevice.FindById(m_DeviceId);
    if (result == 0)
        result = m_ServerDevice.SelectDevice(m_DeviceId);
    if (result != 0)
        Close();
    return result;
}

KZMRESULT CProg::Close()
{
    m_ServerDevice.DeselectDevice();
    m_HwDevice.Close();
    return 0;
}

uint64_t CProg::GetDeviceId()
{
    return m_DeviceId;
}

KZMRESULT CProg::GetFldProg(CFlashProg** flashProg)
{
    if (!flashProg)
        return KZM_E_FAIL;
    *flashProg = &m_FlashProg;
    return 0;
}

KZMRESULT CProg::GetBalProg(CBALProg** balProg)
{
    if (!balProg)
        return KZM_E_FAIL;
    *balProg = &m_BALProg;
    return 0;
}

KZMRESULT CProg::GetCclProg(CCCLProg** cclProg)
{
    if (!cclProg)
        return KZM_E_FAIL;
    *cclProg = &m_CCLProg;
    return 0;
}

KZMRESULT CProg::GetBgiProg(CBGIProg** bgiProg)
{
    if (!bgiProg)
        return KZM_E_FAIL;
    *bgiProg = &m_BGIProg;
    return 0;
}
