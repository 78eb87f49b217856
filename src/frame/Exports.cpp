// The export table: each function runs its sequence on the one controller
// g_Prog and returns the result code unchanged. No exception crosses this
// boundary: the library below reports failures only as result codes.
#include "controller/Prog.h"
#include "frame/Init.h"
#include "frame/Reporter.h"

namespace {

constexpr uint64_t ANY_DEVICE = DEVICE_ID_ANY;

unsigned AttemptsFor(uint64_t deviceId)
{
    return deviceId == ANY_DEVICE ? 2 : 1;
}

void StoreHandle(uint64_t* pHandle)
{
    if (pHandle)
        *pHandle = g_Prog.GetDeviceId();
}

// kzmBALinit and kzmCCLinit: up to two attempts for any board, then the mode
// attached a second time on the open board.
KZMRESULT InitTwice(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle, KZMRESULT (CProg::*init)(uint32_t))
{
    KZMRESULT result = KZM_E_FAIL;
    for (unsigned attempt = 0; attempt < AttemptsFor(deviceId); ++attempt) {
        result = g_Prog.OpenById(deviceId);
        if (result == KZM_OK)
            result = (g_Prog.*init)(timeout);
        if (result == KZM_OK)
            break;
    }
    if (result != KZM_OK)
        return result;
    result = (g_Prog.*init)(timeout);
    if (result != KZM_OK)
        return result;
    StoreHandle(pHandle);
    return KZM_OK;
}

KZMRESULT InitBySerial(uint32_t timeout, const char* serial, uint64_t* pHandle, KZMRESULT (CProg::*init)(uint32_t))
{
    KZMRESULT result = g_Prog.OpenBySerial(serial);
    if (result == KZM_OK)
        result = (g_Prog.*init)(timeout);
    if (result != KZM_OK)
        return result;
    StoreHandle(pHandle);
    return KZM_OK;
}

} // namespace

extern "C" {

KZM_API KZMRESULT kzmInitialize(void)
{
    return EnsureInitialized();
}

KZM_API KZMRESULT kzmGetVersion(uint32_t* p1, uint32_t* p2, uint32_t* p3, uint32_t* p4)
{
    KZMRESULT result = EnsureInitialized();
    if (result != KZM_OK)
        return result;
    KAZ_SERVER_VERSION version = {};
    result = GetServerVersion(&version);
    if (p1)
        *p1 = version.Major;
    if (p2)
        *p2 = version.Minor;
    if (p3)
        *p3 = 0;
    if (p4)
        *p4 = 0;
    return result;
}

KZM_API KZMRESULT kzmRegisterCallback(void* context, ReportCallback callback)
{
    if (!callback)
        return KZM_E_FAIL;
    return g_Prog.SetCallback(context, callback);
}

KZM_API KZMRESULT kzmFLDinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle)
{
    KZMRESULT result = g_Prog.OpenById(deviceId);
    if (result == KZM_OK)
        result = g_Prog.InitFld(timeout);
    if (result != KZM_OK)
        return result;
    StoreHandle(pHandle);
    return KZM_OK;
}

KZM_API KZMRESULT kzmFLDreset(void)
{
    g_Prog.ResetFld();
    return g_Prog.Close();
}

KZM_API KZMRESULT kzmFLDprogram(const char* fileName)
{
    CFlashProg* flashProg = nullptr;
    g_Prog.GetFldProg(&flashProg);
    return flashProg->Program(fileName);
}

KZM_API KZMRESULT kzmFLDverify(const char* fileName)
{
    CFlashProg* flashProg = nullptr;
    g_Prog.GetFldProg(&flashProg);
    return flashProg->Verify(fileName);
}

KZM_API KZMRESULT kzmFLDerase(void)
{
    CFlashProg* flashProg = nullptr;
    g_Prog.GetFldProg(&flashProg);
    return flashProg->EraseSector(0, 1);
}

KZM_API KZMRESULT kzmFLDscanFwInfo(FW_INFO* pInfo)
{
    CFlashProg* flashProg = nullptr;
    g_Prog.GetFldProg(&flashProg);
    return flashProg->ScanFwInfo(pInfo);
}

KZM_API KZMRESULT kzmBALinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle)
{
    return InitTwice(timeout, deviceId, pHandle, &CProg::InitBal);
}

KZM_API KZMRESULT kzmBALinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle)
{
    return InitBySerial(timeout, serial, pHandle, &CProg::InitBal);
}

KZM_API KZMRESULT kzmBALreset(void)
{
    g_Prog.ResetBal();
    return g_Prog.Close();
}

KZM_API KZMRESULT kzmCCLinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle)
{
    return InitTwice(timeout, deviceId, pHandle, &CProg::InitCcl);
}

KZM_API KZMRESULT kzmCCLinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle)
{
    return InitBySerial(timeout, serial, pHandle, &CProg::InitCcl);
}

// One entry under two names: opens by serial into CCL; the channels stay closed.
KZM_API KZMRESULT kzmBGIinitSer(uint32_t timeout, const char* serial, uint64_t* pHandle)
    __attribute__((alias("kzmCCLinitSer")));

KZM_API KZMRESULT kzmCCLreset(void)
{
    g_Prog.ResetCcl();
    return g_Prog.Close();
}

KZM_API KZMRESULT kzmBGIinit(uint32_t timeout, uint64_t deviceId, uint64_t* pHandle)
{
    KZMRESULT result = KZM_E_FAIL;
    for (unsigned attempt = 0; attempt < AttemptsFor(deviceId); ++attempt) {
        result = g_Prog.OpenById(deviceId);
        if (result == KZM_OK)
            result = g_Prog.InitBgi(timeout);
        if (result == KZM_OK)
            break;
    }
    if (result != KZM_OK)
        return result;
    StoreHandle(pHandle);
    return KZM_OK;
}

KZM_API KZMRESULT kzmBGIreset(void)
{
    g_Prog.ResetBgi();
    return g_Prog.Close();
}

KZM_API KZMRESULT kzmBGIsend(uint32_t timeout, uint16_t length, const void* data)
{
    CBGIProg* bgiProg = nullptr;
    g_Prog.GetBgiProg(&bgiProg);
    return bgiProg->Send(length, data, 0, timeout);
}

KZM_API KZMRESULT kzmBGIreceive(uint32_t timeout, uint16_t size, void* buffer, uint16_t* pReceived)
{
    CBGIProg* bgiProg = nullptr;
    g_Prog.GetBgiProg(&bgiProg);
    return bgiProg->Receive(size, buffer, pReceived, timeout);
}

KZM_API KZMRESULT kzmBGIgetMsgLen(uint16_t* pSendMax, uint16_t* pReceiveMax)
{
    CBGIProg* bgiProg = nullptr;
    g_Prog.GetBgiProg(&bgiProg);
    return bgiProg->GetMsgLen(pSendMax, pReceiveMax);
}

} // extern "C"
