// Smoke test of the production KAZMIR.dll: a host loads it with a stand-in
// KAZAPI.dll of this test's own and Wine's real SetupApi.DLL. The library
// must attach to the device server at load, initialise, report its version,
// call back, bind all 27 Setup-API names, and, with no board on the machine,
// fail kzmFLDinit with 0x80004005 after asking Wine's Setup API, leaving
// nothing open.
#include "HotPatch.h"
#include "KazmirModule.h"
#include "StandInKazApi.h"

#include "device/KazDriver.h"
#include "device/SetupApiTable.h"

#include <algorithm>
#include <cstring>
#include <set>

using namespace hosttest;

namespace {

// --- watching Wine's Setup API and CreateFileA ----------------------------------

struct Watch {
    std::vector<HDEVINFO> Created;
    std::vector<HDEVINFO> Destroyed;
    std::vector<GUID> Classes;
    std::vector<DWORD> Flags;
    unsigned DeviceQueries = 0;      // SetupDiEnumDeviceInfo
    DWORD LastDeviceQueryError = 0; // its last error when it found no device
    std::vector<std::string> DevicePaths; // CreateFileA on "\\?\" or "\\.\" paths
};

Watch g_Watch;
CHotPatch g_GetClassDevs, g_Destroy, g_EnumInfo, g_CreateFile;

HDEVINFO WINAPI WatchGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    HDEVINFO list =
        g_GetClassDevs.CallOriginal<PFN_SetupDiGetClassDevsA>(classGuid, enumerator, parent, flags);
    g_Watch.Created.push_back(list);
    g_Watch.Classes.push_back(classGuid ? *classGuid : GUID{});
    g_Watch.Flags.push_back(flags);
    return list;
}

BOOL WINAPI WatchDestroy(HDEVINFO list)
{
    g_Watch.Destroyed.push_back(list);
    return g_Destroy.CallOriginal<PFN_SetupDiDestroyDeviceInfoList>(list);
}

BOOL WINAPI WatchEnumInfo(HDEVINFO list, DWORD index, PSP_DEVINFO_DATA info)
{
    ++g_Watch.DeviceQueries;
    BOOL found = g_EnumInfo.CallOriginal<PFN_SetupDiEnumDeviceInfo>(list, index, info);
    if (!found)
        g_Watch.LastDeviceQueryError = GetLastError();
    return found;
}

using PfnCreateFileA = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE);

HANDLE WINAPI WatchCreateFileA(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                               DWORD disposition, DWORD flags, HANDLE templateFile)
{
    if (path && (std::strncmp(path, "\\\\?\\", 4) == 0 || std::strncmp(path, "\\\\.\\", 4) == 0))
        g_Watch.DevicePaths.push_back(path);
    return g_CreateFile.CallOriginal<PfnCreateFileA>(path, access, share, security, disposition, flags,
                                                     templateFile);
}

FARPROC SystemProc(const char* module, const char* name)
{
    HMODULE handle = GetModuleHandleA(module);
    return handle ? GetProcAddress(handle, name) : nullptr;
}

void* AsCode(FARPROC proc)
{
    return reinterpret_cast<void*>(proc);
}

// The kernel handles this process holds now, from the system's handle table
// (GetProcessHandleCount is not implemented by Wine).
long ProcessHandleCount()
{
    struct ENTRY {
        PVOID Object;
        ULONG_PTR UniqueProcessId;
        ULONG_PTR HandleValue;
        ULONG GrantedAccess;
        USHORT CreatorBackTraceIndex;
        USHORT ObjectTypeIndex;
        ULONG HandleAttributes;
        ULONG Reserved;
    };
    struct TABLE {
        ULONG_PTR NumberOfHandles;
        ULONG_PTR Reserved;
        ENTRY Handles[1];
    };
    using PfnQuery = LONG(WINAPI*)(ULONG, PVOID, ULONG, PULONG);
    constexpr ULONG SYSTEM_EXTENDED_HANDLE_INFORMATION = 64;
    auto query = reinterpret_cast<PfnQuery>(AsCode(SystemProc("ntdll.dll", "NtQuerySystemInformation")));
    if (!query)
        return -1;
    std::vector<char> buffer(1 << 20);
    ULONG length = 0;
    while (query(SYSTEM_EXTENDED_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()), &length) != 0) {
        if (buffer.size() >= (64u << 20))
            return -1;
        buffer.resize(buffer.size() * 4);
    }
    const TABLE* table = reinterpret_cast<const TABLE*>(buffer.data());
    long count = 0;
    for (ULONG_PTR i = 0; i < table->NumberOfHandles; ++i)
        count += table->Handles[i].UniqueProcessId == GetCurrentProcessId();
    return count;
}

bool SameGuid(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

// --- the host ----------------------------------------------------------------

class Smoke : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The host keeps its own reference on the stand-in, so that its
        // counters outlive KAZMIR.dll.
        m_hStandIn = LoadLibraryA("KAZAPI.dll");
        ASSERT_NE(m_hStandIn, nullptr);
        auto state = reinterpret_cast<PFN_StandInState>(
            reinterpret_cast<void*>(GetProcAddress(m_hStandIn, STAND_IN_STATE_EXPORT)));
        ASSERT_NE(state, nullptr) << "KAZAPI.dll next to the test is not the stand-in";
        m_pState = state();
        Reports().clear();
    }
    void TearDown() override
    {
        g_GetClassDevs.Uninstall();
        g_Destroy.Uninstall();
        g_EnumInfo.Uninstall();
        g_CreateFile.Uninstall();
        if (m_hStandIn)
            FreeLibrary(m_hStandIn);
    }

    void WatchSetupApiAndFiles()
    {
        ASSERT_TRUE(g_GetClassDevs.Install(AsCode(SystemProc("setupapi.dll", "SetupDiGetClassDevsA")),
                                           reinterpret_cast<void*>(&WatchGetClassDevsA)));
        ASSERT_TRUE(g_Destroy.Install(AsCode(SystemProc("setupapi.dll", "SetupDiDestroyDeviceInfoList")),
                                      reinterpret_cast<void*>(&WatchDestroy)));
        ASSERT_TRUE(g_EnumInfo.Install(AsCode(SystemProc("setupapi.dll", "SetupDiEnumDeviceInfo")),
                                       reinterpret_cast<void*>(&WatchEnumInfo)));
        ASSERT_TRUE(g_CreateFile.Install(AsCode(SystemProc("kernel32.dll", "CreateFileA")),
                                         reinterpret_cast<void*>(&WatchCreateFileA)));
        g_Watch = Watch{};
    }

    HMODULE m_hStandIn = nullptr;
    STAND_IN_STATE* m_pState = nullptr;
};

} // namespace

TEST_F(Smoke, LoadingAttachesToTheDeviceServerOnly)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr) << "LoadLibraryA(KAZMIR.dll) failed with " << kazmir.LoadError();
    // The static objects attached at load: device manager, enumerator, change
    // event. Nothing else yet: no initialisation, no Setup API.
    EXPECT_EQ(m_pState->ManagerCalls, 1u);
    EXPECT_EQ(m_pState->EnumDevicesCalls, 1u);
    EXPECT_EQ(m_pState->AssignEventCalls, 1u);
    EXPECT_EQ(m_pState->ManagerRefs, 1);
    EXPECT_EQ(m_pState->EnumRefs, 1);
    EXPECT_EQ(m_pState->InitializeCalls, 0u);
    ASSERT_NE(m_pState->ChangeEvent, nullptr);
    EXPECT_EQ(WaitForSingleObject(m_pState->ChangeEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // a real, quiet event
    EXPECT_TRUE(SetEvent(m_pState->ChangeEvent));
    EXPECT_EQ(WaitForSingleObject(m_pState->ChangeEvent, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(m_pState->ChangeEvent, 0), static_cast<DWORD>(WAIT_TIMEOUT)); // auto-reset
    for (const Export& entry : Exports()) {
        EXPECT_NE(kazmir.ProcByOrdinal(entry.Ordinal), nullptr) << entry.Name;
        EXPECT_EQ(kazmir.ProcByOrdinal(entry.Ordinal), kazmir.ProcByName(entry.Name)) << entry.Name;
    }
}

TEST_F(Smoke, InitialisesReportsTheVersionAndCallsBack)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    EXPECT_EQ(m_pState->InitializeCalls, 1u); // once only
    EXPECT_NE(GetModuleHandleA("setupapi.dll"), nullptr); // the library loaded Wine's Setup API

    uint32_t major = 0, minor = 0, third = 9, fourth = 9;
    EXPECT_EQ(kazmir.Ordinal<PfnGetVersion>(1001)(&major, &minor, &third, &fourth), KZM_OK);
    EXPECT_EQ(major, STAND_IN_MAJOR);
    EXPECT_EQ(minor, STAND_IN_MINOR);
    EXPECT_EQ(third, 0u);
    EXPECT_EQ(fourth, 0u);
    EXPECT_EQ(m_pState->VersionCalls, 1u);
    EXPECT_EQ(m_pState->InitializeCalls, 1u);

    int context = 0;
    ASSERT_EQ(kazmir.Ordinal<PfnRegisterCallback>(1010)(&context, CollectReport), KZM_OK);
    ASSERT_EQ(Reports().size(), 1u);
    EXPECT_EQ(Reports()[0].Kind, REPORT_TEST);
    EXPECT_EQ(Reports()[0].Text, "test");
    EXPECT_EQ(Reports()[0].Context, nullptr);
    EXPECT_EQ(kazmir.Ordinal<PfnRegisterCallback>(1010)(&context, nullptr), KZM_E_FAIL);
}

TEST_F(Smoke, AllSetupApiNamesBindAgainstWine)
{
    // The library's own binding code and list of names, here in the host.
    HMODULE module = BindSetupApi();
    ASSERT_NE(module, nullptr) << "one of the 27 names is missing from Wine's setupapi.dll";
    HMODULE wine = GetModuleHandleA("setupapi.dll");
    EXPECT_EQ(module, wine);
    const FARPROC* entries = reinterpret_cast<const FARPROC*>(&g_SetupApi);
    for (unsigned i = 0; i < SETUPAPI_ENTRY_COUNT; ++i) {
        EXPECT_NE(entries[i], nullptr) << g_SetupApiNames[i];
        EXPECT_EQ(entries[i], GetProcAddress(wine, g_SetupApiNames[i])) << g_SetupApiNames[i];
    }
    UnbindSetupApi(module);
    EXPECT_EQ(g_SetupApi.SetupDiGetClassDevsA, nullptr);
}

TEST_F(Smoke, FldInitWithoutBoardAsksWineAndLeavesNothingOpen)
{
    CKazmirModule kazmir;
    ASSERT_NE(kazmir.Handle(), nullptr);
    ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
    WatchSetupApiAndFiles();
    const long handlesBefore = ProcessHandleCount();
    ASSERT_GT(handlesBefore, 0);

    // The device server lists a board; the machine has no driver for it.
    auto init = kazmir.Ordinal<PfnInit>(2200);
    uint64_t handle = 0x1234;
    EXPECT_EQ(init(1000, DEVICE_ID_ANY, &handle), KZM_E_FAIL);
    EXPECT_EQ(handle, 0x1234u); // written only on success
    ASSERT_GE(g_Watch.Created.size(), 1u) << "kzmFLDinit never reached Wine's SetupDiGetClassDevsA";
    for (size_t i = 0; i < g_Watch.Created.size(); ++i) {
        EXPECT_NE(g_Watch.Created[i], INVALID_HANDLE_VALUE);
        EXPECT_TRUE(SameGuid(g_Watch.Classes[i], KAZ_DRIVER_INTERFACE_CLASS));
        EXPECT_EQ(g_Watch.Flags[i], static_cast<DWORD>(DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    }
    // The library walked Wine's (empty) list to its end.
    EXPECT_GE(g_Watch.DeviceQueries, 1u);
    EXPECT_EQ(g_Watch.LastDeviceQueryError, static_cast<DWORD>(ERROR_NO_MORE_ITEMS));

    // An explicit id takes the same way to the Setup API.
    size_t lists = g_Watch.Created.size();
    EXPECT_EQ(init(1000, STAND_IN_DEVICE_ID, &handle), KZM_E_FAIL);
    EXPECT_GT(g_Watch.Created.size(), lists);
    EXPECT_EQ(kazmir.Ordinal<PfnNoArgs>(2201)(), KZM_OK);

    // Every list was destroyed, no device was opened, and the device server
    // holds what it held after loading.
    std::multiset<HDEVINFO> created(g_Watch.Created.begin(), g_Watch.Created.end());
    std::multiset<HDEVINFO> destroyed(g_Watch.Destroyed.begin(), g_Watch.Destroyed.end());
    EXPECT_EQ(created, destroyed);
    EXPECT_TRUE(g_Watch.DevicePaths.empty()) << g_Watch.DevicePaths.front();
    EXPECT_EQ(m_pState->OpenDeviceCalls, 0u);
    EXPECT_EQ(m_pState->ManagerRefs, 1);
    EXPECT_EQ(m_pState->EnumRefs, 1);
    EXPECT_EQ(ProcessHandleCount(), handlesBefore);
}

TEST_F(Smoke, UnloadingGivesBackTheDeviceServerObjectsAndTheEvent)
{
    HANDLE changeEvent = nullptr;
    {
        CKazmirModule kazmir;
        ASSERT_NE(kazmir.Handle(), nullptr);
        ASSERT_EQ(kazmir.Ordinal<PfnNoArgs>(1000)(), KZM_OK);
        changeEvent = m_pState->ChangeEvent;
        ASSERT_NE(changeEvent, nullptr);
    }
    EXPECT_EQ(GetModuleHandleA("KAZMIR.dll"), nullptr);
    EXPECT_EQ(m_pState->ManagerRefs, 0);
    EXPECT_EQ(m_pState->EnumRefs, 0);
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(changeEvent, &flags)) << "the change event was not closed";
}
