// The device-server interface as the bench implements it: the four functions
// are exported by name here, and by ordinal only on Windows, where
// src/device/kazapi.def (NONAME) exports them from KAZAPI.dll.
#pragma once

#if defined(_WIN32)
#define KAZAPI_FUNCTION extern "C"
#else
#define KAZAPI_FUNCTION extern "C" __attribute__((visibility("default")))
#endif

#include "device/KazApi.h"
#include "device/KazDriver.h"
#include "device/SetupApiTable.h"
