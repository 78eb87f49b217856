// The Setup-API binding: SetupApi.DLL is loaded at run time and its entry
// points resolved into one table. A null entry means the Setup API is not
// bound; discovery then fails cleanly.
#pragma once

#include "platform/Platform.h"

typedef HDEVINFO(WINAPI* PFN_SetupDiGetClassDevsA)(const GUID* classGuid, const char* enumerator, HWND parent,
                                                   DWORD flags);
typedef BOOL(WINAPI* PFN_SetupDiDestroyDeviceInfoList)(HDEVINFO list);
typedef BOOL(WINAPI* PFN_SetupDiEnumDeviceInfo)(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info);
typedef BOOL(WINAPI* PFN_SetupDiEnumDeviceInterfaces)(HDEVINFO list, PSP_DEVINFO_DATA info, const GUID* classGuid,
                                                      DWORD index, PSP_DEVICE_INTERFACE_DATA data);
typedef BOOL(WINAPI* PFN_SetupDiGetDeviceInterfaceDetailA)(HDEVINFO list, PSP_DEVICE_INTERFACE_DATA data,
                                                           PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                                           DWORD* required, PSP_DEVINFO_DATA info);

constexpr unsigned SETUPAPI_ENTRY_COUNT = 27;

// The 27 names, in the order they are resolved.
extern const char* const g_SetupApiNames[SETUPAPI_ENTRY_COUNT];

struct SetupApiTable {
    PFN_SetupDiDestroyDeviceInfoList SetupDiDestroyDeviceInfoList;
    PFN_SetupDiEnumDeviceInfo SetupDiEnumDeviceInfo;
    PFN_SetupDiEnumDeviceInterfaces SetupDiEnumDeviceInterfaces;
    FARPROC SetupDiOpenDevRegKey;
    PFN_SetupDiGetClassDevsA SetupDiGetClassDevsA;
    FARPROC SetupDiGetClassDevsW;
    PFN_SetupDiGetDeviceInterfaceDetailA SetupDiGetDeviceInterfaceDetailA;
    FARPROC SetupDiGetDeviceInterfaceDetailW;
    FARPROC SetupDiSetDeviceRegistryPropertyA;
    FARPROC SetupDiSetDeviceRegistryPropertyW;
    FARPROC SetupDiGetDeviceRegistryPropertyA;
    FARPROC SetupDiGetDeviceRegistryPropertyW;
    FARPROC SetupDiGetDeviceInstallParamsA;
    FARPROC SetupDiGetDriverInfoDetailA;
    FARPROC SetupDiGetSelectedDriverA;
    FARPROC SetupOpenInfFileA;
    FARPROC SetupFindFirstLineA;
    FARPROC SetupDiCallClassInstaller;
    FARPROC SetupDiGetClassInstallParamsA;
    FARPROC SetupDiSetClassInstallParamsA;
    FARPROC SetupDiEnumDriverInfoA;
    FARPROC SetupDiSetDriverInstallParamsA;
    FARPROC SetupDiGetDriverInstallParamsA;
    FARPROC SetupDiBuildDriverInfoList;
    FARPROC SetupDiOpenClassRegKey;
    FARPROC SetupDiCreateDeviceInterfaceA;
    FARPROC SetupDiGetDeviceInstanceIdA;
};
static_assert(sizeof(SetupApiTable) == SETUPAPI_ENTRY_COUNT * sizeof(void*), "one pointer per name");

extern SetupApiTable g_SetupApi;

// Loads "SetupApi.DLL" and resolves all 27 names. Gives the module handle, or
// null (every entry null) when the module or any name is missing.
HMODULE BindSetupApi();

// Releases a module that BindSetupApi gave and clears every entry.
void UnbindSetupApi(HMODULE module);
