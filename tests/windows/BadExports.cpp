// Deliberately wrong builds of KAZMIR.dll's export and import tables, for
// showing that scripts/check-exports.sh rejects them:
//   BAD_SEPARATE_ENTRY  kzmBGIinitSer gets an entry of its own
//   BAD_BY_NAME_IMPORT  KAZAPI.dll is also imported by name
// Both import the four device-server functions by ordinal as the real one does.
#include <cstdint>

extern "C" __declspec(dllimport) uint32_t InitializeServer(void);
extern "C" __declspec(dllimport) uint32_t GetServerVersion(uint32_t* version);
extern "C" __declspec(dllimport) uint32_t GetDeviceManager(void** manager);
extern "C" __declspec(dllimport) uint32_t CreateChannelObject(uint64_t*, const void*, const void*, void**);
#ifdef BAD_BY_NAME_IMPORT
extern "C" __declspec(dllimport) void* StandInState(void);
#endif

namespace {
uint32_t Touch(int n)
{
    uint32_t version[4] = {};
    void* object = nullptr;
    uint64_t field = 0;
    switch (n) {
    case 0:
        return InitializeServer();
    case 1:
        return GetServerVersion(version);
    case 2:
        return GetDeviceManager(&object);
    case 3:
        return CreateChannelObject(&field, nullptr, nullptr, &object);
#ifdef BAD_BY_NAME_IMPORT
    case 4:
        return StandInState() != nullptr;
#endif
    default:
        return static_cast<uint32_t>(n);
    }
}
} // namespace

#define EXPORT(name, n) \
    extern "C" uint32_t name(void) { return Touch(n); }
EXPORT(kzmInitialize, 0)
EXPORT(kzmGetVersion, 1)
EXPORT(kzmRegisterCallback, 2)
EXPORT(kzmFLDinit, 3)
EXPORT(kzmFLDreset, 4)
EXPORT(kzmFLDprogram, 5)
EXPORT(kzmFLDverify, 6)
EXPORT(kzmFLDerase, 7)
EXPORT(kzmFLDscanFwInfo, 8)
EXPORT(kzmBALinit, 9)
EXPORT(kzmBALinitSer, 10)
EXPORT(kzmBALreset, 11)
EXPORT(kzmCCLinit, 12)
EXPORT(kzmCCLinitSer, 13)
EXPORT(kzmCCLreset, 14)
EXPORT(kzmBGIinit, 15)
EXPORT(kzmBGIreset, 16)
EXPORT(kzmBGIsend, 17)
EXPORT(kzmBGIreceive, 18)
EXPORT(kzmBGIgetMsgLen, 19)
#ifdef BAD_SEPARATE_ENTRY
EXPORT(kzmBGIinitSer, 20)
#endif
