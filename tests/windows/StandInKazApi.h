// The smoke test's own KAZAPI.dll: a minimal device server that the
// production KAZMIR.dll imports by ordinal (1000, 1002, 2000, 4000). It lists
// one board (which no driver on the machine knows), hands out a device
// manager and an enumerator, and counts what the library asks of it. The
// counters are exported by name for the smoke host.
#pragma once

#include <cstdint>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The board the stand-in lists.
constexpr uint64_t STAND_IN_DEVICE_ID = 0x4B5A00000000F00Dull;
constexpr uint32_t STAND_IN_MAJOR = 7;
constexpr uint32_t STAND_IN_MINOR = 4;

struct STAND_IN_STATE {
    uint32_t InitializeCalls;
    uint32_t OpenDeviceCalls;
    uint32_t AssignEventCalls;
    HANDLE ChangeEvent;  // the last event the library handed over
    int32_t ManagerRefs; // references held on the device manager
    int32_t EnumRefs;    // references held on enumerators
};

#define STAND_IN_STATE_EXPORT "StandInState"
typedef STAND_IN_STATE* (*PFN_StandInState)(void);
