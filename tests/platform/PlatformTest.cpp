// The stand-in platform: events, waits, critical sections, last error and the
// device host that device files and modules are handed to.
#include "platform/posix/DeviceHost.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

namespace {

using Clock = std::chrono::steady_clock;

long ElapsedMs(Clock::time_point start)
{
    return static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

TEST(PlatformEvents, AutoResetEventWakesOneWaitThenResets)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    ASSERT_TRUE(SetEvent(event));
    ASSERT_TRUE(SetEvent(event)); // setting twice still releases one wait
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    EXPECT_TRUE(CloseHandle(event));
}

TEST(PlatformEvents, ManualResetEventStaysSignalledUntilReset)
{
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
    ASSERT_TRUE(ResetEvent(event));
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_TIMEOUT);
    CloseHandle(event);
}

TEST(PlatformEvents, EventSetFromAnotherThreadEndsAnInfiniteWait)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::atomic<bool> set{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        set = true;
        SetEvent(event);
    });
    EXPECT_EQ(WaitForSingleObject(event, INFINITE), WAIT_OBJECT_0);
    EXPECT_TRUE(set.load()) << "the wait ended before the event was set";
    setter.join();
    CloseHandle(event);
}

TEST(PlatformEvents, TimedWaitEndsWithTimeoutAfterTheLimit)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(WaitForSingleObject(event, 50), WAIT_TIMEOUT);
    EXPECT_GE(ElapsedMs(start), 45);
    CloseHandle(event);
}

TEST(PlatformEvents, BadHandlesFailWithInvalidHandle)
{
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ASSERT_TRUE(CloseHandle(event));
    SetLastError(0);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(SetEvent(event));
    EXPECT_FALSE(CloseHandle(event));
    EXPECT_FALSE(SetEvent(nullptr));
    EXPECT_EQ(WaitForSingleObject(nullptr, 0), WAIT_FAILED);
}

TEST(PlatformLocks, CriticalSectionIsRecursiveAndExcludesOtherThreads)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSection(&cs);
    EnterCriticalSection(&cs);
    EnterCriticalSection(&cs); // the owner enters again
    std::atomic<bool> entered{false};
    std::thread other([&] {
        EnterCriticalSection(&cs);
        entered = true;
        LeaveCriticalSection(&cs);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    LeaveCriticalSection(&cs);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(entered.load()) << "entered while the owner still held it once";
    LeaveCriticalSection(&cs);
    other.join();
    EXPECT_TRUE(entered.load());
    DeleteCriticalSection(&cs);
}

TEST(PlatformThreadState, LastErrorIsPerThread)
{
    SetLastError(1234);
    DWORD seenByOther = 0;
    std::thread other([&] {
        seenByOther = GetLastError();
        SetLastError(99);
    });
    other.join();
    EXPECT_EQ(seenByOther, 0u);
    EXPECT_EQ(GetLastError(), 1234u);
}

TEST(PlatformAtomics, CompareExchangeSwapsOnlyOnMatch)
{
    LONG64 volatile value = 5;
    EXPECT_EQ(InterlockedCompareExchange64(&value, 7, 4), 5);
    EXPECT_EQ(value, 5);
    EXPECT_EQ(InterlockedCompareExchange64(&value, 7, 5), 5);
    EXPECT_EQ(value, 7);
}

// A device host of the test's own: one device "\\.\dev0" that answers code 1
// by echoing its input, and one module "TEST.DLL" with one entry point.
struct FakeHost {
    static inline int s_Opened = 0;
    static inline int s_Closed = 0;
    static inline int s_Marker = 0;
    static void Entry() {}
    static HMODULE LoadModule(const char* name)
    {
        if (std::string(name) != "TEST.DLL") {
            SetLastError(ERROR_MOD_NOT_FOUND);
            return nullptr;
        }
        return reinterpret_cast<HMODULE>(&s_Marker);
    }
    static FARPROC GetProc(HMODULE, const char* name)
    {
        if (std::string(name) == "Entry")
            return &Entry;
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    static BOOL FreeModule(HMODULE) { return TRUE; }
    static void* OpenDevice(const char* path, DWORD, DWORD, void*, DWORD, DWORD, HANDLE)
    {
        if (std::string(path) != "\\\\.\\dev0") {
            SetLastError(ERROR_FILE_NOT_FOUND);
            return nullptr;
        }
        ++s_Opened;
        return &s_Marker;
    }
    static BOOL DeviceControl(void*, DWORD code, void* in, DWORD inSize, void* out, DWORD outSize, DWORD* returned,
                              void*)
    {
        if (code != 1 || outSize < inSize) {
            SetLastError(ERROR_INVALID_FUNCTION);
            return FALSE;
        }
        std::memcpy(out, in, inSize);
        *returned = inSize;
        return TRUE;
    }
    static void CloseDevice(void*) { ++s_Closed; }
};

const KZM_DEVICE_HOST g_FakeHost = {FakeHost::LoadModule, FakeHost::GetProc,      FakeHost::FreeModule,
                                    FakeHost::OpenDevice, FakeHost::DeviceControl, FakeHost::CloseDevice};

TEST(PlatformDeviceHost, WithoutAHostModulesAndDevicesAreNotFound)
{
    KzmSetDeviceHost(nullptr);
    SetLastError(0);
    EXPECT_EQ(LoadLibraryA("SetupApi.DLL"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_MOD_NOT_FOUND);
    EXPECT_EQ(CreateFileA("\\\\.\\dev0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(PlatformDeviceHost, DeviceFilesAndModulesGoToTheHost)
{
    KzmSetDeviceHost(&g_FakeHost);
    KZM_OBJECT_COUNTS before;
    KzmGetObjectCounts(&before);

    HANDLE device = CreateFileA("\\\\.\\dev0", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    KZM_OBJECT_COUNTS open;
    KzmGetObjectCounts(&open);
    EXPECT_EQ(open.DeviceFiles, before.DeviceFiles + 1);

    char in[4] = {'a', 'b', 'c', 'd'};
    char out[4] = {};
    DWORD returned = 0;
    EXPECT_TRUE(DeviceIoControl(device, 1, in, 4, out, 4, &returned, nullptr));
    EXPECT_EQ(returned, 4u);
    EXPECT_EQ(std::memcmp(in, out, 4), 0);
    EXPECT_FALSE(DeviceIoControl(device, 2, in, 4, out, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_FUNCTION);

    EXPECT_EQ(CreateFileA("\\\\.\\nothing", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

    EXPECT_TRUE(CloseHandle(device));
    EXPECT_EQ(FakeHost::s_Closed, 1);
    EXPECT_FALSE(DeviceIoControl(device, 1, in, 4, out, 4, &returned, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    KZM_OBJECT_COUNTS after;
    KzmGetObjectCounts(&after);
    EXPECT_EQ(after.DeviceFiles, before.DeviceFiles);

    HMODULE module = LoadLibraryA("TEST.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "Entry"), reinterpret_cast<FARPROC>(&FakeHost::Entry));
    EXPECT_EQ(GetProcAddress(module, "Missing"), nullptr);
    EXPECT_EQ(GetLastError(), ERROR_PROC_NOT_FOUND);
    EXPECT_TRUE(FreeLibrary(module));
    KzmSetDeviceHost(nullptr);
}

TEST(PlatformDeviceHost, EventsAreCountedUntilClosed)
{
    KZM_OBJECT_COUNTS before;
    KzmGetObjectCounts(&before);
    HANDLE a = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    HANDLE b = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    KZM_OBJECT_COUNTS during;
    KzmGetObjectCounts(&during);
    EXPECT_EQ(during.Events, before.Events + 2);
    CloseHandle(a);
    CloseHandle(b);
    KZM_OBJECT_COUNTS after;
    KzmGetObjectCounts(&after);
    EXPECT_EQ(after.Events, before.Events);
}

} // namespace
