// CProg: the board controller. It owns both channels to the board (the
// kernel-driver channel and the device server's device object), one access
// object per firmware mode, and drives the board between firmware states.
#pragma once

#include "device/HwDevice.h"
#include "device/MyKazDevice.h"
#include "flash/FlashProg.h"
#include "modes/BALProg.h"
#include "modes/BGIProg.h"
#include "modes/CCLProg.h"

class CReporter;

class CProg {
public:
    static constexpr size_t SERIAL_SIZE = 128;
    static constexpr unsigned CLASS_COUNT = 6; // five board classes and the all-zero end

    CProg();
    virtual ~CProg();
    CProg(const CProg&) = delete;
    CProg& operator=(const CProg&) = delete;

    virtual KZMRESULT SetCallback(void* context, ReportCallback callback);
    virtual KZMRESULT OpenBySerial(const char* serial);
    virtual KZMRESULT OpenById(uint64_t deviceId);
    virtual KZMRESULT Close();
    virtual uint64_t GetDeviceId();
    virtual KZMRESULT InitFld(uint32_t timeout);
    virtual KZMRESULT GetFldProg(CFlashProg** flashProg);
    virtual KZMRESULT ResetFld();
    virtual KZMRESULT InitBal(uint32_t timeout);
    virtual KZMRESULT GetBalProg(CBALProg** balProg);
    virtual KZMRESULT ResetBal();
    virtual KZMRESULT InitCcl(uint32_t timeout);
    virtual KZMRESULT GetCclProg(CCCLProg** cclProg);
    virtual KZMRESULT ResetCcl();
    virtual KZMRESULT InitBgi(uint32_t timeout);
    virtual KZMRESULT GetBgiProg(CBGIProg** bgiProg);
    virtual KZMRESULT ResetBgi();

    KZMRESULT SwitchToFld(uint32_t timeout);
    KZMRESULT SwitchToBal(uint32_t timeout);
    KZMRESULT SwitchToCcl(uint32_t timeout);

    CReporter* GetReporter() const { return m_pReporter; }
    CHwDevice& HwDevice() { return m_HwDevice; }
    CMyKazDevice& ServerDevice() { return m_ServerDevice; }
    const char* GetSerial() const { return m_szSerial; }

private:
    enum class FindKind { BySerial, FlashLoader };
    KZMRESULT RestartSteps(uint32_t timeout, bool loadFw, uint8_t selector, FindKind find, const char* serial,
                           bool report);
    KZMRESULT ReachTarget(uint64_t deviceId);
    KZMRESULT SwitchToFirmware(uint32_t timeout, bool balStateServes);
    KZMRESULT FindAndSelect();
    KZMRESULT FetchModeObject(KZMRESULT (CProg::*switchTo)(uint32_t), uint32_t timeout, const GUID& classId,
                              const GUID& interfaceId, IKazUnknown** component);
    KZMRESULT OpenCclObject(CCCLProg& access, uint32_t timeout);

    CHwDevice m_HwDevice;
    CMyKazDevice m_ServerDevice;
    CFlashProg m_FlashProg;
    CBALProg m_BALProg;
    CCCLProg m_CCLProg;
    CBGIProg m_BGIProg;
    CReporter* m_pReporter;
    char m_szSerial[SERIAL_SIZE];
    uint64_t m_DeviceId;
    GUID m_ClassIds[CLASS_COUNT];
};

// The library's one controller, constructed at load.
extern CProg g_Prog;
