// The Setup API of the bench (SetupApi.DLL) and module loading: the module
// resolves the 27 names the library binds; the five it calls behave as on
// 64-bit Windows, the other 22 fail with ERROR_CALL_NOT_IMPLEMENTED. Once the
// last reference to the module is freed its entry points refuse every call
// (ERROR_MOD_NOT_FOUND), where Windows would run into unmapped code.
// LoadLibraryA("KAZAPI.dll") also works and resolves the four device-server
// functions by name or by ordinal.
#include "Faces.h"
#include "Sim.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstring>

namespace kazsim::detail {

namespace {

constexpr DWORD ERROR_INVALID_USER_BUFFER_ = 1784;
constexpr DWORD ERROR_INVALID_FLAGS_ = 1004;
constexpr DWORD INTERFACE_ACTIVE = 0x00000001;
constexpr uint32_t LIST_MAGIC = 0x4C53494B; // "KISL"

// Setup class of the boards (the "Kazmir interface boards" device class).
constexpr GUID BOARD_SETUP_CLASS = {0x6E2A5F41, 0x1C07, 0x4D2B, {0x9A, 0x63, 0x5B, 0x21, 0xC4, 0x8E, 0x07, 0x3D}};

// One device-information list: a snapshot of the present boards.
struct CDeviceInfoList {
    uint32_t Magic = LIST_MAGIC;
    struct Item {
        std::shared_ptr<CBoard> Board;
        std::string Path;
        uint32_t DevInst;
    };
    std::vector<Item> Items;
};

std::vector<CDeviceInfoList*>& LiveLists()
{
    static auto* s_pLists = new std::vector<CDeviceInfoList*>;
    return *s_pLists;
}

CDeviceInfoList* FindList(HDEVINFO handle)
{
    auto& lists = LiveLists();
    auto it = std::find(lists.begin(), lists.end(), static_cast<CDeviceInfoList*>(handle));
    return it == lists.end() ? nullptr : *it;
}

CBoard* ItemBoard(CDeviceInfoList* list, DWORD index)
{
    if (!list || index >= list->Items.size())
        return nullptr;
    CBoard* board = list->Items[index].Board.get();
    return board->Index >= 0 ? board : nullptr;
}

std::string CbSize(const char* record, DWORD size)
{
    return std::string(record) + "->cbSize " + std::to_string(size);
}

// Entry points of a freed module refuse the call; true while it is loaded.
bool Loaded(CCall& call)
{
    if (Sim().SetupApiModuleRefs > 0)
        return true;
    call.RefuseWin(ERROR_MOD_NOT_FOUND, "SetupApi.DLL (called after FreeLibrary)");
    return false;
}

// What every call on an existing list checks first: SetupApi.DLL still
// loaded, no injected failure, a list that exists.
bool Admitted(CCall& call, const CDeviceInfoList* list)
{
    if (!Loaded(call))
        return false;
    if (call.Ended()) {
        SetLastError(call.Code());
        return false;
    }
    if (!list) {
        call.FailWin(ERROR_INVALID_HANDLE);
        return false;
    }
    return true;
}

HDEVINFO WINAPI SimGetClassDevsA(const GUID* classGuid, const char* enumerator, HWND /*parent*/, DWORD flags)
{
    CSim& sim = Sim();
    char detail[64];
    std::snprintf(detail, sizeof(detail), "%s flags 0x%X", classGuid ? GuidText(*classGuid).c_str() : "(null)",
                  static_cast<unsigned>(flags));
    CCall call("SetupDiGetClassDevsA", nullptr, detail);
    if (!Loaded(call))
        return INVALID_HANDLE_VALUE;
    if (call.Ended()) {
        SetLastError(call.Code());
        return INVALID_HANDLE_VALUE;
    }
    // Only the list the boards' clients ask for is served: the present
    // devices of a device-interface class. Windows answers other flags with
    // other devices (of every class, not plugged in, or of a setup class),
    // which the bench does not play.
    if (flags != (FLAG_PRESENT | FLAG_DEVICEINTERFACE)) {
        char argument[80];
        std::snprintf(argument, sizeof(argument), "flags 0x%X (not DIGCF_PRESENT | DIGCF_DEVICEINTERFACE)",
                      static_cast<unsigned>(flags));
        call.RefuseWin(ERROR_INVALID_FLAGS_, argument);
        return INVALID_HANDLE_VALUE;
    }
    if (!classGuid) {
        call.RefuseWin(ERROR_INVALID_PARAMETER, "classGuid (null)");
        return INVALID_HANDLE_VALUE;
    }
    auto* list = new CDeviceInfoList;
    // Only the driver's interface class is known.
    const bool match = SameGuid(*classGuid, DRIVER_INTERFACE_CLASS) && (!enumerator || EqualNoCase(enumerator, "PCI"));
    if (match)
        for (CBoard* board : sim.ListedBoards())
            list->Items.push_back({sim.SharedBoard(board), board->Path, board->DevInst});
    LiveLists().push_back(list);
    ++sim.DeviceInfoLists;
    call.Return(0);
    return list;
}

BOOL WINAPI SimDestroyDeviceInfoList(HDEVINFO handle)
{
    CSim& sim = Sim();
    CCall call("SetupDiDestroyDeviceInfoList", nullptr);
    if (!Loaded(call))
        return FALSE;
    CDeviceInfoList* list = FindList(handle);
    if (!list) {
        if (call.Ended())
            SetLastError(call.Code());
        else
            call.FailWin(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    // An injected failure still frees the list, so that leak checks after
    // a failed call see only what the caller left behind.
    auto& lists = LiveLists();
    lists.erase(std::find(lists.begin(), lists.end(), list));
    list->Magic = 0;
    delete list;
    --sim.DeviceInfoLists;
    if (call.Ended()) {
        SetLastError(call.Code());
        return FALSE;
    }
    call.Return(0);
    return TRUE;
}

void FillDevInfo(const CDeviceInfoList::Item& item, PSP_DEVINFO_DATA info)
{
    info->ClassGuid = BOARD_SETUP_CLASS;
    info->DevInst = item.DevInst;
    info->Reserved = 0;
}

BOOL WINAPI SimEnumDeviceInfo(HDEVINFO handle, DWORD index, PSP_DEVINFO_DATA info)
{
    auto lock = Sim().Hold();
    CDeviceInfoList* list = FindList(handle);
    CCall call("SetupDiEnumDeviceInfo", ItemBoard(list, index), std::to_string(index));
    if (!Admitted(call, list))
        return FALSE;
    if (!info || info->cbSize != DEVINFO_DATA_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, info ? CbSize("info", info->cbSize) : "info (null)");
        return FALSE;
    }
    if (index >= list->Items.size()) {
        call.FailWin(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    FillDevInfo(list->Items[index], info);
    call.Return(0);
    return TRUE;
}

BOOL WINAPI SimEnumDeviceInterfaces(HDEVINFO handle, PSP_DEVINFO_DATA info, const GUID* classGuid, DWORD index,
                                    PSP_DEVICE_INTERFACE_DATA data)
{
    auto lock = Sim().Hold();
    CDeviceInfoList* list = FindList(handle);
    CCall call("SetupDiEnumDeviceInterfaces", ItemBoard(list, index), std::to_string(index));
    if (!Admitted(call, list))
        return FALSE;
    if (!data || data->cbSize != INTERFACE_DATA_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, data ? CbSize("data", data->cbSize) : "data (null)");
        return FALSE;
    }
    if (info && info->cbSize != DEVINFO_DATA_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, CbSize("info", info->cbSize));
        return FALSE;
    }
    if (!classGuid) {
        call.RefuseWin(ERROR_INVALID_PARAMETER, "classGuid (null)");
        return FALSE;
    }
    // Each board exposes one interface of the driver's class. With a device
    // given, only that device's interfaces count.
    size_t item = index;
    if (info) {
        auto it = std::find_if(list->Items.begin(), list->Items.end(),
                               [&](const CDeviceInfoList::Item& i) { return i.DevInst == info->DevInst; });
        item = (it == list->Items.end() || index != 0) ? list->Items.size()
                                                       : static_cast<size_t>(it - list->Items.begin());
    }
    if (!SameGuid(*classGuid, DRIVER_INTERFACE_CLASS) || item >= list->Items.size()) {
        call.FailWin(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    data->InterfaceClassGuid = DRIVER_INTERFACE_CLASS;
    data->Flags = INTERFACE_ACTIVE;
    data->Reserved = static_cast<ULONG_PTR>(item) + 1;
    call.Return(0);
    return TRUE;
}

BOOL WINAPI SimGetDeviceInterfaceDetailA(HDEVINFO handle, PSP_DEVICE_INTERFACE_DATA data,
                                         PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size, DWORD* required,
                                         PSP_DEVINFO_DATA info)
{
    auto lock = Sim().Hold();
    CDeviceInfoList* list = FindList(handle);
    DWORD item = data ? static_cast<DWORD>(data->Reserved - 1) : 0;
    CCall call("SetupDiGetDeviceInterfaceDetailA", data ? ItemBoard(list, item) : nullptr,
               detail ? "buffer " + std::to_string(size) : "no buffer");
    if (!Admitted(call, list))
        return FALSE;
    if (!data || data->cbSize != INTERFACE_DATA_SIZE || data->Reserved == 0 || item >= list->Items.size()) {
        call.RefuseWin(ERROR_INVALID_PARAMETER, "data (not from SetupDiEnumDeviceInterfaces)");
        return FALSE;
    }
    const CDeviceInfoList::Item& entry = list->Items[item];
    DWORD need = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + entry.Path.size() + 1);
    if (!detail) {
        if (size != 0) {
            call.RefuseWin(ERROR_INVALID_USER_BUFFER_, "size (not 0 without a buffer)");
            return FALSE;
        }
        if (required)
            *required = need;
        call.FailWin(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    // A buffer must at least hold the record's fixed part; its size field
    // is not even read before that.
    if (size < INTERFACE_DETAIL_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, "size " + std::to_string(size) + " (below the record's fixed part)");
        return FALSE;
    }
    if (detail->cbSize != INTERFACE_DETAIL_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, CbSize("detail", detail->cbSize));
        return FALSE;
    }
    if (size < need) {
        if (required)
            *required = need;
        call.FailWin(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (info && info->cbSize != DEVINFO_DATA_SIZE) {
        call.RefuseWin(ERROR_INVALID_USER_BUFFER_, CbSize("info", info->cbSize));
        return FALSE;
    }
    std::memcpy(detail->DevicePath, entry.Path.c_str(), entry.Path.size() + 1);
    if (required)
        *required = need;
    if (info)
        FillDevInfo(entry, info);
    call.Return(0);
    return TRUE;
}

// The 22 names that are bound but never called: each logs its call and fails.
const char* const* const g_SetupNames = SETUPAPI_NAMES;

uint32_t UncalledCall(unsigned index)
{
    CCall call(g_SetupNames[index], nullptr);
    if (!Loaded(call))
        return ERROR_MOD_NOT_FOUND;
    uint32_t code = call.Ended() ? call.Code() : ERROR_CALL_NOT_IMPLEMENTED;
    call.FailWin(code);
    return code;
}

template <unsigned I>
BOOL WINAPI UncalledBool()
{
    UncalledCall(I);
    return FALSE;
}

// Those that give a handle (or registry key) fail with INVALID_HANDLE_VALUE.
template <unsigned I>
HANDLE WINAPI UncalledHandle()
{
    UncalledCall(I);
    return INVALID_HANDLE_VALUE;
}

// Through void (*)(void), which converts to and from any function type.
template <class F>
FARPROC Proc(F function)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(function));
}

const FARPROC g_SetupProcs[SETUPAPI_NAME_COUNT] = {
    Proc(&SimDestroyDeviceInfoList),
    Proc(&SimEnumDeviceInfo),
    Proc(&SimEnumDeviceInterfaces),
    Proc(&UncalledHandle<3>),
    Proc(&SimGetClassDevsA),
    Proc(&UncalledHandle<5>),
    Proc(&SimGetDeviceInterfaceDetailA),
    Proc(&UncalledBool<7>),
    Proc(&UncalledBool<8>),
    Proc(&UncalledBool<9>),
    Proc(&UncalledBool<10>),
    Proc(&UncalledBool<11>),
    Proc(&UncalledBool<12>),
    Proc(&UncalledBool<13>),
    Proc(&UncalledBool<14>),
    Proc(&UncalledHandle<15>),
    Proc(&UncalledBool<16>),
    Proc(&UncalledBool<17>),
    Proc(&UncalledBool<18>),
    Proc(&UncalledBool<19>),
    Proc(&UncalledBool<20>),
    Proc(&UncalledBool<21>),
    Proc(&UncalledBool<22>),
    Proc(&UncalledBool<23>),
    Proc(&UncalledHandle<24>),
    Proc(&UncalledBool<25>),
    Proc(&UncalledBool<26>),
};

// --- modules ---------------------------------------------------------------

char g_SetupApiModule;
char g_KazApiModule;

HMODULE ModuleHandle(char* token)
{
    return reinterpret_cast<HMODULE>(token);
}

bool IsName(const std::string& name, const char* base)
{
    return EqualNoCase(name, base) || EqualNoCase(name, std::string(base) + ".dll");
}

struct CExport {
    const char* Name;
    uint16_t Ordinal;
    FARPROC Proc;
};

const CExport g_KazApiExports[] = {
    {"InitializeServer", 1000, Proc(&InitializeServer)},
    {"GetServerVersion", 1002, Proc(&GetServerVersion)},
    {"CreateChannelObject", 2000, Proc(&CreateChannelObject)},
    {"GetDeviceManager", 4000, Proc(&GetDeviceManager)},
};

} // namespace

const char* const* SetupApiNames()
{
    return g_SetupNames;
}

HMODULE LoadModule(const char* name)
{
    CSim& sim = Sim();
    std::string text = name ? name : "";
    CCall call("LoadLibraryA", nullptr, text);
    if (call.Ended()) {
        SetLastError(call.Code());
        return nullptr;
    }
    if (IsName(text, "SetupApi") && !sim.SetupApiMissing) {
        ++sim.SetupApiModuleRefs;
        call.Return(0);
        return ModuleHandle(&g_SetupApiModule);
    }
    if (IsName(text, "KAZAPI")) {
        ++sim.KazApiModuleRefs;
        call.Return(0);
        return ModuleHandle(&g_KazApiModule);
    }
    call.FailWin(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

FARPROC GetProc(HMODULE module, const char* name)
{
    CSim& sim = Sim();
    auto lock = sim.Hold();
    uintptr_t ordinal = reinterpret_cast<uintptr_t>(name);
    bool byOrdinal = ordinal < 0x10000;
    // Built by appending: "#" + std::to_string(...) inserts in front of the
    // temporary, which g++ 12 at -O3 misreads as an overlapping copy.
    std::string text = byOrdinal ? std::string("#").append(std::to_string(ordinal)) : std::string(name);
    CCall call("GetProcAddress", nullptr, text);
    if (call.Ended()) {
        SetLastError(call.Code());
        return nullptr;
    }
    if (module == ModuleHandle(&g_SetupApiModule) && sim.SetupApiModuleRefs > 0 && !byOrdinal) {
        for (unsigned i = 0; i < SETUPAPI_NAME_COUNT; ++i) {
            if (text != g_SetupNames[i])
                continue;
            auto& missing = sim.SetupApiNamesMissing;
            if (std::find(missing.begin(), missing.end(), text) != missing.end())
                break;
            call.Return(0);
            return g_SetupProcs[i];
        }
        call.FailWin(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    if (module == ModuleHandle(&g_KazApiModule) && sim.KazApiModuleRefs > 0) {
        for (const CExport& entry : g_KazApiExports) {
            if (byOrdinal ? entry.Ordinal == ordinal : text == entry.Name) {
                call.Return(0);
                return entry.Proc;
            }
        }
        call.FailWin(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    call.FailWin(ERROR_INVALID_HANDLE);
    return nullptr;
}

bool IsBenchModule(HMODULE module)
{
    return module == ModuleHandle(&g_SetupApiModule) || module == ModuleHandle(&g_KazApiModule);
}

BOOL ReleaseModule(HMODULE module)
{
    CSim& sim = Sim();
    CCall call("FreeLibrary", nullptr);
    uint32_t* refs = module == ModuleHandle(&g_SetupApiModule) ? &sim.SetupApiModuleRefs
                     : module == ModuleHandle(&g_KazApiModule) ? &sim.KazApiModuleRefs
                                                               : nullptr;
    if (!refs || *refs == 0) {
        if (call.Ended())
            SetLastError(call.Code());
        else
            call.FailWin(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    --*refs; // an injected failure still releases (see SetupDiDestroyDeviceInfoList)
    if (call.Ended()) {
        SetLastError(call.Code());
        return FALSE;
    }
    call.Return(0);
    return TRUE;
}

} // namespace kazsim::detail
