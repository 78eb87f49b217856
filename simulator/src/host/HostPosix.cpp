// The bench's registration with the stand-in platform (libkzmplatform): the
// platform sends module loading and device files to the bench. This runs from
// a static constructor of libkazapi, before the library's own static objects
// (libkazmir links libkazapi) attach to the device server.
#include "Faces.h"
#include "Sim.h"

#include "DeviceHost.h"

namespace kazsim::detail {

void PlatformObjectCounts(uint32_t* events, uint32_t* deviceFiles)
{
    KZM_OBJECT_COUNTS counts = {};
    KzmGetObjectCounts(&counts);
    *events = counts.Events;
    *deviceFiles = counts.DeviceFiles;
}

// The stand-in counts every event of the process itself.
void NoteEvent(HANDLE) {}

bool QueryEvent(HANDLE event, bool* manualReset, bool* signalled)
{
    BOOL manual = FALSE, set = FALSE;
    if (!KzmQueryEvent(event, &manual, &set))
        return false;
    *manualReset = manual != FALSE;
    *signalled = set != FALSE;
    return true;
}

namespace {

const KZM_DEVICE_HOST g_Host = {LoadModule, GetProc, ReleaseModule, OpenDevice, DeviceControl, CloseDevice};

struct CRegistration {
    CRegistration()
    {
        StartBench();
        KzmSetDeviceHost(&g_Host);
    }
    ~CRegistration()
    {
        // The library has been torn down by now; what remains is writing the
        // flash files and stopping the simulator's thread.
        Sim().Shutdown();
    }
    CRegistration(const CRegistration&) = delete;
    CRegistration& operator=(const CRegistration&) = delete;
} s_Registration;

} // namespace

} // namespace kazsim::detail
