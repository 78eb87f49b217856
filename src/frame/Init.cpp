#include "frame/Init.h"

#include "device/SetupApiTable.h"

CRITICAL_SECTION g_InitLock;
uint32_t g_bInitialized = 0;
HMODULE g_hSetupApi = nullptr;

namespace {

void ReleaseSetupApi()
{
    if (g_hSetupApi) {
        UnbindSetupApi(g_hSetupApi);
        g_hSetupApi = nullptr;
    }
}

} // namespace

KZMRESULT EnsureInitialized()
{
    EnterCriticalSection(&g_InitLock);
    KZMRESULT result = 0;
    if (!g_bInitialized) {
        g_hSetupApi = BindSetupApi();
        result = InitializeServer();
        if (result == 0) {
            g_bInitialized = 1;
        } else {
            EnterCriticalSection(&g_InitLock);
            ReleaseSetupApi();
            LeaveCriticalSection(&g_InitLock);
        }
    }
    LeaveCriticalSection(&g_InitLock);
    return result;
}

BOOL LibraryEntry(HMODULE, DWORD reason, void*)
{
    switch (reason) {
    case DLL_PROCESS_ATTACH:
        InitializeCriticalSection(&g_InitLock);
        return TRUE;
    case DLL_PROCESS_DETACH:
        EnterCriticalSection(&g_InitLock);
        ReleaseSetupApi();
        LeaveCriticalSection(&g_InitLock);
        DeleteCriticalSection(&g_InitLock);
        return TRUE;
    case DLL_THREAD_ATTACH:
    case DLL_THREAD_DETACH:
        return TRUE;
    default:
        return FALSE;
    }
}
