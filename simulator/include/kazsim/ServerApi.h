// The four functions of the device-server library as the bench exports them:
// by name here, by ordinal only from KAZAPI.dll on Windows (kazapi.def).
#pragma once

#include "kazsim/Contract.h"

#if defined(_WIN32)
#define KAZSIM_SERVER_FUNCTION extern "C"
#else
#define KAZSIM_SERVER_FUNCTION extern "C" __attribute__((visibility("default")))
#endif

KAZSIM_SERVER_FUNCTION kazsim::contract::KZRESULT InitializeServer(void);
KAZSIM_SERVER_FUNCTION kazsim::contract::KZRESULT GetServerVersion(kazsim::contract::SERVER_VERSION* version);
KAZSIM_SERVER_FUNCTION kazsim::contract::KZRESULT GetDeviceManager(kazsim::contract::IKazDeviceManager** manager);
KAZSIM_SERVER_FUNCTION kazsim::contract::KZRESULT CreateChannelObject(uint64_t* creationField,
                                                                      const kazsim::contract::CCL_ENTRY* entry,
                                                                      const GUID* interfaceId,
                                                                      kazsim::contract::IKazChannel** channel);
