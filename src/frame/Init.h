// The library frame's process-wide state and its lazy initialisation.
#pragma once

#include "device/KazApi.h"

extern CRITICAL_SECTION g_InitLock;
extern uint32_t g_bInitialized;
extern HMODULE g_hSetupApi;

// Binds the Setup API and initialises the device server, once successfully.
KZMRESULT EnsureInitialized();

// The entry hook: process attach initialises g_InitLock; process detach
// releases the Setup-API binding and deletes the lock.
BOOL LibraryEntry(HMODULE module, DWORD reason, void* reserved);
