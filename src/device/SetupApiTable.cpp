#include "device/SetupApiTable.h"

#include <cstring>

const char* const g_SetupApiNames[SETUPAPI_ENTRY_COUNT] = {
    "SetupDiDestroyDeviceInfoList",
    "SetupDiEnumDeviceInfo",
    "SetupDiEnumDeviceInterfaces",
    "SetupDiOpenDevRegKey",
    "SetupDiGetClassDevsA",
    "SetupDiGetClassDevsW",
    "SetupDiGetDeviceInterfaceDetailA",
    "SetupDiGetDeviceInterfaceDetailW",
    "SetupDiSetDeviceRegistryPropertyA",
    "SetupDiSetDeviceRegistryPropertyW",
    "SetupDiGetDeviceRegistryPropertyA",
    "SetupDiGetDeviceRegistryPropertyW",
    "SetupDiGetDeviceInstallParamsA",
    "SetupDiGetDriverInfoDetailA",
    "SetupDiGetSelectedDriverA",
    "SetupOpenInfFileA",
    "SetupFindFirstLineA",
    "SetupDiCallClassInstaller",
    "SetupDiGetClassInstallParamsA",
    "SetupDiSetClassInstallParamsA",
    "SetupDiEnumDriverInfoA",
    "SetupDiSetDriverInstallParamsA",
    "SetupDiGetDriverInstallParamsA",
    "SetupDiBuildDriverInfoList",
    "SetupDiOpenClassRegKey",
    "SetupDiCreateDeviceInterfaceA",
    "SetupDiGetDeviceInstanceIdA",
};

SetupApiTable g_SetupApi = {};

namespace {

// Stores entry i of the table (the entries stand in name order).
void SetEntry(unsigned i, FARPROC proc)
{
    std::memcpy(reinterpret_cast<char*>(&g_SetupApi) + i * sizeof(FARPROC), &proc, sizeof(proc));
}

void ClearEntries()
{
    std::memset(&g_SetupApi, 0, sizeof(g_SetupApi));
}

} // namespace

HMODULE BindSetupApi()
{
    HMODULE module = LoadLibraryA("SetupApi.DLL");
    if (!module)
        return nullptr;
    bool complete = true;
    for (unsigned i = 0; i < SETUPAPI_ENTRY_COUNT; ++i) {
        FARPROC proc = GetProcAddress(module, g_SetupApiNames[i]);
        SetEntry(i, proc);
        complete = complete && proc != nullptr;
    }
    if (complete)
        return module;
    UnbindSetupApi(module);
    return nullptr;
}

void UnbindSetupApi(HMODULE module)
{
    ClearEntries();
    if (module)
        FreeLibrary(module);
}
