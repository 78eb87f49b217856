// Mode switching: bring the board into the firmware a mode needs, within
// three passes, then fetch the mode's object and hand it to its access object.
#include "controller/Prog.h"

#include "frame/Reporter.h"

namespace {

constexpr uint8_t TRACE_INDENT = 4;
const char BOOT_ROM_SERIAL[] = "ABCD";
constexpr unsigned MAX_PASSES = 3;

} // namespace

// Selects the board under the id it reports now; the routine stops after this.
KZMRESULT CProg::ReachTarget(uint64_t deviceId)
{
    m_ServerDevice.DeselectDevice();
    if (m_ServerDevice.SelectDevice(deviceId) == 0)
        m_DeviceId = deviceId;
    return 0;
}

// Restarts the board with a firmware request, waits for its return in the
// device server's list and finds it again through its driver.
KZMRESULT CProg::RestartSteps(uint32_t timeout, bool loadFw, uint8_t selector, FindKind find, const char* serial,
                              bool report)
{
    m_ServerDevice.RefreshDeviceList(1, nullptr);

    KZMRESULT result = loadFw ? m_HwDevice.LoadFw() : m_HwDevice.Reset(selector);
    if (report) {
        const char* line = loadFw ? (result == 0 ? "m_HwDevice.LoadFw \n" : "m_HwDevice.LoadFw COMMAND failed\n")
                                  : (result == 0 ? "m_HwDevice.Reset \n" : "m_HwDevice.Reset COMMAND failed\n");
        m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "%s", line);
    }
    if (result != 0)
        return result;

    result = m_ServerDevice.WaitForArrival(timeout);
    if (report)
        m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "%s", result == 0 ? "  OK\n" : "  failed\n");
    if (result != 0)
        return result;

    m_HwDevice.Close();
    return find == FindKind::FlashLoader ? m_HwDevice.WaitForFlashLoader() : m_HwDevice.FindBySerial(serial);
}

KZMRESULT CProg::SwitchToFld(uint32_t timeout)
{
    KZMRESULT result = 0;
    for (unsigned pass = 0; pass < MAX_PASSES; ++pass) {
        DEVICE_INFO_RECORD info;
        result = m_HwDevice.GetInfo(&info);
        if (result != 0) {
            m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "GetInfo failed \n");
            continue;
        }
        switch (info.State) {
        case DEV_STATE_FLD:
            m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "DEV_STATE_FLD \n");
            return ReachTarget(info.DeviceId);
        case DEV_STATE_BAL:
        case DEV_STATE_CCL:
            m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "DEV_STATE_BAL, DEV_STATE_CCL \n");
            result = RestartSteps(timeout, false, RESET_TO_BOOT_ROM, FindKind::BySerial, BOOT_ROM_SERIAL, true);
            break;
        case DEV_STATE_ROM:
            m_pReporter->Report(REPORT_TRACE, TRACE_INDENT, "DEV_STATE_ROM \n");
            result = RestartSteps(timeout, true, 0, FindKind::FlashLoader, nullptr, true);
            break;
        default:
            result = 0; // no action in this state
            break;
        }
    }
    return result;
}

// Brings the board into its operating firmware. The flash loader, and state 2
// when the mode needs state 3, restart into it; the boot ROM is left alone.
KZMRESULT CProg::SwitchToFirmware(uint32_t timeout, bool balStateServes)
{
    KZMRESULT result = 0;
    for (unsigned pass = 0; pass < MAX_PASSES; ++pass) {
        DEVICE_INFO_RECORD info;
        result = m_HwDevice.GetInfo(&info);
        if (result != 0)
            continue;
        if (info.State == DEV_STATE_CCL || (info.State == DEV_STATE_BAL && balStateServes))
            return ReachTarget(info.DeviceId);
        if (info.State == DEV_STATE_FLD || info.State == DEV_STATE_BAL)
            result = RestartSteps(timeout, false, RESET_TO_FIRMWARE, FindKind::BySerial, m_szSerial, false);
        else
            result = 0; // no action in this state
    }
    return result;
}

// BAL runs in state 3 only; CCL in state 2 or 3.
KZMRESULT CProg::SwitchToBal(uint32_t timeout)
{
    return SwitchToFirmware(timeout, false);
}

KZMRESULT CProg::SwitchToCcl(uint32_t timeout)
{
    return SwitchToFirmware(timeout, true);
}

// Brings the board into a mode's firmware with one switching routine, then
// opens the selected device and asks it for the mode's object; the device
// object is released at once whatever the answer.
KZMRESULT CProg::FetchModeObject(KZMRESULT (CProg::*switchTo)(uint32_t), uint32_t timeout, const GUID& classId,
                                 const GUID& interfaceId, IKazUnknown** component)
{
    *component = nullptr;
    KZMRESULT result = (this->*switchTo)(timeout);
    if (result != 0)
        return result;
    IKazDeviceManager* manager = m_ServerDevice.GetDeviceManager();
    if (!manager)
        return KZM_E_FAIL; // the device server was never attached
    uint64_t selectedId = m_ServerDevice.GetSelectedId();
    IKazDevice* device = nullptr;
    result = manager->OpenDevice(&selectedId, &device);
    if (result != 0)
        return result;
    result = device->OpenComponent(&classId, &interfaceId, component);
    device->Release();
    return result;
}

// CCL and BGI: the access object takes a reference of its own, so ours is
// released whatever its Open gave.
KZMRESULT CProg::OpenCclObject(CCCLProg& access, uint32_t timeout)
{
    IKazUnknown* component = nullptr;
    KZMRESULT result = FetchModeObject(&CProg::SwitchToCcl, timeout, KAZ_CLSID_CCL, KAZ_IID_CCL, &component);
    if (result != 0)
        return result;
    result = access.Open(static_cast<IKazCcl*>(component));
    if (component)
        component->Release();
    return result;
}

KZMRESULT CProg::InitFld(uint32_t timeout)
{
    IKazUnknown* component = nullptr;
    KZMRESULT result = FetchModeObject(&CProg::SwitchToFld, timeout, KAZ_CLSID_FLD, KAZ_IID_FLD, &component);
    if (result != 0)
        return result;
    return m_FlashProg.Open(static_cast<IKazFlashLoader*>(component));
}

KZMRESULT CProg::ResetFld()
{
    return m_FlashProg.Close();
}

KZMRESULT CProg::InitBal(uint32_t timeout)
{
    IKazUnknown* component = nullptr;
    KZMRESULT result = FetchModeObject(&CProg::SwitchToBal, timeout, KAZ_CLSID_BAL, KAZ_IID_BAL, &component);
    if (result != 0)
        return result;
    return m_BALProg.Open(static_cast<IKazBal*>(component));
}

KZMRESULT CProg::ResetBal()
{
    return m_BALProg.Close();
}

KZMRESULT CProg::InitCcl(uint32_t timeout)
{
    return OpenCclObject(m_CCLProg, timeout);
}

KZMRESULT CProg::ResetCcl()
{
    return m_CCLProg.Close();
}

KZMRESULT CProg::InitBgi(uint32_t timeout)
{
    KZMRESULT result = OpenCclObject(m_BGIProg, timeout);
    if (result != 0)
        return result;
    return m_BGIProg.OpenChannels();
}

KZMRESULT CProg::ResetBgi()
{
    KZMRESULT result = m_BGIProg.CloseChannels();
    if (result == 0)
        result = m_BGIProg.Close();
    return result;
}
