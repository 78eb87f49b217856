// On Windows the platform is Windows itself: kernel32 from windows.h, and the
// Setup-API records from setupapi.h (types only: SetupApi.DLL is loaded at run
// time, never linked).
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <setupapi.h>

#include <cstddef>
#include <cstdint>

// The device-server library's functions come from KAZAPI.dll.
#ifndef KAZAPI_FUNCTION
#define KAZAPI_FUNCTION extern "C" __declspec(dllimport)
#endif

// The DLL's entry point; the C runtime calls it after the static objects are
// constructed and before they are destroyed.
#define KZM_LIBRARY_ENTRY(fn)                                                                                          \
    extern "C" BOOL WINAPI DllMain(HINSTANCE module, DWORD reason, LPVOID reserved)                                    \
    {                                                                                                                  \
        return fn(module, reason, reserved);                                                                           \
    }
